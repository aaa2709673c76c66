// SPDX-License-Identifier: BSD-3-Clause
// The outputs of a streamed run, written as the denoiser finishes each
// z-plane: a .nii receives the plane at once, at its place in the file (the
// file is sized first; only a plane's converted values are held). A .nii.gz
// is written the same way to a temporary .nii beside it (the staging file),
// which is compressed into the .nii.gz once complete and then removed: the
// finished image is never held in memory, at the cost of its uncompressed
// size on disk until the end.
#pragma once

#include <nifti2_io.h>

#include <cstdint>
#include <string>
#include <vector>

#include "series_file.h"

namespace tamrin {

struct PlaneOutput {
    std::string path;
    nifti_image* image = nullptr;  // the header
    std::string staging;           // .nii.gz: the temporary .nii the planes go to
    int fd = -1;                   // the .nii (or staging file), open for writing in place
    int64_t volumes = 1, plane = 0, voxels = 0;
    std::vector<char> converted;   // a plane of one volume in the output type
    int failure = 0;               // the errno of a failed write, 0 while all went well

    PlaneOutput() = default;
    PlaneOutput(const PlaneOutput&) = delete;
    PlaneOutput& operator=(const PlaneOutput&) = delete;
    ~PlaneOutput();
};

// Starts the output `path` (an existing temporary) with the geometry of
// `like`: a 4-D series of `volumes` volumes, or a 3-D map when volumes is
// 0, as DT_FLOAT32 or DT_FLOAT64. False with a message (no file name) when
// it cannot be started; output->failure is then ENOMEM when memory ran out.
bool openPlaneOutput(const SeriesFile& like, const std::string& path, int32_t volumes, int datatype,
                     PlaneOutput* output, std::string* error);

// Puts plane z: volume v's values at values + v * stride, converted to the
// output type. False once a write has failed (the first failure is kept).
bool putPlane(PlaneOutput* output, int32_t z, const double* values, int64_t stride);

// Completes the output (compressing a .nii.gz from its staging file, which
// is then removed) and checks it as written files are checked. False with a
// message (no file name) otherwise.
bool closePlaneOutput(PlaneOutput* output, std::string* error);

}  // namespace tamrin
