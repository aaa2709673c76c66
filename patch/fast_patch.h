// SPDX-License-Identifier: BSD-3-Clause
// The fast per-patch denoiser: centring, decomposition, noise estimate, component
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

#include "linalg/fast_work.h"
#include "tamrin/messages.h"

namespace tamrin {

// Denoises count patches (1 <= count <= the batch size) of M x N doubles in
// place. For each patch b in order this is centerAndDecompose, then
// sigma[b] = estimateNoise(w, N, M, correction), weight[b] =
// selectComponents(w, N, M, sigma[b], nullptr) and rebuildPatch, with the same
// bits and the same messages, posted to log. Returns the number of patches
// done: count, or the index of the first patch whose plain-path
// decomposition failed for want of memory (that patch and the ones after it
// are then left undefined and posted nothing beyond what the plain path
// posted for the failing one).
int32_t fastDenoisePatches(FastPatchWork* work, double* const* patches, int32_t count, double correction,
                           double* sigma, double* weight, MessageLog* log = nullptr);

}  // namespace tamrin
