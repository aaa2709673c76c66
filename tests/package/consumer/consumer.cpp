// SPDX-License-Identifier: BSD-3-Clause
//
// Denoises a small seeded series through the installed library with both
// entry points and checks what a C++ user relies on: the geometry of a run,
// equal bits from denoiseSeries and denoiseVolume, from doubles and floats,
// a smaller error against the truth after denoising than before, and the
// refusal of a series of one volume. Prints each failed check; exit status 0
// when all hold.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tamrin/denoise.h"

namespace {

int failures = 0;

void check(bool holds, const char* what) {
    if (!holds) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// A deterministic standard normal deviate (Box-Muller on a 64-bit LCG).
double normal(uint64_t& state) {
    auto uniform = [&state] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return (static_cast<double>(state >> 11) + 0.5) / 9007199254740992.0;
    };
    const double u = uniform(), v = uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
}

}  // namespace

int main() {
    // 12 x 10 x 9 voxels, 10 volumes: patches of side 3 (27 >= 10 > 8).
    const int32_t X = 12, Y = 10, Z = 9, N = 10;
    const int64_t voxels = int64_t{X} * Y * Z;

    check(tamrin::patchPositions(X, Y, Z, N) == int64_t{10} * 8 * 7, "patchPositions");
    check(tamrin::partitionAxis(X, Y, Z) == 0, "partitionAxis");
    check(tamrin::workersUsed(X, Y, Z, N, 2) == 2, "workersUsed");
    check(tamrin::workersUsed(X, Y, Z, N, 64) == 4, "workersUsed lowers a large request to X / side");
    check(tamrin::denoiseWorkingBytes(X, Y, Z, N, 2) > 0, "denoiseWorkingBytes");
    std::vector<uint8_t> mask(voxels, 0);
    mask[5 + X * (5 + Y * 4)] = 1;  // an interior voxel lies in 27 patches
    check(tamrin::maskedPatchPositions(mask.data(), X, Y, Z, N) == 27, "maskedPatchPositions");

    // A rank-2 signal (two spatial maps times two volume profiles) and noise
    // of standard deviation 1; the values are floats, so that the float view
    // sees exactly the doubles.
    std::vector<double> truth(voxels * N), noisy(voxels * N);
    std::vector<float> noisyFloat(voxels * N);
    uint64_t state = 2024;
    for (int64_t v = 0; v < N; ++v) {
        for (int64_t i = 0; i < voxels; ++i) {
            const double x = static_cast<double>(i % X) / X, z = static_cast<double>(i / (X * Y)) / Z;
            const int64_t at = i + voxels * v;
            truth[at] = 100.0 + 40.0 * x * (1.0 + 0.1 * v) + 25.0 * z * std::cos(0.5 * v);
            noisyFloat[at] = static_cast<float>(truth[at] + normal(state));
            noisy[at] = noisyFloat[at];
        }
    }

    std::vector<double> denoised(voxels * N), noise(voxels), weight(voxels);
    tamrin::DenoiseResults results;
    results.denoised = denoised.data();
    results.noise = noise.data();
    results.weight = weight.data();
    check(tamrin::denoiseSeries(tamrin::seriesView(noisy.data(), X, Y, Z, N), 2, results) == tamrin::kDenoiseOk,
          "denoiseSeries succeeds");

    std::vector<double> fromFloats(voxels * N), noiseFromFloats(voxels), weightFromFloats(voxels);
    tamrin::DenoiseResults floatResults{fromFloats.data(), noiseFromFloats.data(), weightFromFloats.data()};
    check(tamrin::denoiseSeries(tamrin::seriesView(noisyFloat.data(), X, Y, Z, N), 2, floatResults) ==
              tamrin::kDenoiseOk,
          "denoiseSeries of floats succeeds");
    check(sameBits(denoised, fromFloats) && sameBits(noise, noiseFromFloats), "floats give the bits of doubles");

    std::vector<double> volumeDenoised(voxels * N), volumeNoise(voxels), volumeWeight(voxels);
    check(tamrin::denoiseVolume(noisy.data(), X, Y, Z, N, 2, volumeDenoised.data(), volumeNoise.data(),
                                volumeWeight.data()) == tamrin::kDenoiseOk,
          "denoiseVolume succeeds");
    check(sameBits(denoised, volumeDenoised) && sameBits(noise, volumeNoise),
          "denoiseVolume gives the bits of denoiseSeries");

    double before = 0, after = 0;
    bool finite = true;
    for (int64_t i = 0; i < voxels * N; ++i) {
        finite = finite && std::isfinite(denoised[i]);
        before += (noisy[i] - truth[i]) * (noisy[i] - truth[i]);
        after += (denoised[i] - truth[i]) * (denoised[i] - truth[i]);
    }
    for (int64_t i = 0; i < voxels; ++i) finite = finite && std::isfinite(noise[i]) && noise[i] > 0;
    check(finite, "every voxel is covered, with a positive noise level");
    check(after < 0.5 * before, "denoising halves the squared error at least");

    check(tamrin::denoiseSeries(tamrin::seriesView(noisy.data(), X, Y, Z, 1), 2, results) ==
              tamrin::kDenoiseBadExtents,
          "one volume is refused");
    check(std::strlen(tamrin::denoiseStatusMessage(tamrin::kDenoiseBadExtents)) > 0, "denoiseStatusMessage");

    std::printf("tamrin consumer: squared error %.1f before, %.1f after; %s\n", before, after,
                failures ? "checks failed" : "all checks passed");
    return failures ? 1 : 0;
}
