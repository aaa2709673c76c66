// SPDX-License-Identifier: BSD-3-Clause
// denoiseWorker: the main loop. Visits every patch start position of a job's
// box, denoises the patch there and adds the weighted result into the sums.
//
// Two kernels do the per-patch work with the same bits: the fast kernel
// (the default), which takes the patches of several positions at once, and
// the plain path, one patch at a time. Either way every position contributes
// in the same order, so the sums do not depend on the kernel.

#include "patch_runs.h"
#include "slab_sums.h"
#include "value_types.h"
#include "support/alloc.h"

namespace tamrin {
namespace {

// The plain kernel, one position at a time, on the worker's private arrays.
template <typename In>
int32_t plainLoop(DenoiseJob* job, In input, const Geometry& geo) {
    const int64_t M = geo.M, N = geo.N;
    double* patch = static_cast<double*>(coreCalloc(static_cast<std::size_t>(M * N), sizeof(double)));
    double* block = static_cast<double*>(coreCalloc(static_cast<std::size_t>(N * M + N * N + 2 * N), sizeof(double)));
    int32_t status = kDenoiseOutOfMemory;
    if (patch && block) {
        status = kDenoiseOk;
        const PatchArrays arrays = patchArraysIn(block, M, N);
        const double correction = noiseCorrection(geo.M, geo.N);
        for (int64_t z0 = job->zStart; z0 < job->zEnd && status == kDenoiseOk; z0++) {
            for (int64_t y0 = job->yStart; y0 < job->yEnd && status == kDenoiseOk; y0++) {
                if (cancelRequested(job->options)) {
                    status = kDenoiseCancelled;
                    break;
                }
                for (int64_t x0 = job->xStart; x0 < job->xEnd; x0++) {
                    if (job->mask != nullptr && !patchHoldsMaskVoxel(job->mask, geo, x0, y0, z0)) continue;
                    const int64_t at[1][3] = {{x0, y0, z0}};
                    double sigma = 0.0, weight = 0.0;
                    const int32_t done = denoisePlain(arrays, input, geo, at[0], patch, &sigma, &weight, correction,
                                                      messagesOf(job->options));
                    if (done < 0) {
                        status = kDenoisePatchOutOfMemory;
                        break;
                    }
                    if (done > 0) aggregatePatches(job, geo, at, 1, &patch, &sigma, &weight, 0, geo.N);
                }
                if (status == kDenoiseOk) addProgress(job->options, job->xEnd - job->xStart);
            }
        }
    }
    coreFree(block);
    coreFree(patch);
    return status;
}

// The fast kernel's state in one worker: the batch of positions collected so
// far and their patches, scratch for the rare second attempt, the occupancy
// map of the job's box, and how far the job's progress has been reported.
struct FastBatch {
    FastPatchWork* work = nullptr;
    double* buffer = nullptr;  // one block behind everything below
    int32_t size = 0;          // patches per fastDenoisePatches call
    int32_t pending = 0;       // positions collected, not yet denoised
    double* patches[kFastMaxBatch];
    int64_t at[kFastMaxBatch][3];
    double totals[kFastMaxBatch], sigma[kFastMaxBatch], weight[kFastMaxBatch];
    PatchArrays rescue;
    uint8_t* occupied = nullptr;  // bx * by * bz bytes
    uint8_t needed = kHoldsValue;  // the occupancy bits of a position to denoise
    int64_t bx = 0, by = 0, bz = 0;
    // Positions of the job in scan order: scanned so far, the first pending
    // one (those before it are finished) and those reported.
    int64_t scanned = 0, firstPending = 0, reported = 0;
};

// Obtains the fast kernel's working store and the batch's arrays; false when
// memory cannot be obtained (then nothing is held).
bool openBatch(const DenoiseJob* job, const Geometry& geo, FastBatch* b) {
    b->work = fastPatchWorkCreate(geo.M, geo.N);
    if (b->work == nullptr) return false;
    b->size = fastPatchWorkBatch(b->work);
    const int64_t M = geo.M, N = geo.N, size = M * N;
    b->bx = job->xEnd - job->xStart + geo.side - 1;
    b->by = job->yEnd - job->yStart + geo.side - 1;
    b->bz = job->zEnd - job->zStart + geo.side - 1;
    const bool empty = job->xEnd <= job->xStart || job->yEnd <= job->yStart || job->zEnd <= job->zStart;
    const int64_t mapBytes = empty ? 0 : b->bx * b->by * b->bz;
    const int64_t total = b->size * size + N * M + N * N + 2 * N + (mapBytes + 7) / 8;
    b->buffer = static_cast<double*>(coreCalloc(static_cast<std::size_t>(total), sizeof(double)));
    if (b->buffer == nullptr) {
        fastPatchWorkRelease(b->work);
        return false;
    }
    for (int32_t i = 0; i < b->size; i++) b->patches[i] = b->buffer + i * size;
    b->rescue = patchArraysIn(b->buffer + b->size * size, M, N);
    b->occupied = mapBytes > 0 ? reinterpret_cast<uint8_t*>(b->rescue.means + N) : nullptr;
    return true;
}

void closeBatch(FastBatch* b) {
    coreFree(b->buffer);
    fastPatchWorkRelease(b->work);
}

// Denoises and aggregates the pending patches, in position order; false when a
// patch could not be decomposed for want of memory.
template <typename In>
bool runBatch(const DenoiseJob* job, In input, const Geometry& geo, double correction, FastBatch* b) {
    if (b->pending == 0) return true;
    const int32_t done = denoiseBatch(b->work, b->rescue, input, geo, b->at, b->totals, b->pending, b->patches,
                                      b->sigma, b->weight, correction, messagesOf(job->options));
    aggregatePatches(job, geo, b->at, done, b->patches, b->sigma, b->weight, 0, geo.N);
    const bool complete = done == b->pending;
    b->pending = 0;
    return complete;
}

// Reports the positions finished since the last report: those scanned, up to
// the first one still pending.
void reportBatch(const DenoiseJob* job, FastBatch* b) {
    const int64_t finished = b->pending > 0 ? b->firstPending : b->scanned;
    if (finished > b->reported) addProgress(job->options, finished - b->reported);
    if (finished > b->reported) b->reported = finished;
}

// Collects the positions of one row group (count <= kRowGroup positions from
// x0) whose patches do not sum to exactly 0.0 (and hold a mask voxel, with a
// mask), running the batch whenever it is full; false after a failure.
template <typename In>
bool scanRowGroup(const DenoiseJob* job, In input, const Geometry& geo, double correction, int64_t x0, int64_t y0,
                  int64_t z0, int64_t count, FastBatch* b) {
    // A group of positions whose patches are all zeros, or all outside the
    // mask, needs no sums and no copy.
    const uint8_t* occupied =
        b->occupied + b->bx * ((y0 - job->yStart) + b->by * (z0 - job->zStart)) + (x0 - job->xStart);
    const uint8_t needed = b->needed;
    bool any = false;
    for (int64_t q = 0; q < count; q++) any |= (occupied[q] & needed) == needed;
    if (!any) {
        b->scanned += count;
        return true;
    }
    double rowTotal[kRowGroup];
    rowTotals(input, geo, x0, y0, z0, count, rowTotal);
    for (int64_t q = 0; q < count; q++, b->scanned++) {
        // Exact-zero patches (background) are skipped; NaN is not.
        if ((occupied[q] & needed) != needed || rowTotal[q] == 0.0) continue;
        if (b->pending == 0) b->firstPending = b->scanned;
        b->totals[b->pending] = rowTotal[q];
        b->at[b->pending][0] = x0 + q;
        b->at[b->pending][1] = y0;
        b->at[b->pending][2] = z0;
        if (++b->pending == b->size && !runBatch(job, input, geo, correction, b)) return false;
    }
    return true;
}

// The fast kernel: positions whose patch does not sum to exactly 0.0 are
// collected into batches, denoised together and aggregated in position order.
template <typename In>
int32_t fastLoop(DenoiseJob* job, In input, const Geometry& geo) {
    FastBatch b;
    if (!openBatch(job, geo, &b)) return kDenoiseOutOfMemory;
    if (b.occupied != nullptr) markOccupied(job, input, geo, b.bx, b.by, b.bz, b.occupied);
    b.needed = occupancyNeeded(job);
    const double correction = noiseCorrection(geo.M, geo.N);
    int32_t status = kDenoiseOk;
    for (int64_t z0 = job->zStart; z0 < job->zEnd && status == kDenoiseOk; z0++)
        for (int64_t y0 = job->yStart; y0 < job->yEnd && status == kDenoiseOk; y0++) {
            if (cancelRequested(job->options)) {
                status = kDenoiseCancelled;
                break;
            }
            for (int64_t x0 = job->xStart; x0 < job->xEnd && status == kDenoiseOk; x0 += kRowGroup) {
                const int64_t count = job->xEnd - x0 < kRowGroup ? job->xEnd - x0 : kRowGroup;
                if (!scanRowGroup(job, input, geo, correction, x0, y0, z0, count, &b))
                    status = kDenoisePatchOutOfMemory;
            }
            if (status == kDenoiseOk) reportBatch(job, &b);
        }
    if (status == kDenoiseOk) {
        if (runBatch(job, input, geo, correction, &b))
            reportBatch(job, &b);
        else
            status = kDenoisePatchOutOfMemory;
    }
    closeBatch(&b);
    return status;
}

}  // namespace

int32_t denoiseWorker(DenoiseJob* job) {
    const Geometry geo = geometryOf(job);
    const bool plain = job->options != nullptr && job->options->kernel == kDenoiseKernelPlain;
    job->status = withSeriesReader(job->input, job->nonFiniteAsZero, [job, &geo, plain](auto input) {
        return plain ? plainLoop(job, input, geo) : fastLoop(job, input, geo);
    });
    return job->status;
}

}  // namespace tamrin
