// SPDX-License-Identifier: BSD-3-Clause
// Adding denoised patches into the sums of a run: each slab's contributions,
// in its scan order, go to the shared sums for the planes of its own start
// positions and to its private band beyond them; the bands are added into
// the sums, in slab order, once every slab has ended. Every cell thereby
// receives its contributions in an order that does not depend on timing.
#pragma once

#include <cstdint>

#include "denoise_job.h"

namespace tamrin {

// Adds volumes [v0, v1) of the weighted reconstructions of the patches at
// at[b] (b < count, in the slab's scan order; patches[b] holds patch b's M*N
// values in extraction order) into the job's sums or band; with v0 == 0 also
// each patch's weight, weighted noise level and (for a rank map) weighted
// kept count. Volume by volume across the patches, so that the rows
// neighbouring positions share stay in the cache; every cell still receives
// the patches in position order. Calls for disjoint volume ranges touch
// disjoint cells.
void aggregatePatches(const DenoiseJob* job, const Geometry& geo, const int64_t (*at)[3], int32_t count,
                      const double* const* patches, const double* sigma, const double* weight, int64_t v0,
                      int64_t v1);

// Adds job's band into the sums, plane z of it or all of it. The band's
// planes are added one after another, in any order: each cell receives
// one addition.
void mergeBandPlane(const DenoiseJob& job, const Geometry& geo, int64_t z);
void mergeBand(const DenoiseJob& job);

// Zeroes plane z of job's band, for its next use in a window of planes.
void clearBandPlane(const DenoiseJob& job, const Geometry& geo, int64_t z);

}  // namespace tamrin
