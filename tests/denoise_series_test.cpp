// SPDX-License-Identifier: BSD-3-Clause
// The volume driver and the patch worker: partitioning, exact and reproducible
// sums for any worker count, uncovered voxels, and failure handling.
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "linalg/pca.h"
#include "patch/noise.h"
#include "support/alloc.h"
#include "tamrin/denoise.h"
#include "tamrin/watch.h"
#include "naive_denoise.h"
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
    const tamrin_test::NaiveResult expected = tamrin_test::naiveDenoise(s, 1);
    const Result got = run(s, 1);
    ASSERT_EQ(got.status, kDenoiseOk);
    EXPECT_TRUE(sameBits(got.denoised, expected.denoised));
    EXPECT_TRUE(sameBits(got.noise, expected.noise));
}

// Every worker count adds each cell's contributions in the naive driver's
// order: slabs of several planes, slabs thinner than s - 1 positions (where
// three or more slabs meet in a cell), a series thinner than two patches
// (one slab whatever is asked), with and without a mask, with the rank map.
TEST(DenoiseVolume, EveryWorkerCountAddsInTheNaiveDriversOrder) {
    struct Case {
        Series s;
        std::vector<int32_t> workers;
    };
    std::vector<Case> cases;
    cases.push_back({phantom(23, 17, 13, 12, 15.0, 2), {1, 2, 3, 7}});
    cases.push_back({tamrin_test::phantomSeries(30, 9, 8, 8, 10.0, 4, true), {2, 3, 7, 15}});  // s = 2
    // s = 6, slabs [0, 4), [4, 8), [8, 13): plane 8 receives patches of all three.
    cases.push_back({tamrin_test::phantomSeries(18, 7, 6, 126, 10.0, 3, true), {3}});
    cases.push_back({tamrin_test::phantomSeries(7, 9, 11, 27, 10.0, 5, true), {1, 2, 3}});     // thinner than 2s
    for (const Case& c : cases)
        for (int32_t workers : c.workers)
            for (bool masked : {false, true}) {
                const Series& s = c.s;
                SCOPED_TRACE(testing::Message() << s.X << "x" << s.Y << "x" << s.Z << "x" << s.N << ", " << workers
                                                << " workers" << (masked ? ", masked" : ""));
                std::vector<uint8_t> mask(static_cast<std::size_t>(s.voxels()));
                for (std::size_t k = 0; k < mask.size(); k++) mask[k] = (k * 7919) % 13 < 4;
                const uint8_t* inside = masked ? mask.data() : nullptr;
                const tamrin_test::NaiveResult expected = tamrin_test::naiveDenoise(s, workers, inside);
                std::vector<double> denoised(s.data.size()), noise(s.voxels()), weight(s.voxels()), rank(s.voxels());
                DenoiseResults results = tamrin_test::resultsInto(denoised, noise, weight);
                results.rank = rank.data();
                DenoiseOptions options;
                options.mask = inside;
                ASSERT_EQ(denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), workers, results, options),
                          kDenoiseOk);
                EXPECT_TRUE(sameBits(denoised, expected.denoised));
                EXPECT_TRUE(sameBits(noise, expected.noise));
                EXPECT_TRUE(sameBits(weight, expected.weight));
                EXPECT_TRUE(sameBits(rank, expected.rank));
            }
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

namespace {

// A run of s through denoiseSeries with the given options and the rank map.
struct Full {
    int32_t status;
    std::vector<double> denoised, noise, weight, rank;
    DenoiseReport report;
};

template <typename T>
Full runWith(const std::vector<T>& values, const Series& s, int32_t workers, DenoiseOptions options) {
    Full r{0, std::vector<double>(values.size(), -1.0), std::vector<double>(s.voxels(), -1.0),
           std::vector<double>(s.voxels(), -1.0), std::vector<double>(s.voxels(), -1.0), DenoiseReport()};
    DenoiseResults results = tamrin_test::resultsInto(r.denoised, r.noise, r.weight);
    results.rank = r.rank.data();
    options.report = &r.report;
    r.status = denoiseSeries(seriesView(values.data(), s.X, s.Y, s.Z, s.N), workers, results, options);
    return r;
}

}  // namespace

