// SPDX-License-Identifier: BSD-3-Clause
// One patch through the whole per-patch path: centre, decompose, estimate
// the noise, select components, rebuild. Reports patches per second on one
// core, for the plain path and the fast kernel side by side, on the patch
// shapes of 30 volumes (64 x 30, arguments 64/30) and of the series with many
// volumes (216 x 200 and 343 x 288):
//   BM_ReferencePatch/M/N      the plain path
//   BM_FastPatch/M/N           the fast kernel as the worker runs it (batches)
//   BM_FastPatchUnbatched      the fast kernel one 64 x 30 patch at a time
//   BM_FastPatchIsa/<isa>      64 x 30 batches on one instruction set (0
//                              baseline, 1 AVX2, 2 AVX-512), where the
//                              processor has it
#include <benchmark/benchmark.h>

#include "linalg/fast_work.h"
#include "linalg/pca.h"
#include "patch/fast_patch.h"
#include "patch/noise.h"
#include "test_support.h"

namespace {

// A set of different realistic patches, cycled, so that branch history does
// not learn one patch: four components for 64 x 30; twelve for the large
// shapes, which keep about as many as the bench's phantom series do.
std::vector<std::vector<double>> inputs(int32_t M, int32_t N) {
    std::vector<std::vector<double>> set;
    const int32_t components = N >= 100 ? 12 : 4;
    for (int i = 0; i < 16; i++) set.push_back(tamrin_test::realisticPatch(M, N, components, 10.0, 1000 + i));
    return set;
}

void BM_ReferencePatch(benchmark::State& state) {
    const int32_t M = static_cast<int32_t>(state.range(0)), N = static_cast<int32_t>(state.range(1));
    const auto set = inputs(M, N);
    std::vector<double> patch(M * N), U(M * N), w(N), V(N * N), means(N);
    const double correction = tamrin::noiseCorrection(M, N);
    std::size_t next = 0;
    for (auto _ : state) {
        patch = set[next++ % set.size()];
        tamrin::centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
        const double sigma = tamrin::estimateNoise(w.data(), N, M, correction);
        const double weight = tamrin::selectComponents(w.data(), N, M, sigma, nullptr);
        tamrin::rebuildPatch(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
        benchmark::DoNotOptimize(weight);
        benchmark::DoNotOptimize(patch.data());
    }
    state.counters["patches/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReferencePatch)->Args({64, 30})->Args({216, 200})->Args({343, 288});

// Runs the fast kernel on M x N patches in batches of `batch` patches (0: the
// work store's own batch size) with the instruction set capped at `isa` (-1:
// no cap).
void runFast(benchmark::State& state, int32_t M, int32_t N, int32_t batch, int32_t isa) {
    if (isa >= 0 && !tamrin::fastIsaAvailable(isa)) {
        state.SkipWithError("instruction set not available");
        return;
    }
    const int32_t previous = tamrin::fastLimitIsa(isa);
    tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(M, N);
    tamrin::fastLimitIsa(previous);
    if (batch == 0) batch = tamrin::fastPatchWorkBatch(work);
    const auto set = inputs(M, N);
    std::vector<std::vector<double>> patches(batch, std::vector<double>(M * N));
    std::vector<double*> pointers(batch);
    std::vector<double> sigma(batch), weight(batch);
    const double correction = tamrin::noiseCorrection(M, N);
    std::size_t next = 0;
    for (auto _ : state) {
        for (int32_t b = 0; b < batch; b++) {
            patches[b] = set[next++ % set.size()];
            pointers[b] = patches[b].data();
        }
        tamrin::fastDenoisePatches(work, pointers.data(), batch, correction, sigma.data(), weight.data());
        benchmark::DoNotOptimize(weight.data());
        benchmark::DoNotOptimize(patches[0].data());
    }
    tamrin::fastPatchWorkRelease(work);
    state.counters["patches/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * batch, benchmark::Counter::kIsRate);
}

void BM_FastPatch(benchmark::State& state) {
    runFast(state, static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)), 0, -1);
}
BENCHMARK(BM_FastPatch)->Args({64, 30})->Args({216, 200})->Args({343, 288});

void BM_FastPatchUnbatched(benchmark::State& state) { runFast(state, 64, 30, 1, -1); }
BENCHMARK(BM_FastPatchUnbatched);

void BM_FastPatchIsa(benchmark::State& state) { runFast(state, 64, 30, 0, static_cast<int32_t>(state.range(0))); }
BENCHMARK(BM_FastPatchIsa)->Arg(tamrin::kFastIsaBaseline)->Arg(tamrin::kFastIsaAvx2)->Arg(tamrin::kFastIsaAvx512);

}  // namespace
