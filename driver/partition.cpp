// SPDX-License-Identifier: BSD-3-Clause
// The geometry of a run: which axis the workers split, how many of them run,
// the slab of start positions each scans, the band of planes each keeps for
// its neighbour, and what a run needs besides the caller's arrays.
#include <algorithm>

#include "denoise_job.h"
#include "shared_slabs.h"
#include "linalg/fast_work.h"
#include "patch/noise.h"
#include "support/alloc.h"
#include "tamrin/denoise.h"

namespace tamrin {

int32_t partitionAxis(int32_t X, int32_t Y, int32_t Z) {
    int32_t axis = 0, extent = X;
    if (Y >= extent) {
        axis = 1;
        extent = Y;
    }
    if (Z >= extent) axis = 2;
    return axis;
}

int32_t workerCount(int32_t requested, int32_t extent, int32_t side) {
    int32_t limit = extent / side;
    if (limit <= 1) limit = 1;
    if (requested < 0) return 0;
    return requested > limit ? limit : requested;
}

int32_t workersUsed(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested) {
    const int32_t extents[3] = {X, Y, Z};
    return std::max<int32_t>(1, workerCount(requested, extents[partitionAxis(X, Y, Z)], patchSide(N)));
}

void sliceRange(int32_t L, int32_t i, int32_t g, int32_t* start, int32_t* end) {
    // (L * i) / g in 64 bits: the product itself may pass 2^31 for wide extents.
    *start = static_cast<int32_t>((static_cast<int64_t>(L) * i) / g);
    *end = static_cast<int32_t>((static_cast<int64_t>(i + 1) * L) / g);
}

int64_t patchPositions(int32_t X, int32_t Y, int32_t Z, int32_t N) {
    const int64_t s = patchSide(N);
    const int64_t px = X - s + 1, py = Y - s + 1, pz = Z - s + 1;
    if (px <= 0 || py <= 0 || pz <= 0) return 0;
    return px * py * pz;
}

Band bandOf(int32_t axis, int64_t start, int64_t end, int32_t X, int32_t Y, int32_t Z) {
    Band band;
    band.axis = axis;
    // An empty band lies at 0, where no patch reaches past it.
    band.start = end > start ? start : 0;
    band.end = end > start ? end : 0;
    const int64_t extents[3] = {X, Y, Z};
    for (int a = 0; a < 3; a++) {
        band.extent[a] = a == axis ? band.end - band.start : extents[a];
        band.origin[a] = a == axis ? band.start : 0;
    }
    band.voxels = band.extent[0] * band.extent[1] * band.extent[2];
    band.planes = band.extent[2];
    band.stored = band.voxels;
    return band;
}

// Fills the g job records: every worker gets the full range on the two other
// axes and slice i of the partition axis; every worker but the last a band of
// the s - 1 planes after its slice (cut to the extent). Returns
// kDenoiseOutOfMemory when a band cannot be obtained.
int32_t planJobs(const SeriesView& series, const DenoiseResults& results, const DenoiseOptions& options,
                 DenoiseJob* jobs, int32_t g, int64_t window) {
    const int32_t side = patchSide(series.N);
    const int32_t extents[3] = {series.X, series.Y, series.Z};
    const int32_t axis = partitionAxis(series.X, series.Y, series.Z);
    const int32_t E = extents[axis];
    int32_t status = kDenoiseOk;
    for (int32_t i = 0; i < g; i++) {
        DenoiseJob& job = jobs[i];
        job = DenoiseJob();
        job.input = series;
        job.denoisedSum = results.denoised;
        job.noiseSum = results.noise;
        job.weightSum = results.weight;
        job.rankSum = results.rank;
        job.mask = options.mask;
        job.xEnd = series.X - side + 1;
        job.yEnd = series.Y - side + 1;
        job.zEnd = series.Z - side + 1;
        int32_t* range = axis == 0 ? &job.xStart : axis == 1 ? &job.yStart : &job.zStart;
        sliceRange(E - side + 1, i, g, &range[0], &range[1]);
        job.options = &options;
        job.window = window;
        const int64_t bandEnd = i < g - 1 ? std::min<int64_t>(int64_t{range[1]} + side - 1, E) : range[1];
        job.band = bandOf(axis, range[1], bandEnd, series.X, series.Y, series.Z);
        if (job.band.voxels == 0) continue;
        if (window > 0 && axis != 2 && window < job.band.planes) {
            job.band.planes = window;
            job.band.stored = job.band.extent[0] * job.band.extent[1] * window;
        }
        const std::size_t bandVoxels = static_cast<std::size_t>(job.band.stored);
        job.bandDenoised = static_cast<double*>(coreCalloc(bandVoxels * static_cast<std::size_t>(series.N), 8));
        job.bandNoise = static_cast<double*>(coreCalloc(bandVoxels, 8));
        job.bandWeight = static_cast<double*>(coreCalloc(bandVoxels, 8));
        if (results.rank != nullptr) {
            job.bandRank = static_cast<double*>(coreCalloc(bandVoxels, 8));
            if (!job.bandRank) status = kDenoiseOutOfMemory;
        }
        if (!job.bandDenoised || !job.bandNoise || !job.bandWeight) status = kDenoiseOutOfMemory;
    }
    return status;
}

int64_t maskedPatchPositions(const uint8_t* mask, int32_t X, int32_t Y, int32_t Z, int32_t N) {
    const int64_t s = patchSide(N), px = X - s + 1, py = Y - s + 1, pz = Z - s + 1;
    if (px <= 0 || py <= 0 || pz <= 0) return 0;
    const int64_t plane = int64_t{X} * Y, voxels = plane * Z;
    uint8_t* reach = static_cast<uint8_t*>(coreCalloc(static_cast<std::size_t>(voxels), 1));
    if (reach == nullptr) return -1;
    // reach[x, y, z]: whether the patch starting there holds a mask voxel,
    // widened one axis at a time; later cells are read before they change.
    for (int64_t k = 0; k < voxels; k++) reach[k] = mask[k] != 0;
    const int64_t steps[3] = {1, X, plane};
    for (int axis = 0; axis < 3; axis++)
        for (int64_t k = 0; k < voxels; k++) {
            const int64_t at[3] = {k % X, (k / X) % Y, k / plane};
            const int64_t extent = axis == 0 ? X : axis == 1 ? Y : Z;
            for (int64_t d = 1; d < s && at[axis] + d < extent; d++) reach[k] |= reach[k + d * steps[axis]];
        }
    int64_t count = 0;
    for (int64_t z = 0; z < pz; z++)
        for (int64_t y = 0; y < py; y++)
            for (int64_t x = 0; x < px; x++) count += reach[x + X * y + plane * z];
    coreFree(reach);
    return count;
}

int64_t denoiseWorkingBytes(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested, int32_t slabs) {
    const int64_t s = patchSide(N), M = patchVoxels(N);
    const int32_t extents[3] = {X, Y, Z};
    const int64_t E = extents[partitionAxis(X, Y, Z)];
    const int64_t g = workersUsed(X, Y, Z, N, slabs > 0 ? slabs : requested);
    // Every slab but the last keeps s - 1 planes: the series, the noise,
    // the weights and the rank, N + 3 doubles a voxel.
    const int64_t planeVoxels = int64_t{X} * Y * Z / E;
    const int64_t bandVoxels = (g - 1) * std::min<int64_t>(s - 1, E) * planeVoxels;
    const int64_t bands = bandVoxels * (N + 3) * 8;
    const int64_t work = fastPatchWorkBytes(static_cast<int32_t>(M), N);
    const int64_t patchArrays = (M * N + int64_t{N} * N + 2 * N) * 8;
    // A patch that goes to the plain decomposition (NaN, or a second
    // attempt) obtains its rows there for the length of the call: M + N rows
    // of N doubles, their two pointer arrays, the singular values and the
    // decomposition's M + 2N doubles of scratch.
    const int64_t plain = (M * N + int64_t{N} * N + 2 * M + 4 * int64_t{N}) * 8;
    // The allocator rounds every block up: by up to a page for the large
    // ones (the work store, the batch or unit buffers, the four band arrays),
    // by up to 32 bytes for the plain decomposition's rows; and the worker's
    // job record and thread.
    const int64_t rounding = 6 * 4096 + (M + N + 8) * 32 + 512;
    if (slabs <= 0) {
        // Each worker has the fast kernel's work store and its batch of
        // patches with scratch for a second attempt (U, V, w, means); the
        // occupancy maps of the workers' boxes cover the volume and the bands
        // once more, a byte a voxel.
        const int64_t batch = fastPatchBatchFor(static_cast<int32_t>(M), N);
        const int64_t perWorker = work + batch * M * N * 8 + patchArrays + plain + rounding;
        return bands + g * perWorker + int64_t{X} * Y * Z + bandVoxels;
    }
    // Each thread has the work store, the plain kernel's and the second
    // attempt's arrays, and kBuffersPerThread buffers of a unit's results
    // (patches, positions, totals, noise levels, weights); the run has two
    // occupancy bytes a voxel and a record and a few flags per unit.
    const int64_t threads = sharedThreadsUsed(X, Y, Z, N, requested);
    const int64_t capacity = unitPositions(static_cast<int32_t>(M), N);
    const int64_t buffer = 64 + capacity * (M * N * 8 + 8 + 24 + 24);
    const int64_t perThread = work + 2 * patchArrays + kBuffersPerThread * buffer + plain + rounding;
    const int64_t px = std::max<int64_t>(0, X - s + 1), py = std::max<int64_t>(0, Y - s + 1),
                  pz = std::max<int64_t>(0, Z - s + 1);
    const int64_t units = (px + capacity - 1) / capacity * py * pz;
    return bands + threads * perThread + 2 * int64_t{X} * Y * Z + units * 48 + g * 8 * 16;
}

int64_t streamedWorkingBytes(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested, int32_t slabs,
                             bool rank) {
    if (slabs <= 0) slabs = requested;
    const int64_t s = patchSide(N);
    const int32_t extents[3] = {X, Y, Z};
    const int32_t axis = partitionAxis(X, Y, Z);
    const int64_t E = extents[axis];
    const int64_t g = workersUsed(X, Y, Z, N, slabs);
    const int64_t threads = sharedThreadsUsed(X, Y, Z, N, requested);
    const int64_t window = streamWindow(Z, N, static_cast<int32_t>(threads), unitsPerPlane(X, Y, Z, N, slabs));
    const int64_t arrays = N + 2 + (rank ? 1 : 0);
    // The whole run's bands, as denoiseWorkingBytes counts them, give way to
    // the streamed ones: along z the slabs' bands whole (s - 1 planes each),
    // along x or y bands of s - 1 rows held for the window's planes only.
    const int64_t planeVoxels = int64_t{X} * Y * Z / E;
    const int64_t wholeBands = (g - 1) * std::min<int64_t>(s - 1, E) * planeVoxels * (N + 3) * 8;
    const int64_t bandRows = axis == 2 ? planeVoxels : planeVoxels / Z * window;
    const int64_t bands = (g - 1) * std::min<int64_t>(s - 1, E) * bandRows * arrays * 8;
    const int64_t sums = int64_t{X} * Y * window * arrays * 8;
    // A flag byte a voxel (non-finite values, then the treatment's scratch).
    const int64_t flags = int64_t{X} * Y * Z;
    return denoiseWorkingBytes(X, Y, Z, N, requested, slabs) - wholeBands + bands + sums + flags;
}

}  // namespace tamrin
