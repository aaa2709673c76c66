// SPDX-License-Identifier: BSD-3-Clause
// denoise_raw IN X Y Z N WORKERS OUT_DENOISED OUT_NOISE [MASK OUT_RANK]
//
// Reads X*Y*Z*N native-endian doubles (x fastest) from IN, denoises them with
// tamrin::denoiseSeries and writes the denoised series and the noise map as
// raw doubles. With MASK (X*Y*Z bytes, non-zero inside; "-" for none) and
// OUT_RANK, denoises with that mask and a rank map, and writes the rank map
// too. The core's messages go to stdout, in the order they arrived, so that a
// caller can compare them with another front end's. Used by the Octave tests
// as the reference for the MEX function.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tamrin/denoise.h"
#include "tamrin/messages.h"

namespace {

bool readAll(const char* path, std::vector<double>& values) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    const std::size_t got = std::fread(values.data(), sizeof(double), values.size(), file);
    const bool extra = std::fgetc(file) != EOF;
    std::fclose(file);
    return got == values.size() && !extra;
}

bool readBytes(const char* path, std::vector<uint8_t>& values) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    const std::size_t got = std::fread(values.data(), 1, values.size(), file);
    const bool extra = std::fgetc(file) != EOF;
    std::fclose(file);
    return got == values.size() && !extra;
}

bool writeAll(const char* path, const std::vector<double>& values) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    const std::size_t put = std::fwrite(values.data(), sizeof(double), values.size(), file);
    return std::fclose(file) == 0 && put == values.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 9 && argc != 11) {
        std::fprintf(stderr, "usage: %s IN X Y Z N WORKERS OUT_DENOISED OUT_NOISE [MASK OUT_RANK]\n", argv[0]);
        return 2;
    }
    int32_t extents[5];
    for (int i = 0; i < 5; i++) {
        char* end = nullptr;
        const long value = std::strtol(argv[2 + i], &end, 10);
        if (*end != '\0' || value < 1 || value > INT32_MAX) {
            std::fprintf(stderr, "bad number: %s\n", argv[2 + i]);
            return 2;
        }
        extents[i] = static_cast<int32_t>(value);
    }
    const std::size_t voxels = static_cast<std::size_t>(extents[0]) * extents[1] * extents[2];
    std::vector<double> input(voxels * extents[3]), denoised(input.size()), noise(voxels), weights(voxels), rank;
    if (!readAll(argv[1], input)) {
        std::fprintf(stderr, "cannot read %zu doubles from %s\n", input.size(), argv[1]);
        return 1;
    }
    const bool extended = argc == 11, masked = extended && std::string(argv[9]) != "-";
    std::vector<uint8_t> mask(masked ? voxels : 0);
    if (masked && !readBytes(argv[9], mask)) {
        std::fprintf(stderr, "cannot read %zu bytes from %s\n", voxels, argv[9]);
        return 1;
    }

    tamrin::DenoiseResults results;
    results.denoised = denoised.data();
    results.noise = noise.data();
    results.weight = weights.data();
    if (extended) {
        rank.resize(voxels);
        results.rank = rank.data();
    }
    tamrin::MessageLog log;
    tamrin::DenoiseOptions options;
    options.mask = masked ? mask.data() : nullptr;
    options.messages = &log;
    const int32_t status = tamrin::denoiseSeries(
        tamrin::seriesView(input.data(), extents[0], extents[1], extents[2], extents[3]), extents[4], results, options);
    for (const tamrin::MessageRun& run : tamrin::takeMessages(&log, nullptr))
        for (int64_t i = 0; i < run.count; i++) std::fputs(run.text.c_str(), stdout);
    std::fflush(stdout);
    if (status != tamrin::kDenoiseOk) {
        std::fprintf(stderr, "denoising failed: %s\n", tamrin::denoiseStatusMessage(status));
        return 1;
    }
    if (!writeAll(argv[7], denoised) || !writeAll(argv[8], noise) || (extended && !writeAll(argv[10], rank))) {
        std::fprintf(stderr, "cannot write the results\n");
        return 1;
    }
    return 0;
}
