// SPDX-License-Identifier: BSD-3-Clause
// Whether a block of doubles holds only finite values: the one check used by
// the worker, the fast kernel and the front ends.
#pragma once

#include <cstdint>

namespace tamrin {

// True when none of the count values is NaN or infinite.
bool allFinite(const double* values, int64_t count);

}  // namespace tamrin
