// SPDX-License-Identifier: BSD-3-Clause
// The report of a run of tamrin denoise and the printing of the run's
// messages (run_report.h).
#include "run_report.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_layer.h"
#include "progress.h"
#include "driver/shared_slabs.h"

namespace tamrin {
namespace {

using Json = nlohmann::ordered_json;  // keys in the order they are written

Json pathOrNull(const std::string& path) { return path.empty() ? Json(nullptr) : Json(path); }

const char* uncoveredName(int32_t uncovered) {
    return uncovered == kUncoveredInput ? "input" : uncovered == kUncoveredZero ? "zero" : "nan";
}

// Where element i of the series lies.
Json elementJson(const int32_t e[4], int64_t i) {
    const int64_t X = e[0], Y = e[1], Z = e[2];
    return {{"x", i % X}, {"y", i / X % Y}, {"z", i / (X * Y) % Z}, {"volume", i / (X * Y * Z)}};
}

Json warningsJson(const RunRecord& record) {
    const DenoiseReport& found = record.found;
    Json messages = Json::array();
    for (const MessageRun& run : record.messages) {
        std::string text = run.text;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        messages.push_back({{"text", text}, {"count", run.count}});
    }
    return {{"non_finite",
             {{"values", found.nonFiniteValues},
              {"voxels", found.nonFiniteVoxels},
              {"first", found.firstNonFinite < 0 ? Json(nullptr) : elementJson(record.extents, found.firstNonFinite)}}},
            {"broken_voxels", found.brokenVoxels},
            {"messages", messages},
            {"messages_lost", record.messagesLost}};
}

}  // namespace

std::string jsonText(const nlohmann::ordered_json& json) {
    return json.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void printRunMessages(RunRecord* record) {
    record->messages = takeMessages(&record->log, &record->messagesLost);
    for (const MessageRun& run : record->messages)
        for (int64_t i = 0; i < run.count; i++) std::fputs(run.text.c_str(), stderr);
    if (record->messagesLost > 0)
        std::fprintf(stderr, "tamrin: warning: %s messages of the decomposition were lost for want of memory\n",
                     groupDigits(record->messagesLost).c_str());
}

nlohmann::ordered_json runReportJson(const DenoiseRequest& r, const RunRecord& record) {
    const int32_t* e = record.extents;
    const int32_t slabs = r.slabs > 0 ? r.slabs : r.workers;
    const char* measure = "";
    const int64_t peak = peakResidentBytes(&measure);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - record.start).count();
    return {{"version", TAMRIN_VERSION},
            {"options",
             {{"input", r.input},
              {"output", r.output},
              {"noise_map", pathOrNull(r.noiseMap)},
              {"rank_map", pathOrNull(r.rankMap)},
              {"mask", pathOrNull(r.mask)},
              {"workers", r.workers},
              {"slabs", r.slabs > 0 ? Json(r.slabs) : Json(nullptr)},
              {"uncovered", uncoveredName(r.uncovered)},
              {"datatype", r.datatype == DT_FLOAT64 ? "float64" : "float32"},
              {"force", r.force},
              {"quiet", r.quiet},
              {"memory_check", record.memoryCheck},
              {"report", r.report}}},
            {"dimensions", {e[0], e[1], e[2], e[3]}},
            {"patch", {{"side", patchSide(e[3])}, {"voxels", patchVoxels(e[3])}}},
            {"workers_used", sharedThreadsUsed(e[0], e[1], e[2], e[3], r.workers)},
            {"slabs_used", workersUsed(e[0], e[1], e[2], e[3], slabs)},
            {"patch_positions",
             {{"total", patchPositions(e[0], e[1], e[2], e[3])},
              {"reaching_mask", record.maskedPositions < 0 ? Json(nullptr) : Json(record.maskedPositions)}}},
            {"seconds", {{"run", seconds}, {"denoising", record.denoisingSeconds}}},
            {"peak_memory", {{"bytes", peak < 0 ? Json(nullptr) : Json(peak)}, {"measure", measure}}},
            {"warnings", warningsJson(record)}};
}

bool writeRunReport(const DenoiseRequest& request, const RunRecord& record, const std::string& path,
                    std::string* error) {
    const std::string text = jsonText(runReportJson(request, record)) + "\n";
    int failure = 0;
    const int fd = openFile(path, kOpenWrite, &failure);
    std::FILE* file = nullptr;
    if (fd >= 0) {
#if defined(_WIN32)
        file = _fdopen(fd, "wb");
#else
        file = fdopen(fd, "wb");
#endif
        if (file == nullptr) {
            failure = errno;
            closeFile(fd);
        }
    }
    bool ok = file != nullptr;
    if (ok && std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
        ok = false;
        failure = errno;
    }
    if (file != nullptr && std::fclose(file) != 0 && ok) {
        ok = false;
        failure = errno;
    }
    if (ok && !flushFileToDisk(path)) {
        ok = false;
        failure = EIO;
    }
    if (!ok) *error = "cannot write " + request.report + ": " + std::strerror(failure != 0 ? failure : EIO);
    return ok;
}

}  // namespace tamrin
