// SPDX-License-Identifier: BSD-3-Clause
// Cost of progress reporting: the same series denoised with no progress
// counter, with the counter polled every 200 ms, and with the progress line
// drawn (to /dev/null), in interleaved rounds so that drift in the machine's
// speed affects all three alike. Prints, for each, the median and minimum
// wall-clock time and processor time (every thread of the process, which
// other load on the machine barely changes), and the ratios to the run
// without progress.
//
// usage: progress_bench [--size XxYxZxN] [--workers K] [--rounds R]
#include <cstdio>
#include <functional>
#include <vector>

#include "phantom/phantom.h"
#include "progress.h"
#include "series_bench.h"
#include "tamrin/denoise.h"

using tamrin_bench::lowest;
using tamrin_bench::median;

int main(int argc, char** argv) {
    tamrin_bench::SeriesBenchOptions o;
    int status = 0;
    if (!tamrin_bench::parseSeriesBenchOptions(argc, argv, "The cost of progress reporting in whole runs.", &o,
                                               &status))
        return status;
    const int X = o.X, Y = o.Y, Z = o.Z, N = o.N, workers = o.workers, rounds = o.rounds;
    std::vector<double> truth, input;
    tamrin::makePhantom(X, Y, Z, N, &truth);
    tamrin::addNoise(truth, 20.0, 1, &input);
    const std::size_t voxels = static_cast<std::size_t>(X) * Y * Z;
    std::vector<double> denoised(voxels * N), noise(voxels), weight(voxels);
    std::FILE* sink = std::fopen("/dev/null", "w");
    const tamrin::SeriesView series = tamrin::seriesView(input.data(), X, Y, Z, N);
    tamrin::DenoiseResults results;
    results.denoised = denoised.data();
    results.noise = noise.data();
    results.weight = weight.data();

    const char* names[3] = {"no progress", "counter polled", "line drawn"};
    std::function<void()> runs[3] = {
        [&] { tamrin::denoiseVolume(input.data(), X, Y, Z, N, workers, denoised.data(), noise.data(), weight.data()); },
        [&] { tamrin::denoiseWithProgress(series, workers, results, tamrin::DenoiseOptions(), nullptr); },
        [&] { tamrin::denoiseWithProgress(series, workers, results, tamrin::DenoiseOptions(), sink); },
    };
    std::printf("progress_bench: %dx%dx%dx%d, %lld patch positions, %d workers, %d rounds\n", X, Y, Z, N,
                static_cast<long long>(tamrin::patchPositions(X, Y, Z, N)), workers, rounds);
    runs[0]();  // warm-up: page in the arrays
    std::vector<double> wall[3], cpu[3];
    for (int r = 0; r < rounds; r++)
        for (int m = 0; m < 3; m++) tamrin_bench::measure(runs[(m + r) % 3], &wall[(m + r) % 3], &cpu[(m + r) % 3]);
    std::printf("  %-15s %28s %28s\n", "", "wall time: median, min", "processor time: median, min");
    for (int m = 0; m < 3; m++)
        std::printf("  %-15s %8.3f s %8.3f s (x%.4f) %8.3f s %8.3f s (x%.4f)\n", names[m], median(wall[m]),
                    lowest(wall[m]), lowest(wall[m]) / lowest(wall[0]), median(cpu[m]), lowest(cpu[m]),
                    median(cpu[m]) / median(cpu[0]));
    std::printf("  (x: wall ratio of minima, processor time ratio of medians, to the run without progress)\n");
    std::fclose(sink);
    return 0;
}
