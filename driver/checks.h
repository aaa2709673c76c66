// SPDX-License-Identifier: BSD-3-Clause
// The checks every front end makes on what a caller hands it, made once: the
// shape of a series, the shape of a mask and its values. Each returns a
// reason and the facts a message needs; the front ends word the messages
// their own way (the MEX function's error ids, Python's exceptions, the
// command's file messages).
#pragma once

#include <cstdint>

#include "tamrin/denoise.h"

namespace tamrin {

enum SeriesProblem : int32_t {
    kSeriesFits = 0,
    kSeriesNotFourDimensional = 1,  // value: the number of dimensions given
    kSeriesExtentTooLarge = 2,      // axis (0 to 3) and value: an extent above 2^31 - 1
    kSeriesEmpty = 3,               // axis (0 to 2) and value: an extent X, Y or Z below 1
    kSeriesTooFewVolumes = 4,       // value: N, below 2
    kSeriesTooManyValues = 5,       // X*Y*Z*N doubles cannot be addressed
};

struct SeriesCheck {
    int32_t problem = kSeriesFits;
    int32_t axis = -1;
    int64_t value = 0;
    int32_t extents[4] = {0, 0, 0, 0};  // X, Y, Z, N when the shape fits
};

// Checks the dimensions of a series as the caller has them: exactly four,
// each at most 2^31 - 1, X, Y and Z at least 1, N at least 2, and the
// element count addressable as doubles. The first problem found, in that order.
SeriesCheck checkSeriesShape(const int64_t* dims, int32_t count);

enum MaskProblem : int32_t {
    kMaskFits = 0,
    kMaskWrongShape = 1,  // not X x Y x Z (extents of 1 may follow)
    kMaskHoldsNaN = 2,    // at: the element index of the first NaN
    kMaskEmpty = 3,       // no value other than 0
    kMaskBadType = 4,     // a value type that is not a ValueType
};

struct MaskCheck {
    int32_t problem = kMaskFits;
    int64_t at = -1;
    int64_t inside = 0;  // voxels inside (values other than 0)
};

// Checks that a mask of the given dimensions lies on the grid X x Y x Z.
MaskCheck checkMaskShape(const int64_t* dims, int32_t count, int32_t X, int32_t Y, int32_t Z);

// Reads count mask values of the given ValueType: values other than 0 are
// inside, NaN is refused, and a mask with nothing inside too. Writes the
// bytes (1 inside, 0 outside) to `bytes` unless it is null.
MaskCheck maskFromValues(const void* values, int32_t type, int64_t count, uint8_t* bytes);

}  // namespace tamrin
