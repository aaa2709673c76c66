// Denoising a whole 4-D series: the per-worker job record, the worker, and the
// driver that partitions the work, runs the workers and normalises the sums.
//
// A VolumeSeries is a flat array of X*Y*Z*N doubles, x fastest, then y, z and
// the volume: element (x, y, z, v) at x + X*(y + Y*(z + Z*v)). 3-D maps (noise
// map, weights) use the same layout without v. Extents are 32-bit; element
// counts and indices are 64-bit throughout.
#pragma once

#include <atomic>
#include <cstdint>

namespace tamrin {

// Results of denoiseVolume and denoiseWorker.
enum DenoiseStatus : int32_t {
    kDenoiseOk = 0,
    kDenoiseBadExtents = 1,           // an extent below 1, N below 2, or a size past 64 bits
    kDenoiseOutOfMemory = 2,          // working memory could not be obtained
    kDenoiseDecompositionFailed = 3,  // a patch could not be decomposed (its scratch was unavailable)
};

// A short English description of a status, for error messages.
const char* denoiseStatusMessage(int32_t status);

// Per-patch kernels of the workers. Both give the same bits and messages;
// the plain one is the reference the fast one is checked against.
enum DenoiseKernel : int32_t {
    kDenoiseKernelFast = 0,       // batched, vectorised (tamrin/fast_patch.h)
    kDenoiseKernelReference = 1,  // centerAndDecompose, estimateNoise, selectComponents, rebuildPatch
};

// Options beyond the two call arguments; a null pointer means the defaults.
struct DenoiseOptions {
    // When not null, the number of patch positions finished so far is added
    // here as the workers go (once per row of positions). Read it from another
    // thread to show progress.
    std::atomic<int64_t>* progress;
    // The per-patch kernel (a DenoiseKernel).
    int32_t kernel = kDenoiseKernelFast;
};

// One worker's share of the work. The first fields are the record every
// worker receives; the band fields make the sums exact and reproducible where
// the patches of neighbouring workers overlap.
struct DenoiseJob {
    int32_t Y;
    int32_t X;
    int32_t Z;
    int32_t N;
    const double* input;
    double* denoisedSum;
    double* weightSum;
    int32_t xStart, xEnd;  // half-open ranges of patch start positions
    int32_t yStart, yEnd;
    int32_t zStart, zEnd;
    double* noiseSum;

    // Contributions to voxels whose coordinate on `axis` lies in
    // [bandStart, bandEnd) go to the private band arrays instead of the shared
    // sums: these planes are also written by later workers. Each band array
    // has the volume's layout with that axis cut to bandEnd - bandStart.
    // An empty band (bandStart == bandEnd) means every write goes to the sums.
    int32_t axis;
    int32_t bandStart, bandEnd;
    double* bandDenoised;
    double* bandNoise;
    double* bandWeight;

    const DenoiseOptions* options;
    int32_t status;  // set by the worker: a DenoiseStatus

    // When not null, the series is read from these single-precision values
    // (same layout) instead of `input`. Each value widens to double exactly,
    // so the sums are those of the same values given as doubles.
    const float* inputSingle;
};

// Scans every patch start position of the job's box (z, then y, then x
// innermost), denoises each patch whose values do not sum to exactly 0.0 and
// adds the weighted reconstruction, weighted noise level and weight into the
// sums (or the job's band). Returns a DenoiseStatus, also stored in job->status:
// kDenoiseOutOfMemory when its scratch could not be obtained (then nothing was
// added anywhere), kDenoiseDecompositionFailed when a patch could not be
// decomposed (the sums are then incomplete and must be discarded).
int32_t denoiseWorker(DenoiseJob* job);

// Axis with the largest extent (0 = x, 1 = y, 2 = z); ties go to the later axis.
int32_t partitionAxis(int32_t X, int32_t Y, int32_t Z);

// Workers actually used: min(requested, max(1, E / s)) for extent E of the
// partition axis and patch side s. A request below 1 gives 0.
int32_t workerCount(int32_t requested, int32_t extent, int32_t side);

// Half-open slice [start, end) of the L start positions given to worker i of g.
void sliceRange(int32_t L, int32_t i, int32_t g, int32_t* start, int32_t* end);

// Denoises the X x Y x Z x N series `input` with up to `requested` workers.
// The three accumulators are the caller's: denoisedSum (X*Y*Z*N doubles)
// receives the denoised series, noiseSum (X*Y*Z) the noise map, weightSum
// (at least X*Y*Z) is scratch. All three are zeroed first. Voxels that no
// processed patch covers become NaN in both results.
//
// Results do not depend on timing: the same input and worker count give the
// same bits on every run, and one worker gives exactly the single-threaded
// arithmetic. On a status other than kDenoiseOk the results must be discarded.
int32_t denoiseVolume(const double* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested,
                      double* denoisedSum, double* noiseSum, double* weightSum,
                      const DenoiseOptions* options = nullptr);

// The same for a series of single-precision values: every result is
// bit-identical to denoiseVolume on the same values as doubles, without the
// memory and time of a double copy.
int32_t denoiseVolume(const float* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested,
                      double* denoisedSum, double* noiseSum, double* weightSum,
                      const DenoiseOptions* options = nullptr);

}  // namespace tamrin
