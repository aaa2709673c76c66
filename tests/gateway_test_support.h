// SPDX-License-Identifier: BSD-3-Clause
// What the tests of the MEX gateway on the stand-in host share: series whose
// values every class holds exactly, their arrays, and the core's results for
// the same values as doubles, the reference the gateway must match.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mex_host.h"
#include "test_support.h"

namespace gateway_test {

// The numeric classes data may have, and the name the host gives each.
const std::vector<mxClassID>& numericClasses();
const char* className(mxClassID type);

// The phantom (object on an exact-zero background) scaled to 0 .. 120 and
// rounded to whole numbers, with one value of -7 (0 in unsigned classes is
// the caller's business): values every numeric class holds exactly.
tamrin_test::Series wholeSeries(int32_t X, int32_t Y, int32_t Z, int32_t N, uint64_t seed);

// s as the given class holds it: negative values become 0 in the unsigned
// classes.
tamrin_test::Series heldBy(const tamrin_test::Series& s, mxClassID type);

// An X x Y x Z x N array of the given class holding s's values (which the
// class must hold exactly: see heldBy).
mxArray* seriesArray(const tamrin_test::Series& s, mxClassID type);

// The core's results for s's values as doubles, with `workers` workers and
// the mask (X*Y*Z bytes, or empty for none): the denoised series, the noise
// and rank maps, and the texts of its messages, in order.
struct Reference {
    int32_t status = 0;
    std::vector<double> denoised, noise, rank;
    std::string printed;
};
Reference coreResults(const tamrin_test::Series& s, int32_t workers, const std::vector<uint8_t>& mask = {});

// Whether `array` is a double array holding exactly the bits of `values`,
// or, for `single`, a single array holding float(value) for each (NaN where
// the value is NaN).
bool holds(const mxArray* array, const std::vector<double>& values, bool single);

// Value i of a double or single array, as a double.
double valueAt(const mxArray* array, std::size_t i);

// Whether the array's dimensions are `dims`.
bool shaped(const mxArray* array, const std::vector<mwSize>& dims);

}  // namespace gateway_test
