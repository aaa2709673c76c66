// SPDX-License-Identifier: BSD-3-Clause
// A series file as the command uses it: read once, with every check, into the
// values the denoiser reads (mapped where they lie in the file, loaded as
// stored, or converted to doubles), and results written beside it with its
// geometry.
#pragma once

#include <nifti2_io.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nifti_io.h"
#include "tamrin/denoise.h"

namespace tamrin {

struct SeriesFile {
    std::string path;
    nifti_image* image = nullptr;  // the header; holds the data when they were loaded as stored
    MappedData mapped;             // the data, when mapped from the file
    std::vector<double> converted; // the data, when converted to doubles
    int32_t extents[4] = {0, 0, 0, 0};
    SeriesView view;               // the values, wherever they are

    SeriesFile() = default;
    SeriesFile(const SeriesFile&) = delete;
    SeriesFile& operator=(const SeriesFile&) = delete;
    ~SeriesFile();
    // Gives back the values (unloads, unmaps, frees the doubles) and keeps the
    // header, which the results are written like.
    void releaseValues();
};

// Outcome of reading a series' values.
enum ReadStatus { kReadOk, kReadFileError, kReadNoMemory };

// Reads the header of `path` and checks it is a 4-D series of a supported
// datatype. False with a message naming the file otherwise.
bool openSeries(const std::string& path, SeriesFile* series, std::string* error);

// Brings in the values of a series openSeries accepted: 32-bit floats are
// used as stored (mapped from a single-file .nii when possible, else loaded),
// with their scaling in the view, applied as the denoiser reads them;
// anything else is loaded and converted to doubles with its scaling. Leaves
// series->view pointing at them.
ReadStatus loadSeries(SeriesFile* series, std::string* error);

// Bytes loadSeries and a run hold at the most for this series, for messages.
int64_t seriesPeakBytes(const SeriesFile& series, int32_t workers, int32_t slabs);

// Writes `values` (the series' extents with `volumes` volumes, or a 3-D map
// when volumes is 0) to `path` with the geometry of `like`, as float32 or
// float64. The 4-D result keeps the input's extensions.
bool writeLike(const SeriesFile& like, const std::string& path, int32_t volumes, int datatype, const double* values,
               std::string* error);

}  // namespace tamrin
