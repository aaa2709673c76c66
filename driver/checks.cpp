// SPDX-License-Identifier: BSD-3-Clause
// checkSeriesShape, checkMaskShape and maskFromValues.
#include "checks.h"

namespace tamrin {
namespace {

constexpr int64_t kLargestExtent = INT32_MAX;

template <typename T>
MaskCheck readMask(const T* values, int64_t count, uint8_t* bytes) {
    MaskCheck check;
    for (int64_t k = 0; k < count; k++) {
        if (values[k] != values[k]) {
            check.problem = kMaskHoldsNaN;
            check.at = k;
            return check;
        }
        const bool inside = values[k] != 0;
        check.inside += inside;
        if (bytes != nullptr) bytes[k] = inside;
    }
    if (check.inside == 0) check.problem = kMaskEmpty;
    return check;
}

}  // namespace

SeriesCheck checkSeriesShape(const int64_t* dims, int32_t count) {
    SeriesCheck check;
    if (count != 4) {
        check.problem = kSeriesNotFourDimensional;
        check.value = count;
        return check;
    }
    for (int32_t axis = 0; axis < 4; axis++)
        if (dims[axis] > kLargestExtent) {
            check.problem = kSeriesExtentTooLarge;
            check.axis = axis;
            check.value = dims[axis];
            return check;
        }
    for (int32_t axis = 0; axis < 3; axis++)
        if (dims[axis] < 1) {
            check.problem = kSeriesEmpty;
            check.axis = axis;
            check.value = dims[axis];
            return check;
        }
    if (dims[3] < 2) {
        check.problem = kSeriesTooFewVolumes;
        check.value = dims[3];
        return check;
    }
    int64_t elements = 1;
    for (int32_t axis = 0; axis < 4; axis++)
        if (__builtin_mul_overflow(elements, dims[axis], &elements) ||
            elements > INT64_MAX / static_cast<int64_t>(sizeof(double))) {
            check.problem = kSeriesTooManyValues;
            return check;
        }
    for (int32_t axis = 0; axis < 4; axis++) check.extents[axis] = static_cast<int32_t>(dims[axis]);
    return check;
}

MaskCheck checkMaskShape(const int64_t* dims, int32_t count, int32_t X, int32_t Y, int32_t Z) {
    MaskCheck check;
    const int64_t grid[3] = {X, Y, Z};
    for (int32_t d = 0; d < count || d < 3; d++) {
        const int64_t extent = d < count ? dims[d] : 1;
        if (extent != (d < 3 ? grid[d] : 1)) check.problem = kMaskWrongShape;
    }
    return check;
}

MaskCheck maskFromValues(const void* values, int32_t type, int64_t count, uint8_t* bytes) {
    switch (type) {
        case kValuesDouble: return readMask(static_cast<const double*>(values), count, bytes);
        case kValuesSingle: return readMask(static_cast<const float*>(values), count, bytes);
        case kValuesInt8: return readMask(static_cast<const int8_t*>(values), count, bytes);
        case kValuesUint8: return readMask(static_cast<const uint8_t*>(values), count, bytes);
        case kValuesInt16: return readMask(static_cast<const int16_t*>(values), count, bytes);
        case kValuesUint16: return readMask(static_cast<const uint16_t*>(values), count, bytes);
        case kValuesInt32: return readMask(static_cast<const int32_t*>(values), count, bytes);
        case kValuesUint32: return readMask(static_cast<const uint32_t*>(values), count, bytes);
        case kValuesInt64: return readMask(static_cast<const int64_t*>(values), count, bytes);
        case kValuesUint64: return readMask(static_cast<const uint64_t*>(values), count, bytes);
        default: {
            MaskCheck check;
            check.problem = kMaskBadType;
            return check;
        }
    }
}

}  // namespace tamrin
