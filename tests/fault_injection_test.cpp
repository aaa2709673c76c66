// SPDX-License-Identifier: BSD-3-Clause
// Fault injection in the volume driver: every allocation of a run (job
// records, thread handles, bands, the workers' scratch and working store, the
// decomposition's rows and svdcmp's vectors, the rescue's second attempt) and
// every thread start is made to fail in turn, for both kernels and several
// worker counts. Each run must end with the result of the unfaulted run, bit
// for bit, or with a failure status; never with a leak, a stray message or a
// result that looks valid but is not.
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/alloc.h"
#include "tamrin/denoise.h"
#include "test_support.h"

using namespace tamrin;

namespace {

using tamrin_test::Series;

// 6 x 4 x 3 voxels, 5 volumes (patch side 2, at most 3 workers along x):
// a noisy smooth signal with a NaN (whose 8 patches go through the plain
// path and print), a 2 x 2 x 2 block of values near the underflow limit
// (its patch needs the scaled second attempt) and an exact-zero corner (a
// skipped patch).
Series faultSeries() {
    Series s{6, 4, 3, 5, {}};
    s.data.resize(static_cast<std::size_t>(s.voxels()) * s.N);
    std::mt19937_64 rng(61);
    std::normal_distribution<double> noise(0.0, 4.0);
    for (int32_t v = 0; v < s.N; v++)
        for (int32_t z = 0; z < s.Z; z++)
            for (int32_t y = 0; y < s.Y; y++)
                for (int32_t x = 0; x < s.X; x++) {
                    double value = 200.0 * std::exp(-0.1 * v * (1 + 0.2 * y)) + 30.0 * std::cos(0.7 * x + 0.3 * z);
                    value += noise(rng);
                    if (x >= 4 && y >= 2 && z >= 1) value *= 1e-300;
                    if (x < 2 && y < 2 && z < 2) value = 0.0;
                    s.data[x + s.X * (y + s.Y * (z + int64_t{s.Z} * v))] = value;
                }
    s.data[2 + s.X * (1 + s.Y * (1 + int64_t{s.Z} * 1))] = std::numeric_limits<double>::quiet_NaN();
    return s;
}

struct Outcome {
    int32_t status;
    std::vector<double> denoised, noise;
    std::vector<std::string> messages;
    long long blocksLeft;  // the core's blocks not released
};

Outcome run(const Series& s, int32_t workers, int32_t kernel) {
    tamrin_test::CapturedMessages host;
    std::vector<double> weight(static_cast<std::size_t>(s.voxels()), -1.0);
    Outcome r{0, std::vector<double>(s.data.size(), -1.0), std::vector<double>(weight.size(), -1.0), {}, 0};
    DenoiseOptions options = tamrin_test::withKernel(kernel);
    options.messages = host.log();
    r.status = denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), workers,
                             tamrin_test::resultsInto(r.denoised, r.noise, weight), options);
    r.messages = host.messages();
    r.blocksLeft = host.liveBlocks();
    return r;
}

bool identical(const Outcome& a, const Outcome& b) {
    if (a.denoised.size() != b.denoised.size() || a.noise.size() != b.noise.size()) return false;
    for (std::size_t i = 0; i < a.denoised.size(); i++)
        if (!tamrin_test::sameBits(a.denoised[i], b.denoised[i])) return false;
    for (std::size_t i = 0; i < a.noise.size(); i++)
        if (!tamrin_test::sameBits(a.noise[i], b.noise[i])) return false;
    return true;
}

const char* const kNoConvergence = "no convergence in 30 svdcmp iterations\n";
const char* const kNoVector = "svdcmp(): Unable to allocate vector\n";

// Allocations (or thread starts) a clean run makes.
long long countAllocations(const Series& s, int32_t workers, int32_t kernel) {
    const long long armed = 1000000000;
    injectAllocationFailure(armed);
    const Outcome r = run(s, workers, kernel);
    const long long used = armed - allocationFailurePending();
    injectAllocationFailure(0);
    EXPECT_EQ(r.status, kDenoiseOk);
    return used;
}

long long countThreadStarts(const Series& s, int32_t workers, int32_t kernel) {
    const long long armed = 1000000;
    injectThreadStartFailure(armed);
    run(s, workers, kernel);
    const long long used = armed - threadStartFailurePending();
    injectThreadStartFailure(0);
    return used;
}

// What the sweep saw, so that a test can tell that every outcome occurred.
struct Tally {
    int complete = 0, outOfMemory = 0, decompositionFailed = 0;
};

// Checks one faulted run against the clean result of the requested worker
// count and, where the driver may have fallen back to one worker, the
// one-worker result.
void checkRun(const Outcome& r, const Outcome& clean, const Outcome* oneWorker, const std::string& what, Tally* seen) {
    EXPECT_EQ(r.blocksLeft, 0) << what << ": blocks leaked";
    for (const std::string& m : r.messages) EXPECT_TRUE(m == kNoConvergence || m == kNoVector) << what << ": " << m;
    if (r.status == kDenoiseOk) {
        seen->complete++;
        EXPECT_TRUE(identical(r, clean) || (oneWorker != nullptr && identical(r, *oneWorker)))
            << what << ": reported success with a different result";
    } else if (r.status == kDenoiseOutOfMemory) {
        seen->outOfMemory++;
    } else {
        EXPECT_EQ(r.status, kDenoisePatchOutOfMemory) << what;
        seen->decompositionFailed++;
    }
}

