// SPDX-License-Identifier: BSD-3-Clause
// Bytes obtained from the C allocator, counted at the allocator itself: the
// test executables that link counting_allocator.cpp replace malloc, calloc,
// realloc, free and the aligned forms (operator new and every library in
// the process come through them) with glibc's own, counting the usable size
// of each block. Lets a test compare what a run obtained with an estimate.
#pragma once

#include <cstdint>

namespace tamrin_test {

// False where the allocator cannot be replaced this way (not glibc): the
// counts then stay 0.
bool allocatorCounted();

// Bytes in blocks not yet freed.
int64_t liveBytes();

// The most bytes live at any moment since the last resetPeakBytes().
int64_t peakBytes();
void resetPeakBytes();

// The sum over threads of the most bytes each held at once beyond what it
// held at the last resetPeakBytes(), a block counted for the thread that obtained it (and
// taken off the thread that frees it): what the threads would hold had
// their busiest moments coincided. Unlike peakBytes() it does not depend
// on how the threads' work happened to overlap.
int64_t threadPeakBytes();

}  // namespace tamrin_test
