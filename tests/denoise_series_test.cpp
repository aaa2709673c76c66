// The volume driver and the patch worker: partitioning, exact and reproducible
// sums for any worker count, uncovered voxels, and failure handling.
#include <atomic>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "linalg/pca.h"
#include "patch/noise.h"
#include "support/alloc.h"
#include "tamrin/denoise.h"
#include "tamrin/watch.h"
#include "test_support.h"

using namespace tamrin;

namespace {

using tamrin_test::Series;

Series phantom(int32_t X, int32_t Y, int32_t Z, int32_t N, double sigma, uint64_t seed) {
    return tamrin_test::phantomSeries(X, Y, Z, N, sigma, seed);
}

struct Result {
    int32_t status;
    std::vector<double> denoised, noise, weight;
};

// A run through denoiseVolume, or through denoiseSeries with a message log.
Result run(const Series& s, int32_t workers, MessageLog* log = nullptr) {
    Result r{0, std::vector<double>(s.data.size(), -1.0), std::vector<double>(s.voxels(), -1.0),
             std::vector<double>(s.voxels(), -1.0)};
    if (log == nullptr) {
        r.status = denoiseVolume(s.data.data(), s.X, s.Y, s.Z, s.N, workers, r.denoised.data(), r.noise.data(),
                                 r.weight.data());
        return r;
    }
    DenoiseOptions options;
    options.messages = log;
    r.status = denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), workers,
                             tamrin_test::resultsInto(r.denoised, r.noise, r.weight), options);
    return r;
}

using tamrin_test::sameBits;

void expectClose(const std::vector<double>& a, const std::vector<double>& b, double relative) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); i++) {
        if (std::isnan(a[i]) || std::isnan(b[i])) {
            EXPECT_TRUE(std::isnan(a[i]) && std::isnan(b[i])) << "at " << i;
            continue;
        }
        EXPECT_LE(std::fabs(a[i] - b[i]), relative * std::fabs(b[i]) + 1e-300) << "at " << i;
    }
}

// The single-threaded computation written out directly: every position in
// z, y, x order, then the division by the weights.
Result literal(const Series& s) {
    const int32_t side = patchSide(s.N), M = side * side * side, N = s.N;
    const int64_t X = s.X, Y = s.Y, Z = s.Z, voxels = s.voxels();
    Result r{0, std::vector<double>(s.data.size(), 0.0), std::vector<double>(voxels, 0.0),
             std::vector<double>(voxels, 0.0)};
    std::vector<double> patch(static_cast<std::size_t>(M) * N), U(patch.size()), w(N), V(N * N), means(N);
    const double correction = noiseCorrection(M, N);
    auto index = [&](int64_t x, int64_t y, int64_t z, int64_t v) { return x + X * (y + Y * (z + Z * v)); };
    for (int64_t z0 = 0; z0 + side <= Z; z0++)
        for (int64_t y0 = 0; y0 + side <= Y; y0++)
            for (int64_t x0 = 0; x0 + side <= X; x0++) {
                double total = 0.0;
                std::size_t p = 0;
                for (int64_t v = 0; v < N; v++)
                    for (int64_t dz = 0; dz < side; dz++)
                        for (int64_t dy = 0; dy < side; dy++)
                            for (int64_t dx = 0; dx < side; dx++) {
                                patch[p] = s.data[index(x0 + dx, y0 + dy, z0 + dz, v)];
                                total = total + patch[p++];
                            }
                if (total == 0.0) continue;
                centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
                const double sigma = estimateNoise(w.data(), N, M, correction);
                const double weight = selectComponents(w.data(), N, M, sigma, nullptr);
                rebuildPatch(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
                p = 0;
                for (int64_t v = 0; v < N; v++)
                    for (int64_t dz = 0; dz < side; dz++)
                        for (int64_t dy = 0; dy < side; dy++)
                            for (int64_t dx = 0; dx < side; dx++) {
                                r.denoised[index(x0 + dx, y0 + dy, z0 + dz, v)] += weight * patch[p++];
                                if (v == 0) {
                                    r.noise[index(x0 + dx, y0 + dy, z0 + dz, 0)] += weight * sigma;
                                    r.weight[index(x0 + dx, y0 + dy, z0 + dz, 0)] += weight;
                                }
                            }
            }
    for (int64_t v = 0; v < N; v++)
        for (int64_t k = 0; k < voxels; k++) {
            if (v == 0) r.noise[k] = r.noise[k] / r.weight[k];
            r.denoised[k + voxels * v] = r.denoised[k + voxels * v] / r.weight[k];
        }
    return r;
}

}  // namespace

