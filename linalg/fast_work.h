// SPDX-License-Identifier: BSD-3-Clause
// Working store of the fast decomposition kernel: one block per worker and
// patch shape, and the instruction set it runs with. The kernel is built for
// several x86 instruction sets and picks the widest the processor supports;
// all of them give the same bits. patch/fast_patch.h denoises patches with it.
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

// Working store for M x N patches (N <= M), from coreMalloc; nullptr when it
// cannot be obtained. Uses the widest available instruction set within the cap.
FastPatchWork* fastPatchWorkCreate(int32_t M, int32_t N);
void fastPatchWorkRelease(FastPatchWork* work);

// Bytes fastPatchWorkCreate(M, N) obtains, and the batch size of the store it
// makes, with the instruction set it would choose now (0 for shapes it
// refuses).
int64_t fastPatchWorkBytes(int32_t M, int32_t N);
int32_t fastPatchBatchFor(int32_t M, int32_t N);

// The instruction set and the batch size (patches denoised together, at
// most kFastMaxBatch) of a work store.
int32_t fastPatchWorkIsa(const FastPatchWork* work);
int32_t fastPatchWorkBatch(const FastPatchWork* work);

}  // namespace tamrin
