// SPDX-License-Identifier: BSD-3-Clause
// findNonFinite and finishVoxels.
#include "uncovered.h"

#include <cmath>
#include <cstring>

#include "value_types.h"

namespace tamrin {
namespace {

// Scans the series a z-plane at a time, every volume's part of the plane,
// and tells `sink` (when given) that the plane was read: a streamed run's
// caller lets a mapped input's pages go as the scan moves on. The first
// non-finite value is the one of least index, whatever the scan's order.
template <typename In>
void findIn(In values, const SeriesView& series, uint8_t* holds, DenoiseReport* report, const PlaneSink* sink) {
    const int64_t plane = int64_t{series.X} * series.Y, voxels = plane * series.Z;
    for (int32_t z = 0; z < series.Z; z++) {
        for (int64_t v = 0; v < series.N; v++) {
            const In at = values + (voxels * v + plane * z);
            for (int64_t k = 0; k < plane; k++) {
                if (std::isfinite(static_cast<double>(at[k]))) continue;
                const int64_t index = voxels * v + plane * z + k;
                if (report->firstNonFinite < 0 || index < report->firstNonFinite) report->firstNonFinite = index;
                report->nonFiniteValues++;
                holds[plane * z + k] = 1;
            }
        }
        if (sink != nullptr && sink->inputRead != nullptr) sink->inputRead(sink->context, z, z + 1);
    }
}

// Leaves uncovered, before the division, the voxels k with
// (select[k] != 0) == selected: their sums and weight become 0, so that the
// division makes them NaN. For the mask (outside: selected = false) and for
// the voxels holding non-finite values (selected = true). select is indexed
// from the sums' first voxel.
void uncoverVoxels(const VoxelSums& sums, const uint8_t* select, bool selected, int64_t N) {
    for (int64_t k = 0; k < sums.count; k++) {
        if ((select[k] != 0) != selected) continue;
        sums.noise[k] = 0.0;
        sums.weight[k] = 0.0;
        if (sums.rank != nullptr) sums.rank[k] = 0.0;
    }
    for (int64_t v = 0; v < N; v++) {
        double* volume = sums.denoised + sums.stride * v;
        for (int64_t k = 0; k < sums.count; k++)
            if ((select[k] != 0) == selected) volume[k] = 0.0;
    }
}

// Divides the sums by the weights: voxels no patch covered get 0 / 0 = NaN.
void normalise(const VoxelSums& sums, int64_t N) {
    if (sums.rank != nullptr)
        for (int64_t k = 0; k < sums.count; k++) sums.rank[k] = sums.rank[k] / sums.weight[k];
    for (int64_t v = 0; v < N; v++)
        for (int64_t k = 0; k < sums.count; k++) {
            if (v == 0) sums.noise[k] = sums.noise[k] / sums.weight[k];
            sums.denoised[k + sums.stride * v] = sums.denoised[k + sums.stride * v] / sums.weight[k];
        }
}

template <typename In>
void fillFromInput(const VoxelSums& sums, In input, int64_t voxels, int64_t N, uint8_t* flags) {
    for (int64_t v = 0; v < N; v++) {
        double* values = sums.denoised + sums.stride * v;
        const In original = input + voxels * v + sums.first;
        for (int64_t k = 0; k < sums.count; k++) {
            if (std::isfinite(values[k])) continue;
            flags[k] = 1;
            values[k] = static_cast<double>(original[k]);
        }
    }
}

// After the division: counts into report->brokenVoxels the covered voxels
// (weight not 0) with a result that is not finite, and gives every value that
// is not finite the `uncovered` treatment (kUncoveredInput: the input's value
// in the series, 0 in the maps; kUncoveredZero: 0; kUncoveredNan: as it is).
// flags: a byte of scratch per voxel of the sums. Walks each volume in memory
// order.
void treatUncovered(const SeriesView& series, const VoxelSums& sums, int32_t uncovered, uint8_t* flags,
                    DenoiseReport* report) {
    const int64_t voxels = int64_t{series.X} * series.Y * series.Z, N = series.N;
    const bool replace = uncovered != kUncoveredNan;
    double* rank = sums.rank;
    for (int64_t k = 0; k < sums.count; k++) {
        const bool finite = std::isfinite(sums.noise[k]) && (rank == nullptr || std::isfinite(rank[k]));
        flags[k] = !finite;
        if (!finite && replace) {
            if (!std::isfinite(sums.noise[k])) sums.noise[k] = 0.0;
            if (rank != nullptr && !std::isfinite(rank[k])) rank[k] = 0.0;
        }
    }
    if (uncovered == kUncoveredInput) {
        withSeriesReader(series, false, [&](auto input) { fillFromInput(sums, input, voxels, N, flags); });
    } else {
        for (int64_t v = 0; v < N; v++) {
            double* values = sums.denoised + sums.stride * v;
            for (int64_t k = 0; k < sums.count; k++) {
                if (std::isfinite(values[k])) continue;
                flags[k] = 1;
                if (replace) values[k] = 0.0;
            }
        }
    }
    if (report == nullptr) return;
    for (int64_t k = 0; k < sums.count; k++) report->brokenVoxels += flags[k] != 0 && sums.weight[k] != 0.0;
}

}  // namespace

void findNonFinite(const SeriesView& series, uint8_t* holds, DenoiseReport* report, const PlaneSink* sink) {
    const int64_t voxels = int64_t{series.X} * series.Y * series.Z;
    // Integers are always finite; scaled values may overflow.
    if (series.scaled)
        findIn(readerOf<ScaledSingles<false>>(series), series, holds, report, sink);
    else if (series.type == kValuesSingle)
        findIn(static_cast<const float*>(series.values), series, holds, report, sink);
    else if (series.type == kValuesDouble)
        findIn(static_cast<const double*>(series.values), series, holds, report, sink);
    for (int64_t k = 0; k < voxels; k++) report->nonFiniteVoxels += holds[k];
}

void finishVoxels(const SeriesView& series, const DenoiseOptions& options, const VoxelSums& sums,
                  bool nonFiniteFound, uint8_t* flags, DenoiseReport* report) {
    const int64_t N = series.N;
    if (options.mask != nullptr) uncoverVoxels(sums, options.mask + sums.first, false, N);
    if (nonFiniteFound) uncoverVoxels(sums, flags + sums.first, true, N);
    normalise(sums, N);
    if (options.uncovered != kUncoveredNan || options.report != nullptr)
        treatUncovered(series, sums, options.uncovered, flags + sums.first, report);
}

}  // namespace tamrin
