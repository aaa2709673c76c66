// SPDX-License-Identifier: BSD-3-Clause
// postMessage and takeMessages: the core's one facility for messages.
#include "tamrin/messages.h"

#include <cstdio>

#include "alloc.h"

namespace tamrin {

void postMessage(MessageLog* log, const char* text) {
    if (log == nullptr) {
        // fputs locks the stream, so concurrent messages never interleave within a line.
        std::fputs(text, stderr);
        return;
    }
    std::lock_guard<std::mutex> guard(log->lock);
    if (!log->runs.empty() && log->runs.back().text == text) {
        log->runs.back().count++;
        return;
    }
    // A new run needs memory: it may be refused like any of the core's blocks.
    if (allocationShouldFail()) {
        log->lost++;
        return;
    }
    try {
        log->runs.push_back(MessageRun{text, 1});
    } catch (...) {
        log->lost++;  // on a worker thread nothing may escape
    }
}

std::vector<MessageRun> takeMessages(MessageLog* log, int64_t* lost) {
    std::vector<MessageRun> runs;
    std::lock_guard<std::mutex> guard(log->lock);
    runs.swap(log->runs);
    if (lost != nullptr) *lost = log->lost;
    log->lost = 0;
    return runs;
}

}  // namespace tamrin
