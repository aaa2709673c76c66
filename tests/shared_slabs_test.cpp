// SPDX-License-Identifier: BSD-3-Clause
// Slabs decomposed by any number of threads: every output bit equals the
// one-thread-per-slab run with as many workers as slabs, whatever the thread
// count, mask, rank map, kernel or failure along the way.
#include <atomic>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "support/alloc.h"
#include "tamrin/denoise.h"
#include "tamrin/watch.h"
#include "test_support.h"

using namespace tamrin;
using tamrin_test::sameBits;
using tamrin_test::Series;

namespace {

struct Result {
    int32_t status = kDenoiseOk;
    std::vector<double> denoised, noise, weight, rank;
};

// A run with `threads` threads and `slabs` slabs (0: one thread per slab,
// `threads` of them), the mask when not null, and the rank map.
Result run(const Series& s, int32_t threads, int32_t slabs, const std::vector<uint8_t>* mask = nullptr,
           int32_t kernel = kDenoiseKernelFast, MessageLog* log = nullptr) {
    Result r;
    r.denoised.assign(s.data.size(), -1.0);
    r.noise.assign(s.voxels(), -1.0);
    r.weight.assign(s.voxels(), -1.0);
    r.rank.assign(s.voxels(), -1.0);
    DenoiseResults results = tamrin_test::resultsInto(r.denoised, r.noise, r.weight);
    results.rank = r.rank.data();
    DenoiseOptions options = tamrin_test::withKernel(kernel);
    options.mask = mask != nullptr ? mask->data() : nullptr;
    options.slabs = slabs;
    options.messages = log;
    r.status = denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), threads, results, options);
    return r;
}

bool same(const Result& a, const Result& b) {
    return a.status == b.status && sameBits(a.denoised, b.denoised) && sameBits(a.noise, b.noise) &&
           sameBits(a.weight, b.weight) && sameBits(a.rank, b.rank);
}


}  // namespace

TEST(SharedSlabs, EveryThreadCountGivesTheBitsOfAsManyWorkersAsSlabs) {
    struct Case {
        const char* what;
        Series s;
        std::vector<int32_t> slabs;
    };
    const Case cases[] = {
        // Partition axis x, an exact-zero background.
        {"head, axis x", tamrin_test::phantomSeries(27, 20, 12, 12, 10.0, 41), {1, 2, 3, 7}},
        // Partition axis z: the slabs are z-ranges.
        {"axis z", tamrin_test::phantomSeries(12, 11, 26, 9, 10.0, 42, true), {1, 2, 3, 7}},
        // Thinner than two patches along the longest axis: one slab at most.
        {"thin", tamrin_test::phantomSeries(9, 7, 8, 30, 10.0, 43, true), {1, 2}},
        // s = 6: three slabs thinner than s - 1 positions meet in one plane.
        {"thin slabs", tamrin_test::phantomSeries(18, 7, 6, 126, 10.0, 44, true), {3}},
    };
    for (const Case& c : cases) {
        const std::vector<uint8_t> mask = tamrin_test::blobMask(c.s, 5);
        for (int32_t slabs : c.slabs) {
            for (const std::vector<uint8_t>* m : {static_cast<const std::vector<uint8_t>*>(nullptr), &mask}) {
                const Result expected = run(c.s, slabs, 0, m);
                ASSERT_EQ(expected.status, kDenoiseOk);
                for (int32_t threads : {1, 2, 3, 8, 16}) {
                    SCOPED_TRACE(testing::Message() << c.what << ", " << slabs << " slabs, " << threads << " threads"
                                                    << (m != nullptr ? ", masked" : ""));
                    EXPECT_TRUE(same(run(c.s, threads, slabs, m), expected));
                }
            }
        }
    }
}

