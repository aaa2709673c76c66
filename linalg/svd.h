// SPDX-License-Identifier: BSD-3-Clause
// Singular value decomposition of a dense m x n matrix on row-pointer storage.
#pragma once

#include <cstdint>

#include "tamrin/messages.h"

namespace tamrin {

// sqrt(p*p + q*q) without overflow or underflow of the squares.
double safeHypot(double p, double q);

// Decomposes A = U * diag(w) * V^T in place (Golub-Reinsch: Householder
// bidiagonalisation, accumulation, implicit-shift QR with at most 30 sweeps
// per singular value), then sorts w into non-increasing order with the columns
// of U and V alongside and gives each column pair its sign by majority.
//
//   a  m row pointers, each row holding at least n doubles; becomes U (m x n).
//   w  n doubles; receives the singular values.
//   v  n row pointers to rows of n doubles; receives V (not its transpose).
//
// Returns 0, also when a singular value did not converge (then the message
// "no convergence in 30 svdcmp iterations\n" has been posted to log). Returns
// -1 after posting "svdcmp(): Unable to allocate vector\n" when its m + 2n
// doubles of scratch cannot be obtained; a, w and v are then untouched. A
// null log writes the messages to stderr (postMessage).
// Keeps no state: calls on disjoint arrays may run concurrently.
int32_t svdcmp(double** a, int32_t m, int32_t n, double* w, double** v, MessageLog* log = nullptr);

}  // namespace tamrin
