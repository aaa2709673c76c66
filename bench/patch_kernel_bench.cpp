// One 64 x 30 patch through the whole per-patch path: centre, decompose,
// estimate the noise, select components, rebuild. Reports patches per second
// on one core.
#include <benchmark/benchmark.h>

#include "tamrin/noise.h"
#include "tamrin/pca.h"
#include "test_support.h"

namespace {

void BM_ReferencePatch(benchmark::State& state) {
    const int32_t M = 64, N = 30;
    // A set of different realistic patches, cycled, so that branch history
    // does not learn one patch.
    std::vector<std::vector<double>> inputs;
    for (int i = 0; i < 16; i++) inputs.push_back(tamrin_test::realisticPatch(M, N, 4, 10.0, 1000 + i));
    std::vector<double> patch(M * N), U(M * N), w(N), V(N * N), means(N);
    const double correction = tamrin::noiseCorrection(M, N);
    std::size_t next = 0;
    for (auto _ : state) {
        patch = inputs[next++ % inputs.size()];
        tamrin::centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
        const double sigma = tamrin::estimateNoise(w.data(), N, M, correction);
        const double weight = tamrin::selectComponents(w.data(), N, M, sigma, nullptr);
        tamrin::rebuildPatch(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
        benchmark::DoNotOptimize(weight);
        benchmark::DoNotOptimize(patch.data());
    }
    state.counters["patches/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReferencePatch);

}  // namespace
