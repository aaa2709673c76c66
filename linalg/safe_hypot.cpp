// SPDX-License-Identifier: BSD-3-Clause
// safeHypot(p, q): sqrt(p^2 + q^2), scaled by the larger magnitude so that no
// square overflows or underflows on its own.
#include <cmath>

#include "linalg/svd.h"

namespace tamrin {

double safeHypot(double p, double q) {
    const double P = std::fabs(p);
    const double Q = std::fabs(q);
    if (P > Q) {
        const double r = Q / P;
        return P * std::sqrt(1.0 + r * r);
    }
    if (Q == 0.0) return 0.0;
    const double r = P / Q;
    return Q * std::sqrt(1.0 + r * r);
}

}  // namespace tamrin
