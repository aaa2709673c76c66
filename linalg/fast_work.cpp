// SPDX-License-Identifier: BSD-3-Clause
// Working store of the fast decomposition kernel and the choice of its
// instruction set: one block per worker and patch shape, laid out for the
// stages of the chosen build.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "fast_kernel.h"
#include "support/alloc.h"

namespace tamrin {

const FastStages& fastStages(int32_t isa) {
#define TAMRIN_STAGES_OF(ns)                                                                                \
    FastStages {                                                                                            \
        ns::reduceLanes, ns::accumulateLanes, ns::diagonaliseLanes, ns::replayLane, ns::sortLane,           \
            ns::selectLane, ns::rebuildLane                                                                 \
    }
#if defined(TAMRIN_FAST_X86)
    static const FastStages avx512 = TAMRIN_STAGES_OF(isa_avx512);
    static const FastStages avx2 = TAMRIN_STAGES_OF(isa_avx2);
    if (isa == kFastIsaAvx512) return avx512;
    if (isa == kFastIsaAvx2) return avx2;
#else
    (void)isa;
#endif
    static const FastStages baseline = TAMRIN_STAGES_OF(isa_baseline);
    return baseline;
#undef TAMRIN_STAGES_OF
}

namespace {

std::atomic<int32_t> gIsaCap{-1};

int64_t roundUp(int64_t x, int64_t to) { return (x + to - 1) / to * to; }

}  // namespace

int64_t fastLaneWidth(int32_t isa) {
#if defined(TAMRIN_FAST_X86)
    if (isa == kFastIsaAvx512) return 8;
    if (isa == kFastIsaAvx2) return 4;
#else
    (void)isa;
#endif
    return 2;
}

namespace {

// Hands out consecutive 64-byte aligned pieces of one block. With a null
// base it hands out null pointers and only adds up the size, so that the
// same calls first size the block and then lay it out.
struct Arena {
    char* base;
    int64_t used;
};
template <typename T>
T* take(Arena& arena, int64_t count) {
    const int64_t at = arena.used;
    arena.used += roundUp(count * static_cast<int64_t>(sizeof(T)), 64);
    return arena.base != nullptr && count > 0 ? reinterpret_cast<T*>(arena.base + at) : nullptr;
}

// The instruction set, batch size, strides and log capacities of a work
// store for M x N patches.
FastPatchWork shapeOf(int32_t M, int32_t N, int32_t isa) {
    FastPatchWork shape{};
    shape.M = M;
    shape.N = N;
    shape.isa = isa;
    // As many patches as the diagonalisation has lanes for (sixteen with
    // AVX-512 and AVX2), so that its chains of divisions overlap. Eight for
    // the largest patches (side 7 and up), where sixteen lanes' logs and
    // stores would take about 60 MB more a worker for no measurable gain.
    shape.batch = isa != kFastIsaBaseline && int64_t{M} * N <= 2 * kFastLargePatch ? 16 : 8;
    shape.ldr = roundUp(N + 7, 8);
    shape.ldc = roundUp(M, 8);
    shape.ldv = roundUp(N, 8);
    shape.laneA = shape.ldc * N;
    shape.laneV = shape.ldv * N;
    shape.laneVec = roundUp(N + 8, 8);
    // Room for the rotations of a typical patch (N^2 steps or a little
    // fewer) twice over, one and a half times for large patches, within
    // bounds (16 MiB of parameters per lane), and for its sweeps (about two
    // per singular value, and the cancellations) eight times over: a lane
    // whose log fills up has it applied in full, without leaving out what
    // the rebuild does not read, and starts over.
    const int64_t square = int64_t{N} * N;
    const int64_t typical = int64_t{M} * N <= kFastLargePatch ? 2 * square : square + square / 2;
    shape.paramCapacity = 4 * ((typical < 256 ? 256 : typical > 524288 ? 524288 : typical) + N);
    shape.entryCapacity = 16 * int64_t{N} + 256;
    return shape;
}

// Points every array of work into the arena (see FastPatchWork for each).
void layOut(FastPatchWork* work, Arena& arena) {
    const int64_t B = work->batch, M = work->M, N = work->N;
    work->rowA = take<double>(arena, (M + 8) * work->ldr);
    work->rowV = take<double>(arena, N * work->ldr);
    work->scratch = take<double>(arena, 3 * work->ldc + 2 * work->ldr + 64);
    work->colA = take<double>(arena, B * work->laneA);
    work->colV = take<double>(arena, B * work->laneV);
    work->w = take<double>(arena, B * work->laneVec);
    work->e = take<double>(arena, B * work->laneVec);
    work->means = take<double>(arena, B * work->laneVec);
    work->bound = take<double>(arena, B);
    work->original = take<double>(arena, B * M * N);
    work->plainU = take<double>(arena, M * N);
    work->plainV = take<double>(arena, N * N);
    work->plainW = take<double>(arena, N);
    work->plainMeans = take<double>(arena, N);
    // The batch reduction's W interleaved patches per group, with their w
    // and e, and its scratch for V and the means.
    const int64_t W = fastLaneWidth(work->isa);
    const bool groups = M * N <= kFastLargePatch;
    work->inter = take<double>(arena, groups ? (B / W * (M * N + 2 * N) + N * N + N) * W : 0);
    work->params = take<double>(arena, B * work->paramCapacity);
    work->entries = take<LaneEntry>(arena, B * work->entryCapacity);
    work->entryCount = take<int64_t>(arena, B);
    work->paramCount = take<int64_t>(arena, B);
    work->messages = take<int32_t>(arena, B);
    work->used = take<int32_t>(arena, N);
    work->order = take<int32_t>(arena, B * N);
    work->laneGroup = take<int32_t>(arena, B);
    work->groupPending = take<int32_t>(arena, B / fastLaneWidth(work->isa) + 1);
    work->laneWaits = take<int32_t>(arena, B);
    work->reflectW = take<double>(arena, B * work->laneVec);
    work->reflectE = take<double>(arena, B * work->laneVec);
    work->wanted = take<uint8_t>(arena, N);
    work->needU = take<uint8_t>(arena, B * N);
    work->needV = take<uint8_t>(arena, B * N);
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

namespace {

// The widest instruction set available within the cap.
int32_t chosenIsa() {
    int32_t isa = kFastIsaBaseline;
    const int32_t cap = gIsaCap.load(std::memory_order_relaxed);
    for (int32_t candidate : {kFastIsaAvx2, kFastIsaAvx512})
        if ((cap < 0 || candidate <= cap) && fastIsaAvailable(candidate)) isa = candidate;
    return isa;
}

// Bytes of the one block behind a work store of this shape: the record
// itself, then the arrays, and room to align the start.
int64_t blockBytes(const FastPatchWork& shape) {
    FastPatchWork sizing = shape;
    Arena count{nullptr, 0};
    layOut(&sizing, count);
    return 64 + roundUp(sizeof(FastPatchWork), 64) + count.used;
}

}  // namespace

int64_t fastPatchWorkBytes(int32_t M, int32_t N) {
    if (M < 1 || N < 1 || N > M) return 0;
    return blockBytes(shapeOf(M, N, chosenIsa()));
}

int32_t fastPatchBatchFor(int32_t M, int32_t N) {
    if (M < 1 || N < 1 || N > M) return 0;
    return shapeOf(M, N, chosenIsa()).batch;
}

FastPatchWork* fastPatchWorkCreate(int32_t M, int32_t N) {
    if (M < 1 || N < 1 || N > M) return nullptr;
    const FastPatchWork shape = shapeOf(M, N, chosenIsa());

    // One block: the record itself, then the arrays, all zero-filled.
    const int64_t head = roundUp(sizeof(FastPatchWork), 64);
    const int64_t bytes = blockBytes(shape);
    void* block = coreMalloc(static_cast<size_t>(bytes));
    if (block == nullptr) return nullptr;
    std::memset(block, 0, static_cast<size_t>(bytes));
    char* base = reinterpret_cast<char*>(roundUp(reinterpret_cast<intptr_t>(block), 64));
    FastPatchWork* work = reinterpret_cast<FastPatchWork*>(base);
    *work = shape;
    work->block = block;
    Arena arena{base + head, 0};
    layOut(work, arena);
    for (int64_t b = 0; b < work->batch; b++) work->laneGroup[b] = -1;
    return work;
}

void fastPatchWorkRelease(FastPatchWork* work) {
    if (work != nullptr) coreFree(work->block);
}

int32_t fastPatchWorkIsa(const FastPatchWork* work) { return work->isa; }
int32_t fastPatchWorkBatch(const FastPatchWork* work) { return work->batch; }

}  // namespace tamrin
