// SPDX-License-Identifier: BSD-3-Clause
// The value types a series may have (ValueType), as the C++ types the
// worker's templates are instantiated for, and the readers the workers read a
// series through: a pointer to the stored values, a pointer to them with NaN
// and infinities read as 0 (AsZero), or scaled single-precision values
// (ScaledSingles). Each reader is indexed like a pointer and gives values
// that convert to double.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

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

// A value of the series read with NaN and infinities as +0: the worker reads
// a series of T through a pointer to AsZero<T> when options.nonFinite is
// kNonFiniteUncover, so that every reading function, templated on the
// reader, reads the sanitised values without a copy of the series. The input
// is only ever read through it.
template <typename T>
struct __attribute__((may_alias)) AsZero {
    T stored;
    operator double() const {
        const double value = stored;
        return std::isfinite(value) ? value : 0.0;
    }
};
static_assert(sizeof(AsZero<float>) == sizeof(float) && sizeof(AsZero<double>) == sizeof(double),
              "AsZero<T> must lie exactly over a T");

// Single-precision values read as value * slope + intercept in doubles (a
// scaled series), with the non-finite results as +0 when asZero: the
// scaling comes before the check, as it would for doubles converted first.
// Used like a pointer: indexed, offset and subtracted.
template <bool asZero>
struct ScaledSingles {
    const float* at;
    double slope, intercept;
    double operator[](int64_t i) const {
        const double value = static_cast<double>(at[i]) * slope + intercept;
        if (asZero) return std::isfinite(value) ? value : 0.0;
        return value;
    }
    ScaledSingles operator+(int64_t offset) const { return ScaledSingles{at + offset, slope, intercept}; }
    ScaledSingles& operator+=(int64_t offset) {
        at += offset;
        return *this;
    }
    int64_t operator-(const ScaledSingles& other) const { return at - other.at; }
};

// Calls f with a reader of the series' values and returns what it returns:
// ScaledSingles for a scaled series, otherwise a pointer to the C++ type of
// series.type (a known ValueType), to AsZero of it when asZero and the
// values are floating-point (integers are always finite).
template <typename F>
auto withSeriesReader(const SeriesView& series, bool asZero, F&& f) {
    if (series.scaled) {
        const float* values = static_cast<const float*>(series.values);
        if (asZero) return f(ScaledSingles<true>{values, series.slope, series.intercept});
        return f(ScaledSingles<false>{values, series.slope, series.intercept});
    }
    return withTypedValues(series.type, series.values, [&](auto input) {
        using T = std::remove_const_t<std::remove_pointer_t<decltype(input)>>;
        if constexpr (std::is_floating_point<T>::value) {
            if (asZero) return f(reinterpret_cast<const AsZero<T>*>(input));
        }
        return f(input);
    });
}

// The reader of type In (one withSeriesReader gives) of the series' values.
template <typename In>
In readerOf(const SeriesView& series) {
    if constexpr (std::is_pointer<In>::value)
        return static_cast<In>(series.values);
    else
        return In{static_cast<const float*>(series.values), series.slope, series.intercept};
}

}  // namespace tamrin
