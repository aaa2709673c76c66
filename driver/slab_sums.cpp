// SPDX-License-Identifier: BSD-3-Clause
// Adding the weighted reconstructions of denoised patches into a slab's sums
// and band, and the band into the sums once every slab has ended.
#include "slab_sums.h"

#include <cstring>

#include "linalg/fast_work.h"
#include "patch/noise.h"

namespace tamrin {
namespace {

// What one patch adds besides its reconstruction: its weight, and its noise
// level and kept count times the weight.
struct PatchShare {
    double weight, weightedNoise, weightedRank;
};

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

// The cell of (x, y, z) in the sums, which hold geo.window z-planes.
inline int64_t sumsCell(const Geometry& geo, int64_t x, int64_t y, int64_t z) {
    return x + geo.X * (y + geo.Y * ringPlane(z, geo.window));
}

// Adds the per-voxel shares of the patch at `at` into the noise, weight and
// (when the job has one) rank sums, for a patch clear of the band. Without a
// rank map this is the plain loop over two sums.
void addShares(const DenoiseJob* job, const Geometry& geo, const int64_t* at, const PatchShare& share) {
    const int64_t side = geo.side;
    for (int64_t dz = 0; dz < side; dz++) {
        const int64_t first = sumsCell(geo, at[0], at[1], at[2] + dz);
        for (int64_t dy = 0; dy < side; dy++) {
            double* __restrict noise = job->noiseSum + first + dy * geo.X;
            double* __restrict weights = job->weightSum + first + dy * geo.X;
            for (int64_t dx = 0; dx < side; dx++) {
                noise[dx] += share.weightedNoise;
                weights[dx] += share.weight;
            }
        }
    }
    if (job->rankSum == nullptr) return;
    for (int64_t dz = 0; dz < side; dz++) {
        const int64_t first = sumsCell(geo, at[0], at[1], at[2] + dz);
        for (int64_t dy = 0; dy < side; dy++) {
            double* __restrict rank = job->rankSum + first + dy * geo.X;
            for (int64_t dx = 0; dx < side; dx++) rank[dx] += share.weightedRank;
        }
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
    if (at[geo.band.axis] + side <= geo.band.start || at[geo.band.axis] >= geo.band.end) {
        // Clear of the band (the usual case): every voxel goes to the sums.
        double* __restrict volume = job->denoisedSum + v * geo.sumsVolume;
        const double* __restrict in = values;
        for (int64_t dz = 0; dz < side; dz++) {
            double* __restrict first = volume + sumsCell(geo, x0, y0, z0 + dz);
            for (int64_t dy = 0; dy < side; dy++, in += side) {
                double* __restrict row = first + dy * geo.X;
                for (int64_t dx = 0; dx < side; dx++) row[dx] += weight * in[dx];
            }
        }
        if (v == 0) addShares(job, geo, at, share);
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
            const int64_t cell = sumsCell(geo, x0, y, z);
            double* sums = job->denoisedSum + cell + v * geo.sumsVolume;
            double* noise = job->noiseSum + cell;
            double* weights = job->weightSum + cell;
            double* rank = job->rankSum != nullptr ? job->rankSum + cell : nullptr;
            addRun(sums, noise, weights, rank, values, inLow, v == 0, weight, share.weightedNoise,
                   share.weightedRank);
            addRun(sums + inHigh, noise + inHigh, weights + inHigh, rank != nullptr ? rank + inHigh : nullptr,
                   values + inHigh, side - inHigh, v == 0, weight, share.weightedNoise, share.weightedRank);
            if (inLow < inHigh) {
                const Band& band = geo.band;
                const int64_t bandCell =
                    (x0 + inLow - band.origin[0]) +
                    band.extent[0] * ((y - band.origin[1]) + band.extent[1] * ringPlane(z - band.origin[2], band.planes));
                addRun(job->bandDenoised + bandCell + v * band.stored, job->bandNoise + bandCell,
                       job->bandWeight + bandCell, rank != nullptr ? job->bandRank + bandCell : nullptr,
                       values + inLow, inHigh - inLow, v == 0, weight, share.weightedNoise, share.weightedRank);
            }
        }
}

}  // namespace

void aggregatePatches(const DenoiseJob* job, const Geometry& geo, const int64_t (*at)[3], int32_t count,
                      const double* const* patches, const double* sigma, const double* weight, int64_t v0,
                      int64_t v1) {
    // Blocks of patches, each volume by volume across its patches.
    for (int32_t first = 0; first < count; first += kFastMaxBatch) {
        const int32_t last = count - first < kFastMaxBatch ? count : first + kFastMaxBatch;
        PatchShare shares[kFastMaxBatch];
        for (int32_t b = first; b < last; b++) {
            PatchShare& share = shares[b - first];
            share.weight = weight[b];
            share.weightedNoise = weight[b] * sigma[b];
            share.weightedRank = job->rankSum != nullptr ? weight[b] * keptOfWeight(weight[b]) : 0.0;
        }
        for (int64_t v = v0; v < v1; v++)
            for (int32_t b = first; b < last; b++)
                aggregateVolume(job, geo, at[b], v, patches[b] + v * geo.M, shares[b - first]);
    }
}

void mergeBandPlane(const DenoiseJob& job, const Geometry& geo, int64_t z) {
    const Band& band = job.band;
    if (band.voxels == 0 || z < band.origin[2] || z >= band.origin[2] + band.extent[2]) return;
    const int64_t bx = band.extent[0], by = band.extent[1];
    const int64_t bandPlane = bx * by * ringPlane(z - band.origin[2], band.planes);
    for (int64_t v = 0; v < geo.N; v++)
        for (int64_t y = 0; y < by; y++)
            for (int64_t x = 0; x < bx; x++) {
                const int64_t cell = sumsCell(geo, x + band.origin[0], y + band.origin[1], z);
                const int64_t bandCell = bandPlane + x + bx * y;
                job.denoisedSum[cell + v * geo.sumsVolume] += job.bandDenoised[bandCell + v * band.stored];
                if (v == 0) {
                    job.noiseSum[cell] += job.bandNoise[bandCell];
                    job.weightSum[cell] += job.bandWeight[bandCell];
                    if (job.rankSum != nullptr) job.rankSum[cell] += job.bandRank[bandCell];
                }
            }
}

void clearBandPlane(const DenoiseJob& job, const Geometry& geo, int64_t z) {
    const Band& band = job.band;
    if (band.voxels == 0 || z < band.origin[2] || z >= band.origin[2] + band.extent[2]) return;
    const int64_t plane = band.extent[0] * band.extent[1];
    const int64_t at = plane * ringPlane(z - band.origin[2], band.planes);
    const std::size_t bytes = static_cast<std::size_t>(plane) * sizeof(double);
    for (int64_t v = 0; v < geo.N; v++) std::memset(job.bandDenoised + at + v * band.stored, 0, bytes);
    std::memset(job.bandNoise + at, 0, bytes);
    std::memset(job.bandWeight + at, 0, bytes);
    if (job.bandRank != nullptr) std::memset(job.bandRank + at, 0, bytes);
}

void mergeBand(const DenoiseJob& job) {
    const Geometry geo = geometryOf(&job);
    for (int64_t z = 0; z < geo.Z; z++) mergeBandPlane(job, geo, z);
}

}  // namespace tamrin