TEST(Partition, AxisWorkerCountAndSlices) {
    EXPECT_EQ(partitionAxis(128, 128, 60), 1);
    EXPECT_EQ(partitionAxis(96, 96, 96), 2);
    EXPECT_EQ(partitionAxis(100, 80, 100), 2);
    EXPECT_EQ(partitionAxis(100, 80, 60), 0);

    EXPECT_EQ(workerCount(8, 128, 4), 8);
    EXPECT_EQ(workerCount(100, 128, 4), 32);
    EXPECT_EQ(workerCount(5, 7, 4), 1);  // E < 2s
    EXPECT_EQ(workerCount(5, 3, 4), 1);  // E < s
    EXPECT_EQ(workerCount(0, 128, 4), 0);

    const int32_t expected[][2] = {{0, 15}, {15, 31}, {31, 46}, {46, 62}, {62, 78}, {78, 93}, {93, 109}, {109, 125}};
    for (int32_t i = 0; i < 8; i++) {
        int32_t start = -1, end = -1;
        sliceRange(125, i, 8, &start, &end);
        EXPECT_EQ(start, expected[i][0]);
        EXPECT_EQ(end, expected[i][1]);
    }
    // Wide extents: L * i must not overflow 32 bits.
    int32_t start = 0, end = 0;
    sliceRange(2000000000, 3, 4, &start, &end);
    EXPECT_EQ(start, 1500000000);
    EXPECT_EQ(end, 2000000000);
}

TEST(DenoiseVolume, OneWorkerIsExactlyTheSingleThreadedArithmetic) {
    const Series s = phantom(14, 11, 9, 10, 20.0, 1);
    const Result expected = literal(s);
    const Result got = run(s, 1);
    ASSERT_EQ(got.status, kDenoiseOk);
    EXPECT_TRUE(sameBits(got.denoised, expected.denoised));
    EXPECT_TRUE(sameBits(got.noise, expected.noise));
}

TEST(DenoiseVolume, WorkerCountsAgreeAndRepeatBitForBit) {
    const Series s = phantom(23, 17, 13, 12, 15.0, 2);
    const Result one = run(s, 1);
    ASSERT_EQ(one.status, kDenoiseOk);
    for (int32_t workers : {2, 3, 4, 7, 64}) {
        SCOPED_TRACE(workers);
        const Result a = run(s, workers);
        const Result b = run(s, workers);
        ASSERT_EQ(a.status, kDenoiseOk);
        EXPECT_TRUE(sameBits(a.denoised, b.denoised));
        EXPECT_TRUE(sameBits(a.noise, b.noise));
        expectClose(a.denoised, one.denoised, 1e-12);
        expectClose(a.noise, one.noise, 1e-12);
    }
}

TEST(DenoiseVolume, ThreeWorkersMeetingInThinSlabsLoseNothing) {
    // N = 126 gives s = 6; an axis of 18 allows 3 workers with slices
    // [0, 4), [4, 8), [8, 13): plane 8 receives patches of all three.
    const Series s = tamrin_test::phantomSeries(18, 6, 6, 126, 10.0, 3, true);
    ASSERT_EQ(patchSide(126), 6);
    const Result one = run(s, 1);
    const Result three = run(s, 3);
    ASSERT_EQ(three.status, kDenoiseOk);
    expectClose(three.denoised, one.denoised, 1e-12);
    expectClose(three.noise, one.noise, 1e-12);
    // Every voxel is covered here, so a lost contribution would show as a
    // wrong weight: check the weights directly too.
    for (std::size_t k = 0; k < one.weight.size(); k++) EXPECT_NEAR(three.weight[k], one.weight[k], 1e-12);
}

