// SPDX-License-Identifier: BSD-3-Clause
// What a call of denoiseSeries needs, in the terms of the memory check
// (support/memory_check.h).
#pragma once

#include <cstdint>

#include "support/memory_check.h"

namespace tamrin {

// What a call of denoiseSeries needs when its caller creates the results
// just before it, as the library front ends do: the denoised series, the
// noise and weight maps, the rank map when `rank`, the mask's bytes when
// `mask` and the working bytes, and the stacks of the workers and of one
// watching thread. With slabs above 0, `workers` threads
// decompose that many slabs (DenoiseOptions::slabs).
MemoryNeed denoiseCallNeed(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers, bool rank, bool mask,
                           int32_t slabs = 0);

}  // namespace tamrin
