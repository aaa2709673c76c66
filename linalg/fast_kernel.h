// SPDX-License-Identifier: BSD-3-Clause
// Working store of the fast decomposition kernel and the stages each
// instruction-set build provides. Internal to linalg/ and the patch
// denoiser that chains the stages (patch/fast_patch.cpp).
//
// Layouts (all strides in doubles, padded so that vector loads and stores
// that start inside a row or column may run past its end):
//   rowA   (M + 8) x ldr   row-major centred patch during stages 1 to 4;
//                          for a waiting lane's stages 3 and 4, its listed
//                          columns of U, then of V, side by side
//   rowV   N x ldr         row-major V during stage 3
//   colA   per lane, N columns of ldc   column-major U from stage 5 on; while
//                          a large patch's lane waits, its Householder columns
//   colV   per lane, N columns of ldv   column-major V from stage 5 on; while
//                          a large patch's lane waits, the first N rows of
//                          its bidiagonalised matrix, row i in column i
//   inter  per group of W lanes (the doubles of one vector) M x N, then
//          2 x N elements of W doubles: the W patches interleaved as the
//          bidiagonalisation leaves them, with their w and e; then N x N and
//          N elements of W doubles, scratch for V and the means. For the
//          batch reduction of small patches, which accumulates U and V only
//          once the rebuild knows which columns of them it needs
//   entries, params  per lane, the same rotations as runs (LaneEntry), kept
//          until the lane's rebuild knows which columns it reads
// Padding rows of colA and colV start as +0.0; rotations and negations keep
// them at +-0.0 or NaN, never below zero, so sign counts may include them.
#pragma once

#include <cstdint>

#include "fast_work.h"

namespace tamrin {

// Largest M * N that the builds reduce a group of patches at a time in the
// lanes of their vectors, with the whole matrix in the core's cache; larger
// patches are reduced lane by lane in passes that alternate direction
// (fast_reduce_large.cpp).
constexpr int64_t kFastLargePatch = 32768;

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
    double* scratch;   // 3 * ldc + 2 * ldr + 64: column and row scratch of stages 2 to 4
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
    int32_t* laneGroup;         // batch: the group of W lanes whose U and V wait, or -1
    int32_t* groupPending;      // batch / W + 1: whether a group's U and V wait
    int32_t* laneWaits;         // batch: whether a large patch's U and V wait
    double* reflectW;           // batch * laneVec: w and e as the bidiagonalisation
    double* reflectE;           // batch * laneVec  left them, for a waiting lane
    LaneEntry* entries;         // batch * entryCapacity
    double* params;             // batch * paramCapacity
    int64_t* entryCount;        // batch: entries logged per lane
    int64_t* paramCount;        // batch: parameters logged per lane
    int64_t entryCapacity, paramCapacity;
    double* plainU;             // M * N  \  arrays of the plain path, for
    double* plainV;             // N * N   | patches it recomputes
    double* plainW;             // N       |
    double* plainMeans;         // N      /
    double* inter;              // interleaved groups of patches for the batch reduction, or null
    void* block;                // the one allocation behind all of the above
};

// The stages of each instruction-set build, in its own namespace.
namespace isa_baseline {
#include "fast_stages.h"
}
namespace isa_avx2 {
#include "fast_stages.h"
}
namespace isa_avx512 {
#include "fast_stages.h"
}

// The stages of one build as the patch denoiser chains them (patch/fast_patch.cpp).
struct FastStages {
    void (*reduceLanes)(FastPatchWork*, int32_t, const double* const*, int32_t);
    void (*accumulateLanes)(FastPatchWork*, int32_t, bool);
    void (*diagonaliseLanes)(FastPatchWork*, int32_t);
    void (*replayLane)(FastPatchWork*, int32_t);
    void (*sortLane)(FastPatchWork*, int32_t);
    void (*selectLane)(FastPatchWork*, int32_t);
    bool (*rebuildLane)(FastPatchWork*, int32_t, double*);
};

// The stages built for an instruction set (the baseline for one this build
// lacks).
const FastStages& fastStages(int32_t isa);

// Doubles per vector of an instruction set's build (W in fast_simd.h): the
// patches of one group of the batch reduction.
int64_t fastLaneWidth(int32_t isa);

}  // namespace tamrin
