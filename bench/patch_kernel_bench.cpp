// One 64 x 30 patch through the whole per-patch path: centre, decompose,
// estimate the noise, select components, rebuild. Reports patches per second
// on one core, for the plain path and the fast kernel side by side:
//   BM_ReferencePatch       the plain path
//   BM_FastPatch            the fast kernel as the worker runs it (batches)
//   BM_FastPatchUnbatched   the fast kernel one patch at a time
//   BM_FastPatchIsa/<isa>   batches on one instruction set (0 baseline,
//                           1 AVX2, 2 AVX-512), where the processor has it
#include <benchmark/benchmark.h>

#include "tamrin/fast_patch.h"
#include "tamrin/noise.h"
#include "tamrin/pca.h"
#include "test_support.h"

namespace {

constexpr int32_t kM = 64, kN = 30;

// A set of different realistic patches, cycled, so that branch history does
// not learn one patch.
std::vector<std::vector<double>> inputs() {
    std::vector<std::vector<double>> set;
    for (int i = 0; i < 16; i++) set.push_back(tamrin_test::realisticPatch(kM, kN, 4, 10.0, 1000 + i));
    return set;
}

void BM_ReferencePatch(benchmark::State& state) {
    const auto set = inputs();
    std::vector<double> patch(kM * kN), U(kM * kN), w(kN), V(kN * kN), means(kN);
    const double correction = tamrin::noiseCorrection(kM, kN);
    std::size_t next = 0;
    for (auto _ : state) {
        patch = set[next++ % set.size()];
        tamrin::centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), kM, kN);
        const double sigma = tamrin::estimateNoise(w.data(), kN, kM, correction);
        const double weight = tamrin::selectComponents(w.data(), kN, kM, sigma, nullptr);
        tamrin::rebuildPatch(patch.data(), U.data(), w.data(), V.data(), means.data(), kM, kN);
        benchmark::DoNotOptimize(weight);
        benchmark::DoNotOptimize(patch.data());
    }
    state.counters["patches/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReferencePatch);

// Runs the fast kernel on batches of `batch` patches (0: the work store's own
// batch size) with the instruction set capped at `isa` (-1: no cap).
void runFast(benchmark::State& state, int32_t batch, int32_t isa) {
    if (isa >= 0 && !tamrin::fastIsaAvailable(isa)) {
        state.SkipWithError("instruction set not available");
        return;
    }
    const int32_t previous = tamrin::fastLimitIsa(isa);
    tamrin::FastPatchWork* work = tamrin::fastPatchWorkCreate(kM, kN);
    tamrin::fastLimitIsa(previous);
    if (batch == 0) batch = tamrin::fastPatchWorkBatch(work);
    const auto set = inputs();
    std::vector<std::vector<double>> patches(batch, std::vector<double>(kM * kN));
    std::vector<double*> pointers(batch);
    std::vector<double> sigma(batch), weight(batch);
    const double correction = tamrin::noiseCorrection(kM, kN);
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

void BM_FastPatch(benchmark::State& state) { runFast(state, 0, -1); }
BENCHMARK(BM_FastPatch);

void BM_FastPatchUnbatched(benchmark::State& state) { runFast(state, 1, -1); }
BENCHMARK(BM_FastPatchUnbatched);

void BM_FastPatchIsa(benchmark::State& state) { runFast(state, 0, static_cast<int32_t>(state.range(0))); }
BENCHMARK(BM_FastPatchIsa)->Arg(tamrin::kFastIsaBaseline)->Arg(tamrin::kFastIsaAvx2)->Arg(tamrin::kFastIsaAvx512);

}  // namespace
