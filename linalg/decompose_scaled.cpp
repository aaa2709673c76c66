// SPDX-License-Identifier: BSD-3-Clause
// decomposeScaled: decomposition of a centred patch whose plain decomposition
// broke down in the floating-point range.
//
// A patch of tiny values (denormals, or centred values near the underflow
// limit) makes reciprocals such as 1 / w[i] overflow inside svdcmp, and the
// decomposition returns infinities and NaN although the patch was finite.
// Scaling by a power of two changes no significant bit of a normal number, and
// the decomposition commutes with such a scaling while nothing under- or
// overflows: so the patch is brought to a largest magnitude in [0.5, 1),
// entries below 2^-600 of that are set to zero (they lie far under the
// resolution of any singular value), the scaled patch is decomposed, and w is
// scaled back. U and V are scale-free.
#include <cmath>

#include "linalg/pca.h"

namespace tamrin {

int32_t decomposeScaled(double* patch, double* U, double* w, double* V, int32_t M, int32_t N, MessageLog* log) {
    const int64_t count = int64_t{M} * N;
    double largest = 0.0;
    for (int64_t i = 0; i < count; i++) largest = std::fmax(largest, std::fabs(patch[i]));
    int exponent = 0;
    if (largest > 0.0 && std::isfinite(largest)) std::frexp(largest, &exponent);
    for (int64_t i = 0; i < count; i++) {
        const double scaled = std::ldexp(patch[i], -exponent);
        patch[i] = std::fabs(scaled) < 0x1p-600 ? 0.0 : scaled;
    }
    const int32_t status = decomposePatch(patch, U, w, V, M, N, log);
    const int32_t K = M < N ? M : N;
    for (int32_t j = 0; j < K; j++) w[j] = std::ldexp(w[j], exponent);
    return status;
}

}  // namespace tamrin
