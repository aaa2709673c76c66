// denoiseWorker: the main loop. Visits every patch start position of a job's
// box, denoises the patch there and adds the weighted result into the sums.
//
// Two kernels do the per-patch work with the same bits: the fast kernel
// (the default), which takes the patches of several positions at once, and
// the plain reference path, one patch at a time. Either way every position
// contributes in the same order, so the sums do not depend on the kernel.
#include <cmath>

#include "tamrin/denoise.h"
#include "tamrin/fast_patch.h"
#include "tamrin/finite.h"
#include "tamrin/host.h"
#include "tamrin/noise.h"
#include "tamrin/pca.h"
#include "patch_input.h"
#include "rescue_patch.h"

namespace tamrin {
namespace {

// Adds weight * values[i] into sums[i] for i < count, and during the pass
// for volume 0 weightedNoise and weight into noise[i] and weights[i]. Each
// cell receives exactly the additions of the voxel-by-voxel loop.
inline void addRun(double* sums, double* noise, double* weights, const double* values, int64_t count, bool first,
                   double weight, double weightedNoise) {
    for (int64_t i = 0; i < count; i++) sums[i] += weight * values[i];
    if (!first) return;
    for (int64_t i = 0; i < count; i++) {
        noise[i] += weightedNoise;
        weights[i] += weight;
    }
}

// Adds volume v of the weighted reconstruction of the patch at `at`
// (values: that volume's M values in extraction order), and with volume 0
// the weighted noise level and the weight. Voxels in the band go to the
// worker's private arrays. Each cell receives one addition per patch and
// volume, so the order of the cells within a patch does not matter.
void aggregateVolume(const DenoiseJob* job, const Geometry& g, const int64_t* at, int64_t v, const double* values,
                     double weight, double weightedNoise) {
    const int64_t x0 = at[0], y0 = at[1], z0 = at[2];
    const int64_t side = g.side;
    const int64_t corner = x0 + g.X * (y0 + g.Y * z0);
    if (at[g.axis] + side <= g.bandStart || at[g.axis] >= g.bandEnd) {
        // Clear of the band (the usual case): every voxel goes to the sums.
        double* __restrict volume = job->denoisedSum + corner + v * g.voxels;
        const double* __restrict in = values;
        for (int64_t dz = 0; dz < side; dz++)
            for (int64_t dy = 0; dy < side; dy++, in += side) {
                double* __restrict row = volume + dz * g.plane + dy * g.X;
                for (int64_t dx = 0; dx < side; dx++) row[dx] += weight * in[dx];
            }
        if (v != 0) return;
        for (int64_t dz = 0; dz < side; dz++)
            for (int64_t dy = 0; dy < side; dy++) {
                double* __restrict noise = job->noiseSum + corner + dz * g.plane + dy * g.X;
                double* __restrict weights = job->weightSum + corner + dz * g.plane + dy * g.X;
                for (int64_t dx = 0; dx < side; dx++) {
                    noise[dx] += weightedNoise;
                    weights[dx] += weight;
                }
            }
        return;
    }
    for (int64_t dz = 0; dz < side; dz++)
        for (int64_t dy = 0; dy < side; dy++, values += side) {
            const int64_t y = y0 + dy, z = z0 + dz;
            // The voxels x0 + dx with dx in [inLow, inHigh) lie in the band.
            int64_t inLow = side, inHigh = side;
            if (g.axis == 0) {
                inLow = g.bandStart - x0 < 0 ? 0 : (g.bandStart - x0 > side ? side : g.bandStart - x0);
                inHigh = g.bandEnd - x0 < inLow ? inLow : (g.bandEnd - x0 > side ? side : g.bandEnd - x0);
            } else {
                const int64_t c = g.axis == 1 ? y : z;
                if (c >= g.bandStart && c < g.bandEnd) inLow = 0;
            }
            const int64_t cell = x0 + g.X * (y + g.Y * z);
            double* sums = job->denoisedSum + cell + v * g.voxels;
            double* noise = job->noiseSum + cell;
            double* weights = job->weightSum + cell;
            addRun(sums, noise, weights, values, inLow, v == 0, weight, weightedNoise);
            addRun(sums + inHigh, noise + inHigh, weights + inHigh, values + inHigh, side - inHigh, v == 0, weight,
                   weightedNoise);
            if (inLow < inHigh) {
                const int64_t bandCell =
                    (x0 + inLow - g.origin[0]) + g.bandX * ((y - g.origin[1]) + g.bandY * (z - g.origin[2]));
                addRun(job->bandDenoised + bandCell + v * g.bandVoxels, job->bandNoise + bandCell,
                       job->bandWeight + bandCell, values + inLow, inHigh - inLow, v == 0, weight, weightedNoise);
            }
        }
}

// Adds the weighted reconstructions of the patches at at[b] (b < count, in
// position order), with their weighted noise levels and weights. Volume by
// volume across the patches, so that the rows neighbouring positions share
// stay in the cache; every cell still receives the patches in position order.
void aggregatePatches(const DenoiseJob* job, const Geometry& g, const int64_t (*at)[3], int32_t count,
                      const double* const* patches, const double* sigma, const double* weight) {
    for (int64_t v = 0; v < g.N; v++)
        for (int32_t b = 0; b < count; b++)
            aggregateVolume(job, g, at[b], v, patches[b] + v * g.M, weight[b], weight[b] * sigma[b]);
}

// A patch whose values were all finite (so their total is) must not leave a
// non-finite result: that is the arithmetic breaking down, not the data.
bool needsRescue(double total, const double* patch, int64_t count, double sigma) {
    if (!std::isfinite(total)) return false;
    return !std::isfinite(sigma) || !allFinite(patch, count);
}

void reportRow(const DenoiseJob* job) {
    if (job->options != nullptr && job->options->progress != nullptr)
        job->options->progress->fetch_add(job->xEnd - job->xStart, std::memory_order_relaxed);
}

// The plain kernel, one position at a time, on the worker's private arrays
// (zero-filled from the host allocator).
template <typename T>
int32_t referenceLoop(DenoiseJob* job, const T* input, const Geometry& g) {
    const int64_t M = g.M, N = g.N;
    double* patch = static_cast<double*>(hostCalloc(static_cast<std::size_t>(M * N), sizeof(double)));
    double* U = static_cast<double*>(hostCalloc(static_cast<std::size_t>(N * M), sizeof(double)));
    double* V = static_cast<double*>(hostCalloc(static_cast<std::size_t>(N * N), sizeof(double)));
    double* w = static_cast<double*>(hostCalloc(static_cast<std::size_t>(N), sizeof(double)));
    double* means = static_cast<double*>(hostCalloc(static_cast<std::size_t>(N), sizeof(double)));
    int32_t status = kDenoiseOutOfMemory;
    if (patch && U && V && w && means) {
        status = kDenoiseOk;
        const double correction = noiseCorrection(g.M, g.N);
        for (int64_t z0 = job->zStart; z0 < job->zEnd && status == kDenoiseOk; z0++) {
            for (int64_t y0 = job->yStart; y0 < job->yEnd && status == kDenoiseOk; y0++) {
                for (int64_t x0 = job->xStart; x0 < job->xEnd; x0++) {
                    // Exact-zero patches (background) are skipped; NaN is not.
                    const double total = extractPatch(input, g, x0, y0, z0, patch);
                    if (total == 0.0) continue;
                    if (centerAndDecompose(patch, U, w, V, means, g.M, g.N) != 0) {
                        status = kDenoiseDecompositionFailed;
                        break;
                    }
                    double sigma = estimateNoise(w, g.N, g.M, correction);
                    double weight = selectComponents(w, g.N, g.M, sigma, nullptr);
                    rebuildPatch(patch, U, w, V, means, g.M, g.N);
                    if (needsRescue(total, patch, M * N, sigma)) {
                        extractPatch(input, g, x0, y0, z0, patch);
                        if (rescuePatch(patch, U, w, V, means, g.M, g.N, correction, &sigma, &weight) != 0) {
                            status = kDenoiseDecompositionFailed;
                            break;
                        }
                    }
                    const int64_t at[1][3] = {{x0, y0, z0}};
                    aggregatePatches(job, g, at, 1, &patch, &sigma, &weight);
                }
                reportRow(job);
            }
        }
    }
    hostFree(means);
    hostFree(w);
    hostFree(V);
    hostFree(U);
    hostFree(patch);
    return status;
}

// The fast kernel: positions whose patch does not sum to exactly 0.0 are
// collected into batches, denoised together and aggregated in position order.
template <typename T>
int32_t fastLoop(DenoiseJob* job, const T* input, const Geometry& g) {
    FastPatchWork* work = fastPatchWorkCreate(g.M, g.N);
    if (work == nullptr) return kDenoiseOutOfMemory;
    const int32_t batch = fastPatchWorkBatch(work);
    const int64_t size = int64_t{g.M} * g.N;
    // The batch's patches, then scratch for the rare second attempt
    // (U, V, w, means).
    const int64_t M = g.M, N = g.N;
    // The occupancy map of the job's box, in doubles.
    const int64_t bx = job->xEnd - job->xStart + g.side - 1, by = job->yEnd - job->yStart + g.side - 1,
                  bz = job->zEnd - job->zStart + g.side - 1;
    const int64_t mapBytes = job->xEnd > job->xStart && job->yEnd > job->yStart && job->zEnd > job->zStart
                                 ? bx * by * bz : 0;
    const int64_t total = batch * size + N * M + N * N + 2 * N + (mapBytes + 7) / 8;
    double* buffer = static_cast<double*>(hostCalloc(static_cast<std::size_t>(total), sizeof(double)));
    if (buffer == nullptr) {
        fastPatchWorkRelease(work);
        return kDenoiseOutOfMemory;
    }
    double* rescueU = buffer + batch * size;
    double* rescueV = rescueU + N * M;
    double* rescueW = rescueV + N * N;
    double* rescueMeans = rescueW + N;
    uint8_t* occupied = reinterpret_cast<uint8_t*>(rescueMeans + N);
    if (mapBytes > 0) markOccupied(job, input, g, bx, by, bz, occupied);

    const double correction = noiseCorrection(g.M, g.N);
    double* patches[kFastMaxBatch];
    int64_t at[kFastMaxBatch][3];
    double totals[kFastMaxBatch], sigma[kFastMaxBatch], weight[kFastMaxBatch];
    for (int32_t b = 0; b < batch; b++) patches[b] = buffer + b * size;
    int32_t pending = 0;
    int32_t status = kDenoiseOk;
    // Progress in positions of this job, in scan order: the positions before
    // the first pending patch are finished.
    int64_t scanned = 0, firstPending = 0, reported = 0;

    // Denoises and aggregates the pending patches; false after a failure.
    auto runBatch = [&]() {
        if (pending == 0) return true;
        copyPatches(input, g, at, pending, patches);
        int32_t done = fastDenoisePatches(work, patches, pending, correction, sigma, weight);
        for (int32_t b = 0; b < done; b++) {
            if (needsRescue(totals[b], patches[b], size, sigma[b])) {
                extractPatch(input, g, at[b][0], at[b][1], at[b][2], patches[b]);
                if (rescuePatch(patches[b], rescueU, rescueW, rescueV, rescueMeans, g.M, g.N, correction, &sigma[b],
                                &weight[b]) != 0) {
                    done = b;
                    break;
                }
            }
        }
        aggregatePatches(job, g, at, done, patches, sigma, weight);
        const bool complete = done == pending;
        pending = 0;
        if (!complete) status = kDenoiseDecompositionFailed;
        return complete;
    };
    auto report = [&]() {
        const int64_t finished = pending > 0 ? firstPending : scanned;
        if (job->options != nullptr && job->options->progress != nullptr && finished > reported)
            job->options->progress->fetch_add(finished - reported, std::memory_order_relaxed);
        reported = finished;
    };

    for (int64_t z0 = job->zStart; z0 < job->zEnd && status == kDenoiseOk; z0++) {
        for (int64_t y0 = job->yStart; y0 < job->yEnd && status == kDenoiseOk; y0++) {
            const uint8_t* rowOccupied = occupied + bx * ((y0 - job->yStart) + by * (z0 - job->zStart)) - job->xStart;
            for (int64_t x0 = job->xStart; x0 < job->xEnd && status == kDenoiseOk; x0 += kRowGroup) {
                const int64_t count = job->xEnd - x0 < kRowGroup ? job->xEnd - x0 : kRowGroup;
                // Exact-zero patches (background) are skipped; NaN is not. A
                // group of positions whose patches are all zeros needs no sums.
                bool any = false;
                for (int64_t q = 0; q < count; q++) any |= rowOccupied[x0 + q] != 0;
                if (!any) {
                    scanned += count;
                    continue;
                }
                double rowTotal[kRowGroup];
                rowTotals(input, g, x0, y0, z0, count, rowTotal);
                for (int64_t q = 0; q < count; q++, scanned++) {
                    if (rowTotal[q] == 0.0) continue;
                    if (pending == 0) firstPending = scanned;
                    totals[pending] = rowTotal[q];
                    at[pending][0] = x0 + q;
                    at[pending][1] = y0;
                    at[pending][2] = z0;
                    if (++pending == batch && !runBatch()) break;
                }
            }
            if (status == kDenoiseOk) report();
        }
    }
    if (status == kDenoiseOk && runBatch()) report();

    hostFree(buffer);
    fastPatchWorkRelease(work);
    return status;
}

}  // namespace

int32_t denoiseWorker(DenoiseJob* job) {
    const Geometry g = geometryOf(job);
    const bool reference = job->options != nullptr && job->options->kernel == kDenoiseKernelReference;
    if (job->inputSingle != nullptr)
        job->status = reference ? referenceLoop(job, job->inputSingle, g) : fastLoop(job, job->inputSingle, g);
    else
        job->status = reference ? referenceLoop(job, job->input, g) : fastLoop(job, job->input, g);
    return job->status;
}

}  // namespace tamrin
