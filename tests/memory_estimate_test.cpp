// SPDX-License-Identifier: BSD-3-Clause
// The working-memory estimate against the bytes a run actually obtains,
// counted at the allocator (counting_allocator.h): denoiseWorkingBytes must
// never be below what denoiseSeries obtains beyond the caller's arrays (it
// decides whether a run is refused), and stays within a stated margin above
// it, on shapes with patches of side 2 to 7, one to four workers, both
// kernels, a mask and a rank map, and NaN in the series (every patch over it
// goes through the plain decomposition, which obtains its own scratch).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "counting_allocator.h"
#include "patch/noise.h"
#include "support/memory_check.h"
#include "tamrin/denoise.h"
#include "test_support.h"

using namespace tamrin;
using tamrin_test::Series;

namespace {

struct Shape {
    int32_t X, Y, Z, N, workers;
};

struct Variant {
    int32_t kernel;
    bool mask, rank, nan;
};

// Bytes obtained beyond the caller's arrays at the busiest moment of a run,
// taken as the sum of each thread's busiest moment: the workers' moments
// may or may not coincide, and the estimate must hold when they do.
int64_t measuredWorkingBytes(const Series& s, int32_t workers, const Variant& v) {
    std::vector<double> denoised(s.data.size()), noise(s.voxels()), weight(s.voxels()), rank;
    if (v.rank) rank.assign(s.voxels(), 0.0);
    std::vector<uint8_t> mask;
    if (v.mask) {
        mask.assign(s.voxels(), 0);
        for (int64_t k = s.voxels() / 4; k < s.voxels() / 2; k++) mask[k] = 1;
    }
    DenoiseResults into = tamrin_test::resultsInto(denoised, noise, weight);
    into.rank = v.rank ? rank.data() : nullptr;
    DenoiseOptions options;
    options.kernel = v.kernel;
    options.mask = v.mask ? mask.data() : nullptr;
    const int64_t before = tamrin_test::liveBytes();
    tamrin_test::resetPeakBytes();
    const int32_t status = denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), workers, into, options);
    EXPECT_EQ(status, kDenoiseOk);
    EXPECT_LE(tamrin_test::peakBytes() - before, tamrin_test::threadPeakBytes());
    return tamrin_test::threadPeakBytes();
}

// The estimate covers every run measured, and exceeds a run of the fast
// kernel (the one every front end uses) by at most 10 % plus 64 KiB per
// worker: the plain decomposition's scratch and the allocator's rounding of
// its rows are counted whether or not a run needs them. The plain kernel
// obtains far less than the fast one: only the lower bound applies to it.
TEST(WorkingMemoryEstimate, NeverBelowWhatARunObtainsAndWithinItsMargin) {
    if (!tamrin_test::allocatorCounted()) GTEST_SKIP() << "the allocator is not glibc's: nothing is counted";
    const Shape shapes[] = {{20, 18, 16, 8, 1}, {20, 18, 16, 8, 3}, {32, 24, 20, 30, 4},
                            {10, 10, 12, 100, 2}, {8, 8, 14, 300, 2}};
    const Variant variants[] = {{kDenoiseKernelFast, false, false, false},
                                {kDenoiseKernelFast, true, true, false},
                                {kDenoiseKernelFast, false, false, true},
                                {kDenoiseKernelPlain, false, true, true}};
    for (const Shape& shape : shapes) {
        Series s = tamrin_test::phantomSeries(shape.X, shape.Y, shape.Z, shape.N, 3.0, 11, true);
        for (const Variant& v : variants) {
            // NaN makes every patch over it a plain decomposition that does
            // not converge: a few of them show the scratch, more take long.
            if (v.nan && shape.N >= 100) continue;
            if (v.nan) s.data[s.voxels() / 2 + s.voxels() * (shape.N / 2)] = NAN;
            const int64_t measured = measuredWorkingBytes(s, shape.workers, v);
            const int64_t estimate = denoiseWorkingBytes(shape.X, shape.Y, shape.Z, shape.N, shape.workers);
            std::printf("%d x %d x %d x %d, %d workers, kernel %d%s%s%s: obtained %lld bytes, estimate %lld (%+.1f %%)\n",
                        shape.X, shape.Y, shape.Z, shape.N, shape.workers, v.kernel, v.mask ? ", mask" : "",
                        v.rank ? ", rank" : "", v.nan ? ", NaN" : "", static_cast<long long>(measured),
                        static_cast<long long>(estimate), 100.0 * (estimate - measured) / measured);
            EXPECT_GE(estimate, measured) << shape.N << " volumes, " << shape.workers << " workers";
            if (v.kernel == kDenoiseKernelFast) {
                EXPECT_LE(estimate, measured + measured / 10 + int64_t{64 << 10} * shape.workers)
                    << shape.N << " volumes, " << shape.workers << " workers";
            }
        }
    }
}

}  // namespace
