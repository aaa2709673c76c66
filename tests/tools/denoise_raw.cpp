// denoise_raw IN X Y Z N WORKERS OUT_DENOISED OUT_NOISE
//
// Reads X*Y*Z*N native-endian doubles (x fastest) from IN, denoises them with
// tamrin::denoiseVolume and writes the denoised series and the noise map as
// raw doubles. The core's messages go to stdout, in the order they arrive, so
// a caller can compare them with another front end's. Used by the Octave tests
// as the reference for the MEX function.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "tamrin/denoise.h"
#include "tamrin/host.h"

namespace {

std::mutex gPrintLock;

void printToStdout(const char* text) {
    std::lock_guard<std::mutex> guard(gPrintLock);
    std::fputs(text, stdout);
}

void* allocate(std::size_t count, std::size_t size) { return std::calloc(count, size); }
void release(void* block) { std::free(block); }

const tamrin::HostServices kStdoutServices = {printToStdout, allocate, release};

bool readAll(const char* path, std::vector<double>& values) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    const std::size_t got = std::fread(values.data(), sizeof(double), values.size(), file);
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
    if (argc != 9) {
        std::fprintf(stderr, "usage: %s IN X Y Z N WORKERS OUT_DENOISED OUT_NOISE\n", argv[0]);
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
    std::vector<double> input(voxels * extents[3]), denoised(input.size()), noise(voxels), weights(voxels);
    if (!readAll(argv[1], input)) {
        std::fprintf(stderr, "cannot read %zu doubles from %s\n", input.size(), argv[1]);
        return 1;
    }

    tamrin::installHostServices(&kStdoutServices);
    const int32_t status = tamrin::denoiseVolume(input.data(), extents[0], extents[1], extents[2], extents[3],
                                                 extents[4], denoised.data(), noise.data(), weights.data());
    tamrin::installHostServices(nullptr);
    std::fflush(stdout);
    if (status != tamrin::kDenoiseOk) {
        std::fprintf(stderr, "denoising failed: %s\n", tamrin::denoiseStatusMessage(status));
        return 1;
    }
    if (!writeAll(argv[7], denoised) || !writeAll(argv[8], noise)) {
        std::fprintf(stderr, "cannot write the results\n");
        return 1;
    }
    return 0;
}
