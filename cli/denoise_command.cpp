// SPDX-License-Identifier: BSD-3-Clause
// tamrin denoise: reads a series (and a mask), checks that it can be
// denoised, runs the denoiser with a progress line (NaN and infinities read
// as 0, the voxels without an estimate filled as --uncovered says) and
// writes the results. Outputs are created empty under temporary names before the work
// starts, so that an unwritable folder is reported at once, and renamed into
// place only when all are complete; the report (--report) last of all.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "commands.h"
#include "file_layer.h"
#include "mask_file.h"
#include "memory_fit.h"
#include "output_file.h"
#include "plane_output.h"
#include "progress.h"
#include "run_report.h"
#include "series_file.h"
#include "support/memory_check.h"
#include "tamrin/denoise.h"

namespace tamrin {
namespace {

int report(int status, const std::string& message) {
    std::fprintf(stderr, "tamrin: %s\n", message.c_str());
    return status;
}

const char* treatment(int32_t uncovered) {
    return uncovered == kUncoveredInput ? "the input's values" : uncovered == kUncoveredZero ? "0" : "NaN";
}

}  // namespace

bool checkPatchFits(const int32_t extents[4], const std::string& path, std::string* error) {
    const int32_t side = patchSide(extents[3]);
    for (int axis = 0; axis < 3; axis++)
        if (extents[axis] < side) {
            *error = path + ": the series is thinner than a patch along " + "xyz"[axis] + " (" +
                     std::to_string(extents[axis]) + " voxels; a series of " + std::to_string(extents[3]) +
                     " volumes uses patches of side " + std::to_string(side) + ")";
            return false;
        }
    return true;
}

namespace {

// Where the streamed run's planes go: the series output, and the noise and
// rank maps when asked for; the input, whose mapped pages are dropped once
// read.
struct Targets {
    PlaneOutput series, noise, rank;
    bool noiseMap = false, rankMap = false;
    const SeriesFile* input = nullptr;
};

bool takePlane(void* context, int32_t z, const double* denoised, int64_t stride, const double* noise,
               const double* rank) {
    Targets& t = *static_cast<Targets*>(context);
    bool ok = putPlane(&t.series, z, denoised, stride);
    if (t.noiseMap) ok = putPlane(&t.noise, z, noise, 0) && ok;
    if (t.rankMap) ok = putPlane(&t.rank, z, rank, 0) && ok;
    return ok;
}

// Drops the pages of planes [z0, z1) of every volume of a mapped input: the
// run reads them again from the file when it needs them.
void dropInputPlanes(void* context, int32_t z0, int32_t z1) {
    const SeriesFile& input = *static_cast<Targets*>(context)->input;
    if (input.mapped.data == nullptr) return;
    const int32_t* e = input.extents;
    const int64_t plane = int64_t{e[0]} * e[1] * sizeof(float), volume = plane * e[2];
    const char* values = static_cast<const char*>(input.mapped.data);
    for (int64_t v = 0; v < e[3]; v++)
        dropMappedPages(values + v * volume + z0 * plane, static_cast<std::size_t>((z1 - z0) * plane));
}

// A run whose images cannot fit on their disks is refused before the work,
// not when a write fails at its end. Each image takes its size uncompressed
// in its folder while the run writes it (a .nii.gz its temporary .nii; the
// compressed file, which appears beside it at the end, has no size known
// beforehand and is not counted). kExitOk when they fit or the free space
// cannot be told.
int refuseWhatDiskCannotHold(const DenoiseRequest& request, const SeriesFile& series) {
    const int32_t* e = series.extents;
    const int64_t bytes = request.datatype == DT_FLOAT64 ? 8 : 4;
    const int64_t map = saturatingMultiply(saturatingMultiply(int64_t{e[0]} * e[1], e[2]), bytes);
    std::vector<std::pair<std::string, int64_t>> folders;  // each folder's need, in the outputs' order
    const auto need = [&](const std::string& target, int64_t size) {
        const std::string folder = folderOf(target);
        for (auto& f : folders)
            if (f.first == folder) {
                f.second = saturatingAdd(f.second, size);
                return;
            }
        folders.emplace_back(folder, size);
    };
    need(request.output, saturatingMultiply(map, e[3]));
    for (const std::string* path : {&request.noiseMap, &request.rankMap})
        if (!path->empty()) need(*path, map);
    for (const auto& f : folders) {
        int64_t free = 0;
        if (freeDiskBytes(f.first, &free) != 0 || free >= f.second) continue;
        return report(kExitFile, "not enough disk space for the results of " + request.input + " in " + f.first +
                                     ": " + formatBytes(f.second) + " needed (the images uncompressed; a .nii.gz is "
                                     "written as a temporary .nii first), " + formatBytes(free) + " free");
    }
    return kExitOk;
}

int notEnoughMemory(const SeriesFile& series, const DenoiseRequest& request) {
    return report(kExitFailed, "not enough memory to denoise " + request.input + " (about " +
                                   formatBytes(seriesPeakBytes(series, request.workers, request.slabs)) +
                                   " needed; see tamrin info)");
}

// Where an element of the series lies: "x 4, y 2, z 1, volume 0".
std::string elementAt(const SeriesView& s, int64_t i) {
    const int64_t X = s.X, Y = s.Y, Z = s.Z;
    return "x " + std::to_string(i % X) + ", y " + std::to_string(i / X % Y) + ", z " + std::to_string(i / (X * Y) % Z) +
           ", volume " + std::to_string(i / (X * Y * Z));
}

// The warnings of a run: NaN and infinities in the input (read as 0, their
// voxels uncovered), and covered voxels whose estimate broke down.
void warnAbout(const DenoiseRequest& request, const SeriesView& series, const DenoiseReport& found) {
    if (found.nonFiniteValues > 0)
        std::fprintf(stderr,
                     "tamrin: warning: %s: %s values are NaN or infinite (the first at %s); they are denoised as 0, "
                     "and the %s voxels holding them receive %s, as uncovered voxels do (--uncovered)\n",
                     request.input.c_str(), groupDigits(found.nonFiniteValues).c_str(),
                     elementAt(series, found.firstNonFinite).c_str(), groupDigits(found.nonFiniteVoxels).c_str(),
                     treatment(request.uncovered));
    if (found.brokenVoxels > 0)
        std::fprintf(stderr,
                     "tamrin: warning: %s voxels covered by patches have no estimate (the decomposition of a patch "
                     "over them gave NaN); they received %s\n",
                     groupDigits(found.brokenVoxels).c_str(), treatment(request.uncovered));
}

// Starts the outputs under their temporaries. kExitOk, or the failure reported.
int openTargets(const DenoiseRequest& request, const SeriesFile& series, const PendingOutputs& outputs,
                Targets* targets) {
    std::string error;
    targets->input = &series;
    const auto failed = [&](const std::string& target, const PlaneOutput& output) {
        return output.failure == ENOMEM ? notEnoughMemory(series, request) : report(kExitFile, target + ": " + error);
    };
    if (!openPlaneOutput(series, outputs.temporaries[0], series.extents[3], request.datatype, &targets->series,
                         &error))
        return failed(request.output, targets->series);
    std::size_t next = 1;
    for (const auto& map : {std::make_pair(&request.noiseMap, &targets->noise),
                            std::make_pair(&request.rankMap, &targets->rank)}) {
        if (map.first->empty()) continue;
        if (!openPlaneOutput(series, outputs.temporaries[next++], 0, request.datatype, map.second, &error))
            return failed(*map.first, *map.second);
    }
    targets->noiseMap = !request.noiseMap.empty();
    targets->rankMap = !request.rankMap.empty();
    return kExitOk;
}

// Completes the outputs (compressing the .nii.gz ones), writes the report
// under the last temporary, and renames them into place.
int completeOutputs(const DenoiseRequest& request, Targets* targets, const RunRecord& record,
                    PendingOutputs* outputs) {
    std::string error;
    if (!closePlaneOutput(&targets->series, &error)) return report(kExitFile, request.output + ": " + error);
    for (const auto& map : {std::make_pair(&request.noiseMap, &targets->noise),
                            std::make_pair(&request.rankMap, &targets->rank)}) {
        if (map.first->empty()) continue;
        if (!closePlaneOutput(map.second, &error)) return report(kExitFile, *map.first + ": " + error);
    }
    if (!request.report.empty() && !writeRunReport(request, record, outputs->temporaries.back(), &error))
        return report(kExitFile, error);
    if (request.force) removeReplacedTargets(*outputs);
    if (!commitOutputs(outputs, &error)) return report(kExitFile, error);
    return kExitOk;
}

}  // namespace

int runDenoise(const DenoiseRequest& request) {
    std::string error;
    const bool interactive = !request.quiet && isTerminal(stderr);
    RunRecord record;  // for the report, and the run's messages

    // Every file is checked, and the outputs' temporaries made, before any work.
    if (!checkReadableFile(request.input, &error)) return report(kExitFile, error);
    if (!request.mask.empty() && !checkReadableFile(request.mask, &error)) return report(kExitFile, error);
    std::vector<std::string> targets{request.output};
    for (const std::string* map : {&request.noiseMap, &request.rankMap})
        if (!map->empty()) targets.push_back(*map);
    if (!request.report.empty()) targets.push_back(request.report);
    PendingOutputs outputs;
    if (!prepareOutputs(targets, request.force, &outputs, &error)) return report(kExitFile, error);

    if (interactive) std::fprintf(stderr, "reading %s\n", request.input.c_str());
    SeriesFile series;
    if (!openSeries(request.input, &series, &error) || !checkPatchFits(series.extents, request.input, &error))
        return report(kExitFile, error);
    // A run that cannot fit is refused now, before the values are read.
    if (const int refused = refuseWhatCannotFit(request, series)) return refused;
    if (const int refused = refuseWhatDiskCannotHold(request, series)) return refused;
    std::vector<uint8_t> mask;
    if (!request.mask.empty() && !readMask(request.mask, series, &mask, &error)) return report(kExitFile, error);
    std::copy(series.extents, series.extents + 4, record.extents);
    record.memoryCheck = request.memoryCheck && !memoryCheckDisabled();
    if (!request.report.empty() && !mask.empty())
        record.maskedPositions = maskedPatchPositions(mask.data(), series.extents[0], series.extents[1],
                                                      series.extents[2], series.extents[3]);
    const ReadStatus read = loadSeries(&series, &error);
    if (read == kReadNoMemory) return notEnoughMemory(series, request);
    if (read != kReadOk) return report(kExitFile, error);
    Targets into;
    if (const int failed = openTargets(request, series, outputs, &into)) return failed;

    // The run streams its results: each z-plane is written as soon as it is
    // final (for a .nii.gz, to the temporary .nii it is compressed from). NaN
    // and infinities in the input are denoised as 0, and the voxels holding
    // them, like every voxel without an estimate, receive the --uncovered
    // treatment.
    const auto start = std::chrono::steady_clock::now();
    PlaneSink sink;
    sink.plane = takePlane;
    sink.inputRead = dropInputPlanes;
    sink.context = &into;
    sink.rank = !request.rankMap.empty();
    DenoiseReport& found = record.found;
    DenoiseOptions options;
    options.mask = mask.empty() ? nullptr : mask.data();
    options.nonFinite = kNonFiniteUncover;
    options.uncovered = request.uncovered;
    options.report = &found;
    options.messages = &record.log;  // printed below, once the run is over
    options.sink = &sink;
    // --slabs, or as many slabs as workers (at most one per patch side of
    // planes): the bits of the one-thread-per-slab run, threads apart.
    options.slabs = request.slabs > 0 ? request.slabs : request.workers;
    const int32_t status = denoiseWithProgress(series.view, request.workers, DenoiseResults(), options,
                                               interactive ? stderr : nullptr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    record.denoisingSeconds = seconds;
    printRunMessages(&record);
    if (status == kDenoiseEmptyMask) return report(kExitFile, request.mask + ": " + denoiseStatusMessage(status));
    if (status == kDenoiseSinkFailed) {
        // The output whose write failed, with the system's reason.
        const std::pair<const std::string*, PlaneOutput*> written[] = {
            {&request.output, &into.series}, {&request.noiseMap, &into.noise}, {&request.rankMap, &into.rank}};
        for (const auto& w : written) {
            std::string error;
            if (w.second->failure != 0 && !closePlaneOutput(w.second, &error))
                return report(kExitFile, *w.first + ": " + error);
        }
    }
    if (status != kDenoiseOk)
        return report(kExitFailed, std::string("denoising failed: ") + denoiseStatusMessage(status));
    warnAbout(request, series.view, found);
    series.releaseValues();

    if (interactive) std::fprintf(stderr, "writing %s\n", request.output.c_str());
    if (const int written = completeOutputs(request, &into, record, &outputs)) return written;
    if (interactive) {
        const int64_t patches = patchPositions(series.extents[0], series.extents[1], series.extents[2], series.extents[3]);
        std::fprintf(stderr, "done: %s patches in %.1f s (%s patches/s)\n", groupDigits(patches).c_str(), seconds,
                     groupDigits(static_cast<int64_t>(patches / (seconds > 0 ? seconds : 1e-9))).c_str());
    }
    return kExitOk;
}

}  // namespace tamrin
