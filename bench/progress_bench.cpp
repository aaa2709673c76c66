// Cost of progress reporting: the same series denoised with no progress
// counter, with the counter polled every 200 ms, and with the progress line
// drawn (to /dev/null), in interleaved rounds so that drift in the machine's
// speed affects all three alike. Prints, for each, the median and minimum
// wall-clock time and processor time (every thread of the process, which
// other load on the machine barely changes), and the ratios to the run
// without progress.
//
// usage: progress_bench [--size XxYxZxN] [--workers K] [--rounds R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

#include "phantom.h"
#include "progress.h"
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

// Wall-clock and processor time (all threads of the process) of one run.
void measure(const std::function<void()>& run, std::vector<double>* wall, std::vector<double>* cpu) {
    const double cpuStart = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    run();
    wall->push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    cpu->push_back(cpuSeconds() - cpuStart);
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
        for (int m = 0; m < 3; m++) measure(runs[(m + r) % 3], &wall[(m + r) % 3], &cpu[(m + r) % 3]);
    std::printf("  %-15s %28s %28s\n", "", "wall time: median, min", "processor time: median, min");
    for (int m = 0; m < 3; m++)
        std::printf("  %-15s %8.3f s %8.3f s (x%.4f) %8.3f s %8.3f s (x%.4f)\n", names[m], median(wall[m]),
                    lowest(wall[m]), lowest(wall[m]) / lowest(wall[0]), median(cpu[m]), lowest(cpu[m]),
                    median(cpu[m]) / median(cpu[0]));
    std::printf("  (x: wall ratio of minima, processor time ratio of medians, to the run without progress)\n");
    std::fclose(sink);
    return 0;
}
