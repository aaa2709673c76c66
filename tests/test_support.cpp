// SPDX-License-Identifier: BSD-3-Clause
#include "test_support.h"

#include "phantom/phantom.h"
#include "support/alloc.h"

#include <cmath>
#include <cstring>

namespace tamrin_test {

RowMatrix::RowMatrix(int32_t m, int32_t n, double fill) : rows(m, std::vector<double>(n, fill)) {
    for (auto& row : rows) pointers.push_back(row.data());
}

RowMatrix::RowMatrix(const RowMatrix& other) : rows(other.rows) {
    for (auto& row : rows) pointers.push_back(row.data());
}

CapturedMessages::CapturedMessages() : blocksBefore_(tamrin::coreBlocksLive()) {}

std::vector<std::string> CapturedMessages::messages() {
    int64_t lost = 0;
    std::vector<std::string> messages;
    for (const tamrin::MessageRun& run : tamrin::takeMessages(&log_, &lost))
        for (int64_t i = 0; i < run.count; i++) messages.push_back(run.text);
    return messages;
}

long long CapturedMessages::liveBlocks() const { return tamrin::coreBlocksLive() - blocksBefore_; }

std::vector<double> randomMatrix(int32_t m, int32_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> values(static_cast<std::size_t>(m) * n);
    for (double& v : values) v = normal(rng);
    return values;
}

std::vector<double> realisticPatch(int32_t M, int32_t N, int32_t components, double sigma, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> patch(static_cast<std::size_t>(M) * N);
    // Smooth spatial profiles, each with a smooth decay across volumes, on top
    // of a baseline intensity.
    for (int32_t c = 0; c < components; c++) {
        const double phase = normal(rng);
        const double amplitude = 100.0 / (c + 1);
        for (int32_t v = 0; v < N; v++) {
            const double mix = std::exp(-0.05 * (c + 1) * v) * (1.0 + 0.1 * std::cos(v + phase));
            for (int32_t k = 0; k < M; k++)
                patch[static_cast<std::size_t>(v) * M + k] += amplitude * mix * std::cos(0.3 * (c + 1) * k + phase);
        }
    }
    for (double& value : patch) value += 500.0 + sigma * normal(rng);
    return patch;
}

RowMatrix fromRowMajor(const std::vector<double>& values, int32_t m, int32_t n) {
    RowMatrix a(m, n);
    for (int32_t r = 0; r < m; r++)
        for (int32_t c = 0; c < n; c++) a.at(r, c) = values[static_cast<std::size_t>(r) * n + c];
    return a;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); i++)
        if (!sameBits(a[i], b[i])) return false;
    return true;
}

Series phantomSeries(int32_t X, int32_t Y, int32_t Z, int32_t N, double sigma, uint64_t seed, bool everywhere) {
    std::vector<double> truth;
    Series s{X, Y, Z, N, {}};
    tamrin::makePhantom(X, Y, Z, N, &truth);
    if (everywhere)
        tamrin::addMagnitudeNoise(truth, sigma, seed, &s.data);
    else
        tamrin::addNoise(truth, sigma, seed, &s.data);
    return s;
}

std::vector<uint8_t> blobMask(const Series& s, int32_t share) {
    std::vector<uint8_t> mask(static_cast<std::size_t>(s.voxels()));
    for (int64_t k = 0; k < s.voxels(); k++) {
        const int64_t x = k % s.X, y = k / s.X % s.Y, z = k / (int64_t{s.X} * s.Y);
        mask[k] = (x - s.X / 2) * (x - s.X / 2) + (y - s.Y / 3) * (y - s.Y / 3) + z * z < s.X * s.Y / share;
    }
    return mask;
}

}  // namespace tamrin_test
