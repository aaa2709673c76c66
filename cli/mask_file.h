// SPDX-License-Identifier: BSD-3-Clause
// A mask file for a series: a 3-D NIfTI image on the series' grid whose
// non-zero voxels are inside.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "series_file.h"

namespace tamrin {

// Reads the mask `path` for the series that openSeries opened: a 3-D image
// (further dimensions of extent 1) of a supported datatype with the series'
// extents and, when both headers say where their voxels lie (qform or sform
// code set), the same place: the grid's corners within a hundredth of a
// voxel under some transform of each. Values (scaled) other than 0 are
// inside; NaN is refused. *mask receives X*Y*Z bytes, 1 inside. False with a
// message naming the file otherwise, and for a mask with nothing inside.
bool readMask(const std::string& path, const SeriesFile& series, std::vector<uint8_t>* mask, std::string* error);

// The largest distance, in mm, between where two transforms put the corners
// of an X x Y x Z grid.
double cornerDistance(const nifti_dmat44& a, const nifti_dmat44& b, const int32_t extents[3]);

}  // namespace tamrin
