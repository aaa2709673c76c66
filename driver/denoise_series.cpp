// SPDX-License-Identifier: BSD-3-Clause
// denoiseSeries: splits the patch start positions along the longest axis into
// one slab per worker, runs the workers on threads, merges their private bands
// and divides the sums by the weights.
//
// Exactness where slabs meet: worker i writes the planes of its own start
// positions [start_i, end_i) directly into the shared sums, and no other worker
// writes there directly. Its patches also reach the s - 1 planes after its
// slab, which later workers own; those contributions go into a private band
// that is added into the sums after the join, in worker order. Every
// contribution arrives exactly once, and the result does not depend on timing.
// The last worker's band is empty (no worker follows it), so one worker runs
// exactly the plain single-threaded arithmetic.
//
// With a mask, the workers skip every position whose patch holds no voxel
// inside it, and after the join the voxels outside are cleared to weight 0
// (NaN after the division). Voxels inside receive every patch that reaches
// them in any case, so their sums are those of the run without a mask.
// Voxels holding NaN or infinities, when the caller asks for them to be set
// aside, are read as 0 by the workers and cleared the same way; voxels
// without an estimate then receive the caller's treatment (uncovered.h).
//
// Failures never pass silently: a worker that cannot be started, or that could
// not obtain its scratch, is run again on the calling thread after the others
// have ended; the call reports a status when that too fails.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "denoise_job.h"
#include "patch/noise.h"
#include "shared_slabs.h"
#include "slab_sums.h"
#include "support/alloc.h"
#include "tamrin/denoise.h"
#include "uncovered.h"
#include "value_types.h"

