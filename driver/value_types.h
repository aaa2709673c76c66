// SPDX-License-Identifier: BSD-3-Clause
// The value types a series may have (ValueType), as the C++ types the
// worker's templates are instantiated for.
#pragma once

#include <cstdint>

#include "tamrin/denoise.h"

namespace tamrin {

// Whether type is one of the ValueTypes.
inline bool knownValueType(int32_t type) { return type >= kValuesDouble && type <= kValuesUint64; }

// Calls f with values as a pointer to the C++ type of `type` (a known
// ValueType) and returns what it returns.
template <typename F>
auto withTypedValues(int32_t type, const void* values, F&& f) {
    switch (type) {
        case kValuesSingle: return f(static_cast<const float*>(values));
        case kValuesInt8: return f(static_cast<const int8_t*>(values));
        case kValuesUint8: return f(static_cast<const uint8_t*>(values));
        case kValuesInt16: return f(static_cast<const int16_t*>(values));
        case kValuesUint16: return f(static_cast<const uint16_t*>(values));
        case kValuesInt32: return f(static_cast<const int32_t*>(values));
        case kValuesUint32: return f(static_cast<const uint32_t*>(values));
        case kValuesInt64: return f(static_cast<const int64_t*>(values));
        case kValuesUint64: return f(static_cast<const uint64_t*>(values));
        default: return f(static_cast<const double*>(values));
    }
}

}  // namespace tamrin
