// SPDX-License-Identifier: BSD-3-Clause
// The core's messages for one call: the two diagnostics of the decomposition,
// "svdcmp(): Unable to allocate vector\n" and "no convergence in 30 svdcmp
// iterations\n", issued on the worker threads.
//
// A caller that wants them (to print them on its own thread when the call is
// over, or to turn them into warnings) gives the call a MessageLog through
// DenoiseOptions::messages. The log keeps the texts in order of arrival and
// stores a text repeated back to back once with its count, so that a series
// full of troubled patches costs memory per distinct run, not per message.
// Without a log, each message is written to stderr as it is issued.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tamrin {

// A text and the number of times it was issued in a row.
struct MessageRun {
    std::string text;
    int64_t count = 0;
};

// The messages of one call. Several worker threads post to it at once.
struct MessageLog {
    std::mutex lock;
    std::vector<MessageRun> runs;
    int64_t lost = 0;  // texts that found no memory to be stored in
};

// Adds text to the log, or writes it to stderr when log is null. Safe to call
// from several threads at once; never throws.
void postMessage(MessageLog* log, const char* text);

// Empties the log: its runs in order of arrival, and the number of texts lost
// for want of memory in *lost (when not null).
std::vector<MessageRun> takeMessages(MessageLog* log, int64_t* lost);

}  // namespace tamrin