namespace tamrin {
namespace {

// a * b into *out unless it overflows 64 bits.
bool multiply(int64_t a, int64_t b, int64_t* out) { return !__builtin_mul_overflow(a, b, out); }

// Sets to zero the planes [from, to) on `axis` of `volumes` consecutive X x Y
// x Z arrays at a.
void zeroPlanes(double* a, int64_t volumes, int64_t X, int64_t Y, int64_t Z, int32_t axis, int64_t from, int64_t to) {
    if (to <= from) return;
    const int64_t plane = X * Y;
    for (int64_t v = 0; v < volumes; v++) {
        double* volume = a + v * plane * Z;
        if (axis == 2) {
            std::memset(volume + from * plane, 0, sizeof(double) * static_cast<std::size_t>((to - from) * plane));
            continue;
        }
        for (int64_t z = 0; z < Z; z++) {
            if (axis == 1) {
                std::memset(volume + z * plane + from * X, 0,
                            sizeof(double) * static_cast<std::size_t>((to - from) * X));
                continue;
            }
            for (int64_t y = 0; y < Y; y++)
                std::memset(volume + z * plane + y * X + from, 0, sizeof(double) * static_cast<std::size_t>(to - from));
        }
    }
}

// Zeroes the planes of the sums that only `job` writes directly: from the
// start of its slice to its band, or to the end of the axis for the last job.
// Done by the worker's own thread, the first touch of that memory happens in
// parallel (and, on machines with several memory nodes, near that thread).
void zeroOwnPlanes(DenoiseJob* job) {
    const SeriesView& s = job->input;
    const int32_t extents[3] = {s.X, s.Y, s.Z};
    const int32_t starts[3] = {job->xStart, job->yStart, job->zStart};
    const int32_t axis = job->band.axis;
    const int64_t from = starts[axis];
    const int64_t to = job->band.end > job->band.start ? job->band.start : extents[axis];
    zeroPlanes(job->denoisedSum, s.N, s.X, s.Y, s.Z, axis, from, to);
    zeroPlanes(job->noiseSum, 1, s.X, s.Y, s.Z, axis, from, to);
    zeroPlanes(job->weightSum, 1, s.X, s.Y, s.Z, axis, from, to);
    if (job->rankSum != nullptr) zeroPlanes(job->rankSum, 1, s.X, s.Y, s.Z, axis, from, to);
}

void threadEntry(DenoiseJob* job) {
    zeroOwnPlanes(job);
    denoiseWorker(job);
}

// Runs the g jobs, each on a thread of its own. One whose thread cannot be
// started, or that found no memory for its scratch (and so added nothing),
// runs here after the others have ended and released theirs; the sums are
// the same either way. Returns the first status other than kDenoiseOk.
int32_t runJobs(DenoiseJob* jobs, std::thread* threads, int32_t g) {
    for (int32_t i = 0; i < g; i++) {
        new (&threads[i]) std::thread();
        if (threadStartShouldFail()) continue;
        try {
            threads[i] = std::thread(threadEntry, &jobs[i]);
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
    }
    for (int32_t i = 0; i < g; i++) {
        if (threads[i].joinable())
            threads[i].join();
        else
            jobs[i].status = kDenoiseOutOfMemory;  // never ran: nothing added
        threads[i].~thread();
    }
    int32_t status = kDenoiseOk;
    for (int32_t i = 0; i < g; i++) {
        if (jobs[i].status == kDenoiseOutOfMemory) threadEntry(&jobs[i]);
        if (jobs[i].status != kDenoiseOk && status == kDenoiseOk) status = jobs[i].status;
    }
    return status;
}

bool holdsAVoxel(const uint8_t* mask, int64_t voxels) {
    for (int64_t k = 0; k < voxels; k++)
        if (mask[k] != 0) return true;
    return false;
}

}  // namespace

const char* denoiseStatusMessage(int32_t status) {
    switch (status) {
        case kDenoiseOk:
            return "success";
        case kDenoiseBadExtents:
            return "the series must have extents of at least 1, at least 2 volumes, and fewer than 2^63 elements";
        case kDenoiseOutOfMemory:
            return "not enough memory for the workers' working arrays";
        case kDenoisePatchOutOfMemory:
            return "not enough memory to decompose a patch";
        case kDenoiseCancelled:
            return "cancelled";
        case kDenoiseEmptyMask:
            return "the mask holds no voxel inside (every value is 0), so there is nothing to denoise";
        case kDenoiseBadWorkers:
            return "at least 1 worker is needed";
        case kDenoiseBadOptions:
            return "the series' value type and the options must be known values";
        case kDenoiseSinkFailed:
            return "the results could not be written";
        default:
            return "unknown status";
    }
}

namespace {

// The call's arguments and options as denoiseSeries accepts them; the
// number of voxels and elements in *voxels and *elements.
int32_t checkCall(const SeriesView& series, int32_t requested, const DenoiseOptions& options, int64_t* voxels,
                  int64_t* elements) {
    const int32_t X = series.X, Y = series.Y, Z = series.Z, N = series.N;
    if (X < 1 || Y < 1 || Z < 1 || N < 2 || !multiply(int64_t{X} * Y, Z, voxels) || !multiply(*voxels, N, elements) ||
        *elements > INT64_MAX / static_cast<int64_t>(sizeof(double)))
        return kDenoiseBadExtents;
    if (requested < 1) return kDenoiseBadWorkers;
    if (options.slabs < 0 || (options.sink != nullptr && options.sink->plane == nullptr)) return kDenoiseBadOptions;
    if (!knownValueType(series.type) ||
        (series.scaled && (series.type != kValuesSingle || series.slope == 0.0 || !std::isfinite(series.slope) ||
                           !std::isfinite(series.intercept))) ||
        (options.nonFinite != kNonFiniteKeep && options.nonFinite != kNonFiniteUncover) ||
        (options.uncovered != kUncoveredNan && options.uncovered != kUncoveredInput &&
         options.uncovered != kUncoveredZero) ||
        (options.kernel != kDenoiseKernelFast && options.kernel != kDenoiseKernelPlain))
        return kDenoiseBadOptions;
    if (options.mask != nullptr && !holdsAVoxel(options.mask, *voxels)) return kDenoiseEmptyMask;
    return kDenoiseOk;
}

// Runs the slabs of the series into the sums (not yet divided), reading the
// input's non-finite values as 0 when nonFiniteAsZero.
int32_t runSlabs(const SeriesView& series, int32_t requested, const DenoiseResults& results,
                 const DenoiseOptions& options, bool nonFiniteAsZero, int64_t voxels, int64_t elements) {
    const int32_t X = series.X, Y = series.Y, Z = series.Z, N = series.N;
    const int32_t extents[3] = {X, Y, Z};
    int32_t g = workerCount(requested, extents[partitionAxis(X, Y, Z)], patchSide(N));
    DenoiseJob single;
    DenoiseJob* jobs = &single;
    std::thread* threads = nullptr;
    if (g > 1) {
        jobs = static_cast<DenoiseJob*>(coreCalloc(static_cast<std::size_t>(g), sizeof(DenoiseJob)));
        threads = jobs != nullptr
                      ? static_cast<std::thread*>(coreCalloc(static_cast<std::size_t>(g), sizeof(std::thread)))
                      : nullptr;
        if (threads == nullptr) {
            // No room to run in parallel: one worker on this thread gives the
            // same result as a one-worker request.
            coreFree(jobs);
            jobs = &single;
            g = 1;
        }
    }
    if (jobs != &single)
        for (int32_t i = 0; i < g; i++) new (&jobs[i]) DenoiseJob();

    int32_t status = planJobs(series, results, options, jobs, g);
    for (int32_t i = 0; i < g; i++) jobs[i].nonFiniteAsZero = nonFiniteAsZero;
    // The sums start at zero: with one worker, or none, zeroed here; with
    // several, each worker zeroes the planes it owns before it starts, and a
    // worker run again here zeroes them again.
    if (g <= 1 || status != kDenoiseOk) {
        std::memset(results.denoised, 0, sizeof(double) * static_cast<std::size_t>(elements));
        std::memset(results.noise, 0, sizeof(double) * static_cast<std::size_t>(voxels));
        std::memset(results.weight, 0, sizeof(double) * static_cast<std::size_t>(voxels));
        if (results.rank != nullptr) std::memset(results.rank, 0, sizeof(double) * static_cast<std::size_t>(voxels));
    }
    if (status == kDenoiseOk && g == 1) status = denoiseWorker(&jobs[0]);
    if (status == kDenoiseOk && g > 1) status = runJobs(jobs, threads, g);
    if (status == kDenoiseOk)
        for (int32_t i = 0; i < g; i++) mergeBand(jobs[i]);

    for (int32_t i = 0; i < g; i++) {
        coreFree(jobs[i].bandDenoised);
        coreFree(jobs[i].bandNoise);
        coreFree(jobs[i].bandWeight);
        coreFree(jobs[i].bandRank);
    }
    if (jobs != &single) {
        coreFree(threads);
        coreFree(jobs);
    }
    return status;
}

}  // namespace

int32_t denoiseSeries(const SeriesView& series, int32_t requested, const DenoiseResults& results,
                      const DenoiseOptions& options) {
    int64_t voxels = 0, elements = 0;
    const int32_t checked = checkCall(series, requested, options, &voxels, &elements);
    if (checked != kDenoiseOk) return checked;
    DenoiseReport found;

    // One byte a voxel, only for the options that need it: which voxels hold
    // a non-finite value, then which have no finite result.
    const bool uncover = options.nonFinite == kNonFiniteUncover;
    const bool treat = options.uncovered != kUncoveredNan || options.report != nullptr;
    uint8_t* flags = nullptr;
    if (uncover || treat) {
        flags = static_cast<uint8_t*>(coreCalloc(static_cast<std::size_t>(voxels), 1));
        if (flags == nullptr) return kDenoiseOutOfMemory;
    }
    if (uncover) findNonFinite(series, flags, &found, options.sink);

    const bool asZero = found.nonFiniteValues > 0;
    int32_t status = kDenoiseOk;
    if (options.sink != nullptr) {
        // Streamed: the scheduler finishes each plane as it becomes final.
        const int32_t slabs = options.slabs > 0 ? options.slabs : requested;
        status = runSharedSlabs(series, requested, slabs, results, options, asZero, flags, &found);
    } else {
        status = options.slabs > 0 ? runSharedSlabs(series, requested, options.slabs, results, options, asZero)
                                   : runSlabs(series, requested, results, options, asZero, voxels, elements);
        VoxelSums sums;
        sums.denoised = results.denoised;
        sums.stride = voxels;
        sums.noise = results.noise;
        sums.weight = results.weight;
        sums.rank = results.rank;
        sums.count = voxels;
        if (status == kDenoiseOk) finishVoxels(series, options, sums, asZero, flags, &found);
    }
    if (status == kDenoiseOk && options.report != nullptr) *options.report = found;
    coreFree(flags);
    return status;
}

int32_t denoiseVolume(const double* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested,
                      double* denoisedSum, double* noiseSum, double* weightSum) {
    DenoiseResults results;
    results.denoised = denoisedSum;
    results.noise = noiseSum;
    results.weight = weightSum;
    return denoiseSeries(seriesView(input, X, Y, Z, N), requested, results);
}

}  // namespace tamrin
