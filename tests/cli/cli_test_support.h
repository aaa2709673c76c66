// SPDX-License-Identifier: BSD-3-Clause
// Helpers for the command line tests: scratch folders, NIfTI fixtures and
// running the tamrin command.
#pragma once

#include <nifti2_io.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tamrin_cli_test {

// A fresh empty folder under the system's temporary folder, removed with its
// contents when the object goes.
struct ScratchFolder {
    std::string path;
    ScratchFolder();
    ~ScratchFolder();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    // Names of the entries, sorted (hidden ones included).
    std::vector<std::string> entries() const;
};

// A header for an X x Y x Z x N series (N = 0: a 3-D image) of the datatype,
// with distinctive geometry: voxel sizes 1.5 x 2 x 2.5 mm, an oblique qform
// (code SCANNER_ANAT), a different sform (code MNI_152), units and a
// description. No data.
nifti_image* makeHeader(int32_t X, int32_t Y, int32_t Z, int32_t N, int datatype);

// Writes `values` into an image of `header`'s datatype (values are cast to
// it) at `path`, with the given scaling. Returns false when writing failed.
bool writeImage(const nifti_image* header, const std::vector<double>& values, const std::string& path,
                double slope = 0.0, double inter = 0.0);

// Reads a whole image as doubles (scaling applied); empty when unreadable.
std::vector<double> readValues(const std::string& path, nifti_image** header = nullptr);

// The float64 values of an uncompressed .nii file exactly as stored (the
// library's reader would turn NaN into 0); empty when unreadable.
std::vector<double> readRawDoubles(const std::string& path);

// Result of one run of the tamrin command.
struct CommandRun {
    int status;          // exit status, or -1 when it did not exit normally
    std::string output;  // stdout and stderr together
};

// Runs the tamrin command with the arguments (each quoted for the shell).
// `prefix` is put before the command in the shell line (e.g. "ulimit -f 10;").
CommandRun runTamrin(const std::vector<std::string>& args, const std::string& prefix = "");

// True when both arrays hold the same bit patterns.
bool sameBits(const std::vector<double>& a, const std::vector<double>& b);

}  // namespace tamrin_cli_test
