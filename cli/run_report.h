// SPDX-License-Identifier: BSD-3-Clause
// The report of a run of tamrin denoise (--report FILE.json): the version,
// the options in force, the series' dimensions and patches, how long the run
// took, the most memory it held and what it warned about, as one JSON object
// (docs/command.md lists its fields). It is written only when the run
// succeeds, under a temporary name beside the outputs' and renamed into
// place after them, so that a report present means the outputs it names are
// complete.
//
// The record also collects the decomposition's messages of the run
// (tamrin/messages.h), which the command prints on stderr, each as often as
// it was issued, once the denoising is over.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "commands.h"
#include "tamrin/denoise.h"
#include "tamrin/messages.h"

namespace tamrin {

// What a run did, filled in as it goes.
struct RunRecord {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    double denoisingSeconds = 0.0;
    int32_t extents[4] = {0, 0, 0, 0};
    // Whether the memory check ran: neither --no-memory-check nor
    // TAMRIN_NO_MEMORY_CHECK turned it off.
    bool memoryCheck = true;
    // With a mask, the patch positions whose patch holds a voxel inside
    // (-1: not counted).
    int64_t maskedPositions = -1;
    DenoiseReport found;
    MessageLog log;  // the run's DenoiseOptions::messages
    std::vector<MessageRun> messages;
    int64_t messagesLost = 0;  // messages the log found no memory for
};

// Takes the messages the run's log collected and prints them on stderr as
// the core writes them (each occurrence, in order of arrival), with a
// warning counting those that were lost for want of memory.
void printRunMessages(RunRecord* record);

// The report of a finished run, its times and peak memory taken now.
nlohmann::ordered_json runReportJson(const DenoiseRequest& request, const RunRecord& record);

// Writes the report to `path` (its temporary) and flushes it to the disk;
// false with the reason in *error.
bool writeRunReport(const DenoiseRequest& request, const RunRecord& record, const std::string& path,
                    std::string* error);

// A JSON document as the command prints and writes it: indented by two
// spaces, bytes of text that are not UTF-8 replaced by U+FFFD.
std::string jsonText(const nlohmann::ordered_json& json);

}  // namespace tamrin
