// Fast patch kernel: working store, choice of instruction set, and the two
// entry points that chain the stages and fall back to the plain path for
// patches whose results contain NaN.
//
// Why that fallback is exact: the fast path performs the plain operations on
// the same operands, so every value it computes is NaN exactly when the plain
// one is, takes the same branches, and equals it bit for bit when it is not
// NaN. Only the sign and payload of a NaN depend on the operand order the
// compiler picked for a commutative operation. A patch whose results are free
// of NaN is therefore exact; the others are recomputed by the plain path.
// Convergence messages are held back per patch and printed once its result
// is accepted, so a recomputed patch prints only the plain path's.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fast_kernel.h"
#include "tamrin/alloc.h"
#include "tamrin/host.h"
#include "tamrin/noise.h"
#include "tamrin/pca.h"

namespace tamrin {
namespace {

struct Stages {
    void (*reduceLanes)(FastPatchWork*, int32_t, const double* const*, int32_t);
    bool (*allFinite)(const double*, int64_t);
    void (*accumulateLanes)(FastPatchWork*, int32_t, bool);
    void (*diagonaliseLanes)(FastPatchWork*, int32_t);
    void (*replayLane)(FastPatchWork*, int32_t);
    void (*sortLane)(FastPatchWork*, int32_t);
    void (*selectLane)(FastPatchWork*, int32_t);
    bool (*rebuildLane)(FastPatchWork*, int32_t, double*);
    bool (*copyOutLane)(FastPatchWork*, int32_t, double*, double*, double*);
};

#define TAMRIN_STAGES_OF(ns) \
    Stages {                                                                                                         \
        ns::reduceLanes, ns::allFinite, ns::accumulateLanes, ns::diagonaliseLanes, ns::replayLane, ns::sortLane,    \
            ns::selectLane, ns::rebuildLane, ns::copyOutLane                                                       \
    }

const Stages& stagesFor(int32_t isa) {
#if defined(TAMRIN_FAST_X86)
    static const Stages avx512 = TAMRIN_STAGES_OF(isa_avx512);
    static const Stages avx2 = TAMRIN_STAGES_OF(isa_avx2);
    if (isa == kFastIsaAvx512) return avx512;
    if (isa == kFastIsaAvx2) return avx2;
#else
    (void)isa;
#endif
    static const Stages baseline = TAMRIN_STAGES_OF(isa_baseline);
    return baseline;
}

std::atomic<int32_t> gIsaCap{-1};

int64_t roundUp(int64_t x, int64_t to) { return (x + to - 1) / to * to; }

void printMessages(FastPatchWork* work, int32_t b) {
    for (int32_t i = 0; i < work->messages[b]; i++) hostPrint("no convergence in 30 svdcmp iterations\n");
    work->messages[b] = 0;
}

// The plain path for one patch, on the work store's plain arrays.
int32_t plainDenoise(FastPatchWork* work, double* patch, double correction, double* sigma, double* weight) {
    const int32_t M = work->M, N = work->N;
    const int32_t status = centerAndDecompose(patch, work->plainU, work->plainW, work->plainV, work->plainMeans, M, N);
    if (status != 0) return status;
    *sigma = estimateNoise(work->plainW, N, M, correction);
    *weight = selectComponents(work->plainW, N, M, *sigma, nullptr);
    rebuildPatch(patch, work->plainU, work->plainW, work->plainV, work->plainMeans, M, N);
    return 0;
}

}  // namespace

bool fastIsaAvailable(int32_t isa) {
    if (isa == kFastIsaBaseline) return true;
#if defined(TAMRIN_FAST_X86)
    __builtin_cpu_init();
    if (isa == kFastIsaAvx2) return __builtin_cpu_supports("avx2");
    if (isa == kFastIsaAvx512) return __builtin_cpu_supports("avx512f");
#endif
    return false;
}

int32_t fastLimitIsa(int32_t isa) { return gIsaCap.exchange(isa); }

FastPatchWork* fastPatchWorkCreate(int32_t M, int32_t N) {
    if (M < 1 || N < 1 || N > M) return nullptr;
    int32_t isa = kFastIsaBaseline;
    const int32_t cap = gIsaCap.load(std::memory_order_relaxed);
    for (int32_t candidate : {kFastIsaAvx2, kFastIsaAvx512})
        if ((cap < 0 || candidate <= cap) && fastIsaAvailable(candidate)) isa = candidate;

    FastPatchWork shape{};
    shape.M = M;
    shape.N = N;
    shape.isa = isa;
    // As many patches as the build has lanes for the usual patch sizes; large
    // patches gain little from batching and would need much memory for it.
    shape.batch = int64_t{M} * N <= 32768 ? (isa == kFastIsaAvx512 ? 16 : 8) : 2;
    shape.ldr = roundUp(N + 7, 8);
    shape.ldc = roundUp(M, 8);
    shape.ldv = roundUp(N, 8);
    shape.laneA = shape.ldc * N;
    shape.laneV = shape.ldv * N;
    shape.laneVec = roundUp(N + 8, 8);
    // Room for the rotations of a typical patch (about N^2 steps) twice over,
    // within bounds; a lane whose log fills up has it applied in full and
    // starts over.
    const int64_t typical = 2 * int64_t{N} * N;
    const int64_t steps = (typical < 256 ? 256 : typical > 65536 ? 65536 : typical) + N;
    shape.entryCapacity = steps;
    shape.paramCapacity = 4 * steps;

    const int64_t B = shape.batch;
    const int64_t doubles[] = {
        (M + 8) * shape.ldr,  // rowA
        N * shape.ldr,        // rowV
        2 * shape.ldc + 16,   // scratch
        B * shape.laneA,      // colA
        B * shape.laneV,      // colV
        B * shape.laneVec,    // w
        B * shape.laneVec,    // e
        B * shape.laneVec,    // means
        B,                    // bound
        B * M * N,            // original
        int64_t{M} * N,       // plainU
        int64_t{N} * N,       // plainV
        N,                    // plainW
        N,                    // plainMeans
        isa == kFastIsaAvx512 && shape.batch >= 8
            ? (B / 8 * (int64_t{M} * N + 2 * int64_t{N}) + int64_t{N} * N + int64_t{N}) * 8
            : 0,  // inter
        B * shape.paramCapacity,                    // params
        B * shape.entryCapacity * int64_t{sizeof(LaneEntry)} / 8,  // entries
        2 * B,                                      // entryCount, paramCount
    };
    int64_t bytes = roundUp(sizeof(FastPatchWork), 64) + 64;
    for (int64_t count : doubles) bytes += roundUp(count * 8, 64);
    const int64_t ints = B + N + B * N + B + B / 8 + 1;
    bytes += roundUp(ints * 4, 64) + roundUp(N + 2 * B * N, 64);

    void* block = kernelMalloc(static_cast<size_t>(bytes));
    if (block == nullptr) return nullptr;
    std::memset(block, 0, static_cast<size_t>(bytes));
    char* next = reinterpret_cast<char*>(roundUp(reinterpret_cast<intptr_t>(block), 64));
    auto take = [&next](int64_t size) {
        char* at = next;
        next += roundUp(size, 64);
        return at;
    };
    FastPatchWork* work = reinterpret_cast<FastPatchWork*>(take(sizeof(FastPatchWork)));
    *work = shape;
    work->block = block;
    double *entries = nullptr, *counts = nullptr;
    double** slots[] = {&work->rowA,  &work->rowV,     &work->scratch, &work->colA,
                        &work->colV,  &work->w,        &work->e,      &work->means,  &work->bound,
                        &work->original, &work->plainU, &work->plainV, &work->plainW, &work->plainMeans,
                        &work->inter, &work->params, &entries, &counts};
    static_assert(sizeof(slots) / sizeof(slots[0]) == sizeof(doubles) / sizeof(doubles[0]),
                  "one slot for each array sized above");
    for (std::size_t i = 0; i < sizeof(slots) / sizeof(slots[0]); i++)
        *slots[i] = doubles[i] > 0 ? reinterpret_cast<double*>(take(doubles[i] * 8)) : nullptr;
    work->entries = reinterpret_cast<LaneEntry*>(entries);
    work->entryCount = reinterpret_cast<int64_t*>(counts);
    work->paramCount = work->entryCount + B;
    int32_t* next32 = reinterpret_cast<int32_t*>(take(ints * 4));
    work->messages = next32;
    work->used = work->messages + B;
    work->order = work->used + N;
    work->laneGroup = work->order + B * N;
    work->groupPending = work->laneGroup + B;
    for (int64_t b = 0; b < B; b++) work->laneGroup[b] = -1;
    work->wanted = reinterpret_cast<uint8_t*>(take(N + 2 * B * N));
    work->needU = work->wanted + N;
    work->needV = work->needU + B * N;
    return work;
}

void fastPatchWorkRelease(FastPatchWork* work) {
    if (work != nullptr) kernelFree(work->block);
}

int32_t fastPatchWorkIsa(const FastPatchWork* work) { return work->isa; }
int32_t fastPatchWorkBatch(const FastPatchWork* work) { return work->batch; }

int32_t fastCenterAndDecompose(FastPatchWork* work, double* patch, double* U, double* w, double* V, double* means) {
    const int32_t M = work->M, N = work->N;
    const int64_t count = int64_t{M} * N;
    const Stages& stages = stagesFor(work->isa);
    if (stages.allFinite(patch, count)) {
        work->messages[0] = 0;
        // Through the same reduction as batches take, so that it is checked too.
        const double* one = patch;
        stages.reduceLanes(work, 1, &one, 1);
        stages.diagonaliseLanes(work, 1);
        stages.accumulateLanes(work, 1, true);
        stages.replayLane(work, 0);
        stages.sortLane(work, 0);
        if (stages.copyOutLane(work, 0, U, w, V)) {
            for (int64_t i = 0; i < N; i++) {
                means[i] = work->means[i];
                for (int64_t k = 0; k < M; k++) patch[i * M + k] = patch[i * M + k] - means[i];
            }
            printMessages(work, 0);
            return 0;
        }
        work->messages[0] = 0;
    }
    return centerAndDecompose(patch, U, w, V, means, M, N);
}

int32_t fastDenoisePatches(FastPatchWork* work, double* const* patches, int32_t count, double correction,
                           double* sigma, double* weight) {
    const int32_t M = work->M, N = work->N;
    const int64_t size = int64_t{M} * N;
    const Stages& stages = stagesFor(work->isa);

    // Lanes for the finite patches, in order; -1 for the others.
    int32_t lane[kFastMaxBatch];
    const double* inputs[kFastMaxBatch];
    int32_t lanes = 0;
    for (int32_t b = 0; b < count; b++) {
        lane[b] = -1;
        if (!stages.allFinite(patches[b], size)) continue;
        lane[b] = lanes;
        std::memcpy(work->original + lanes * size, patches[b], sizeof(double) * static_cast<size_t>(size));
        work->messages[lanes] = 0;
        inputs[lanes++] = patches[b];
    }
    if (lanes > 0) {
        // A group of few patches is cheaper one by one.
        stages.reduceLanes(work, lanes, inputs, 4);
        stages.diagonaliseLanes(work, lanes);
        // The components each patch keeps, and so the columns of U and V
        // that its rebuild needs, before U and V of reduced groups are made.
        for (int32_t b = 0; b < count; b++) {
            const int32_t l = lane[b];
            if (l < 0) continue;
            stages.sortLane(work, l);
            double* w = work->w + l * work->laneVec;
            sigma[b] = estimateNoise(w, N, M, correction);
            weight[b] = selectComponents(w, N, M, sigma[b], nullptr);
            stages.selectLane(work, l);
        }
        stages.accumulateLanes(work, lanes, false);
    }

    for (int32_t b = 0; b < count; b++) {
        const int32_t l = lane[b];
        if (l >= 0) {
            if (stages.rebuildLane(work, l, patches[b]) && sigma[b] == sigma[b] && weight[b] == weight[b]) {
                printMessages(work, l);
                continue;
            }
            work->messages[l] = 0;
            std::memcpy(patches[b], work->original + l * size, sizeof(double) * static_cast<size_t>(size));
        }
        if (plainDenoise(work, patches[b], correction, &sigma[b], &weight[b]) != 0) return b;
    }
    return count;
}

}  // namespace tamrin