const char* kernelName(int32_t kernel) { return kernel == kDenoiseKernelFast ? "fast" : "plain"; }

}  // namespace

TEST(FaultInjection, EveryAllocationOfARunFailingInTurn) {
    const Series s = faultSeries();
    for (int32_t kernel : {kDenoiseKernelFast, kDenoiseKernelPlain}) {
        const Outcome oneWorker = run(s, 1, kernel);
        ASSERT_EQ(oneWorker.status, kDenoiseOk);
        for (int32_t workers : {1, 2, 3}) {
            const Outcome clean = run(s, workers, kernel);
            ASSERT_EQ(clean.status, kDenoiseOk);
            ASSERT_FALSE(clean.messages.empty()) << "the NaN's patches should print";
            const long long count = countAllocations(s, workers, kernel);
            // Driver: records, handles and three band arrays per worker but
            // the last; each worker: scratch and working store; and beyond
            // those the per-patch allocations of the plain path and the rescue.
            const long long fixed = workers > 1 ? 2 + 3 * (workers - 1) + 2 * workers : 2;
            EXPECT_GT(count, fixed + 10) << kernelName(kernel) << ", " << workers << " workers";
            Tally seen;
            for (long long nth = 1; nth <= count; nth++) {
                injectAllocationFailure(nth);
                const Outcome r = run(s, workers, kernel);
                const bool hit = allocationFailurePending() == 0;
                injectAllocationFailure(0);
                const std::string what = std::string(kernelName(kernel)) + ", " + std::to_string(workers) +
                                         " workers, allocation " + std::to_string(nth) + " of " +
                                         std::to_string(count);
                EXPECT_TRUE(hit) << what << " was never made";
                // Records and handles are the driver's first two allocations.
                checkRun(r, clean, workers > 1 && nth <= 2 ? &oneWorker : nullptr, what, &seen);
            }
            // With several workers scratch failures are absorbed (the worker
            // runs again on the calling thread); a failed decomposition, and
            // any failure of a lone worker, is reported.
            EXPECT_GT(seen.decompositionFailed, 0);
            EXPECT_GT(seen.outOfMemory, 0);
            if (workers > 1) {
                EXPECT_GT(seen.complete, 0);
            }
        }
    }
}

TEST(FaultInjection, ThreadedEveryThreadStartFailingInTurn) {
    // A worker whose thread cannot be started runs on the calling thread after
    // the others; the sums, and so the bits, are the same.
    const Series s = faultSeries();
    for (int32_t kernel : {kDenoiseKernelFast, kDenoiseKernelPlain}) {
        for (int32_t workers : {2, 3}) {
            const Outcome clean = run(s, workers, kernel);
            ASSERT_EQ(clean.status, kDenoiseOk);
            const long long starts = countThreadStarts(s, workers, kernel);
            EXPECT_EQ(starts, workers);
            for (long long nth = 1; nth <= starts; nth++) {
                injectThreadStartFailure(nth);
                const Outcome r = run(s, workers, kernel);
                const bool hit = threadStartFailurePending() == 0;
                injectThreadStartFailure(0);
                const std::string what = std::string(kernelName(kernel)) + ", thread start " + std::to_string(nth) +
                                         " of " + std::to_string(workers);
                EXPECT_TRUE(hit) << what;
                ASSERT_EQ(r.status, kDenoiseOk) << what;
                EXPECT_TRUE(identical(r, clean)) << what;
                EXPECT_EQ(r.blocksLeft, 0) << what;
                EXPECT_EQ(r.messages, clean.messages) << what;
            }
        }
    }
}

TEST(FaultInjection, ThreadedAllocationFailingInAWorkerRunOnTheCallingThread) {
    // The second thread start fails, and then each allocation in turn: the
    // worker run late on the calling thread meets the failures too.
    const Series s = faultSeries();
    const int32_t workers = 3;
    const Outcome clean = run(s, workers, kDenoiseKernelFast);
    const Outcome oneWorker = run(s, 1, kDenoiseKernelFast);
    const long long count = countAllocations(s, workers, kDenoiseKernelFast);
    Tally seen;
    for (long long nth = 1; nth <= count; nth++) {
        injectThreadStartFailure(2);
        injectAllocationFailure(nth);
        const Outcome r = run(s, workers, kDenoiseKernelFast);
        injectAllocationFailure(0);
        injectThreadStartFailure(0);
        checkRun(r, clean, nth <= 2 ? &oneWorker : nullptr, "thread 2 and allocation " + std::to_string(nth), &seen);
    }
    EXPECT_GT(seen.complete, 0);
    EXPECT_GT(seen.outOfMemory + seen.decompositionFailed, 0);
}
