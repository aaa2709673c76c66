// SPDX-License-Identifier: BSD-3-Clause
// Fuzzes the whole denoiser on tiny series: extents 1 to 9, 2 to 10 volumes,
// arbitrary doubles and worker counts. Checks: the call succeeds; voxels that
// no patch covered are NaN in both results; finite input below 1e150 in
// magnitude gives finite results wherever a patch covered the voxel; any
// worker count agrees with one worker; and with a mask drawn from the values,
// voxels inside have exactly the unmasked results (rank map included) and
// voxels outside are uncovered.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "tamrin/messages.h"
#include "tamrin/denoise.h"

namespace {


bool close(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    if (std::isinf(a) || std::isinf(b)) return a == b;
    return std::fabs(a - b) <= 1e-9 * (std::fabs(a) + std::fabs(b)) + 1e-300;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Runs the series with a mask taken from the bits of its values and checks
// it against the unmasked results.
void checkMasked(const std::vector<double>& input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers,
                 const std::vector<double>& denoised, const std::vector<double>& noise,
                 const std::vector<double>& rank) {
    const std::size_t voxels = static_cast<std::size_t>(X) * Y * Z;
    std::vector<uint8_t> mask(voxels);
    for (std::size_t k = 0; k < voxels; k++) {
        uint64_t bits = 0;
        std::memcpy(&bits, &input[k], sizeof bits);
        mask[k] = ((bits >> 9) ^ k) & 1;
    }
    mask[voxels / 2] = 1;
    std::vector<double> d(input.size()), n(voxels), w(voxels), r(voxels);
    tamrin::DenoiseResults results{d.data(), n.data(), w.data(), r.data()};
    tamrin::MessageLog log;  // the decomposition's messages are not checked here
    tamrin::DenoiseOptions options;
    options.mask = mask.data();
    options.messages = &log;
    if (tamrin::denoiseSeries(tamrin::seriesView(input.data(), X, Y, Z, N), workers, results, options) !=
        tamrin::kDenoiseOk)
        std::abort();
    for (std::size_t k = 0; k < voxels; k++) {
        bool fine = mask[k] ? sameBits(n[k], noise[k]) && sameBits(r[k], rank[k])
                            : w[k] == 0.0 && std::isnan(n[k]) && std::isnan(r[k]);
        for (int32_t v = 0; v < N; v++) {
            const std::size_t i = k + voxels * v;
            fine = fine && (mask[k] ? sameBits(d[i], denoised[i]) : std::isnan(d[i]));
        }
        if (!fine) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tamrin_fuzz::FuzzInput in{data, size};
    const int32_t X = in.pick(1, 9), Y = in.pick(1, 9), Z = in.pick(1, 9), N = in.pick(2, 10);
    const int32_t workers = in.pick(1, 20);
    const std::size_t voxels = static_cast<std::size_t>(X) * Y * Z, elements = voxels * N;
    // The series repeats the fuzzer's doubles when there are fewer than needed.
    std::vector<double> values;
    while (in.size >= sizeof(double) && values.size() < elements) values.push_back(in.real());
    if (values.empty()) values.push_back(1.0);
    std::vector<double> input(elements);
    bool tame = true;
    for (std::size_t i = 0; i < elements; i++) {
        input[i] = values[i % values.size()];
        tame = tame && std::fabs(input[i]) < 1e150;
    }

    std::vector<double> denoised(elements), noise(voxels), weight(voxels), rank(voxels);
    tamrin::DenoiseResults results{denoised.data(), noise.data(), weight.data(), rank.data()};
    tamrin::MessageLog log;  // the decomposition's messages are not checked here
    tamrin::DenoiseOptions options;
    options.messages = &log;
    if (tamrin::denoiseSeries(tamrin::seriesView(input.data(), X, Y, Z, N), workers, results, options) !=
        tamrin::kDenoiseOk)
        std::abort();
    for (std::size_t k = 0; k < voxels; k++) {
        const bool covered = weight[k] > 0.0;
        for (int32_t v = 0; v < N; v++) {
            const double x = denoised[k + voxels * v];
            if (!covered && !std::isnan(x)) std::abort();
            if (covered && tame && !std::isfinite(x)) std::abort();
        }
        if (!covered && !(std::isnan(noise[k]) && std::isnan(rank[k]))) std::abort();
        // A weighted average of counts from 0 to N (up to its rounding).
        if (covered && !(rank[k] >= 0.0 && rank[k] <= N * (1.0 + 1e-12))) std::abort();
        if (covered && tame && !std::isfinite(noise[k])) std::abort();
    }

    if (workers > 1) {
        std::vector<double> one(elements), oneNoise(voxels), oneWeight(voxels);
        const tamrin::DenoiseResults oneResults{one.data(), oneNoise.data(), oneWeight.data(), nullptr};
        if (tamrin::denoiseSeries(tamrin::seriesView(input.data(), X, Y, Z, N), 1, oneResults, options) !=
            tamrin::kDenoiseOk)
            std::abort();
        // Sums over several workers differ from one worker only in rounding;
        // tame input keeps the difference tiny.
        if (tame)
            for (std::size_t k = 0; k < voxels; k++)
                if (!close(oneWeight[k], weight[k])) std::abort();
    }
    checkMasked(input, X, Y, Z, N, workers, denoised, noise, rank);
    return 0;
}
