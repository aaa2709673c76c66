// SPDX-License-Identifier: BSD-3-Clause
// Second attempt at a patch of finite values whose denoised result came out
// with infinities or NaN.
#pragma once

#include <cstdint>

#include "tamrin/messages.h"

namespace tamrin {

// Denoises the freshly extracted patch (finite values) with a decomposition
// that is first scaled by a power of two (decomposeScaled). Tiny data, whose
// plain decomposition overflows in reciprocals of near-underflow values, then
// decomposes normally. Should the result still not be finite, the patch keeps
// no component: it rebuilds as its per-volume means with sigma 0 and weight 1.
// U, w, V and means are scratch of the sizes centerAndDecompose takes.
// Returns the decomposition's status (non-zero only when memory ran out).
int32_t rescuePatch(double* patch, double* U, double* w, double* V, double* means, int32_t M, int32_t N,
                    double correction, double* sigma, double* weight, MessageLog* log);

}  // namespace tamrin
