// SPDX-License-Identifier: BSD-3-Clause
// The denoiser written out directly, for the tests to compare against: the
// positions of each slab in scan order with the plain per-patch kernels, and
// each cell's contributions added in the order the driver adds them.
#pragma once

#include <cstdint>
#include <vector>

#include "test_support.h"

namespace tamrin_test {

struct NaiveResult {
    std::vector<double> denoised, noise, weight, rank;
};

// Denoises s as a run with `slabs` slabs would (the worker count of a plain
// call), with the mask (X*Y*Z bytes, non-zero inside) when it is not null.
// A cell's sums are: the contributions of the slab whose positions start in
// its plane, in that slab's scan order (z, y, x), then, in slab order, the
// sum of each earlier slab's contributions that reach past its own
// positions (its band, accumulated in its scan order). Then voxels outside
// the mask are cleared and the sums divided by the weights.
NaiveResult naiveDenoise(const Series& s, int32_t slabs, const uint8_t* mask = nullptr);

}  // namespace tamrin_test
