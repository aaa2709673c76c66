// SPDX-License-Identifier: BSD-3-Clause
// What a call of denoiseSeries needs, for the front ends' memory check.
#include "call_memory.h"

#include "shared_slabs.h"

namespace tamrin {

MemoryNeed denoiseCallNeed(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers, bool rank, bool mask,
                           int32_t slabs) {
    MemoryNeed need;
    const int64_t voxels = saturatingMultiply(saturatingMultiply(X, Y), Z), elements = saturatingMultiply(voxels, N);
    need.privateBytes = saturatingAdd(saturatingAdd(saturatingMultiply(elements, 8), saturatingMultiply(voxels, 8 * (2 + (rank ? 1 : 0)))), mask ? voxels : 0);
    // The working bytes are computed in 64 bits: only for series the core
    // accepts (at most 2^63 bytes of doubles).
    if (need.privateBytes < INT64_MAX)
        need.privateBytes = saturatingAdd(need.privateBytes, denoiseWorkingBytes(X, Y, Z, N, workers, slabs));
    const int32_t threads = slabs > 0 ? sharedThreadsUsed(X, Y, Z, N, workers) : workersUsed(X, Y, Z, N, workers);
    need.reservedBytes = saturatingMultiply(threads + 1, threadStackBytes());
    return need;
}

}  // namespace tamrin
