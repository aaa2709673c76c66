// Cost of the rank map and gain of a mask, in the denoiser itself: the
// phantom with noise in every voxel denoised without and with a rank map,
// and without and with the phantom's own head mask, in interleaved rounds so
// that drift in the machine's speed affects every variant alike. Prints, for
// each, the median and minimum wall-clock time and the median processor time
// (every thread of the process), and the ratios to the plain run.
//
// usage: mask_rank_bench [--size XxYxZxN] [--workers K] [--rounds R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "phantom.h"
#include "tamrin/denoise.h"

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

double cpuSeconds() {
    timespec t;
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double lowest(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

}  // namespace

int main(int argc, char** argv) {
    int X = 96, Y = 96, Z = 40, N = 30, rounds = 5;
    int workers = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size")) std::sscanf(argv[i + 1], "%dx%dx%dx%d", &X, &Y, &Z, &N);
        if (!std::strcmp(argv[i], "--workers")) workers = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    }
    std::vector<double> truth, input;
    tamrin::makePhantom(X, Y, Z, N, &truth);
    tamrin::addMagnitudeNoise(truth, 20.0, 1, &input);
    const std::size_t voxels = static_cast<std::size_t>(X) * Y * Z;
    std::vector<uint8_t> mask(voxels);
    for (std::size_t k = 0; k < voxels; k++) mask[k] = truth[k] != 0.0;
    std::vector<double> denoised(voxels * N), noise(voxels), weight(voxels), rank(voxels);
    const tamrin::SeriesView series = tamrin::seriesView(input.data(), X, Y, Z, N);

    const char* names[4] = {"plain", "rank map", "mask", "mask, rank map"};
    auto runOne = [&](int variant) {
        tamrin::DenoiseResults results;
        results.denoised = denoised.data();
        results.noise = noise.data();
        results.weight = weight.data();
        results.rank = variant % 2 ? rank.data() : nullptr;
        tamrin::DenoiseOptions options;
        options.mask = variant >= 2 ? mask.data() : nullptr;
        tamrin::denoiseSeries(series, workers, results, options);
    };
    std::printf("mask_rank_bench: %dx%dx%dx%d, noise everywhere, %lld patch positions (%lld with the mask), "
                "%d workers, %d rounds\n",
                X, Y, Z, N, static_cast<long long>(tamrin::patchPositions(X, Y, Z, N)),
                static_cast<long long>(tamrin::maskedPatchPositions(mask.data(), X, Y, Z, N)), workers, rounds);
    runOne(3);  // warm-up: page in the arrays
    std::vector<double> wall[4], cpu[4];
    for (int r = 0; r < rounds; r++)
        for (int m = 0; m < 4; m++) {
            const int variant = (m + r) % 4;
            const double cpuStart = cpuSeconds();
            const auto start = std::chrono::steady_clock::now();
            runOne(variant);
            wall[variant].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            cpu[variant].push_back(cpuSeconds() - cpuStart);
        }
    std::printf("  %-15s %33s %24s\n", "", "wall time: median, min", "processor time: median");
    for (int m = 0; m < 4; m++)
        std::printf("  %-15s %8.3f s %8.3f s (x%.4f) %8.3f s (x%.4f)\n", names[m], median(wall[m]), lowest(wall[m]),
                    median(wall[m]) / median(wall[0]), median(cpu[m]), median(cpu[m]) / median(cpu[0]));
    std::printf("  (x: ratio of medians to the plain run)\n");
    std::printf("  rank map cost: x%.4f without the mask, x%.4f with it (processor time, medians)\n",
                median(cpu[1]) / median(cpu[0]), median(cpu[3]) / median(cpu[2]));
    std::printf("  mask gain: plain / mask %.3f (wall, medians)\n", median(wall[0]) / median(wall[2]));
    return 0;
}
