// SPDX-License-Identifier: BSD-3-Clause
// The command's memory estimate (denoiseRunNeed, which tamrin info prints
// and the memory check compares with the limits) against the bytes a whole
// run of tamrin denoise obtains, counted at the allocator: the run is made
// in this process (runDenoise), for each way the command holds the values
// (mapped, loaded as stored, converted to doubles), with a mask and a rank
// map, one and several workers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

#include "cli_test_support.h"
#include "commands.h"
#include "counting_allocator.h"
#include "memory_fit.h"
#include "nifti_io.h"
#include "series_file.h"

using namespace tamrin_cli_test;

namespace {

struct Case {
    const char* name;
    int datatype;
    double slope;
    int32_t workers;
    bool maskAndRank;
    tamrin::InputHolding holding;
};

// Never below what the run obtained at its busiest moment, and at most 15 %
// plus 6 MiB above it: the estimate takes the format's buffers at 4 MiB and
// counts a byte a voxel for records a run may not need. (Whether several
// workers' busiest moments coincide depends on timing here; the core's
// estimate is checked against the worst case in memory_estimate_test.)
TEST(CommandMemoryEstimate, CoversWhatAWholeRunObtains) {
    if (!tamrin_test::allocatorCounted()) GTEST_SKIP() << "the allocator is not glibc's: nothing is counted";
    const int32_t X = 32, Y = 30, Z = 24, N = 30;
    const Case cases[] = {{"mapped.nii", DT_FLOAT32, 0.0, 1, false, tamrin::kInputMapped},
                          {"mapped3.nii", DT_FLOAT32, 0.0, 3, true, tamrin::kInputMapped},
                          {"loaded.nii.gz", DT_FLOAT32, 0.0, 2, false, tamrin::kInputLoaded},
                          {"scaled32.nii", DT_FLOAT32, 0.5, 2, true, tamrin::kInputMapped},
                          {"scaled32.nii.gz", DT_FLOAT32, 0.5, 1, false, tamrin::kInputLoaded},
                          {"scaled.nii.gz", DT_INT16, 0.5, 2, true, tamrin::kInputConverted},
                          {"doubles.nii", DT_FLOAT64, 0.0, 1, false, tamrin::kInputConverted}};
    ScratchFolder folder;
    std::vector<double> values(static_cast<std::size_t>(X) * Y * Z * N);
    std::mt19937_64 random(5);
    std::normal_distribution<double> noise(100.0, 10.0);
    for (double& v : values) v = std::round(noise(random));
    std::unique_ptr<nifti_image, void (*)(nifti_image*)> mask(makeHeader(X, Y, Z, 0, DT_UINT8), nifti_image_free);
    std::vector<double> inside(static_cast<std::size_t>(X) * Y * Z, 0.0);
    for (std::size_t k = inside.size() / 3; k < inside.size() / 2; k++) inside[k] = 1.0;
    ASSERT_TRUE(writeImage(mask.get(), inside, folder / "mask.nii"));

    for (const Case& c : cases) {
        std::unique_ptr<nifti_image, void (*)(nifti_image*)> header(makeHeader(X, Y, Z, N, c.datatype),
                                                                    nifti_image_free);
        ASSERT_TRUE(writeImage(header.get(), values, folder / c.name, c.slope));
        tamrin::DenoiseRequest request;
        request.input = folder / c.name;
        request.output = folder / "out.nii.gz";
        request.noiseMap = folder / "noise.nii";
        if (c.maskAndRank) {
            request.rankMap = folder / "rank.nii";
            request.mask = folder / "mask.nii";
        }
        request.workers = c.workers;
        request.datatype = DT_FLOAT64;
        request.force = true;
        request.quiet = true;

        tamrin::SeriesFile series;
        std::string error;
        ASSERT_TRUE(tamrin::openSeries(request.input, &series, &error)) << error;
        const tamrin::RunShape shape = tamrin::requestShape(request, series);
        EXPECT_EQ(shape.holding, c.holding) << c.name;
        const int64_t estimate = tamrin::denoiseRunNeed(shape).privateBytes;

        const int64_t before = tamrin_test::liveBytes();
        tamrin_test::resetPeakBytes();
        ASSERT_EQ(tamrin::runDenoise(request), tamrin::kExitOk) << c.name;
        const int64_t obtained = tamrin_test::peakBytes() - before;
        std::printf("%s, %d workers%s: obtained %lld bytes, estimate %lld (%+.1f %%)\n", c.name, c.workers,
                    c.maskAndRank ? ", mask and rank" : "", static_cast<long long>(obtained),
                    static_cast<long long>(estimate), 100.0 * (estimate - obtained) / obtained);
        EXPECT_GE(estimate, obtained) << c.name;
        EXPECT_LE(estimate, obtained + obtained * 15 / 100 + (int64_t{6} << 20)) << c.name;
    }
}

}  // namespace
