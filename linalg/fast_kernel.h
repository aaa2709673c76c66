// Working store of the fast patch kernel and the stages each instruction-set
// build provides. Internal to linalg/.
//
// Layouts (all strides in doubles, padded so that vector loads and stores
// that start inside a row or column may run past its end):
//   rowA   (M + 8) x ldr   row-major centred patch during stages 1 to 4
//   rowV   N x ldr         row-major V during stage 3
//   colA   per lane, N columns of ldc   column-major U from stage 5 on
//   colV   per lane, N columns of ldv   column-major V from stage 5 on
//   inter  per group of eight lanes M x N, then 2 x N elements of 8
//          doubles: the eight patches interleaved as the bidiagonalisation
//          leaves them, with their w and e; then N x N and N elements of 8
//          doubles, scratch for V and the means. For the AVX-512 reduction,
//          which accumulates U and V only once the rebuild knows which
//          columns of them it needs
//   entries, params  per lane, the same rotations as runs (LaneEntry), kept
//          until the lane's rebuild knows which columns it reads
// Padding rows of colA and colV start as +0.0; rotations and negations keep
// them at +-0.0 or NaN, never below zero, so sign counts may include them.
#pragma once

#include <cstdint>

#include "tamrin/fast_patch.h"

namespace tamrin {

// One logged operation on a lane's U and V, in the order the diagonalisation
// made them: count > 0: a run of count sweep steps, step t rotating columns
// j0 + t and j0 + t + 1 of V by (cs1, sn1) and of U by (cs2, sn2), the four
// doubles (cs1, sn1, cs2, sn2) of step t at params + at + 4t; count == 0: a
// cancellation rotation of U's columns j0 and c1 by the two doubles (cs, sn)
// at params + at; count == -1: negation of V's column j0.
// useU and useV: how many of the steps (or whether the rotation or
// negation) a replay applies.
struct LaneEntry {
    int32_t j0, count, c1, useU, useV, unused;
    int64_t at;
};

struct FastPatchWork {
    int32_t M, N;
    int32_t isa;
    int32_t batch;
    int64_t ldr, ldc, ldv;
    int64_t laneA, laneV;  // doubles per lane in colA / colV
    int64_t laneVec;       // doubles per lane in w, e

    double* rowA;
    double* rowV;
    double* scratch;   // 2 * ldc + 16: the column scratch of stage 2
    double* colA;      // batch * laneA
    double* colV;      // batch * laneV
    double* w;         // batch * laneVec
    double* e;         // batch * laneVec
    double* means;     // batch * laneVec
    double* bound;     // batch
    double* original;  // batch * M * N: input patches, for the plain-path rerun
    int32_t* messages;          // batch: convergence messages not printed yet
    int32_t* used;              // N: components a rebuild adds
    int32_t* order;             // batch * N: column of each sorted singular value (rebuild)
    uint8_t* wanted;            // N: columns a rebuild reads
    uint8_t* needU;             // batch * N: columns of U, then of V, that a
    uint8_t* needV;             // batch * N  replay must compute
    int32_t* laneGroup;         // batch: the group of eight whose U and V wait, or -1
    int32_t* groupPending;      // batch / 8 + 1: whether a group's U and V wait
    LaneEntry* entries;         // batch * entryCapacity
    double* params;             // batch * paramCapacity
    int64_t* entryCount;        // batch: entries logged per lane
    int64_t* paramCount;        // batch: parameters logged per lane
    int64_t entryCapacity, paramCapacity;
    double* plainU;             // M * N  \  arrays of the plain path, for
    double* plainV;             // N * N   | patches it recomputes
    double* plainW;             // N       |
    double* plainMeans;         // N      /
    double* inter;              // 8 interleaved patches for the AVX-512 reduction, or null
    void* block;                // the one allocation behind all of the above
};

// Stages of one instruction-set build; the same declarations in each namespace.
#define TAMRIN_FAST_STAGES                                                                                      \
    /* Stages 1 to 4 for lane b: means, centring, bidiagonalisation, accumulation of V and U; leaves U and V  \
       column-major in the lane, w, e, bound and means. */                                                     \
    void reduceLane(FastPatchWork* work, int32_t b, const double* patch);                                        \
    /* The same for lanes 0 .. count-1, patch b into lane b; groups of eight lanes with at least `together`  \
       patches are reduced together where the build can, and their U and V wait (laneGroup) for             \
       accumulateLanes or accumulateGroup. */                                                                   \
    void reduceLanes(FastPatchWork* work, int32_t count, const double* const* patches, int32_t together);        \
    /* Stages 3 and 4 for the waiting groups among lanes 0 .. count-1: the columns of U and V that some lane   \
       of the group needs (needU, needV), or all of them when `all`; the other columns are left undefined. */    \
    void accumulateLanes(FastPatchWork* work, int32_t count, bool all);                                         \
    /* Stages 3 and 4 in full for waiting group g. */                                                           \
    void accumulateGroup(FastPatchWork* work, int32_t g);                                                       \
    /* Whether the count values at p are all finite. */                                                         \
    bool allFinite(const double* p, int64_t count);                                                              \
    /* Stage 5 for lanes 0 .. count-1 together; counts unconverged values in messages. w and e are final;   \
       the rotations of U and V are left in each lane's log for replayLane. */                                \
    void diagonaliseLanes(FastPatchWork* work, int32_t count);                                                  \
    /* Marks in lane b's log the rotations that the columns c with wanted[c] != 0 depend on, and in its      \
       needU and needV the columns of U and V, as they are before the rotations, that those read. */          \
    void markLane(FastPatchWork* work, int32_t b, const uint8_t* wanted);                                       \
    /* Applies lane b's logged rotations to its U and V (all of them, or those markLane kept) and empties     \
       the log. */                                                                                              \
    void replayLane(FastPatchWork* work, int32_t b);                                                            \
    /* Applies lane b's log entries first .. last-1, each as far as its useU and useV say. */                 \
    void applyEntries(FastPatchWork* work, int32_t b, int64_t first, int64_t last);                             \
    /* Stage 6 on lane b's w alone: lane b's order[j] becomes the column of the j-th sorted value. */         \
    void sortLane(FastPatchWork* work, int32_t b);                                                              \
    /* After sortLane and the component selection on the sorted w: marks what the kept components need       \
       (markLane). */                                                                                           \
    void selectLane(FastPatchWork* work, int32_t b);                                                            \
    /* After selectLane and accumulateLanes: replays what the kept components need, gives them their signs    \
       (stage 7) and rebuilds lane b into patch (M x N), as rebuildPatch; returns false when a result is NaN. */ \
    bool rebuildLane(FastPatchWork* work, int32_t b, double* patch);                                            \
    /* After sortLane and a full replay: copies lane b out into the plain path's layouts, sorted and with     \
       their signs (stages 6 and 7); returns false when a value is NaN. */                                       \
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
