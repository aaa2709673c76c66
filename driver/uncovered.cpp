// findNonFinite, uncoverVoxels and treatUncovered.
#include "uncovered.h"

#include <cmath>
#include <cstring>

#include "value_types.h"

namespace tamrin {
namespace {

template <typename T>
void findIn(const T* values, int64_t voxels, int64_t N, uint8_t* holds, DenoiseReport* report) {
    for (int64_t v = 0; v < N; v++) {
        const T* volume = values + voxels * v;
        for (int64_t k = 0; k < voxels; k++) {
            if (std::isfinite(volume[k])) continue;
            if (report->firstNonFinite < 0) report->firstNonFinite = k + voxels * v;
            report->nonFiniteValues++;
            holds[k] = 1;
        }
    }
}

template <typename T>
void fillFromInput(double* denoised, const T* input, int64_t voxels, int64_t N, uint8_t* flags) {
    for (int64_t v = 0; v < N; v++) {
        double* values = denoised + voxels * v;
        const T* original = input + voxels * v;
        for (int64_t k = 0; k < voxels; k++) {
            if (std::isfinite(values[k])) continue;
            flags[k] = 1;
            values[k] = static_cast<double>(original[k]);
        }
    }
}

}  // namespace

void findNonFinite(const SeriesView& series, uint8_t* holds, DenoiseReport* report) {
    const int64_t voxels = int64_t{series.X} * series.Y * series.Z;
    // Integers are always finite.
    if (series.type == kValuesSingle)
        findIn(static_cast<const float*>(series.values), voxels, series.N, holds, report);
    else if (series.type == kValuesDouble)
        findIn(static_cast<const double*>(series.values), voxels, series.N, holds, report);
    for (int64_t k = 0; k < voxels; k++) report->nonFiniteVoxels += holds[k];
}

void uncoverVoxels(const DenoiseResults& results, const uint8_t* select, bool selected, int64_t voxels, int64_t N) {
    for (int64_t k = 0; k < voxels; k++) {
        if ((select[k] != 0) != selected) continue;
        results.noise[k] = 0.0;
        results.weight[k] = 0.0;
        if (results.rank != nullptr) results.rank[k] = 0.0;
    }
    for (int64_t v = 0; v < N; v++) {
        double* volume = results.denoised + voxels * v;
        for (int64_t k = 0; k < voxels; k++)
            if ((select[k] != 0) == selected) volume[k] = 0.0;
    }
}

void treatUncovered(const SeriesView& series, const DenoiseResults& results, int32_t uncovered, uint8_t* flags,
                    DenoiseReport* report) {
    const int64_t voxels = int64_t{series.X} * series.Y * series.Z, N = series.N;
    const bool replace = uncovered != kUncoveredNan;
    double* rank = results.rank;
    for (int64_t k = 0; k < voxels; k++) {
        const bool finite = std::isfinite(results.noise[k]) && (rank == nullptr || std::isfinite(rank[k]));
        flags[k] = !finite;
        if (!finite && replace) {
            if (!std::isfinite(results.noise[k])) results.noise[k] = 0.0;
            if (rank != nullptr && !std::isfinite(rank[k])) rank[k] = 0.0;
        }
    }
    if (uncovered == kUncoveredInput) {
        withTypedValues(series.type, series.values,
                        [&](auto input) { fillFromInput(results.denoised, input, voxels, N, flags); });
    } else {
        for (int64_t v = 0; v < N; v++) {
            double* values = results.denoised + voxels * v;
            for (int64_t k = 0; k < voxels; k++) {
                if (std::isfinite(values[k])) continue;
                flags[k] = 1;
                if (replace) values[k] = 0.0;
            }
        }
    }
    if (report == nullptr) return;
    for (int64_t k = 0; k < voxels; k++) report->brokenVoxels += flags[k] != 0 && results.weight[k] != 0.0;
}

}  // namespace tamrin
