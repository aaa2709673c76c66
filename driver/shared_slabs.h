// SPDX-License-Identifier: BSD-3-Clause
// The slabs of a run decomposed by any number of threads: a slab keeps its
// meaning (its start positions, the order in which its contributions are
// added, its band), while threads take units of positions of any slab as they
// free up.
//
// Who decomposes: every thread, taking the next unit (up to kUnitPositions
// consecutive positions of one row of one slab) in z-major order across the
// slabs: for each z, each slab in turn, its rows in order.
// Who adds: each slab's contributions reach its sums in the slab's scan
// order, one volume range ("chunk") at a time: chunk c of slab i adds unit
// q + 1 only after unit q, and two chunks of a slab, or two slabs, add at the
// same time (their cells are disjoint). Any idle thread makes the adds that
// are due before it decomposes more.
// What waits for what: a finished unit waits, in its buffer, for the adds of
// the units before it in its slab; a thread waits when no buffer is free (at
// most 2 per thread) and no add is due. The bands are added in slab order
// once every unit is added, so the result of K slabs is, bit for bit, that of
// the one-thread-per-slab run with K workers, whatever the thread count.
#pragma once

#include <cstdint>

#include "tamrin/denoise.h"

namespace tamrin {

// Positions of one row a unit holds at most (fewer for large patches, whose
// buffers would otherwise pass kUnitBytes).
constexpr int32_t kUnitPositions = 128;
constexpr int64_t kUnitBytes = int64_t{4} << 20;

// Volume ranges a unit's adds are split into, at most (and at most one a
// thread and a volume): so many threads may add one slab's units at once.
constexpr int32_t kAddChunks = 16;

// Unit buffers per thread, the bound of the reorder step: a thread holds the
// unit it decomposes, and finished units wait for their adds in the others.
constexpr int32_t kBuffersPerThread = 2;

// Runs `slabs` slabs (lowered to max(1, E / s)) of the series on up to
// `threads` threads, the calling thread among them, into the sums of
// `results` (zeroed first; not yet divided). nonFiniteAsZero: read NaN and
// infinities as 0. Fewer threads run when threads or their memory cannot be
// obtained, never fewer slabs; kDenoiseOutOfMemory only when no thread can
// run. Returns a DenoiseStatus.
//
// Streamed (options.sink set): the sums are held for a window of z-planes
// (streamWindow), not in `results`. Units are handed out only while the
// planes they reach lie in the window. Plane z is final once no slab has a
// unit reaching it still to add (every unit with z0 <= z added); one thread
// then adds the slabs' bands for it in slab order, finishes it (finishVoxels
// with flags, the non-finite voxels when nonFiniteAsZero, and found), gives
// it to the sink and clears its place in the window for plane z + window.
int32_t runSharedSlabs(const SeriesView& series, int32_t threads, int32_t slabs, const DenoiseResults& results,
                       const DenoiseOptions& options, bool nonFiniteAsZero, uint8_t* flags = nullptr,
                       DenoiseReport* found = nullptr);

// z-planes a streamed run of the series on `threads` threads holds: a patch
// side s for the units at the oldest plane still open, plus the planes that
// kBuffersPerThread units a thread (units in flight) can reach beyond it,
// plus 2 so that a plane's finishing overlaps the next units; at most Z.
int64_t streamWindow(int32_t Z, int32_t N, int32_t threads, int64_t unitsPerPlane);

// Units of positions a run with `slabs` slabs hands out for each plane of
// positions (0 when the series is thinner than a patch).
int64_t unitsPerPlane(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t slabs);

// Positions a unit holds for patches of M x N doubles: kUnitPositions, or
// fewer so that a buffer stays within kUnitBytes, but at least the fast
// kernel's batch.
int32_t unitPositions(int32_t M, int32_t N);

// Threads a run of the series with `threads` threads uses: at most one per
// unit of work, at least 1.
int32_t sharedThreadsUsed(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t threads);

}  // namespace tamrin
