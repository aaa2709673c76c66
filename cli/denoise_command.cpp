// tamrin denoise: reads a series (and a mask), checks that it can be
// denoised, sets aside values that are not finite, runs the denoiser with a
// progress line, fills the voxels without an estimate and writes the
// results. Outputs are created empty under temporary names before the work
// starts, so that an unwritable folder is reported at once, and renamed into
// place only when all are complete.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "commands.h"
#include "file_layer.h"
#include "mask_file.h"
#include "non_finite.h"
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

// Replaces the values that are not finite (voxels no patch covered, and
// covered voxels whose estimate broke down) as `uncovered` says: the noise
// level and the rank by 0, the series by the input's value or 0;
// kUncoveredNan keeps them. Returns the number of covered voxels (weight not
// 0) with a value that was not finite. Walks each volume in memory order.
template <typename T>
int64_t fillUncovered(double* denoised, double* noise, double* rank, const double* weight, const T* input,
                      int64_t voxels, int64_t N, int uncovered) {
    const bool replace = uncovered != kUncoveredNan, fromInput = uncovered == kUncoveredInput;
    std::vector<uint8_t> bad(static_cast<std::size_t>(voxels));
    for (int64_t k = 0; k < voxels; k++) {
        const bool finite = std::isfinite(noise[k]) && (rank == nullptr || std::isfinite(rank[k]));
        bad[k] = !finite;
        if (!finite && replace) {
            noise[k] = std::isfinite(noise[k]) ? noise[k] : 0.0;
            if (rank != nullptr && !std::isfinite(rank[k])) rank[k] = 0.0;
        }
    }
    for (int64_t v = 0; v < N; v++) {
        double* values = denoised + voxels * v;
        const T* original = input + voxels * v;
        for (int64_t k = 0; k < voxels; k++) {
            if (std::isfinite(values[k])) continue;
            bad[k] = 1;
            if (replace) values[k] = fromInput ? static_cast<double>(original[k]) : 0.0;
        }
    }
    int64_t broken = 0;
    for (int64_t k = 0; k < voxels; k++) broken += bad[k] != 0 && weight[k] != 0.0;
    return broken;
}

const char* treatment(Uncovered uncovered) {
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

// Voxels no patch covered have weight 0 and came out as 0 / 0. Covered voxels
// can also come out NaN, when the decomposition of a patch over them broke
// down; they have no usable estimate either and get the same replacement,
// with a warning. With --uncovered nan the values stay exactly as the
// denoiser left them.
void replaceUncovered(const SeriesView& s, ResultArrays* arrays, Uncovered uncovered) {
    const int64_t voxels = int64_t{s.X} * s.Y * s.Z;
    double* rank = rankOf(arrays);
    const int64_t broken =
        s.type == kValuesSingle
            ? fillUncovered(arrays->denoised.get(), arrays->noise.data(), rank, arrays->weight.data(),
                            static_cast<const float*>(s.values), voxels, s.N, uncovered)
            : fillUncovered(arrays->denoised.get(), arrays->noise.data(), rank, arrays->weight.data(),
                            static_cast<const double*>(s.values), voxels, s.N, uncovered);
    if (broken > 0)
        std::fprintf(stderr,
                     "tamrin: warning: %s voxels covered by patches have no estimate (the decomposition of a patch "
                     "over them gave NaN); they received %s\n",
                     groupDigits(broken).c_str(), treatment(uncovered));
}

int notEnoughMemory(const SeriesFile& series, const DenoiseRequest& request) {
    return report(kExitFailed, "not enough memory to denoise " + request.input + " (about " +
                                   formatBytes(seriesPeakBytes(series, request.workers, request.datatype)) +
                                   " needed; see tamrin info)");
}

// Reads the series' values and sets aside those that are not finite, with a
// warning; returns an exit status (kExitOk to go on).
int readSeriesValues(const DenoiseRequest& request, SeriesFile* series, NonFiniteValues* nonFinite) {
    std::string error;
    const ReadStatus read = loadSeries(series, &error);
    if (read == kReadNoMemory) return notEnoughMemory(*series, request);
    if (read != kReadOk) return report(kExitFile, error);
    if (!setAsideNonFinite(series, nonFinite, &error)) return report(kExitFile, error);
    if (nonFinite->count > 0)
        std::fprintf(stderr,
                     "tamrin: warning: %s: %s values are NaN or infinite (the first at %s); they are denoised as 0, "
                     "and the %s voxels holding them receive %s, as uncovered voxels do (--uncovered)\n",
                     request.input.c_str(), groupDigits(nonFinite->count).c_str(),
                     firstNonFinite(series->view, *nonFinite).c_str(), groupDigits(nonFinite->voxels).c_str(),
                     treatment(request.uncovered));
    return kExitOk;
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
    std::vector<uint8_t> mask;
    if (!request.mask.empty() && !readMask(request.mask, series, &mask, &error)) return report(kExitFile, error);
    NonFiniteValues nonFinite;
    if (const int status = readSeriesValues(request, &series, &nonFinite)) return status;
    ResultArrays results;
    if (!allocateResults(series.view, !request.rankMap.empty(), &results)) return notEnoughMemory(series, request);

    const auto start = std::chrono::steady_clock::now();
    DenoiseResults into;
    into.denoised = results.denoised.get();
    into.noise = results.noise.data();
    into.weight = results.weight.data();
    into.rank = rankOf(&results);
    DenoiseOptions options;
    options.mask = mask.empty() ? nullptr : mask.data();
    const int32_t status =
        denoiseWithProgress(series.view, request.workers, into, options, interactive ? stderr : nullptr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status == kDenoiseEmptyMask) return report(kExitFile, request.mask + ": " + denoiseStatusMessage(status));
    if (status != kDenoiseOk)
        return report(kExitFailed, std::string("denoising failed: ") + denoiseStatusMessage(status));
    // Voxels that held NaN or infinities have no estimate: they are treated
    // as uncovered, from the input's own values.
    uncoverNonFinite(series.view, nonFinite, into.denoised, into.noise, into.rank, into.weight);
    putBackNonFinite(&series, nonFinite);
    replaceUncovered(series.view, &results, request.uncovered);
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
