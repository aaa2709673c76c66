// SPDX-License-Identifier: BSD-3-Clause
// Running a denoising call while the calling thread stays free: to draw
// progress, to notice an interrupt and cancel, or to serve a host that must
// keep its own thread responsive.
#pragma once

#include <cstdint>

#include "tamrin/denoise.h"

namespace tamrin {

// Called on the calling thread with the patch positions finished so far and
// their total; `finished` is true for the last call, made once the run is over.
typedef void (*DenoiseWatch)(int64_t done, int64_t total, bool finished, void* context);

// Runs denoiseSeries (same arguments) on a thread of its own and meanwhile
// calls watch every intervalMs milliseconds, then once with finished = true.
// The options' progress counter, when null, is replaced by one of this call's
// own; a watch that wants to stop the run sets the flag its options' cancel
// points to. When no thread can be started the run happens on the calling
// thread, with only the final call of watch. Returns denoiseSeries's status.
int32_t denoiseSeriesWatched(const SeriesView& series, int32_t requested, const DenoiseResults& results,
                             const DenoiseOptions& options, int32_t intervalMs, DenoiseWatch watch, void* context);

}  // namespace tamrin
