// SPDX-License-Identifier: BSD-3-Clause
// Fuzzes svdcmp with arbitrary small m x n matrices (m >= n) of arbitrary
// doubles: NaN, infinities, denormals and values near the overflow limit.
// Checks: it returns 0; it prints only its convergence message, at most once
// per singular value; w is non-increasing when it holds no NaN; a well-scaled
// matrix (every non-zero entry between 1e-100 and 1e100 in magnitude) gives
// finite U, w and V. (Denormal or extreme entries may make the arithmetic
// itself overflow; the denoiser guards against that one level up.)
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "linalg/svd.h"
#include "tamrin/messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tamrin_fuzz::FuzzInput in{data, size};
    const int32_t n = in.pick(1, 12);
    const int32_t m = n + in.pick(0, 12);
    std::vector<std::vector<double>> rows(m, std::vector<double>(n));
    std::vector<std::vector<double>> vRows(n, std::vector<double>(n));
    std::vector<double*> a(m), v(n);
    bool tame = true;
    for (int32_t r = 0; r < m; r++) {
        for (int32_t c = 0; c < n; c++) {
            rows[r][c] = in.real();
            const double magnitude = std::fabs(rows[r][c]);
            tame = tame && (magnitude == 0.0 || (magnitude >= 1e-100 && magnitude <= 1e100));
        }
        a[r] = rows[r].data();
    }
    for (int32_t r = 0; r < n; r++) v[r] = vRows[r].data();
    std::vector<double> w(n);

    tamrin::MessageLog log;
    if (tamrin::svdcmp(a.data(), m, n, w.data(), v.data(), &log) != 0) std::abort();
    int64_t messages = 0;
    for (const tamrin::MessageRun& run : tamrin::takeMessages(&log, nullptr)) {
        if (run.text != "no convergence in 30 svdcmp iterations\n") std::abort();
        messages += run.count;
    }
    if (messages > n) std::abort();

    bool anyNan = false;
    for (double x : w) anyNan = anyNan || std::isnan(x);
    if (!anyNan)
        for (int32_t j = 1; j < n; j++)
            if (w[j - 1] < w[j]) std::abort();
    if (tame) {
        for (double x : w)
            if (!std::isfinite(x)) std::abort();
        for (int32_t r = 0; r < m; r++)
            for (int32_t c = 0; c < n; c++)
                if (!std::isfinite(rows[r][c])) std::abort();
        for (int32_t r = 0; r < n; r++)
            for (int32_t c = 0; c < n; c++)
                if (!std::isfinite(vRows[r][c])) std::abort();
    }
    return 0;
}
