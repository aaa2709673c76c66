// SPDX-License-Identifier: BSD-3-Clause
// Reading patches from a series for the worker: the geometry of a job, the
// copy of patches in extraction order (volume outermost, then dz, dy, dx),
// their running totals, and which positions' patches hold anything but
// zeros. The input is read through a reader (driver/value_types.h): any
// ValueType (doubles, single-precision values or integers), each value
// converted to double as it is read, exactly (to the nearest double for
// 64-bit integers beyond 2^53, as a cast rounds); the floating-point types
// are read as they are or with NaN and infinities read as 0 (AsZero), and
// scaled single-precision values with their scaling (ScaledSingles).
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "driver/denoise_job.h"
#include "driver/value_types.h"
#include "patch/noise.h"
#include "tamrin/denoise.h"

namespace tamrin {

// Copies the patch at (x0, y0, z0) into patch (volume outermost, then dz, dy,
// dx) and returns the running total of its values in that order.
template <typename In>
double extractPatch(In input, const Geometry& geo, int64_t x0, int64_t y0, int64_t z0, double* patch) {
    const int64_t corner = x0 + geo.X * (y0 + geo.Y * z0);
    int64_t p = 0;
    double total = 0.0;
    for (int64_t v = 0; v < geo.N; v++)
        for (int64_t dz = 0; dz < geo.side; dz++)
            for (int64_t dy = 0; dy < geo.side; dy++) {
                In row = input + corner + v * geo.voxels + dz * geo.plane + dy * geo.X;
                for (int64_t dx = 0; dx < geo.side; dx++) {
                    const double value = row[dx];
                    patch[p++] = value;
                    total = total + value;
                }
            }
    return total;
}

// Copies the patches at the positions at[b] (b < count) into patches[b] in
// extraction order, for positions whose totals are already known. Volume by
// volume across the patches: neighbouring positions share most of their
// rows, which stay in the cache while a volume is copied.
template <typename In>
void copyPatches(In input, const Geometry& geo, const int64_t (*at)[3], int32_t count, double* const* patches) {
    const int64_t side = geo.side, M = geo.M;
    for (int64_t v = 0; v < geo.N; v++)
        for (int32_t b = 0; b < count; b++) {
            const int64_t corner = at[b][0] + geo.X * (at[b][1] + geo.Y * at[b][2]) + v * geo.voxels;
            double* __restrict out = patches[b] + v * M;
            for (int64_t dz = 0; dz < side; dz++)
                for (int64_t dy = 0; dy < side; dy++, out += side) {
                    In row = input + corner + dz * geo.plane + dy * geo.X;
                    for (int64_t dx = 0; dx < side; dx++) out[dx] = static_cast<double>(row[dx]);
                }
        }
}

// Running totals, in extraction order, of the patches at x0 = xStart ...
// xStart + count - 1 (count <= kRowGroup) of one row of positions: each
// position has its own accumulator, so they advance together.
constexpr int64_t kRowGroup = 16;

// Two consecutive values as doubles.
typedef double Two __attribute__((vector_size(16)));
inline Two pairAt(const double* p) {
    typedef double TwoAt __attribute__((vector_size(16), aligned(8), may_alias));
    return *reinterpret_cast<const TwoAt*>(p);
}
inline Two pairAt(const float* p) {
    typedef float TwoSinglesAt __attribute__((vector_size(8), aligned(4), may_alias));
    return __builtin_convertvector(*reinterpret_cast<const TwoSinglesAt*>(p), Two);
}
template <typename T, typename = std::enable_if_t<std::is_integral<T>::value>>
inline Two pairAt(const T* p) {
    return Two{static_cast<double>(p[0]), static_cast<double>(p[1])};
}
template <bool asZero>
inline Two pairAt(ScaledSingles<asZero> p) {
    return Two{p[0], p[1]};
}
template <typename T>
inline Two pairAt(const AsZero<T>* p) {
    // x - x is 0 for a finite x and NaN otherwise; the lanes where it is not
    // 0 are cleared to +0.
    typedef long long TwoMasks __attribute__((vector_size(16)));
    const Two pair = pairAt(&p->stored);
    const TwoMasks finite = (pair - pair) == Two{0.0, 0.0};
    return reinterpret_cast<Two>(reinterpret_cast<TwoMasks>(pair) & finite);
}

template <typename In>
void rowTotals(In input, const Geometry& geo, int64_t xStart, int64_t y0, int64_t z0, int64_t count,
               double* totals) {
    const int64_t corner = xStart + geo.X * (y0 + geo.Y * z0);
    if (count == kRowGroup) {
        // The sixteen accumulators as eight pairs: enough independent chains
        // of additions to keep the adders busy, few enough for registers.
        Two a[8];
        for (int q = 0; q < 8; q++) a[q] = Two{0.0, 0.0};
        for (int64_t v = 0; v < geo.N; v++)
            for (int64_t dz = 0; dz < geo.side; dz++)
                for (int64_t dy = 0; dy < geo.side; dy++) {
                    In row = input + corner + v * geo.voxels + dz * geo.plane + dy * geo.X;
                    for (int64_t dx = 0; dx < geo.side; dx++)
                        for (int q = 0; q < 8; q++) a[q] = a[q] + pairAt(row + dx + 2 * q);
                }
        for (int q = 0; q < kRowGroup; q++) totals[q] = a[q / 2][q % 2];
        return;
    }
    double acc[kRowGroup] = {};
    for (int64_t v = 0; v < geo.N; v++)
        for (int64_t dz = 0; dz < geo.side; dz++)
            for (int64_t dy = 0; dy < geo.side; dy++) {
                In row = input + corner + v * geo.voxels + dz * geo.plane + dy * geo.X;
                for (int64_t dx = 0; dx < geo.side; dx++)
                    for (int64_t q = 0; q < count; q++) acc[q] = acc[q] + static_cast<double>(row[dx + q]);
            }
    for (int64_t q = 0; q < count; q++) totals[q] = acc[q];
}

// Bits of the occupancy map: a position's patch holds a value other than
// zero (NaN included), and it holds a voxel inside the job's mask.
constexpr uint8_t kHoldsValue = 1;
constexpr uint8_t kHoldsMaskVoxel = 2;

// The bits a position's occupancy must have for its patch to be denoised:
// without a mask only kHoldsValue (a patch of zeros sums to exactly 0.0).
inline uint8_t occupancyNeeded(const DenoiseJob* job) {
    return job->mask != nullptr ? kHoldsValue | kHoldsMaskVoxel : kHoldsValue;
}

// Marks what the patch of each position of the job's box holds:
// occupied[(x - xStart) + bx * ((y - yStart) + by * (z - zStart))] gets
// kHoldsValue when the patch has a value other than zero (NaN included; a
// patch without one is all +-0.0 and sums to exactly 0.0), and
// kHoldsMaskVoxel when it has a voxel inside the job's mask. Each bit is
// widened over the patch on its own (an OR of the voxels' bits), so both
// come from one pass. bx, by, bz: the box's voxel extents (positions +
// side - 1); occupied holds bx * by * bz bytes. markPlanes does all but the
// widening along z for the box's planes [z0, z1) (widened along x and y).
template <typename In>
void markPlanes(const DenoiseJob* job, In input, const Geometry& geo, int64_t bx, int64_t by, int64_t z0,
                int64_t z1, uint8_t* planes) {
    const int64_t side = geo.side;
    for (int64_t z = z0; z < z1; z++) {
        for (int64_t y = 0; y < by; y++) {
            uint8_t* out = planes + bx * (y + by * z);
            In row = input + job->xStart + geo.X * ((job->yStart + y) + geo.Y * (job->zStart + z));
            if (job->mask != nullptr) {
                const uint8_t* inside = job->mask + (row - input);
                for (int64_t x = 0; x < bx; x++) out[x] = inside[x] != 0 ? kHoldsMaskVoxel : 0;
            } else {
                for (int64_t x = 0; x < bx; x++) out[x] = 0;
            }
            for (int64_t v = 0; v < geo.N; v++, row += geo.voxels)
                for (int64_t x = 0; x < bx; x++) out[x] |= row[x] != 0.0;
            // Along x: the voxels x .. x + side - 1.
            for (int64_t x = 0; x + side <= bx; x++)
                for (int64_t d = 1; d < side; d++) out[x] |= out[x + d];
        }
        // Along y; the later rows are read before they change.
        for (int64_t y = 0; y + side <= by; y++)
            for (int64_t d = 1; d < side; d++) {
                uint8_t* out = planes + bx * (y + by * z);
                const uint8_t* in = out + bx * d;
                for (int64_t x = 0; x < bx; x++) out[x] |= in[x];
            }
    }
}

// The last step of markOccupied out of place, for the planes of positions
// [z0, z1): occupied's plane z is the OR of planes z .. z + side - 1 of
// markPlanes' result (those inside the box), so that ranges of planes can be
// done at the same time.
inline void widenAlongZ(const uint8_t* planes, int64_t bx, int64_t by, int64_t bz, int64_t side, int64_t z0,
                        int64_t z1, uint8_t* occupied) {
    const int64_t plane = bx * by;
    for (int64_t z = z0; z < z1; z++) {
        uint8_t* out = occupied + plane * z;
        const uint8_t* in = planes + plane * z;
        for (int64_t i = 0; i < plane; i++) out[i] = in[i];
        for (int64_t d = 1; d < side && z + d < bz; d++)
            for (int64_t i = 0; i < plane; i++) out[i] |= in[i + plane * d];
    }
}

template <typename In>
void markOccupied(const DenoiseJob* job, In input, const Geometry& geo, int64_t bx, int64_t by, int64_t bz,
                  uint8_t* occupied) {
    markPlanes(job, input, geo, bx, by, 0, bz, occupied);
    // Along z, in place; the later planes are read before they change.
    for (int64_t z = 0; z + geo.side <= bz; z++)
        for (int64_t d = 1; d < geo.side; d++) {
            uint8_t* out = occupied + bx * by * z;
            const uint8_t* in = out + bx * by * d;
            for (int64_t i = 0; i < bx * by; i++) out[i] |= in[i];
        }
}

// Whether the patch at (x0, y0, z0) holds a voxel inside `mask` (X*Y*Z
// bytes, non-zero inside).
inline bool patchHoldsMaskVoxel(const uint8_t* mask, const Geometry& geo, int64_t x0, int64_t y0, int64_t z0) {
    for (int64_t dz = 0; dz < geo.side; dz++)
        for (int64_t dy = 0; dy < geo.side; dy++) {
            const uint8_t* row = mask + x0 + geo.X * ((y0 + dy) + geo.Y * (z0 + dz));
            for (int64_t dx = 0; dx < geo.side; dx++)
                if (row[dx] != 0) return true;
        }
    return false;
}

}  // namespace tamrin
