// tamrin denoise: reads a series (and a mask), checks that it can be
// denoised, runs the denoiser with a progress line (NaN and infinities read
// as 0, the voxels without an estimate filled as --uncovered says) and
// writes the results. Outputs are created empty under temporary names before the work
// starts, so that an unwritable folder is reported at once, and renamed into
// place only when all are complete.
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
#include "progress.h"
#include "series_file.h"
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

// The results of one run, in the denoiser's doubles. The denoised series is
// not zero-filled here: the denoiser zeroes its sums itself.
struct ResultArrays {
    std::unique_ptr<double[]> denoised;
    std::vector<double> noise, weight, rank;
};

bool allocateResults(const SeriesView& s, bool rank, ResultArrays* arrays) {
    const int64_t voxels = int64_t{s.X} * s.Y * s.Z;
    try {
        arrays->denoised.reset(new double[static_cast<std::size_t>(voxels * s.N)]);
        arrays->noise.resize(static_cast<std::size_t>(voxels));
        arrays->weight.resize(static_cast<std::size_t>(voxels));
        if (rank) arrays->rank.resize(static_cast<std::size_t>(voxels));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

double* rankOf(ResultArrays* arrays) { return arrays->rank.empty() ? nullptr : arrays->rank.data(); }

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

// Writes the results under the outputs' temporaries and renames them into place.
int writeResults(const DenoiseRequest& request, const SeriesFile& series, ResultArrays* results,
                 PendingOutputs* outputs) {
    std::string error;
    if (request.force) removeReplacedTargets(*outputs);
    if (!writeLike(series, outputs->temporaries[0], series.extents[3], request.datatype, results->denoised.get(),
                   &error))
        return report(kExitFile, request.output + ": " + error);
    std::size_t next = 1;
    for (const auto& map : {std::make_pair(&request.noiseMap, &results->noise),
                            std::make_pair(&request.rankMap, &results->rank)}) {
        if (map.first->empty()) continue;
        if (!writeLike(series, outputs->temporaries[next++], 0, request.datatype, map.second->data(), &error))
            return report(kExitFile, *map.first + ": " + error);
    }
    if (!commitOutputs(outputs, &error)) return report(kExitFile, error);
    return kExitOk;
}

}  // namespace

int runDenoise(const DenoiseRequest& request) {
    std::string error;
    const bool interactive = !request.quiet && isTerminal(stderr);

    // Every file is checked, and the outputs' temporaries made, before any work.
    if (!checkReadableFile(request.input, &error)) return report(kExitFile, error);
    if (!request.mask.empty() && !checkReadableFile(request.mask, &error)) return report(kExitFile, error);
    std::vector<std::string> targets{request.output};
    for (const std::string* map : {&request.noiseMap, &request.rankMap})
        if (!map->empty()) targets.push_back(*map);
    PendingOutputs outputs;
    if (!prepareOutputs(targets, request.force, &outputs, &error)) return report(kExitFile, error);

    if (interactive) std::fprintf(stderr, "reading %s\n", request.input.c_str());
    SeriesFile series;
    if (!openSeries(request.input, &series, &error) || !checkPatchFits(series.extents, request.input, &error))
        return report(kExitFile, error);
    // A run that cannot fit is refused now, before the values are read.
    if (const int refused = refuseWhatCannotFit(request, series)) return refused;
    std::vector<uint8_t> mask;
    if (!request.mask.empty() && !readMask(request.mask, series, &mask, &error)) return report(kExitFile, error);
    const ReadStatus read = loadSeries(&series, &error);
    if (read == kReadNoMemory) return notEnoughMemory(series, request);
    if (read != kReadOk) return report(kExitFile, error);
    ResultArrays results;
    if (!allocateResults(series.view, !request.rankMap.empty(), &results)) return notEnoughMemory(series, request);

    const auto start = std::chrono::steady_clock::now();
    DenoiseResults into;
    into.denoised = results.denoised.get();
    into.noise = results.noise.data();
    into.weight = results.weight.data();
    into.rank = rankOf(&results);
    // NaN and infinities in the input are denoised as 0, and the voxels
    // holding them, like every voxel without an estimate, receive the
    // --uncovered treatment.
    DenoiseReport found;
    DenoiseOptions options;
    options.mask = mask.empty() ? nullptr : mask.data();
    options.nonFinite = kNonFiniteUncover;
    options.uncovered = request.uncovered;
    options.report = &found;
    // --slabs, or as many slabs as workers (at most one per patch side of
    // planes): the bits of the one-thread-per-slab run, threads apart.
    options.slabs = request.slabs > 0 ? request.slabs : request.workers;
    const int32_t status =
        denoiseWithProgress(series.view, request.workers, into, options, interactive ? stderr : nullptr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status == kDenoiseEmptyMask) return report(kExitFile, request.mask + ": " + denoiseStatusMessage(status));
    if (status != kDenoiseOk)
        return report(kExitFailed, std::string("denoising failed: ") + denoiseStatusMessage(status));
    warnAbout(request, series.view, found);
    series.releaseValues();
    std::vector<double>().swap(results.weight);

    if (interactive) std::fprintf(stderr, "writing %s\n", request.output.c_str());
    if (const int written = writeResults(request, series, &results, &outputs)) return written;
    if (interactive) {
        const int64_t patches = patchPositions(series.extents[0], series.extents[1], series.extents[2], series.extents[3]);
        std::fprintf(stderr, "done: %s patches in %.1f s (%s patches/s)\n", groupDigits(patches).c_str(), seconds,
                     groupDigits(static_cast<int64_t>(patches / (seconds > 0 ? seconds : 1e-9))).c_str());
    }
    return kExitOk;
}

}  // namespace tamrin
