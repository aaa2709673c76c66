// SPDX-License-Identifier: BSD-3-Clause
// series_digest OUT_DIR KERNEL
//
// Denoises a fixed set of seeded series with 1 and with 3 workers and writes
// every input, denoised series and noise map to OUT_DIR as raw little-endian
// doubles, one file per array. Built for several platforms and run with each
// kernel, the files must be byte for byte the same everywhere:
// scripts/cross-test compares their sha256 sums.
//
// KERNEL is `plain` (the reference per-patch path) or the fast kernel capped
// at an instruction set: `baseline`, `avx2` or `avx512`. Exit status: 0 files
// written; 77 the processor or this build lacks that instruction set (nothing
// written); 1 a run or a write failed; 2 usage.
//
// The series are generated from the raw output of std::mt19937_64, whose
// sequence the C++ standard fixes, with + - * / only: no library distribution
// or math function, whose results differ between libraries. So every
// platform denoises the same bits.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "linalg/fast_work.h"
#include "tamrin/denoise.h"

namespace {

struct Case {
    const char* name;
    int32_t X, Y, Z, N;
    int32_t radius;  // percent: the object's extent towards the faces; 0 for noise everywhere
};

// N = 7, 30 and 65 (patch sides 2, 4 and 5), each partitioned along two
// different axes and allowing 3 workers, with an exact-zero background
// outside an ellipsoid (skipped patches, voxels no patch covers) and with
// noise in every voxel.
const Case kCases[] = {
    {"n7-x-zero", 9, 6, 5, 7, 70},     {"n7-x-noisy", 9, 6, 5, 7, 0},
    {"n7-z-zero", 5, 6, 10, 7, 70},    {"n7-z-noisy", 5, 6, 10, 7, 0},
    {"n30-x-zero", 14, 9, 8, 30, 50},  {"n30-x-noisy", 14, 9, 8, 30, 0},
    {"n30-y-zero", 8, 13, 9, 30, 50},  {"n30-y-noisy", 8, 13, 9, 30, 0},
    {"n65-x-zero", 15, 7, 6, 65, 40},  {"n65-x-noisy", 15, 7, 6, 65, 0},
    {"n65-z-zero", 6, 7, 16, 65, 40},  {"n65-z-noisy", 6, 7, 16, 65, 0},
};

// Roughly standard normal: the sum of 12 uniform values on [0, 1), less 6.
double noise(std::mt19937_64& rng) {
    double sum = 0.0;
    for (int i = 0; i < 12; i++) sum += static_cast<double>(rng() >> 11) * 0x1p-53;
    return sum - 6.0;
}

// Three smooth components (a constant, a ramp along x, a product of y and z)
// with their own time courses, plus noise of level 5; with a zero background
// only the voxels inside the case's ellipsoid carry anything.
std::vector<double> makeSeries(const Case& c, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<double> data(static_cast<std::size_t>(c.X) * c.Y * c.Z * c.N);
    const int64_t X2 = int64_t{c.X} * c.X, Y2 = int64_t{c.Y} * c.Y, Z2 = int64_t{c.Z} * c.Z;
    std::size_t i = 0;
    for (int32_t v = 0; v < c.N; v++)
        for (int32_t z = 0; z < c.Z; z++)
            for (int32_t y = 0; y < c.Y; y++)
                for (int32_t x = 0; x < c.X; x++, i++) {
                    // (dx / X)^2 + (dy / Y)^2 + (dz / Z)^2 < (radius / 100)^2, in integers.
                    const int64_t dx = 2 * x + 1 - c.X, dy = 2 * y + 1 - c.Y, dz = 2 * z + 1 - c.Z;
                    const int64_t distance = dx * dx * Y2 * Z2 + dy * dy * X2 * Z2 + dz * dz * X2 * Y2;
                    const bool inside = c.radius == 0 || 10000 * distance < int64_t{c.radius} * c.radius * X2 * Y2 * Z2;
                    const double e = noise(rng);
                    if (!inside) continue;
                    const double t = static_cast<double>(v) / c.N;
                    const double signal = 100.0 / (1.0 + 2.0 * t) + 40.0 * x / c.X * t +
                                          30.0 * (y * z) / (c.Y * c.Z) * ((v % 3) - 1.0);
                    data[i] = signal + 5.0 * e;
                }
    return data;
}

// IEEE 754 leaves the sign and payload of a NaN made by an invalid operation
// to the processor: 0 / 0, what uncovered voxels get, is a negative NaN on
// x86-64 and a positive one on ARM64. Which voxels are NaN is compared; those
// bits are not.
void canonicalNan(std::vector<double>& values) {
    for (double& value : values)
        if (std::isnan(value)) value = std::numeric_limits<double>::quiet_NaN();
}

bool writeRaw(const std::string& path, const std::vector<double>& values) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const std::size_t put = std::fwrite(values.data(), sizeof(double), values.size(), file);
    return std::fclose(file) == 0 && put == values.size();
}

