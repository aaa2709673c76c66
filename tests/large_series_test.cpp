// SPDX-License-Identifier: BSD-3-Clause
// Series past 2^31 voxels: indices are formed in 64 bits everywhere.
//
// A 1300 x 1300 x 1300 x 3 series has 2.2e9 voxels and 6.6e9 elements (53 GB
// of doubles). Its arrays are reserved as address space only (anonymous
// mappings without swap reservation), and one worker is run directly on a
// small box of patch positions near the far corner, where every voxel index
// passes 2^31 and every element index of the later volumes passes 2^32. Only
// the pages the box reaches are ever touched. The box's sums must equal,
// bit for bit, those of the same neighbourhood cut out as a small series of
// its own, and no page of the outputs outside the box may have been written.
// (The whole driver cannot run on such a series here: it zeroes and
// normalises every output element, 70 GB of writes.)
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/denoise_job.h"
#include "patch/noise.h"
#include "tamrin/denoise.h"

using namespace tamrin;

namespace {

// Address space for count doubles, reading as zeros until written; null when
// the system refuses it.
struct Reserved {
    double* data = nullptr;
    std::size_t bytes = 0;

    explicit Reserved(int64_t count) : bytes(static_cast<std::size_t>(count) * sizeof(double)) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return;
        // Small pages only, so that touched pages say exactly what was written.
        madvise(p, bytes, MADV_NOHUGEPAGE);
        data = static_cast<double*>(p);
    }
    ~Reserved() {
        if (data != nullptr) munmap(data, bytes);
    }
    Reserved(const Reserved&) = delete;
    Reserved& operator=(const Reserved&) = delete;

    // Pages now backed by memory, by page number from the start.
    std::vector<int64_t> residentPages() const {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        std::vector<unsigned char> flags((bytes + page - 1) / page);
        std::vector<int64_t> pages;
        if (mincore(data, bytes, flags.data()) != 0) return {-1};
        for (std::size_t i = 0; i < flags.size(); i++)
            if (flags[i] & 1) pages.push_back(static_cast<int64_t>(i));
        return pages;
    }
};

constexpr int64_t kExtent = 1300;  // X = Y = Z
constexpr int32_t kVolumes = 3;    // patch side 2

int64_t at(int64_t X, int64_t Y, int64_t Z, int64_t x, int64_t y, int64_t z, int64_t v) {
    return x + X * (y + Y * (z + Z * v));
}

}  // namespace

TEST(LargeSeries, SlicesOfTheLongestExtentsAreFormedIn64Bits) {
    // L * i passes 2^31 for i >= 2; the slices must still tile [0, L).
    const int32_t L = INT32_MAX - 1, g = 32;
    int32_t previous = 0;
    for (int32_t i = 0; i < g; i++) {
        int32_t start = -1, end = -1;
        sliceRange(L, i, g, &start, &end);
        EXPECT_EQ(start, previous) << i;
        EXPECT_EQ(int64_t{end}, (int64_t{L} * (i + 1)) / g) << i;
        previous = end;
    }
    EXPECT_EQ(previous, L);
}

