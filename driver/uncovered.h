// SPDX-License-Identifier: BSD-3-Clause
// Voxels without an estimate: those holding NaN or infinities (when the
// caller asks for them to be set aside), those outside the mask, those no
// patch covered, and the turning of a run's sums into its results: the
// division by the weights and the treatment those voxels receive.
#pragma once

#include <cstdint>

#include "tamrin/denoise.h"

namespace tamrin {

// Counts the values of the series that are not finite into report (values,
// voxels holding one, the first one's index) and marks those voxels in
// holds (X*Y*Z bytes, 1 where a volume's value is not finite). Reads the
// series a z-plane at a time and tells sink->inputRead (when there is one)
// of each plane once read.
void findNonFinite(const SeriesView& series, uint8_t* holds, DenoiseReport* report,
                   const PlaneSink* sink = nullptr);

// The sums of `count` consecutive voxels of the series from voxel `first`
// (x + X*(y + Y*z)): the whole volume, or one z-plane of a streamed run.
// Volume v's values lie at denoised + v * stride; rank is null when no rank
// map is wanted.
struct VoxelSums {
    double* denoised = nullptr;
    int64_t stride = 0;
    double *noise = nullptr, *weight = nullptr, *rank = nullptr;
    int64_t first = 0, count = 0;
};

// Turns the sums into results, voxel by voxel: the voxels outside the
// options' mask, and those marked in flags (from findNonFinite, when
// nonFiniteFound), are left uncovered (sums and weight 0); everything is
// divided by the weights (0 / 0 = NaN where no patch reached); then, when the
// options ask for it (a treatment other than NaN, or a report), every value
// that is not finite receives the treatment and the covered voxels with such
// a value are counted into report->brokenVoxels. flags (X*Y*Z bytes) is
// scratch from there on for the voxels finished.
void finishVoxels(const SeriesView& series, const DenoiseOptions& options, const VoxelSums& sums,
                  bool nonFiniteFound, uint8_t* flags, DenoiseReport* report);

}  // namespace tamrin
