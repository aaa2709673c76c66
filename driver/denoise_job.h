// SPDX-License-Identifier: BSD-3-Clause
// One worker's share of a run, filled by the driver and read by the worker:
// the record each worker thread receives, and the private band that keeps
// the sums exact where the patches of neighbouring workers overlap.
// Internal to the core (driver/ and patch/).
#pragma once

#include <cstdint>

#include "tamrin/denoise.h"

namespace tamrin {

// The planes [start, end) of `axis` whose contributions a worker keeps in
// private arrays, because later workers write them too. The band's arrays
// have the volume's layout with that axis cut to end - start planes, and
// along z only `planes` of them held at once (all of them but in a run that
// keeps a window of z-planes: plane z at (z - origin[2]) % planes).
struct Band {
    int32_t axis = 0;
    int64_t start = 0, end = 0;
    int64_t extent[3] = {0, 0, 0};  // the band's X, Y, Z
    int64_t origin[3] = {0, 0, 0};  // its first voxel in the volume
    int64_t voxels = 0;             // extent[0] * extent[1] * extent[2]
    int64_t planes = 0;             // z-planes held
    int64_t stored = 0;             // voxels held: a volume's stride in its arrays
};

// Where plane z of an array that holds `planes` z-planes at a time lies.
inline int64_t ringPlane(int64_t z, int64_t planes) { return z < planes ? z : z % planes; }

// The band of planes [start, end) on `axis` of an X x Y x Z volume; an empty
// band (start = end = 0) when end <= start.
Band bandOf(int32_t axis, int64_t start, int64_t end, int32_t X, int32_t Y, int32_t Z);

struct DenoiseJob {
    SeriesView input;  // the noisy series, with its extents
    double* denoisedSum = nullptr;
    double* noiseSum = nullptr;
    double* weightSum = nullptr;
    double* rankSum = nullptr;      // null when no rank map is wanted
    const uint8_t* mask = nullptr;  // X*Y*Z bytes, or null: every position may be denoised
    // z-planes the sums hold (a window: plane z at z % window), 0 for all.
    int64_t window = 0;
    bool nonFiniteAsZero = false;   // read NaN and infinities in the input as 0
    // Half-open ranges of patch start positions.
    int32_t xStart = 0, xEnd = 0;
    int32_t yStart = 0, yEnd = 0;
    int32_t zStart = 0, zEnd = 0;

    // Contributions to voxels in the band go to these arrays instead of the
    // shared sums. An empty band means every write goes to the sums.
    Band band;
    double* bandDenoised = nullptr;
    double* bandNoise = nullptr;
    double* bandWeight = nullptr;
    double* bandRank = nullptr;  // when rankSum is not null

    const DenoiseOptions* options = nullptr;
    int32_t status = kDenoiseOk;  // set by the worker: a DenoiseStatus
};

// Extents of one job's series and its private band, derived once.
struct Geometry {
    int64_t X, Y, Z, plane, voxels;
    int32_t N, side, M;
    Band band;
    int64_t window;      // z-planes the sums hold (Z, or a window's)
    int64_t sumsVolume;  // a volume's stride in the sums: plane * window
};

inline Geometry geometryOf(const DenoiseJob* job) {
    Geometry geo;
    geo.X = job->input.X;
    geo.Y = job->input.Y;
    geo.Z = job->input.Z;
    geo.plane = geo.X * geo.Y;
    geo.voxels = geo.plane * geo.Z;
    geo.N = job->input.N;
    geo.side = patchSide(geo.N);
    geo.M = geo.side * geo.side * geo.side;
    geo.band = job->band;
    geo.window = job->window > 0 ? job->window : geo.Z;
    geo.sumsVolume = geo.plane * geo.window;
    return geo;
}

// Fills the g job records of a run of `series` with g slabs: every slab gets
// the full range on the two other axes and slice i of the partition axis;
// every slab but the last a band of the s - 1 planes after its slice (cut to
// the extent), zero-filled. Returns kDenoiseOutOfMemory when a band cannot be
// obtained; the bands obtained are in the records either way.
// With a window above 0, the sums hold that many z-planes, and so do the
// bands that span every z-plane.
int32_t planJobs(const SeriesView& series, const DenoiseResults& results, const DenoiseOptions& options,
                 DenoiseJob* jobs, int32_t g, int64_t window = 0);

// Scans every patch start position of the job's box (z, then y, then x
// innermost), denoises each patch whose values do not sum to exactly 0.0 (and
// that holds a voxel inside the mask, when there is one) and adds the
// weighted reconstruction, weighted noise level, weight and weighted kept
// count into the sums (or the job's band). Returns a DenoiseStatus, also stored in
// job->status: kDenoiseOutOfMemory when its scratch could not be obtained
// (then nothing was added anywhere), kDenoisePatchOutOfMemory when a patch
// could not be decomposed and kDenoiseCancelled when the options' cancel flag
// was set (the sums are then incomplete and must be discarded).
int32_t denoiseWorker(DenoiseJob* job);

}  // namespace tamrin
