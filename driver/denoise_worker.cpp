// denoiseWorker: the main loop. Visits every patch start position of a job's
// box, denoises the patch there and adds the weighted result into the sums.
//
// Two kernels do the per-patch work with the same bits: the fast kernel
// (the default), which takes the patches of several positions at once, and
// the plain path, one patch at a time. Either way every position contributes
// in the same order, so the sums do not depend on the kernel.
#include <cmath>
#include <type_traits>

#include "driver/series_patches.h"
#include "driver/value_types.h"
#include "linalg/fast_work.h"
#include "linalg/finite.h"
#include "linalg/pca.h"
#include "patch/fast_patch.h"
#include "patch/noise.h"
#include "patch/rescue_patch.h"
#include "support/alloc.h"
#include "tamrin/denoise.h"

namespace tamrin {
namespace {

// Adds weight * values[i] into sums[i] for i < count, and during the pass
// for volume 0 weightedNoise, weight and weightedRank into noise[i],
// weights[i] and (when not null) rank[i]. Each cell receives exactly the
// additions of the voxel-by-voxel loop.
inline void addRun(double* sums, double* noise, double* weights, double* rank, const double* values, int64_t count,
                   bool first, double weight, double weightedNoise, double weightedRank) {
    for (int64_t i = 0; i < count; i++) sums[i] += weight * values[i];
    if (!first) return;
    for (int64_t i = 0; i < count; i++) {
        noise[i] += weightedNoise;
        weights[i] += weight;
    }
    if (rank != nullptr)
        for (int64_t i = 0; i < count; i++) rank[i] += weightedRank;
}

// What one patch adds besides its reconstruction: its weight, and its noise
// level and kept count times the weight.
struct PatchShare {
    double weight, weightedNoise, weightedRank;
};

// Adds the per-voxel shares of the patch whose corner cell is `corner` into
// the noise, weight and (when the job has one) rank sums, for a patch clear
// of the band. Without a rank map this is the plain loop over two sums.
void addShares(const DenoiseJob* job, const Geometry& geo, int64_t corner, const PatchShare& share) {
    const int64_t side = geo.side;
    for (int64_t dz = 0; dz < side; dz++)
        for (int64_t dy = 0; dy < side; dy++) {
            double* __restrict noise = job->noiseSum + corner + dz * geo.plane + dy * geo.X;
            double* __restrict weights = job->weightSum + corner + dz * geo.plane + dy * geo.X;
            for (int64_t dx = 0; dx < side; dx++) {
                noise[dx] += share.weightedNoise;
                weights[dx] += share.weight;
            }
        }
    if (job->rankSum == nullptr) return;
    for (int64_t dz = 0; dz < side; dz++)
        for (int64_t dy = 0; dy < side; dy++) {
            double* __restrict rank = job->rankSum + corner + dz * geo.plane + dy * geo.X;
            for (int64_t dx = 0; dx < side; dx++) rank[dx] += share.weightedRank;
        }
}

// Adds volume v of the weighted reconstruction of the patch at `at`
// (values: that volume's M values in extraction order), and with volume 0
// the patch's shares. Voxels in the band go to the worker's private arrays.
// Each cell receives one addition per patch and volume, so the order of the
// cells within a patch does not matter.
void aggregateVolume(const DenoiseJob* job, const Geometry& geo, const int64_t* at, int64_t v, const double* values,
                     const PatchShare& share) {
    const int64_t x0 = at[0], y0 = at[1], z0 = at[2];
    const int64_t side = geo.side;
    const double weight = share.weight;
    const int64_t corner = x0 + geo.X * (y0 + geo.Y * z0);
    if (at[geo.band.axis] + side <= geo.band.start || at[geo.band.axis] >= geo.band.end) {
        // Clear of the band (the usual case): every voxel goes to the sums.
        double* __restrict volume = job->denoisedSum + corner + v * geo.voxels;
        const double* __restrict in = values;
        for (int64_t dz = 0; dz < side; dz++)
            for (int64_t dy = 0; dy < side; dy++, in += side) {
                double* __restrict row = volume + dz * geo.plane + dy * geo.X;
                for (int64_t dx = 0; dx < side; dx++) row[dx] += weight * in[dx];
            }
        if (v == 0) addShares(job, geo, corner, share);
        return;
    }
    for (int64_t dz = 0; dz < side; dz++)
        for (int64_t dy = 0; dy < side; dy++, values += side) {
            const int64_t y = y0 + dy, z = z0 + dz;
            // The voxels x0 + dx with dx in [inLow, inHigh) lie in the band.
            int64_t inLow = side, inHigh = side;
            if (geo.band.axis == 0) {
                inLow = geo.band.start - x0 < 0 ? 0 : (geo.band.start - x0 > side ? side : geo.band.start - x0);
                inHigh = geo.band.end - x0 < inLow ? inLow : (geo.band.end - x0 > side ? side : geo.band.end - x0);
            } else {
                const int64_t c = geo.band.axis == 1 ? y : z;
                if (c >= geo.band.start && c < geo.band.end) inLow = 0;
            }
            const int64_t cell = x0 + geo.X * (y + geo.Y * z);
            double* sums = job->denoisedSum + cell + v * geo.voxels;
            double* noise = job->noiseSum + cell;
            double* weights = job->weightSum + cell;
            double* rank = job->rankSum != nullptr ? job->rankSum + cell : nullptr;
            addRun(sums, noise, weights, rank, values, inLow, v == 0, weight, share.weightedNoise,
                   share.weightedRank);
            addRun(sums + inHigh, noise + inHigh, weights + inHigh, rank != nullptr ? rank + inHigh : nullptr,
                   values + inHigh, side - inHigh, v == 0, weight, share.weightedNoise, share.weightedRank);
            if (inLow < inHigh) {
                const int64_t bandCell =
                    (x0 + inLow - geo.band.origin[0]) + geo.band.extent[0] * ((y - geo.band.origin[1]) + geo.band.extent[1] * (z - geo.band.origin[2]));
                addRun(job->bandDenoised + bandCell + v * geo.band.voxels, job->bandNoise + bandCell,
                       job->bandWeight + bandCell, rank != nullptr ? job->bandRank + bandCell : nullptr,
                       values + inLow, inHigh - inLow, v == 0, weight, share.weightedNoise, share.weightedRank);
            }
        }
}

// Adds the weighted reconstructions of the patches at at[b] (b < count, in
// position order), with their weighted noise levels, weights and (for a
// rank map) weighted kept counts. Volume by volume across the patches, so
// that the rows neighbouring positions share stay in the cache; every cell
// still receives the patches in position order.
void aggregatePatches(const DenoiseJob* job, const Geometry& geo, const int64_t (*at)[3], int32_t count,
                      const double* const* patches, const double* sigma, const double* weight) {
    PatchShare shares[kFastMaxBatch];
    for (int32_t b = 0; b < count; b++) {
        shares[b].weight = weight[b];
        shares[b].weightedNoise = weight[b] * sigma[b];
        shares[b].weightedRank = job->rankSum != nullptr ? weight[b] * keptOfWeight(weight[b]) : 0.0;
    }
    for (int64_t v = 0; v < geo.N; v++)
        for (int32_t b = 0; b < count; b++) aggregateVolume(job, geo, at[b], v, patches[b] + v * geo.M, shares[b]);
}

// A patch whose values were all finite (so their total is) must not leave a
// non-finite result: that is the arithmetic breaking down, not the data.
bool needsRescue(double total, const double* patch, int64_t count, double sigma) {
    if (!std::isfinite(total)) return false;
    return !std::isfinite(sigma) || !allFinite(patch, count);
}

// Where the job's decomposition messages go: the call's log, or stderr.
MessageLog* messagesOf(const DenoiseJob* job) { return job->options != nullptr ? job->options->messages : nullptr; }

bool cancelRequested(const DenoiseJob* job) {
    return job->options != nullptr && job->options->cancel != nullptr &&
           job->options->cancel->load(std::memory_order_relaxed);
}

void addProgress(const DenoiseJob* job, int64_t positions) {
    if (positions > 0 && job->options != nullptr && job->options->progress != nullptr)
        job->options->progress->fetch_add(positions, std::memory_order_relaxed);
}

// The plain kernel, one position at a time, on the worker's private arrays
// (zero-filled from the host allocator).
template <typename T>
int32_t plainLoop(DenoiseJob* job, const T* input, const Geometry& geo) {
    const int64_t M = geo.M, N = geo.N;
    double* patch = static_cast<double*>(coreCalloc(static_cast<std::size_t>(M * N), sizeof(double)));
    double* U = static_cast<double*>(coreCalloc(static_cast<std::size_t>(N * M), sizeof(double)));
    double* V = static_cast<double*>(coreCalloc(static_cast<std::size_t>(N * N), sizeof(double)));
    double* w = static_cast<double*>(coreCalloc(static_cast<std::size_t>(N), sizeof(double)));
    double* means = static_cast<double*>(coreCalloc(static_cast<std::size_t>(N), sizeof(double)));
    int32_t status = kDenoiseOutOfMemory;
    if (patch && U && V && w && means) {
        status = kDenoiseOk;
        const double correction = noiseCorrection(geo.M, geo.N);
        for (int64_t z0 = job->zStart; z0 < job->zEnd && status == kDenoiseOk; z0++) {
            for (int64_t y0 = job->yStart; y0 < job->yEnd && status == kDenoiseOk; y0++) {
                if (cancelRequested(job)) {
                    status = kDenoiseCancelled;
                    break;
                }
                for (int64_t x0 = job->xStart; x0 < job->xEnd; x0++) {
                    if (job->mask != nullptr && !patchHoldsMaskVoxel(job->mask, geo, x0, y0, z0)) continue;
                    // Exact-zero patches (background) are skipped; NaN is not.
                    const double total = extractPatch(input, geo, x0, y0, z0, patch);
                    if (total == 0.0) continue;
                    if (centerAndDecompose(patch, U, w, V, means, geo.M, geo.N, messagesOf(job)) != 0) {
                        status = kDenoisePatchOutOfMemory;
                        break;
                    }
                    double sigma = estimateNoise(w, geo.N, geo.M, correction);
                    double weight = selectComponents(w, geo.N, geo.M, sigma, nullptr);
                    rebuildPatch(patch, U, w, V, means, geo.M, geo.N);
                    if (needsRescue(total, patch, M * N, sigma)) {
                        extractPatch(input, geo, x0, y0, z0, patch);
                        if (rescuePatch(patch, U, w, V, means, geo.M, geo.N, correction, &sigma, &weight, messagesOf(job)) != 0) {
                            status = kDenoisePatchOutOfMemory;
                            break;
                        }
                    }
                    const int64_t at[1][3] = {{x0, y0, z0}};
                    aggregatePatches(job, geo, at, 1, &patch, &sigma, &weight);
                }
                if (status == kDenoiseOk) addProgress(job, job->xEnd - job->xStart);
            }
        }
    }
    coreFree(means);
    coreFree(w);
    coreFree(V);
    coreFree(U);
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
    double *rescueU = nullptr, *rescueV = nullptr, *rescueW = nullptr, *rescueMeans = nullptr;
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
    b->rescueU = b->buffer + b->size * size;
    b->rescueV = b->rescueU + N * M;
    b->rescueW = b->rescueV + N * N;
    b->rescueMeans = b->rescueW + N;
    b->occupied = mapBytes > 0 ? reinterpret_cast<uint8_t*>(b->rescueMeans + N) : nullptr;
    return true;
}

void closeBatch(FastBatch* b) {
    coreFree(b->buffer);
    fastPatchWorkRelease(b->work);
}

// Denoises and aggregates the pending patches, in position order; false when a
// patch could not be decomposed for want of memory.
template <typename T>
bool runBatch(const DenoiseJob* job, const T* input, const Geometry& geo, double correction, FastBatch* b) {
    if (b->pending == 0) return true;
    const int64_t size = int64_t{geo.M} * geo.N;
    copyPatches(input, geo, b->at, b->pending, b->patches);
    int32_t done =
        fastDenoisePatches(b->work, b->patches, b->pending, correction, b->sigma, b->weight, messagesOf(job));
    for (int32_t i = 0; i < done; i++) {
        if (!needsRescue(b->totals[i], b->patches[i], size, b->sigma[i])) continue;
        extractPatch(input, geo, b->at[i][0], b->at[i][1], b->at[i][2], b->patches[i]);
        if (rescuePatch(b->patches[i], b->rescueU, b->rescueW, b->rescueV, b->rescueMeans, geo.M, geo.N, correction,
                        &b->sigma[i], &b->weight[i], messagesOf(job)) != 0) {
            done = i;
            break;
        }
    }
    aggregatePatches(job, geo, b->at, done, b->patches, b->sigma, b->weight);
    const bool complete = done == b->pending;
    b->pending = 0;
    return complete;
}

// Reports the positions finished since the last report: those scanned, up to
// the first one still pending.
void reportBatch(const DenoiseJob* job, FastBatch* b) {
    const int64_t finished = b->pending > 0 ? b->firstPending : b->scanned;
    if (finished > b->reported) addProgress(job, finished - b->reported);
    if (finished > b->reported) b->reported = finished;
}

// Collects the positions of one row group (count <= kRowGroup positions from
// x0) whose patches do not sum to exactly 0.0 (and hold a mask voxel, with a
// mask), running the batch whenever it is full; false after a failure.
template <typename T>
bool scanRowGroup(const DenoiseJob* job, const T* input, const Geometry& geo, double correction, int64_t x0, int64_t y0,
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
template <typename T>
int32_t fastLoop(DenoiseJob* job, const T* input, const Geometry& geo) {
    FastBatch b;
    if (!openBatch(job, geo, &b)) return kDenoiseOutOfMemory;
    if (b.occupied != nullptr) markOccupied(job, input, geo, b.bx, b.by, b.bz, b.occupied);
    b.needed = occupancyNeeded(job);
    const double correction = noiseCorrection(geo.M, geo.N);
    int32_t status = kDenoiseOk;
    for (int64_t z0 = job->zStart; z0 < job->zEnd && status == kDenoiseOk; z0++)
        for (int64_t y0 = job->yStart; y0 < job->yEnd && status == kDenoiseOk; y0++) {
            if (cancelRequested(job)) {
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

namespace {

// The job's loop for a series of T, read as it is or, for floating-point
// values, with the non-finite ones as 0 (integers are always finite).
template <typename T>
int32_t runJob(DenoiseJob* job, const Geometry& geo, const T* input) {
    const bool plain = job->options != nullptr && job->options->kernel == kDenoiseKernelPlain;
    if constexpr (std::is_floating_point<T>::value) {
        if (job->nonFiniteAsZero) {
            const AsZero<T>* sanitised = reinterpret_cast<const AsZero<T>*>(input);
            return plain ? plainLoop(job, sanitised, geo) : fastLoop(job, sanitised, geo);
        }
    }
    return plain ? plainLoop(job, input, geo) : fastLoop(job, input, geo);
}

}  // namespace

int32_t denoiseWorker(DenoiseJob* job) {
    const Geometry geo = geometryOf(job);
    job->status = withTypedValues(job->input.type, job->input.values,
                                  [job, &geo](auto input) { return runJob(job, geo, input); });
    return job->status;
}

}  // namespace tamrin
