// SPDX-License-Identifier: BSD-3-Clause
// Progress of a denoising run: a line with a bar, patches done of the total,
// the time spent and the time left, redrawn while the workers run.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tamrin/denoise.h"

namespace tamrin {

// "0:07", "12:30", "2:05:09".
std::string formatDuration(double seconds);

// One progress line, without line control characters, e.g.
// " 42% [##########..............] 134,400/320,013 patches  0:07 elapsed  0:10 left".
// The time left is shown once some work is done.
std::string formatProgress(int64_t done, int64_t total, double elapsedSeconds);

// 320013 -> "320,013".
std::string groupDigits(int64_t value);

// Runs denoiseSeries (same arguments) while the calling thread redraws the
// progress line on `out` every `interval` (ending it with a newline when the
// run is over); with `out` null nothing is drawn. Returns denoiseSeries's
// status.
int32_t denoiseWithProgress(const SeriesView& series, int32_t workers, const DenoiseResults& results,
                            const DenoiseOptions& options, std::FILE* out,
                            std::chrono::milliseconds interval = std::chrono::milliseconds(200));

}  // namespace tamrin
