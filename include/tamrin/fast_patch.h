// Fast per-patch kernel: centring, decomposition, noise estimate, component
// selection and rebuild of patch matrices with exactly the bits of the plain
// path (centerAndDecompose, estimateNoise, selectComponents, rebuildPatch)
// and the same messages, but several times its throughput.
//
// Speed comes from layout and scheduling, never from different arithmetic:
// every value is produced by the same IEEE operations on the same operands in
// the same order as in the plain path. The working store is obtained once per
// worker, the hot loops run on vectors whose lanes are independent values,
// and a batch of patches (up to kFastMaxBatch) is decomposed together, one
// patch per lane, so that the long chains of dependent operations of
// different patches overlap. Whole patches whose results contain NaN are
// recomputed by the plain path, whose NaN bits (sign and payload) the fast
// path does not try to reproduce; that also covers NaN or Inf input.
//
// The kernel is built for several x86 instruction sets and picks the widest
// the processor supports; all of them give the same bits.
#pragma once

#include <cstdint>

namespace tamrin {

// Working store of one worker for one patch shape. Private layout.
struct FastPatchWork;

// Instruction sets the kernel is built for.
enum FastIsa : int32_t {
    kFastIsaBaseline = 0,  // whatever the compiler targets by default (SSE2 on x86-64)
    kFastIsaAvx2 = 1,
    kFastIsaAvx512 = 2,
};

// Largest number of patches one fastDenoisePatches call takes.
constexpr int32_t kFastMaxBatch = 16;

// Whether this build and processor can run the given instruction set.
bool fastIsaAvailable(int32_t isa);

// Caps the instruction set of work stores created from now on (for tests and
// benchmarks: kFastIsaBaseline forces the default build); -1 lifts the cap.
// Returns the previous cap. Not for use while workers are being started.
int32_t fastLimitIsa(int32_t isa);

// Working store for M x N patches (N <= M), from kernelMalloc; nullptr when it
// cannot be obtained. Uses the widest available instruction set within the cap.
FastPatchWork* fastPatchWorkCreate(int32_t M, int32_t N);
void fastPatchWorkRelease(FastPatchWork* work);

// Bytes fastPatchWorkCreate(M, N) obtains, and the batch size of the store it
// makes, with the instruction set it would choose now (0 for shapes it
// refuses).
int64_t fastPatchWorkBytes(int32_t M, int32_t N);
int32_t fastPatchBatchFor(int32_t M, int32_t N);

// The instruction set and the batch size (patches per fastDenoisePatches
// call, at most kFastMaxBatch) of a work store.
int32_t fastPatchWorkIsa(const FastPatchWork* work);
int32_t fastPatchWorkBatch(const FastPatchWork* work);

// Denoises count patches (1 <= count <= the batch size) of M x N doubles in
// place. For each patch b in order this is centerAndDecompose, then
// sigma[b] = estimateNoise(w, N, M, correction), weight[b] =
// selectComponents(w, N, M, sigma[b], nullptr) and rebuildPatch, with the same
// bits and messages. Returns the number of patches done: count, or the index
// of the first patch whose plain-path decomposition failed for want of memory
// (that patch and the ones after it are then left undefined and printed
// nothing beyond what the plain path printed for the failing one).
int32_t fastDenoisePatches(FastPatchWork* work, double* const* patches, int32_t count, double correction,
                           double* sigma, double* weight);

}  // namespace tamrin
