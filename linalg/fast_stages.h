// SPDX-License-Identifier: BSD-3-Clause
// The stages that every instruction-set build of the fast kernel provides,
// declared once: linalg/fast_kernel.h includes this file inside each build's
// namespace (isa_baseline, isa_avx2, isa_avx512), so it has no include guard
// and no namespace of its own. The stages work on one work store; a lane is
// one patch's place in it (at most the work store's batch size).

// Stages 1 to 4 for lane b: means, centring, bidiagonalisation, accumulation
// of V and U; leaves U and V column-major in the lane, and w, e, bound and
// means.
void reduceLane(FastPatchWork* work, int32_t b, const double* patch);

// Stage 2 of reduceLane for patches whose matrix does not stay in the cache
// (fast_reduce_large.cpp), on the m x n row-major matrix A (stride ldr, with
// zero padding rows). Leaves w and e; returns the norm bound. scratch:
// 3 * (m + 8) + 2 * (ldr + 8) doubles.
double bidiagonaliseLarge(double* A, int64_t ldr, int32_t m, int32_t n, double* w, double* e, double* scratch);

// The same for lanes 0 .. count-1, patch b into lane b. Groups of W lanes
// (the lanes of a vector) holding at least `together` small patches are
// reduced together (when the work store has room for them), and their U and
// V wait (laneGroup) for stages 3 and 4; so do those of a large patch's lane
// (laneWaits).
void reduceLanes(FastPatchWork* work, int32_t count, const double* const* patches, int32_t together);

// Reduces the W lanes b0 .. b0 + W - 1 (those at or past count repeat lane
// b0) together, stages 1 and 2; their U and V wait for stages 3 and 4
// (fast_reduce_batch.cpp).
void reduceGroup(FastPatchWork* work, int32_t b0, int32_t count, const double* const* patches);

// Stages 3 and 4 for the waiting groups among lanes 0 .. count-1: the
// columns of U and V that some lane of the group needs (needU, needV), or
// all of them when `all`; the other columns are left undefined.
void accumulateGroups(FastPatchWork* work, int32_t count, bool all);

// Stages 3 and 4 in full for waiting group g.
void accumulateGroup(FastPatchWork* work, int32_t g);

// Stages 3 and 4 for the waiting lanes among 0 .. count-1 (and their groups):
// the columns of U and V that the lane needs (needU, needV), or all of them
// when `all`; the other columns are left undefined (fast_accumulate.cpp).
void accumulateLanes(FastPatchWork* work, int32_t count, bool all);

// U and V of lane b in full, if they wait.
void completeLane(FastPatchWork* work, int32_t b);

// Stage 5 for lanes 0 .. count-1 together; counts unconverged values in
// messages. w and e are final; the rotations of U and V are left in each
// lane's log for replayLane.
void diagonaliseLanes(FastPatchWork* work, int32_t count);

// Marks in lane b's log the rotations that the columns c with wanted[c] != 0
// depend on, and in its needU and needV the columns of U and V, as they are
// before the rotations, that those read.
void markLane(FastPatchWork* work, int32_t b, const uint8_t* wanted);

// Applies lane b's logged rotations to its U and V (all of them, or those
// markLane kept) and empties the log.
void replayLane(FastPatchWork* work, int32_t b);

// Applies lane b's log entries first .. last-1, each as far as its useU and
// useV say.
void applyEntries(FastPatchWork* work, int32_t b, int64_t first, int64_t last);

// Stage 6 on lane b's w alone: lane b's order[j] becomes the column of the
// j-th sorted value.
void sortLane(FastPatchWork* work, int32_t b);

// After sortLane and the component selection on the sorted w: marks what the
// kept components need (markLane).
void selectLane(FastPatchWork* work, int32_t b);

// After selectLane and accumulateLanes: replays what
// the kept components need, gives them their signs (stage 7) and rebuilds
// lane b into patch (M x N), as rebuildPatch; returns false when a result is
// NaN.
bool rebuildLane(FastPatchWork* work, int32_t b, double* patch);
