// Working store of the fast patch kernel and the stages each instruction-set
// build provides. Internal to linalg/.
//
// Layouts (all strides in doubles, padded so that vector loads and stores
// that start inside a row or column may run past its end):
//   rowA   (M + 8) x ldr   row-major centred patch during stages 1 to 4
//   rowV   N x ldr         row-major V during stage 3
//   colA   per lane, N columns of ldc   column-major U from stage 5 on
//   colV   per lane, N columns of ldv   column-major V from stage 5 on
//   inter  M x N, then N x N, then 3 x N elements of 8 doubles: eight
//          patches interleaved, for the AVX-512 reduction
//   rounds the diagonalisation's log of rotation parameters
// Padding rows of colA and colV start as +0.0; rotations and negations keep
// them at +-0.0 or NaN, never below zero, so sign counts may include them.
#pragma once

#include <cstdint>

#include "tamrin/fast_patch.h"

namespace tamrin {

// Bytes of one logged round of the diagonalisation (four parameters and a
// column index per lane).
constexpr int64_t kFastRoundBytes = 5 * kFastMaxBatch * 8;

struct FastPatchWork {
    int32_t M, N;
    int32_t isa;
    int32_t batch;
    int64_t ldr, ldc, ldv;
    int64_t laneA, laneV;  // doubles per lane in colA / colV
    int64_t laneVec;       // doubles per lane in w, e

    double* rowA;
    double* rowV;
    double* saveU;     // ldc: column save of the sort
    double* saveV;     // ldv
    double* colA;      // batch * laneA
    double* colV;      // batch * laneV
    double* w;         // batch * laneVec
    double* e;         // batch * laneVec
    double* means;     // batch * laneVec
    double* bound;     // batch
    double* original;  // batch * M * N: input patches, for the plain-path rerun
    int32_t* messages;          // batch: convergence messages not printed yet
    int32_t* used;              // N: components a rebuild adds
    double* plainU;             // M * N  \  arrays of the plain path, for
    double* plainV;             // N * N   | patches it recomputes
    double* plainW;             // N       |
    double* plainMeans;         // N      /
    double* inter;              // 8 interleaved patches for the AVX-512 reduction, or null
    double* chain;              // 4 * N: rotation parameters of one replayed run
    void* rounds;               // roundCapacity rounds of kFastRoundBytes: the diagonalisation's log
    int32_t roundCapacity;
    void* block;                // the one allocation behind all of the above
};

// Stages of one instruction-set build; the same declarations in each namespace.
#define TAMRIN_FAST_STAGES                                                                                      \
    /* Stages 1 to 4 for lane b: means, centring, bidiagonalisation, accumulation of V and U; leaves U and V  \
       column-major in the lane, w, e, bound and means. */                                                     \
    void reduceLane(FastPatchWork* work, int32_t b, const double* patch);                                        \
    /* The same for lanes 0 .. count-1, patch b into lane b; groups of eight lanes with at least `together`  \
       patches are reduced together where the build can. */                                                     \
    void reduceLanes(FastPatchWork* work, int32_t count, const double* const* patches, int32_t together);        \
    /* Whether the count values at p are all finite. */                                                         \
    bool allFinite(const double* p, int64_t count);                                                              \
    /* Stage 5 for lanes 0 .. count-1 together; counts unconverged values in messages. */                      \
    void diagonaliseLanes(FastPatchWork* work, int32_t count);                                                  \
    /* Stages 6 and 7 for lane b. */                                                                            \
    void orderLane(FastPatchWork* work, int32_t b);                                                             \
    /* rebuildPatch for lane b into patch (M x N); returns false when a result is NaN. */                       \
    bool rebuildLane(FastPatchWork* work, int32_t b, double* patch);                                            \
    /* Copies lane b out into the plain path's layouts; returns false when a value is NaN. */                   \
    bool copyOutLane(FastPatchWork* work, int32_t b, double* U, double* w, double* V);

namespace isa_baseline {
TAMRIN_FAST_STAGES
}
namespace isa_avx2 {
TAMRIN_FAST_STAGES
}
namespace isa_avx512 {
TAMRIN_FAST_STAGES
}

}  // namespace tamrin
