// SPDX-License-Identifier: BSD-3-Clause
// Shared helpers for the tests: row-pointer matrices, captured host output and
// seeded random data.
#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tamrin/messages.h"
#include "tamrin/denoise.h"

namespace tamrin_test {

// An m x n matrix whose rows are separate vectors, with the row-pointer array
// that svdcmp takes.
struct RowMatrix {
    std::vector<std::vector<double>> rows;
    std::vector<double*> pointers;

    RowMatrix(int32_t m, int32_t n, double fill = 0.0);
    RowMatrix(const RowMatrix& other);
    RowMatrix& operator=(const RowMatrix&) = delete;
    double** get() { return pointers.data(); }
    double& at(int32_t r, int32_t c) { return rows[r][c]; }
    double at(int32_t r, int32_t c) const { return rows[r][c]; }
    int32_t m() const { return static_cast<int32_t>(rows.size()); }
};

// Collects the core's messages for the lifetime of the object: give log() to
// the calls under test (DenoiseOptions::messages, svdcmp's log). Also counts
// the core's blocks obtained since it was made and not yet released.
class CapturedMessages {
public:
    CapturedMessages();
    CapturedMessages(const CapturedMessages&) = delete;
    CapturedMessages& operator=(const CapturedMessages&) = delete;
    tamrin::MessageLog* log() { return &log_; }
    // Every message posted so far, each occurrence on its own; empties the log.
    std::vector<std::string> messages();
    long long liveBlocks() const;

private:
    tamrin::MessageLog log_;
    long long blocksBefore_;
};

// m x n matrix with entries drawn N(0, 1) from a seeded generator.
std::vector<double> randomMatrix(int32_t m, int32_t n, uint64_t seed);

// Realistic patch matrix (M voxels x N volumes, column-contiguous): a few
// smooth components over the voxels plus Gaussian noise of level sigma.
std::vector<double> realisticPatch(int32_t M, int32_t N, int32_t components, double sigma, uint64_t seed);

// Copies a column-major or row-major flat matrix into a RowMatrix.
RowMatrix fromRowMajor(const std::vector<double>& values, int32_t m, int32_t n);

// A 4-D series, X fastest and the N volumes last, as the driver takes it.
struct Series {
    int32_t X, Y, Z, N;
    std::vector<double> data;
    int64_t voxels() const { return int64_t{X} * Y * Z; }
};

// The three result arrays as denoiseSeries takes them.
inline tamrin::DenoiseResults resultsInto(std::vector<double>& denoised, std::vector<double>& noise,
                                          std::vector<double>& weight) {
    tamrin::DenoiseResults results;
    results.denoised = denoised.data();
    results.noise = noise.data();
    results.weight = weight.data();
    return results;
}

// The options of a run with the given kernel.
inline tamrin::DenoiseOptions withKernel(int32_t kernel) {
    tamrin::DenoiseOptions options;
    options.kernel = kernel;
    return options;
}

// The project's synthetic brain-like series (what tamrin-make-phantom
// writes): an exact-zero background with Gaussian noise of level sigma inside
// the head, or, with `everywhere`, a magnitude image with noise in every voxel.
Series phantomSeries(int32_t X, int32_t Y, int32_t Z, int32_t N, double sigma, uint64_t seed,
                     bool everywhere = false);

// A mask on the series' grid: the voxels of an ellipsoid-like blob around
// (X/2, Y/3, 0), inside where the squared distance is below X*Y/share.
std::vector<uint8_t> blobMask(const Series& s, int32_t share);

// Bit pattern equality for doubles (NaN payloads and signed zeros included).
bool sameBits(double a, double b);

// The same for two arrays: equal sizes and every element's bits.
bool sameBits(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace tamrin_test