TEST(LargeSeries, WorkerBoxPastTwoToThe31VoxelsMatchesTheSameBoxCutOut) {
    const int64_t X = kExtent, Y = kExtent, Z = kExtent, N = kVolumes;
    const int32_t side = patchSide(kVolumes);
    const int64_t voxels = X * Y * Z;
    ASSERT_GT(voxels, int64_t{1} << 31);
    // Patch starts [x0, x0 + bx) and so on; the patches reach side - 1 further.
    const int64_t x0 = 1290, y0 = 1291, z0 = 1280, bx = 5, by = 4, bz = 4;
    const int64_t sx = bx + side - 1, sy = by + side - 1, sz = bz + side - 1;
    ASSERT_GT(at(X, Y, Z, x0, y0, z0, 0), int64_t{1} << 31);
    ASSERT_GT(at(X, Y, Z, x0, y0, z0, 2), int64_t{1} << 32);
    // The job's private band: the plane after its last start position, as a
    // driver would give a worker that is not the last.
    const int64_t bandStart = z0 + bz, bandEnd = bandStart + side - 1;

    // The neighbourhood as its own small series.
    std::vector<double> small(static_cast<std::size_t>(sx * sy * sz * N));
    std::mt19937_64 rng(29);
    std::normal_distribution<double> noise(0.0, 5.0);
    for (int64_t v = 0; v < N; v++)
        for (int64_t z = 0; z < sz; z++)
            for (int64_t y = 0; y < sy; y++)
                for (int64_t x = 0; x < sx; x++)
                    small[at(sx, sy, sz, x, y, z, v)] =
                        100.0 + 20.0 * std::sin(0.5 * x + 0.3 * y - 0.2 * v) + noise(rng);

    for (int32_t kernel : {kDenoiseKernelFast, kDenoiseKernelPlain}) {
        SCOPED_TRACE(kernel == kDenoiseKernelFast ? "fast kernel" : "plain kernel");
        DenoiseOptions options;
        options.kernel = kernel;

        std::vector<double> smallSum(small.size()), smallNoise(static_cast<std::size_t>(sx * sy * sz)),
            smallWeight(smallNoise.size());
        DenoiseJob cut{};
        cut.input = seriesView(small.data(), static_cast<int32_t>(sx), static_cast<int32_t>(sy),
                               static_cast<int32_t>(sz), kVolumes);
        cut.denoisedSum = smallSum.data();
        cut.noiseSum = smallNoise.data();
        cut.weightSum = smallWeight.data();
        cut.xEnd = static_cast<int32_t>(bx);
        cut.yEnd = static_cast<int32_t>(by);
        cut.zEnd = static_cast<int32_t>(bz);
        cut.options = &options;
        ASSERT_EQ(denoiseWorker(&cut), kDenoiseOk);

        Reserved input(voxels * N), sums(voxels * N), noiseSums(voxels), weights(voxels);
        const int64_t bandVoxels = X * Y * (bandEnd - bandStart);
        Reserved bandSums(bandVoxels * N), bandNoise(bandVoxels), bandWeight(bandVoxels);
        if (!input.data || !sums.data || !noiseSums.data || !weights.data || !bandSums.data || !bandNoise.data ||
            !bandWeight.data)
            GTEST_SKIP() << "the system refuses to reserve the series' address space (about 140 GB)";
        for (int64_t v = 0; v < N; v++)
            for (int64_t z = 0; z < sz; z++)
                for (int64_t y = 0; y < sy; y++)
                    for (int64_t x = 0; x < sx; x++)
                        input.data[at(X, Y, Z, x0 + x, y0 + y, z0 + z, v)] = small[at(sx, sy, sz, x, y, z, v)];

        DenoiseJob job{};
        job.input = seriesView(input.data, static_cast<int32_t>(X), static_cast<int32_t>(Y), static_cast<int32_t>(Z),
                               kVolumes);
        job.denoisedSum = sums.data;
        job.noiseSum = noiseSums.data;
        job.weightSum = weights.data;
        job.xStart = static_cast<int32_t>(x0);
        job.xEnd = static_cast<int32_t>(x0 + bx);
        job.yStart = static_cast<int32_t>(y0);
        job.yEnd = static_cast<int32_t>(y0 + by);
        job.zStart = static_cast<int32_t>(z0);
        job.zEnd = static_cast<int32_t>(z0 + bz);
        job.band = bandOf(2, bandStart, bandEnd, static_cast<int32_t>(X), static_cast<int32_t>(Y),
                          static_cast<int32_t>(Z));
        job.bandDenoised = bandSums.data;
        job.bandNoise = bandNoise.data;
        job.bandWeight = bandWeight.data;
        job.options = &options;
        ASSERT_EQ(denoiseWorker(&job), kDenoiseOk);

        // Every cell of the neighbourhood, in the sums or (its last plane) the
        // band, holds exactly the cut-out's sums; the pages written are those
        // of these cells and no others.
        std::set<int64_t> expectSums, expectNoise, expectBand, expectBandNoise;
        const int64_t perPage = sysconf(_SC_PAGESIZE) / static_cast<int64_t>(sizeof(double));
        int64_t mismatches = 0;
        for (int64_t v = 0; v < N; v++)
            for (int64_t z = 0; z < sz; z++)
                for (int64_t y = 0; y < sy; y++)
                    for (int64_t x = 0; x < sx; x++) {
                        const int64_t k = at(sx, sy, sz, x, y, z, 0), small4 = at(sx, sy, sz, x, y, z, v);
                        const bool inBand = z0 + z >= bandStart;
                        double sum, noiseSum = 0, weight = 0;
                        if (inBand) {
                            const int64_t cell = at(X, Y, 1, x0 + x, y0 + y, 0, 0);
                            sum = bandSums.data[cell + v * bandVoxels];
                            expectBand.insert((cell + v * bandVoxels) / perPage);
                            if (v == 0) {
                                noiseSum = bandNoise.data[cell];
                                weight = bandWeight.data[cell];
                                expectBandNoise.insert(cell / perPage);
                            }
                        } else {
                            const int64_t cell = at(X, Y, Z, x0 + x, y0 + y, z0 + z, 0);
                            sum = sums.data[cell + v * voxels];
                            expectSums.insert((cell + v * voxels) / perPage);
                            if (v == 0) {
                                noiseSum = noiseSums.data[cell];
                                weight = weights.data[cell];
                                expectNoise.insert(cell / perPage);
                            }
                        }
                        mismatches += std::memcmp(&sum, &smallSum[small4], sizeof sum) != 0;
                        if (v == 0) {
                            mismatches += std::memcmp(&noiseSum, &smallNoise[k], sizeof noiseSum) != 0;
                            mismatches += std::memcmp(&weight, &smallWeight[k], sizeof weight) != 0;
                            EXPECT_GT(weight, 0.0);
                        }
                    }
        EXPECT_EQ(mismatches, 0);

        const std::vector<int64_t> sumPages = sums.residentPages(), noisePages = noiseSums.residentPages(),
                                   weightPages = weights.residentPages(), bandPages = bandSums.residentPages(),
                                   bandNoisePages = bandNoise.residentPages();
        EXPECT_EQ(std::set<int64_t>(sumPages.begin(), sumPages.end()), expectSums);
        EXPECT_EQ(std::set<int64_t>(noisePages.begin(), noisePages.end()), expectNoise);
        EXPECT_EQ(std::set<int64_t>(weightPages.begin(), weightPages.end()), expectNoise);
        EXPECT_EQ(std::set<int64_t>(bandPages.begin(), bandPages.end()), expectBand);
        EXPECT_EQ(std::set<int64_t>(bandNoisePages.begin(), bandNoisePages.end()), expectBandNoise);
    }
}
