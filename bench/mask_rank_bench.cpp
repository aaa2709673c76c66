// SPDX-License-Identifier: BSD-3-Clause
// Cost of the rank map and gain of a mask, in the denoiser itself: the
// phantom with noise in every voxel denoised without and with a rank map,
// and without and with the phantom's own head mask, in interleaved rounds so
// that drift in the machine's speed affects every variant alike. Prints, for
// each, the median and minimum wall-clock time and the median processor time
// (every thread of the process), and the ratios to the plain run.
//
// usage: mask_rank_bench [--size XxYxZxN] [--workers K] [--rounds R]
#include <cstdint>
#include <cstdio>
#include <vector>

#include "phantom/phantom.h"
#include "series_bench.h"
#include "tamrin/denoise.h"

using tamrin_bench::lowest;
using tamrin_bench::median;

int main(int argc, char** argv) {
    tamrin_bench::SeriesBenchOptions o;
    int status = 0;
    if (!tamrin_bench::parseSeriesBenchOptions(argc, argv, "The rank map's cost and the mask's gain in whole runs.",
                                               &o, &status))
        return status;
    const int X = o.X, Y = o.Y, Z = o.Z, N = o.N, workers = o.workers, rounds = o.rounds;
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
            tamrin_bench::measure([&] { runOne(variant); }, &wall[variant], &cpu[variant]);
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
