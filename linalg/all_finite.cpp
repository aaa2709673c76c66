// SPDX-License-Identifier: BSD-3-Clause
// allFinite: x - x is +0.0 for every finite x and NaN for NaN and infinities,
// so a sum of such differences stays exactly 0 only when every value is
// finite. Four independent sums let the loop run in vector registers.
#include "linalg/finite.h"

namespace tamrin {

bool allFinite(const double* values, int64_t count) {
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    int64_t i = 0;
    for (; i + 4 <= count; i += 4)
        for (int q = 0; q < 4; q++) sums[q] = sums[q] + (values[i + q] - values[i + q]);
    for (; i < count; i++) sums[0] = sums[0] + (values[i] - values[i]);
    return sums[0] == 0.0 && sums[1] == 0.0 && sums[2] == 0.0 && sums[3] == 0.0;
}

}  // namespace tamrin
