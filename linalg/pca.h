// SPDX-License-Identifier: BSD-3-Clause
// Principal components of one patch matrix and its rebuild from them.
//
// Array layouts (M rows = voxels, N columns = volumes, K = min(M, N) = N):
//   patch  M*N   patch[i*M + k]  voxel k of volume i (column-contiguous)
//   U      K*M   U[j*M + k]      entry k of left singular vector j
//   w      K     w[j]            singular value j, non-increasing
//   V      N*K   V[i*K + j]      entry i of right singular vector j
//   means  N     means[i]        mean of column i over the M voxels
// Precondition: N <= M. The decomposition's messages go to `log` (svdcmp).
#pragma once

#include <cstdint>

#include "tamrin/messages.h"

namespace tamrin {

// Removes each column's mean (kept in means) from patch, in place: each mean
// is a single running sum over the M voxels, divided by M.
void centerPatch(double* patch, double* means, int32_t M, int32_t N);

// Removes each column's mean (kept in means) from patch, in place, then
// decomposes the centred patch. Returns decomposePatch's status.
int32_t centerAndDecompose(double* patch, double* U, double* w, double* V, double* means, int32_t M, int32_t N,
                           MessageLog* log = nullptr);

// Decomposes patch (read only) into U, w and V through svdcmp on a row-pointer
// copy. Returns 0 on success. Returns -1 when its working store or the
// decomposition's scratch cannot be obtained: U, w and V are then all zero, so
// that a rebuild yields the column means, and the caller must treat the
// patch as not decomposed.
int32_t decomposePatch(const double* patch, double* U, double* w, double* V, int32_t M, int32_t N,
                       MessageLog* log = nullptr);

// Decomposes a centred patch after scaling it by a power of two to a largest
// magnitude near 1 (entries below 2^-600 of that become zero), then scales w
// back. For patches whose plain decomposition overflowed although every value
// was finite (denormal or near-underflow data). patch is overwritten with the
// scaled copy. Returns decomposePatch's status.
int32_t decomposeScaled(double* patch, double* U, double* w, double* V, int32_t M, int32_t N, MessageLog* log = nullptr);

// Writes means[i] + sum_j U[j*M+k] * w[j] * V[i*K+j] into every patch[i*M+k].
// U is scaled by w in place; w, V and means are only read.
void rebuildPatch(double* patch, double* U, const double* w, const double* V, const double* means, int32_t M,
                  int32_t N);

}  // namespace tamrin
