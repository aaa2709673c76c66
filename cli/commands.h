// SPDX-License-Identifier: BSD-3-Clause
// The tamrin subcommands, called by the command line parser in tamrin.cpp.
#pragma once

#include <nifti2_io.h>

#include <cstdint>
#include <string>

#include "tamrin/denoise.h"

namespace tamrin {

// Exit statuses of the tamrin command.
enum ExitStatus : int {
    kExitOk = 0,
    kExitUsage = 1,   // wrong arguments
    kExitFile = 2,    // an input or output file problem
    kExitFailed = 3,  // the denoising itself failed (memory)
};

struct DenoiseRequest {
    std::string input;
    std::string output;
    std::string noiseMap;  // empty: no noise map
    std::string rankMap;   // empty: no rank map
    std::string mask;      // empty: no mask
    int32_t workers = 1;  // threads
    int32_t slabs = 0;    // 0: as many as workers (at most one per patch side of planes)
    // What voxels without an estimate receive (tamrin/denoise.h's Uncovered):
    // by default the input's value, so that background stays as it was.
    int32_t uncovered = kUncoveredInput;
    int datatype = DT_FLOAT32;  // or DT_FLOAT64
    bool force = false;
    bool quiet = false;
    bool memoryCheck = true;  // refuse at once a run that cannot fit (memory_fit.h)
    std::string report;       // a .json file to write the run's report to (run_report.h); empty: none
};

int runDenoise(const DenoiseRequest& request);

// Checks that a series of the given extents is at least one patch thick on
// every axis; the message names the axis, its extent and the patch side.
bool checkPatchFits(const int32_t extents[4], const std::string& path, std::string* error);

// Prints a series' extents, datatype, voxel size, patch side, patch count and
// the memory a run with `workers` threads and `slabs` slabs (0: as many as
// workers) needs; with a mask (not empty),
// how many voxels it holds and how many patch positions reach them. As lines
// of text, or with `json` as one JSON object (docs/command.md lists its
// fields).
int runInfo(const std::string& input, int32_t workers, int32_t slabs, const std::string& mask, bool json = false);

// Largest memory a run holds at once, in bytes: the file's values (a mapped
// file's pages counted as a loaded copy), the series as doubles (unless
// `asRead`: the values are denoised as they are stored), the window of sums,
// the threads' buffers and the page tables that map them, as the memory
// check counts them. `storedBytes` is the size of one stored value in the
// input. The same for every output type and format: the results are written
// plane by plane (a .nii.gz to a temporary .nii, compressed at the end).
int64_t peakMemoryBytes(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers, int storedBytes, bool asRead,
                        int32_t slabs = 0);

// "1.5 GiB", "320 MiB", "12 KiB".
std::string formatBytes(int64_t bytes);

}  // namespace tamrin
