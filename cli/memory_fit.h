// SPDX-License-Identifier: BSD-3-Clause
// What a run of tamrin denoise needs, from the header alone, and the
// refusal of a run that cannot fit, made before anything large is read.
#pragma once

#include <nifti2_io.h>

#include <cstdint>
#include <string>

#include "commands.h"
#include "series_file.h"
#include "support/memory_check.h"

namespace tamrin {

// How a run holds the series' values while it denoises them.
enum InputHolding : int {
    kInputMapped,     // mapped from the file as stored (float32 in a .nii)
    kInputLoaded,     // read into memory as stored (float32 otherwise)
    kInputConverted,  // read, then converted to doubles with the scaling
};

// A run as far as its memory goes.
struct RunShape {
    int32_t extents[4] = {0, 0, 0, 0};
    int32_t workers = 1;  // threads
    int32_t slabs = 0;    // --slabs; 0: as many as workers
    int storedBytes = 4;  // bytes of one stored value
    InputHolding holding = kInputLoaded;
    int64_t fileBytes = 0;  // the mapping's length (header and data) when mapped
    bool compressed = false;  // a .nii.gz: its values are read, never mapped
    bool rank = false, mask = false;
};

// The shape of a run of the series `image` (its header, read from `path`).
RunShape runShapeOf(const nifti_image* image, const std::string& path, const int32_t extents[4], int32_t workers,
                    bool rank, bool mask, int32_t slabs = 0);

// The shape of the run `request` asks for on `series`.
RunShape requestShape(const DenoiseRequest& request, const SeriesFile& series);

// What the run obtains beyond what the process holds before it reads
// anything: at its busiest phase (reading and converting the values,
// denoising, compressing the .nii.gz outputs), the values it holds (unless
// mapped), the window of sums and the slabs' bands of the streamed run, the
// mask, the threads' stores and the buffers of the file formats; the stacks
// of the threads and of the progress thread; and the mapped file. The
// outputs take no more than a plane in memory whatever their type and
// format: a .nii.gz is compressed from a temporary .nii on disk.
MemoryNeed denoiseRunNeed(const RunShape& shape);

// Checks that a run of `series` as `request` asks fits in the memory this
// process may use; kExitOk when it does (or the check is turned off), else
// prints the refusal with both figures and what would help, and returns
// kExitFailed.
int refuseWhatCannotFit(const DenoiseRequest& request, const SeriesFile& series);

// Whether a run with `workers` workers and `slabs` slabs (and the mask, when
// `mask`) fits, as tamrin info tells it: the need, the limits seen, the
// verdict and, for a run that does not fit, the shortfall's figures and what
// would help (empty when nothing would).
struct MemoryFit {
    MemoryNeed need;
    MemoryLimits limits;
    MemoryVerdict verdict;
    std::string limitsText;  // the limits, one clause each
    std::string shortfall, remedy;
};
MemoryFit memoryFitOf(const nifti_image* image, const std::string& path, const int32_t extents[4], int32_t workers,
                      int32_t slabs, bool mask);

// tamrin info's line on whether the run fits.
void printMemoryFit(const MemoryFit& fit);

}  // namespace tamrin