TEST(DenoiseVolume, UncoveredVoxelsAreNan) {
    // All zeros: every patch skipped.
    Series zeros{9, 8, 7, 5, std::vector<double>(9 * 8 * 7 * 5, 0.0)};
    // Thinner than a patch on a short axis (s = 4 for N = 30) and on the longest axis.
    Series thin = phantom(20, 20, 3, 30, 5.0, 4);
    Series narrow = phantom(3, 2, 2, 30, 5.0, 5);
    // Values summing exactly to zero, with mixed signs, in the only patch.
    Series cancelling{2, 2, 2, 2, std::vector<double>(16)};
    for (int i = 0; i < 16; i++) cancelling.data[i] = (i % 2 ? -1.0 : 1.0) * (i + 1 - i % 2);
    for (const Series* s : {&zeros, &thin, &narrow, &cancelling}) {
        for (int32_t workers : {1, 4}) {
            const Result r = run(*s, workers);
            ASSERT_EQ(r.status, kDenoiseOk);
            for (double x : r.denoised) EXPECT_TRUE(std::isnan(x));
            for (double x : r.noise) EXPECT_TRUE(std::isnan(x));
        }
    }
}

TEST(DenoiseVolume, BackgroundStaysNanAndObjectIsCovered) {
    const Series s = phantom(24, 24, 12, 10, 10.0, 6);
    const Result r = run(s, 2);
    ASSERT_EQ(r.status, kDenoiseOk);
    // The corner voxel lies in background patches only; the centre in the object.
    EXPECT_TRUE(std::isnan(r.noise[0]));
    const int64_t centre = 12 + 24 * (12 + 24 * 6);
    EXPECT_FALSE(std::isnan(r.noise[centre]));
    EXPECT_GT(r.noise[centre], 0.0);
}

TEST(DenoiseVolume, NanInTheInputStaysWhereItsPatchesReach) {
    Series s = phantom(16, 16, 10, 10, 10.0, 7);
    const int32_t x = 8, y = 8, z = 5;
    s.data[x + 16 * (y + 16 * (z + 10 * 3))] = std::numeric_limits<double>::quiet_NaN();
    tamrin_test::CapturedMessages host;
    const Result r = run(s, 2, host.log());
    ASSERT_EQ(r.status, kDenoiseOk);
    for (const std::string& m : host.messages()) EXPECT_EQ(m, "no convergence in 30 svdcmp iterations\n");
    const int32_t side = patchSide(10);
    for (int32_t zz = 0; zz < 10; zz++)
        for (int32_t yy = 0; yy < 16; yy++)
            for (int32_t xx = 0; xx < 16; xx++) {
                const bool reached = std::abs(xx - x) < side && std::abs(yy - y) < side && std::abs(zz - z) < side;
                const double value = r.denoised[xx + 16 * (yy + 16 * zz)];
                const double original = s.data[xx + 16 * (yy + 16 * zz)];
                if (!reached && original != 0.0) {
                    EXPECT_FALSE(std::isnan(value)) << xx << "," << yy << "," << zz;
                }
            }
    EXPECT_TRUE(std::isnan(r.denoised[x + 16 * (y + 16 * z)]));
}

TEST(DenoiseVolume, RejectsImpossibleExtents) {
    double dummy[4] = {};
    EXPECT_EQ(denoiseVolume(dummy, 0, 1, 1, 2, 1, dummy, dummy, dummy), kDenoiseBadExtents);
    EXPECT_EQ(denoiseVolume(dummy, 1, 1, 1, 1, 1, dummy, dummy, dummy), kDenoiseBadExtents);
    // 2^31-ish extents whose element count passes 2^63 are refused before any write.
    EXPECT_EQ(denoiseVolume(dummy, 2000000000, 2000000000, 2000000000, 2, 1, dummy, dummy, dummy),
              kDenoiseBadExtents);
}

