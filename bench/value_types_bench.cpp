// SPDX-License-Identifier: BSD-3-Clause
// What the series' value type costs the denoiser: the phantom, rounded to
// whole numbers so that every type holds it exactly, denoised as double,
// single, int16 and uint16 values (each read where it lies and converted as
// the workers copy their patches), in interleaved rounds so that drift in
// the machine's speed affects every type alike. Every type must give the
// bits of the double run (checked); the ratios are to it. The alternative to
// reading a type where it lies is a double copy: its conversion is timed
// too (one pass over the series), and its memory is the series in double.
//
// usage: value_types_bench [--size XxYxZxN] [--workers K] [--rounds R]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "phantom/phantom.h"
#include "series_bench.h"
#include "tamrin/denoise.h"

using tamrin_bench::lowest;
using tamrin_bench::median;

int main(int argc, char** argv) {
    tamrin_bench::SeriesBenchOptions o;
    int status = 0;
    if (!tamrin_bench::parseSeriesBenchOptions(argc, argv, "Whole runs on double, single and integer series.", &o,
                                               &status))
        return status;
    const int X = o.X, Y = o.Y, Z = o.Z, N = o.N, workers = o.workers, rounds = o.rounds;
    std::vector<double> truth, doubles;
    tamrin::makePhantom(X, Y, Z, N, &truth);
    tamrin::addMagnitudeNoise(truth, 20.0, 1, &doubles);
    for (double& v : doubles) v = std::round(v);
    const std::vector<float> singles(doubles.begin(), doubles.end());
    const std::vector<int16_t> shorts(doubles.begin(), doubles.end());
    const std::vector<uint16_t> unsignedShorts(doubles.begin(), doubles.end());
    const std::size_t voxels = static_cast<std::size_t>(X) * Y * Z;
    std::vector<double> denoised(voxels * N), noise(voxels), weight(voxels), reference;

    const char* names[4] = {"double", "single", "int16", "uint16"};
    const tamrin::SeriesView views[4] = {
        {doubles.data(), tamrin::kValuesDouble, X, Y, Z, N},
        {singles.data(), tamrin::kValuesSingle, X, Y, Z, N},
        {shorts.data(), tamrin::kValuesInt16, X, Y, Z, N},
        {unsignedShorts.data(), tamrin::kValuesUint16, X, Y, Z, N},
    };
    int mismatches = 0;
    auto runOne = [&](int type) {
        tamrin::DenoiseResults results;
        results.denoised = denoised.data();
        results.noise = noise.data();
        results.weight = weight.data();
        tamrin::denoiseSeries(views[type], workers, results);
        if (reference.empty()) reference = denoised;
        mismatches += std::memcmp(reference.data(), denoised.data(), denoised.size() * sizeof(double)) != 0;
    };
    std::printf("value_types_bench: %dx%dx%dx%d, noise everywhere, whole numbers, %d workers, %d rounds\n", X, Y, Z,
                N, workers, rounds);
    runOne(0);  // warm-up, and the reference
    std::vector<double> wall[4], cpu[4], copy;
    std::vector<double> converted(doubles.size());
    for (int r = 0; r < rounds; r++) {
        for (int m = 0; m < 4; m++) {
            const int type = (m + r) % 4;
            tamrin_bench::measure([&] { runOne(type); }, &wall[type], &cpu[type]);
        }
        std::vector<double> unused;
        tamrin_bench::measure(
            [&] {
                for (std::size_t i = 0; i < shorts.size(); i++) converted[i] = shorts[i];
            },
            &copy, &unused);
        if (converted[converted.size() / 2] != doubles[converted.size() / 2]) mismatches++;  // the copy is used
    }
    std::printf("  %-8s %33s %24s\n", "", "wall time: median, min", "processor time: median");
    for (int m = 0; m < 4; m++)
        std::printf("  %-8s %8.3f s %8.3f s (x%.4f) %8.3f s (x%.4f)\n", names[m], median(wall[m]), lowest(wall[m]),
                    median(wall[m]) / median(wall[0]), median(cpu[m]), median(cpu[m]) / median(cpu[0]));
    std::printf("  (x: ratio of medians to the double run)\n");
    std::printf("  a double copy of the int16 series instead: %.3f s (x%.4f of the double run's wall time), "
                "%.1f MiB beside the int16 series' %.1f MiB\n",
                median(copy), median(copy) / median(wall[0]), doubles.size() * 8.0 / 1048576.0,
                shorts.size() * 2.0 / 1048576.0);
    std::printf("  runs with other bits than the double run: %d\n", mismatches);
    return mismatches == 0 ? 0 : 1;
}
