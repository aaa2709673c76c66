// Fuzzes the whole denoiser on tiny series: extents 1 to 9, 2 to 10 volumes,
// arbitrary doubles and worker counts. Checks: the call succeeds; voxels that
// no patch covered are NaN in both results; finite input below 1e150 in
// magnitude gives finite results wherever a patch covered the voxel; and any
// worker count agrees with one worker.
#include <cmath>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "tamrin/denoise.h"
#include "tamrin/host.h"

namespace {

void quiet(const char*) {}
const tamrin::HostServices kServices = {quiet, std::calloc, std::free};

bool close(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    if (std::isinf(a) || std::isinf(b)) return a == b;
    return std::fabs(a - b) <= 1e-9 * (std::fabs(a) + std::fabs(b)) + 1e-300;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    tamrin::installHostServices(&kServices);
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

    std::vector<double> denoised(elements), noise(voxels), weight(voxels);
    if (tamrin::denoiseVolume(input.data(), X, Y, Z, N, workers, denoised.data(), noise.data(), weight.data()) !=
        tamrin::kDenoiseOk)
        std::abort();
    for (std::size_t k = 0; k < voxels; k++) {
        const bool covered = weight[k] > 0.0;
        for (int32_t v = 0; v < N; v++) {
            const double x = denoised[k + voxels * v];
            if (!covered && !std::isnan(x)) std::abort();
            if (covered && tame && !std::isfinite(x)) std::abort();
        }
        if (!covered && !std::isnan(noise[k])) std::abort();
        if (covered && tame && !std::isfinite(noise[k])) std::abort();
    }

    if (workers > 1) {
        std::vector<double> one(elements), oneNoise(voxels), oneWeight(voxels);
        if (tamrin::denoiseVolume(input.data(), X, Y, Z, N, 1, one.data(), oneNoise.data(), oneWeight.data()) !=
            tamrin::kDenoiseOk)
            std::abort();
        // Sums over several workers differ from one worker only in rounding;
        // tame input keeps the difference tiny.
        if (tame)
            for (std::size_t k = 0; k < voxels; k++)
                if (!close(oneWeight[k], weight[k])) std::abort();
    }
    return 0;
}
