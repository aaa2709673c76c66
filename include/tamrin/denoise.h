// SPDX-License-Identifier: BSD-3-Clause
// Denoising a whole 4-D series: the one entry point that every front end
// calls (the MEX gateway, the command, the Python module), its options, and
// the geometry a caller needs to size and describe a run.
//
// A VolumeSeries is a flat array of X*Y*Z*N values, x fastest, then y, z and
// the volume: element (x, y, z, v) at x + X*(y + Y*(z + Z*v)). 3-D maps (noise
// map, weights) use the same layout without v. Extents are 32-bit; element
// counts and indices are 64-bit throughout.
#pragma once

#include <atomic>
#include <cstdint>

#include "tamrin/messages.h"

namespace tamrin {

// Results of denoiseSeries.
enum DenoiseStatus : int32_t {
    kDenoiseOk = 0,
    kDenoiseBadExtents = 1,        // an extent below 1, N below 2, or a size past 64 bits
    kDenoiseOutOfMemory = 2,       // working memory could not be obtained
    kDenoisePatchOutOfMemory = 3,  // a patch could not be decomposed (its scratch was unavailable)
    kDenoiseCancelled = 4,         // DenoiseOptions::cancel was set while the workers ran
    kDenoiseEmptyMask = 5,         // DenoiseOptions::mask holds no voxel inside (every byte 0)
    kDenoiseBadWorkers = 6,        // fewer than 1 worker requested
    kDenoiseBadOptions = 7,        // a value type, or an option, that the call does not know
    kDenoiseSinkFailed = 8,        // DenoiseOptions::sink refused a plane of the results
};

// A short English description of a status, for error messages.
const char* denoiseStatusMessage(int32_t status);

// Per-patch kernels of the workers. Both give the same bits and messages;
// the plain one is the literal computation the fast one is checked against.
enum DenoiseKernel : int32_t {
    kDenoiseKernelFast = 0,   // batched, vectorised (patch/fast_patch.h)
    kDenoiseKernelPlain = 1,  // centerAndDecompose, estimateNoise, selectComponents, rebuildPatch
};

// How the values of an array are stored. A series may have any of the
// types: the workers convert each value to double as they read it, so a
// series of floats or integers gives the bits of the same values given as
// doubles, without the memory and time of a double copy. Single-precision
// values and integers up to 2^53 in magnitude convert exactly; larger 64-bit
// integers round to the nearest double, as a cast does. A mask may have any
// of the types too (see maskFromValues in driver/checks.h).
enum ValueType : int32_t {
    kValuesDouble = 0,
    kValuesSingle = 1,
    kValuesInt8 = 2,
    kValuesUint8 = 3,
    kValuesInt16 = 4,
    kValuesUint16 = 5,
    kValuesInt32 = 6,
    kValuesUint32 = 7,
    kValuesInt64 = 8,
    kValuesUint64 = 9,
};

// A read-only view of a VolumeSeries held by the caller.
//
// Single-precision values may carry a linear scaling, as a NIfTI file's
// scl_slope and scl_inter do: when `scaled`, each value is read as
// value * slope + intercept, in doubles (not fused), which gives the bits of
// a caller converting the series to doubles that way first, -0.0 read as
// +0.0 included; the slope must be finite and not 0, the intercept finite.
struct SeriesView {
    const void* values = nullptr;  // X*Y*Z*N values of `type`
    int32_t type = kValuesDouble;  // a ValueType
    int32_t X = 0, Y = 0, Z = 0, N = 0;
    bool scaled = false;           // kValuesSingle only
    double slope = 1.0, intercept = 0.0;
};

inline SeriesView seriesView(const double* values, int32_t X, int32_t Y, int32_t Z, int32_t N) {
    return SeriesView{values, kValuesDouble, X, Y, Z, N};
}
inline SeriesView seriesView(const float* values, int32_t X, int32_t Y, int32_t Z, int32_t N) {
    return SeriesView{values, kValuesSingle, X, Y, Z, N};
}

// The caller's arrays that receive the results. All are zeroed first,
// whatever they held.
struct DenoiseResults {
    double* denoised = nullptr;  // X*Y*Z*N: the denoised series
    double* noise = nullptr;     // X*Y*Z: the noise map
    double* weight = nullptr;    // X*Y*Z: the summed patch weights, 0 where no patch reached
    // X*Y*Z, or null when not wanted (then it costs nothing): the rank map,
    // the number of components kept by the patches covering each voxel,
    // averaged with the weights of the noise map. NaN where the noise map is.
    double* rank = nullptr;
};

// What the core does with NaN and infinities in the series.
enum NonFinite : int32_t {
    // They enter the arithmetic as they are: every patch over one of them
    // gives NaN, so its voxels come out NaN (the plain call).
    kNonFiniteKeep = 0,
    // They are read as 0 wherever the input is read (patch copies, totals,
    // which patches hold a value), and the voxels holding one (in any
    // volume) get no estimate of their own: they are uncovered (weight 0)
    // and receive the `uncovered` treatment. The series itself is never
    // written.
    kNonFiniteUncover = 1,
};

// What voxels without an estimate receive in the results: those no processed
// patch covered, those outside the mask, those holding a non-finite value
// under kNonFiniteUncover, and covered voxels whose value came out non-finite
// (a patch over them broke down).
enum Uncovered : int32_t {
    // NaN in the series, the noise map and the rank map (the plain call).
    kUncoveredNan = 0,
    // The input's value in the series (each volume's value that is not
    // finite is replaced); 0 in the noise and rank maps.
    kUncoveredInput = 1,
    // 0 in the series, the noise map and the rank map.
    kUncoveredZero = 2,
};

// What a run found, for the caller's warnings (DenoiseOptions::report).
struct DenoiseReport {
    int64_t nonFiniteValues = 0;  // NaN and infinite values in the series
    int64_t nonFiniteVoxels = 0;  // voxels holding one of them, in any volume
    int64_t firstNonFinite = -1;  // element index of the first one, or -1
    // Covered voxels (weight not 0) with a result that is not finite in the
    // series, the noise map or the rank map, before the `uncovered` treatment.
    int64_t brokenVoxels = 0;
};

// Where a streamed run delivers its results (DenoiseOptions::sink): each
// z-plane of the results once it is final, so that the run holds its sums
// for a window of planes only, never for the whole series.
struct PlaneSink {
    // Receives z-plane z of the results, for z = 0, 1, ..., Z - 1 in order,
    // one plane at a time, on one of the run's threads: volume v's X*Y values
    // at denoised + v * volumeStride, the noise map's plane, and the rank
    // map's (null unless `rank`). The arrays are the run's own, valid during
    // the call only. Returns false to stop the run (kDenoiseSinkFailed).
    bool (*plane)(void* context, int32_t z, const double* denoised, int64_t volumeStride, const double* noise,
                  const double* rank) = nullptr;
    // When not null, told that the run has read z-planes [z0, z1) of the
    // series for now: a caller whose series is mapped from a file may drop
    // those pages from memory. The run may read them again later; nothing is
    // promised beyond that reading them stays valid.
    void (*inputRead)(void* context, int32_t z0, int32_t z1) = nullptr;
    void* context = nullptr;
    bool rank = false;  // whether the rank map is wanted
};

// Everything beyond the series, the worker count and the results; the
// defaults give the plain call.
struct DenoiseOptions {
    // When not null, the number of patch positions finished so far is added
    // here as the workers go (once per row of positions). Read it from another
    // thread to show progress; the total is patchPositions().
    std::atomic<int64_t>* progress = nullptr;
    // When not null, setting it to true from another thread stops the
    // workers at their next row of positions; the call then returns
    // kDenoiseCancelled and the results must be discarded.
    const std::atomic<bool>* cancel = nullptr;
    // The per-patch kernel (a DenoiseKernel).
    int32_t kernel = kDenoiseKernelFast;
    // X*Y*Z bytes on the series' grid, non-zero inside, or null for none. A
    // patch position is then denoised only when its patch holds a voxel
    // inside, and voxels outside are uncovered (NaN, weight 0) whatever
    // patches reached them. Every voxel inside receives exactly the
    // contributions, in the same order, of the run without a mask: its
    // results are bit-identical to that run's with the same worker count.
    // A mask without any voxel inside gives kDenoiseEmptyMask.
    const uint8_t* mask = nullptr;
    // Where the decomposition's messages go (tamrin/messages.h): this call's
    // log, or null to write them to stderr as they are issued.
    MessageLog* messages = nullptr;
    // NaN and infinities in the series (a NonFinite) and what voxels without
    // an estimate receive (an Uncovered).
    int32_t nonFinite = kNonFiniteKeep;
    int32_t uncovered = kUncoveredNan;
    // When not null, receives what the run found (counted only when asked for).
    DenoiseReport* report = nullptr;
    // 0: one thread per slab, `requested` giving both (the plain call). K >= 1:
    // K slabs (lowered to max(1, E / s)), decomposed by `requested` threads
    // that take batches of positions of any slab as they free up; each slab's
    // contributions still reach its sums in its own scan order, so the result
    // is bit for bit that of the plain call with K workers, whatever the
    // thread count.
    int32_t slabs = 0;
    // When not null, the run streams its results to the sink plane by plane
    // instead of writing the caller's arrays (DenoiseResults may then be
    // empty), scheduled as with `slabs` (or as many slabs as workers when
    // slabs is 0): the same bits as the run into arrays.
    const PlaneSink* sink = nullptr;
};

// Denoises `series` with up to `requested` workers into `results`. Voxels
// that no processed patch covers become NaN in the series and the noise map
// (weight 0), unless options.uncovered says otherwise. Results do not depend
// on timing: the same input and worker count give the same bits on every
// run, and one worker gives exactly the single-threaded arithmetic. The
// series is only read. On a status other than kDenoiseOk the results must be
// discarded.
int32_t denoiseSeries(const SeriesView& series, int32_t requested, const DenoiseResults& results,
                      const DenoiseOptions& options = DenoiseOptions());

// The same for a series of doubles, with the three accumulators as separate
// arguments: denoisedSum (X*Y*Z*N doubles) receives the denoised series,
// noiseSum (X*Y*Z) the noise map, weightSum (at least X*Y*Z) is scratch.
int32_t denoiseVolume(const double* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested,
                      double* denoisedSum, double* noiseSum, double* weightSum);

// Side s of the cubic patch for a series of N volumes: the smallest integer
// whose cube is at least N, computed as ceil(pow(N, 1/3)).
int32_t patchSide(int32_t N);

// Voxels of a patch, s^3.
int32_t patchVoxels(int32_t N);

// Axis with the largest extent (0 = x, 1 = y, 2 = z); ties go to the later axis.
int32_t partitionAxis(int32_t X, int32_t Y, int32_t Z);

// Workers actually used: min(requested, max(1, E / s)) for extent E of the
// partition axis and patch side s. A request below 1 gives 0 (and
// denoiseSeries refuses it with kDenoiseBadWorkers).
int32_t workerCount(int32_t requested, int32_t extent, int32_t side);

// Workers a run of the given series with `requested` workers uses: at least 1.
int32_t workersUsed(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested);

// Half-open slice [start, end) of the L start positions given to worker i of g.
void sliceRange(int32_t L, int32_t i, int32_t g, int32_t* start, int32_t* end);

// Patch start positions a run visits: the product over the three axes of
// extent - s + 1 (0 when the series is thinner than a patch on some axis).
int64_t patchPositions(int32_t X, int32_t Y, int32_t Z, int32_t N);

// Patch start positions whose patch holds a voxel inside `mask` (X*Y*Z
// bytes, non-zero inside): those a run with that mask denoises at most.
int64_t maskedPatchPositions(const uint8_t* mask, int32_t X, int32_t Y, int32_t Z, int32_t N);

// Bytes a run obtains beyond the caller's arrays: the private bands of the
// workers and their per-patch scratch. With slabs (DenoiseOptions::slabs)
// above 0, for that many slabs on `requested` threads, each thread with its
// scratch and its share of the buffers of finished units waiting for their
// adds.
int64_t denoiseWorkingBytes(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested, int32_t slabs = 0);

// Bytes a streamed run (DenoiseOptions::sink) of the series obtains on
// `requested` threads with `slabs` slabs (0: as many as threads): its window
// of sums, the slabs' bands, the per-voxel flags and occupancy, and what
// denoiseWorkingBytes counts for the threads. rank: with the rank map.
int64_t streamedWorkingBytes(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested, int32_t slabs,
                             bool rank);

}  // namespace tamrin
