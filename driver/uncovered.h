// Voxels without an estimate: those holding NaN or infinities (when the
// caller asks for them to be set aside), those outside the mask, those no
// patch covered, and the treatment they receive after the division.
#pragma once

#include <cstdint>

#include "tamrin/denoise.h"

namespace tamrin {

// Counts the values of the series that are not finite into report (values,
// voxels holding one, the first one's index) and marks those voxels in
// holds (X*Y*Z bytes, 1 where a volume's value is not finite).
void findNonFinite(const SeriesView& series, uint8_t* holds, DenoiseReport* report);

// Leaves uncovered, before the division, the voxels k with
// (select[k] != 0) == selected: their sums and weight become 0, so that the
// division makes them NaN. For the mask (outside: selected = false) and
// for the voxels holding non-finite values (selected = true).
void uncoverVoxels(const DenoiseResults& results, const uint8_t* select, bool selected, int64_t voxels, int64_t N);

// After the division: counts into report->brokenVoxels the covered voxels
// (weight not 0) with a result that is not finite, and gives every value that
// is not finite the `uncovered` treatment (kUncoveredInput: the input's
// value in the series, 0 in the maps; kUncoveredZero: 0; kUncoveredNan: as
// it is). flags: X*Y*Z bytes of scratch. Walks each volume in memory order.
void treatUncovered(const SeriesView& series, const DenoiseResults& results, int32_t uncovered, uint8_t* flags,
                    DenoiseReport* report);

}  // namespace tamrin