const char* isaName(int32_t isa) {
    return isa == tamrin::kFastIsaAvx512 ? "avx512" : isa == tamrin::kFastIsaAvx2 ? "avx2" : "baseline";
}

// Selects the kernel; false when this processor or build cannot run it.
bool selectKernel(const std::string& kernel, tamrin::DenoiseOptions* options) {
    options->progress = nullptr;
    options->kernel = tamrin::kDenoiseKernelFast;
    if (kernel == "plain") {
        options->kernel = tamrin::kDenoiseKernelPlain;
        std::printf("kernel: plain\n");
        return true;
    }
    int32_t isa = tamrin::kFastIsaBaseline;
    for (int32_t candidate : {tamrin::kFastIsaAvx2, tamrin::kFastIsaAvx512})
        if (kernel == isaName(candidate)) isa = candidate;
    if (!tamrin::fastIsaAvailable(isa)) return false;
    tamrin::fastLimitIsa(isa);
    // What a worker's store will use, as the workers create theirs.
    tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(64, 30);
    if (work == nullptr) return false;
    std::printf("kernel: fast, %s\n", isaName(tamrin::fastPatchWorkIsa(work)));
    const bool exact = tamrin::fastPatchWorkIsa(work) == isa;
    tamrin::fastPatchWorkRelease(work);
    return exact;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string kernel = argc == 3 ? argv[2] : "";
    if (kernel != "plain" && kernel != "baseline" && kernel != "avx2" && kernel != "avx512") {
        std::fprintf(stderr, "usage: %s OUT_DIR plain|baseline|avx2|avx512\n", argv[0]);
        return 2;
    }
    tamrin::DenoiseOptions options;
    if (!selectKernel(kernel, &options)) {
        std::printf("kernel %s: not available on this processor or build, skipped\n", kernel.c_str());
        return 77;
    }
    const std::string out = std::string(argv[1]) + "/";

    int files = 0;
    uint64_t seed = 1;
    for (const Case& c : kCases) {
        const std::vector<double> input = makeSeries(c, seed++);
        const std::size_t voxels = static_cast<std::size_t>(c.X) * c.Y * c.Z;
        if (!writeRaw(out + c.name + ".input", input)) {
            std::fprintf(stderr, "cannot write %s%s.input\n", out.c_str(), c.name);
            return 1;
        }
        files++;
        for (int32_t workers : {1, 3}) {
            std::vector<double> denoised(input.size()), noiseMap(voxels), weights(voxels);
            tamrin::DenoiseResults results;
            results.denoised = denoised.data();
            results.noise = noiseMap.data();
            results.weight = weights.data();
            const int32_t status =
                tamrin::denoiseSeries(tamrin::seriesView(input.data(), c.X, c.Y, c.Z, c.N), workers, results, options);
            if (status != tamrin::kDenoiseOk) {
                std::fprintf(stderr, "%s, %d workers: %s\n", c.name, workers, tamrin::denoiseStatusMessage(status));
                return 1;
            }
            canonicalNan(denoised);
            canonicalNan(noiseMap);
            const std::string stem = out + c.name + ".w" + std::to_string(workers);
            if (!writeRaw(stem + ".denoised", denoised) || !writeRaw(stem + ".noise", noiseMap)) {
                std::fprintf(stderr, "cannot write %s.*\n", stem.c_str());
                return 1;
            }
            files += 2;
        }
    }
    std::printf("%d series, 1 and 3 workers: %d files in %s\n", static_cast<int>(sizeof kCases / sizeof kCases[0]),
                files, argv[1]);
    return 0;
}