TEST(SharedSlabs, PlainKernelMessagesAndProgressAsTheOneThreadPerSlabRun) {
    Series s = tamrin_test::phantomSeries(20, 18, 10, 10, 10.0, 45);
    s.data[9 + 20 * (8 + 18 * 4) + s.voxels() * 2] = std::numeric_limits<double>::quiet_NaN();
    tamrin_test::CapturedMessages expectedLog;
    const Result expected = run(s, 2, 0, nullptr, kDenoiseKernelPlain, expectedLog.log());
    const std::vector<std::string> messages = expectedLog.messages();
    ASSERT_FALSE(messages.empty());
    for (int32_t kernel : {kDenoiseKernelFast, kDenoiseKernelPlain}) {
        tamrin_test::CapturedMessages log;
        EXPECT_TRUE(same(run(s, 3, 2, nullptr, kernel, log.log()), expected)) << "kernel " << kernel;
        EXPECT_EQ(log.messages().size(), messages.size()) << "kernel " << kernel;
    }
    std::atomic<int64_t> progress{0};
    std::vector<double> denoised(s.data.size()), noise(s.voxels()), weight(s.voxels());
    DenoiseOptions options;
    options.slabs = 1;
    options.progress = &progress;
    MessageLog quiet;
    options.messages = &quiet;
    ASSERT_EQ(denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), 4, tamrin_test::resultsInto(denoised, noise, weight),
                            options),
              kDenoiseOk);
    EXPECT_EQ(progress.load(), patchPositions(s.X, s.Y, s.Z, s.N));
}

TEST(SharedSlabs, CancelledRunsStopAndReleaseEverything) {
    const Series s = tamrin_test::phantomSeries(40, 36, 20, 30, 10.0, 46, true);
    std::atomic<bool> cancel{true};
    std::vector<double> denoised(s.data.size()), noise(s.voxels()), weight(s.voxels());
    DenoiseOptions options;
    options.slabs = 2;
    options.cancel = &cancel;
    const long long before = coreBlocksLive();
    std::atomic<int64_t> progress{0};
    options.progress = &progress;
    EXPECT_EQ(denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), 3,
                            tamrin_test::resultsInto(denoised, noise, weight), options),
              kDenoiseCancelled);
    EXPECT_EQ(progress.load(), 0);
    EXPECT_EQ(coreBlocksLive(), before);
    // Cancelled from the watching thread while the threads are at work.
    cancel = false;
    options.progress = nullptr;
    struct Watched {
        std::atomic<bool>* cancel;
    } watched{&cancel};
    const int32_t status = denoiseSeriesWatched(
        seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), 3, tamrin_test::resultsInto(denoised, noise, weight), options,
        1,
        [](int64_t done, int64_t, bool, void* context) {
            if (done > 0) static_cast<Watched*>(context)->cancel->store(true);
        },
        &watched);
    EXPECT_EQ(status, kDenoiseCancelled);
    EXPECT_EQ(coreBlocksLive(), before);
}

// Every allocation and thread start failing in turn: the run ends with the
// whole result of its slabs (fewer threads, never fewer slabs) or reports
// the failure, and releases everything either way.
TEST(SharedSlabs, FailuresGiveFewerThreadsNeverFewerSlabs) {
    const Series s = tamrin_test::phantomSeries(24, 18, 10, 10, 10.0, 47);
    const Result expected = run(s, 3, 0);
    // Count the allocations of a whole run.
    injectAllocationFailure(1000000);
    ASSERT_TRUE(same(run(s, 4, 3), expected));
    const long long allocations = 1000000 - allocationFailurePending();
    injectAllocationFailure(0);
    ASSERT_GT(allocations, 10);
    int completed = 0, reported = 0;
    for (long long nth = 1; nth <= allocations; nth++) {
        const long long before = coreBlocksLive();
        injectAllocationFailure(nth);
        const Result r = run(s, 4, 3);
        injectAllocationFailure(0);
        EXPECT_EQ(coreBlocksLive(), before) << "allocation " << nth;
        if (r.status == kDenoiseOk) {
            completed++;
            EXPECT_TRUE(same(r, expected)) << "allocation " << nth;
        } else {
            reported++;
            EXPECT_TRUE(r.status == kDenoiseOutOfMemory || r.status == kDenoisePatchOutOfMemory) << nth;
        }
    }
    EXPECT_GT(completed, 0);
    EXPECT_GT(reported, 0);
    for (long long nth = 1; nth <= 3; nth++) {
        injectThreadStartFailure(nth);
        const Result r = run(s, 4, 3);
        injectThreadStartFailure(0);
        EXPECT_TRUE(same(r, expected)) << "thread start " << nth;
    }
}

TEST(SharedSlabs, WorkingBytesCountTheThreadsAndTheirBuffers) {
    const int64_t one = denoiseWorkingBytes(96, 96, 60, 30, 1, 1);
    const int64_t eight = denoiseWorkingBytes(96, 96, 60, 30, 8, 1);
    EXPECT_GT(eight, one);
    // One slab keeps no band: the difference is the threads' stores alone.
    EXPECT_EQ((eight - one) % 7, 0);
    EXPECT_GT(denoiseWorkingBytes(96, 96, 60, 30, 8, 8), eight);  // seven bands
}