// NaN and infinities set aside: every result is that of the series with them
// replaced by 0, then the voxels holding them uncovered; the series itself is
// never written, whatever its type, kernel and worker count.
TEST(NonFinite, ReadAsZeroTheirVoxelsUncoveredTheSeriesUntouched) {
    Series s = phantom(17, 15, 11, 12, 10.0, 21);
    const int64_t voxels = s.voxels();
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const int64_t at[] = {5 + 17 * (6 + 15 * 4) + voxels * 3, 9 + 17 * (2 + 15 * 7), 9 + 17 * (2 + 15 * 7) + voxels * 11,
                          0};
    const double odd[] = {nan, inf, -inf, nan};
    Series zeroed = s;
    for (int i = 0; i < 4; i++) {
        s.data[at[i]] = odd[i];
        zeroed.data[at[i]] = 0.0;
    }
    std::vector<float> singles(s.data.begin(), s.data.end()), zeroedSingles(zeroed.data.begin(), zeroed.data.end());
    const std::vector<double> doublesBefore = s.data;
    const std::vector<float> singlesBefore = singles;
    for (int32_t kernel : {kDenoiseKernelFast, kDenoiseKernelPlain})
        for (int32_t workers : {1, 3}) {
            SCOPED_TRACE(testing::Message() << "kernel " << kernel << ", " << workers << " workers");
            DenoiseOptions plain = tamrin_test::withKernel(kernel);
            DenoiseOptions uncover = plain;
            uncover.nonFinite = kNonFiniteUncover;
            for (bool single : {false, true}) {
                Full expected = single ? runWith(zeroedSingles, zeroed, workers, plain)
                                       : runWith(zeroed.data, zeroed, workers, plain);
                // The voxels holding a non-finite value, as uncovered voxels are.
                volatile double zero = 0.0;
                for (int i = 0; i < 4; i++) {
                    const int64_t k = at[i] % voxels;
                    expected.weight[k] = 0.0;
                    expected.noise[k] = expected.rank[k] = zero / zero;
                    for (int32_t v = 0; v < s.N; v++) expected.denoised[k + voxels * v] = zero / zero;
                }
                const Full got = single ? runWith(singles, s, workers, uncover) : runWith(s.data, s, workers, uncover);
                ASSERT_EQ(got.status, kDenoiseOk);
                EXPECT_TRUE(sameBits(got.denoised, expected.denoised));
                EXPECT_TRUE(sameBits(got.noise, expected.noise));
                EXPECT_TRUE(sameBits(got.weight, expected.weight));
                EXPECT_TRUE(sameBits(got.rank, expected.rank));
                EXPECT_EQ(got.report.nonFiniteValues, 4);
                EXPECT_EQ(got.report.nonFiniteVoxels, 3);
                EXPECT_EQ(got.report.firstNonFinite, 0);
                EXPECT_EQ(got.report.brokenVoxels, 0);
            }
            EXPECT_TRUE(sameBits(s.data, doublesBefore));
            EXPECT_EQ(std::memcmp(singles.data(), singlesBefore.data(), singles.size() * sizeof(float)), 0);
        }
}

// Voxels without an estimate get the input's value (each value that is not
// finite), or 0; covered voxels whose estimate broke down are counted and
// treated the same; everything else keeps its bits.
TEST(Uncovered, InputOrZeroWhereNoEstimateAndTheOthersUnchanged) {
    Series s = phantom(16, 14, 10, 10, 10.0, 22);  // an exact-zero background: uncovered voxels
    const int64_t voxels = s.voxels(), hole = 8 + 16 * (7 + 14 * 5);
    s.data[hole + voxels * 2] = std::numeric_limits<double>::quiet_NaN();  // its patches break down
    const Full plain = runWith(s.data, s, 2, DenoiseOptions());
    ASSERT_EQ(plain.status, kDenoiseOk);
    for (int32_t uncovered : {kUncoveredNan, kUncoveredInput, kUncoveredZero}) {
        SCOPED_TRACE(uncovered);
        DenoiseOptions options;
        options.uncovered = uncovered;
        const Full got = runWith(s.data, s, 2, options);
        ASSERT_EQ(got.status, kDenoiseOk);
        int64_t broken = 0, uncoveredVoxels = 0;
        for (int64_t k = 0; k < voxels; k++) {
            const bool finite = std::isfinite(plain.noise[k]);
            broken += !finite && plain.weight[k] != 0.0;
            uncoveredVoxels += plain.weight[k] == 0.0;
            EXPECT_TRUE(sameBits(got.weight[k], plain.weight[k]));
            EXPECT_TRUE(sameBits(got.noise[k], finite || uncovered == kUncoveredNan ? plain.noise[k] : 0.0)) << k;
            for (int32_t v = 0; v < s.N; v++) {
                const int64_t i = k + voxels * v;
                double want = plain.denoised[i];
                if (!std::isfinite(want) && uncovered == kUncoveredInput) want = s.data[i];
                if (!std::isfinite(want) && uncovered == kUncoveredZero) want = 0.0;
                EXPECT_TRUE(sameBits(got.denoised[i], want)) << i;
            }
        }
        EXPECT_GT(broken, 0);
        EXPECT_GT(uncoveredVoxels, 0);
        EXPECT_EQ(got.report.brokenVoxels, broken);
    }
}

TEST(DenoiseVolume, WorkersBelowOneAndUnknownOptionsAreRefused) {
    const Series s = phantom(8, 8, 8, 8, 10.0, 23);
    std::vector<double> out(s.data.size(), -1.0), noise(s.voxels()), weight(s.voxels());
    EXPECT_EQ(denoiseVolume(s.data.data(), s.X, s.Y, s.Z, s.N, 0, out.data(), noise.data(), weight.data()),
              kDenoiseBadWorkers);
    EXPECT_EQ(denoiseVolume(s.data.data(), s.X, s.Y, s.Z, s.N, -3, out.data(), noise.data(), weight.data()),
              kDenoiseBadWorkers);
    EXPECT_EQ(out[0], -1.0);  // refused before anything is written
    const DenoiseResults results = tamrin_test::resultsInto(out, noise, weight);
    for (int32_t bad : {0, 1, 2}) {
        DenoiseOptions options;
        if (bad == 0) options.uncovered = 3;
        if (bad == 1) options.nonFinite = -1;
        if (bad == 2) options.kernel = 2;
        EXPECT_EQ(denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), 1, results, options),
                  kDenoiseBadOptions);
    }
    SeriesView unknown = seriesView(s.data.data(), s.X, s.Y, s.Z, s.N);
    for (int32_t type : {-1, kValuesUint64 + 1}) {
        unknown.type = type;
        EXPECT_EQ(denoiseSeries(unknown, 1, results), kDenoiseBadOptions);
    }
}
