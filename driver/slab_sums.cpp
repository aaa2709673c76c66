// Adding the weighted reconstructions of denoised patches into a slab's sums
// and band, and the band into the sums once every slab has ended.
#include "slab_sums.h"

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

void mergeBand(const DenoiseJob& job) {
    const Band& band = job.band;
    if (band.voxels == 0) return;
    const SeriesView& s = job.input;
    const int64_t X = s.X, Y = s.Y, voxels = int64_t{s.X} * s.Y * s.Z;
    const int64_t bx = band.extent[0], by = band.extent[1], bz = band.extent[2];
    for (int64_t v = 0; v < s.N; v++)
        for (int64_t z = 0; z < bz; z++)
            for (int64_t y = 0; y < by; y++)
                for (int64_t x = 0; x < bx; x++) {
                    const int64_t cell = (x + band.origin[0]) + X * ((y + band.origin[1]) + Y * (z + band.origin[2]));
                    const int64_t bandCell = x + bx * (y + by * z);
                    job.denoisedSum[cell + v * voxels] += job.bandDenoised[bandCell + v * band.voxels];
                    if (v == 0) {
                        job.noiseSum[cell] += job.bandNoise[bandCell];
                        job.weightSum[cell] += job.bandWeight[bandCell];
                        if (job.rankSum != nullptr) job.rankSum[cell] += job.bandRank[bandCell];
                    }
                }
}

}  // namespace tamrin
