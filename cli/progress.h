// Progress of a denoising run: a line with a bar, patches done of the total,
// the time spent and the time left, redrawn while the workers run.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tamrin {

// Patch start positions a run visits: the product over the three axes of
// extent - s + 1 (0 when the series is thinner than a patch on some axis).
int64_t patchPositions(int32_t X, int32_t Y, int32_t Z, int32_t N);

// "0:07", "12:30", "2:05:09".
std::string formatDuration(double seconds);

// One progress line, without line control characters, e.g.
// " 42% [##########..............] 134,400/320,013 patches  0:07 elapsed  0:10 left".
// The time left is shown once some work is done.
std::string formatProgress(int64_t done, int64_t total, double elapsedSeconds);

// 320013 -> "320,013".
std::string groupDigits(int64_t value);

// Runs denoiseVolume (same arguments) on a thread of its own. Meanwhile the
// calling thread reads the workers' progress counter every `interval` and,
// when `out` is not null, redraws the progress line there (ending it with a
// newline when the run is over). Returns denoiseVolume's status.
int32_t denoiseWithProgress(const double* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers,
                            double* denoisedSum, double* noiseSum, double* weightSum, std::FILE* out,
                            std::chrono::milliseconds interval = std::chrono::milliseconds(200));
int32_t denoiseWithProgress(const float* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers,
                            double* denoisedSum, double* noiseSum, double* weightSum, std::FILE* out,
                            std::chrono::milliseconds interval = std::chrono::milliseconds(200));

}  // namespace tamrin