TEST(DenoiseVolumeFaults, EveryAllocationAndThreadStartFailingEndsCompleteOrReported) {
    const Series s = phantom(16, 12, 9, 8, 10.0, 8);
    const Result reference = run(s, 3);
    // Without room for job records the driver runs one worker on the caller's thread.
    const Result fallback = run(s, 1);
    ASSERT_EQ(reference.status, kDenoiseOk);
    tamrin_test::CapturedMessages host;
    // Allocation sites in order: job records, thread handles, bands, then the
    // workers' scratch and per-patch store, interleaved across threads.
    int completed = 0, reported = 0;
    for (long long nth = 1; nth <= 40; nth++) {
        injectAllocationFailure(nth);
        const Result r = run(s, 3);
        injectAllocationFailure(0);
        if (r.status == kDenoiseOk) {
            completed++;
            const bool asRequested = sameBits(r.denoised, reference.denoised) && sameBits(r.noise, reference.noise);
            const bool asOne = sameBits(r.denoised, fallback.denoised) && sameBits(r.noise, fallback.noise);
            EXPECT_TRUE(asRequested || (nth <= 2 && asOne)) << "allocation " << nth;
        } else {
            reported++;
            EXPECT_TRUE(r.status == kDenoiseOutOfMemory || r.status == kDenoisePatchOutOfMemory);
        }
        EXPECT_EQ(host.liveBlocks(), 0) << "blocks leaked, allocation " << nth;
    }
    EXPECT_GT(completed, 0);
    EXPECT_GT(reported, 0);
    for (long long nth = 1; nth <= 3; nth++) {
        injectThreadStartFailure(nth);
        const Result r = run(s, 3);
        injectThreadStartFailure(0);
        ASSERT_EQ(r.status, kDenoiseOk);
        EXPECT_TRUE(sameBits(r.denoised, reference.denoised)) << "thread start " << nth;
        EXPECT_TRUE(sameBits(r.noise, reference.noise)) << "thread start " << nth;
    }
}

TEST(DenoiseVolumeArithmetic, NearEmptyEdgePatchesRebuildAsTheirMeans) {
    // One non-zero voxel in a patch: a nearly rank-one matrix whose vanishing
    // components come out of the decomposition with infinite vectors. They
    // are discarded, and must not turn the patch into NaN.
    Series s{4, 4, 4, 30, std::vector<double>(4 * 4 * 4 * 30, 0.0)};
    for (int32_t v = 0; v < 30; v++) s.data[static_cast<std::size_t>(v) * 64] = v + 1.0;
    for (int32_t workers : {1, 2}) {
        const Result r = run(s, workers);
        ASSERT_EQ(r.status, kDenoiseOk);
        for (int32_t v = 0; v < 30; v++)
            for (int32_t k = 0; k < 64; k++) EXPECT_EQ(r.denoised[static_cast<std::size_t>(v) * 64 + k], (v + 1.0) / 64);
        for (double x : r.noise) EXPECT_TRUE(std::isfinite(x));
    }
}

TEST(DenoiseVolumeArithmetic, FiniteInputGivesFiniteResultsWhereCovered) {
    // Values near the underflow limit (a constant whose centred residue is
    // denormal) and a masked object's edges, with both kernels.
    Series tiny{3, 6, 2, 8, std::vector<double>(3 * 6 * 2 * 8, -1.4526061569202767e-296)};
    Series tinyNoise = phantom(12, 10, 8, 9, 20.0, 9);
    for (double& x : tinyNoise.data) x *= 1e-300;
    Series edges = phantom(20, 20, 12, 30, 5.0, 10);
    for (const Series* s : {&tiny, &tinyNoise, &edges}) {
        for (int32_t kernel : {kDenoiseKernelFast, kDenoiseKernelPlain}) {
            Result r{0, std::vector<double>(s->data.size()), std::vector<double>(s->voxels()),
                     std::vector<double>(s->voxels())};
            r.status = denoiseSeries(seriesView(s->data.data(), s->X, s->Y, s->Z, s->N), 2,
                                     tamrin_test::resultsInto(r.denoised, r.noise, r.weight),
                                     tamrin_test::withKernel(kernel));
            ASSERT_EQ(r.status, kDenoiseOk);
            int64_t bad = 0;
            for (int64_t k = 0; k < s->voxels(); k++) {
                if (!(r.weight[k] > 0.0)) continue;
                bad += !std::isfinite(r.noise[k]);
                for (int32_t v = 0; v < s->N; v++) bad += !std::isfinite(r.denoised[k + s->voxels() * v]);
            }
            EXPECT_EQ(bad, 0) << "kernel " << kernel;
        }
    }
}

namespace {

struct Watched {
    std::atomic<bool>* cancel;
    int64_t cancelAfter;  // cancel once this many positions are done (-1: never)
    int calls = 0, finishedCalls = 0;
    int64_t lastDone = -1, total = -1;
};

void watch(int64_t done, int64_t total, bool finished, void* context) {
    Watched* w = static_cast<Watched*>(context);
    w->calls++;
    w->finishedCalls += finished ? 1 : 0;
    EXPECT_GE(done, w->lastDone);  // progress never goes back
    w->lastDone = done;
    w->total = total;
    if (w->cancelAfter >= 0 && done >= w->cancelAfter) w->cancel->store(true);
}

}  // namespace

TEST(DenoiseSeries, CancelStopsTheWorkersAndTheNextCallIsWhole) {
    const Series s = tamrin_test::phantomSeries(28, 24, 14, 30, 10.0, 11, true);
    const Result expected = run(s, 2);
    ASSERT_EQ(expected.status, kDenoiseOk);
    for (int32_t kernel : {kDenoiseKernelFast, kDenoiseKernelPlain})
        for (int32_t workers : {1, 3}) {
            SCOPED_TRACE(testing::Message() << "kernel " << kernel << ", " << workers << " workers");
            std::atomic<bool> cancel{true};
            DenoiseOptions options = tamrin_test::withKernel(kernel);
            options.cancel = &cancel;
            Result r{0, std::vector<double>(s.data.size()), std::vector<double>(s.voxels()),
                     std::vector<double>(s.voxels())};
            tamrin_test::CapturedMessages host;
            // Set before the start: no position is denoised.
            std::atomic<int64_t> progress{0};
            options.progress = &progress;
            EXPECT_EQ(denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), workers,
                                    tamrin_test::resultsInto(r.denoised, r.noise, r.weight), options),
                      kDenoiseCancelled);
            EXPECT_EQ(progress.load(), 0);
            // Set from the watching thread once some work is done.
            cancel = false;
            Watched w{&cancel, 1};
            options.progress = nullptr;
            EXPECT_EQ(denoiseSeriesWatched(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), workers,
                                           tamrin_test::resultsInto(r.denoised, r.noise, r.weight), options, 1, watch,
                                           &w),
                      kDenoiseCancelled);
            EXPECT_LT(w.lastDone, w.total);
            EXPECT_EQ(w.finishedCalls, 1);
            EXPECT_EQ(host.liveBlocks(), 0);
            if (workers != 3) continue;
            // The same options with the flag down again: the whole result.
            cancel = false;
            Watched full{&cancel, -1};
            ASSERT_EQ(denoiseSeriesWatched(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), 2,
                                           tamrin_test::resultsInto(r.denoised, r.noise, r.weight), options, 1, watch,
                                           &full),
                      kDenoiseOk);
            EXPECT_EQ(full.lastDone, patchPositions(s.X, s.Y, s.Z, s.N));
            EXPECT_EQ(full.total, full.lastDone);
            EXPECT_EQ(full.finishedCalls, 1);
            EXPECT_TRUE(sameBits(r.denoised, expected.denoised));
            EXPECT_TRUE(sameBits(r.noise, expected.noise));
        }
}
