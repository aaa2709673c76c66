// SPDX-License-Identifier: BSD-3-Clause
// Reading and checking a mask file against its series.
#include "mask_file.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>

#include "driver/checks.h"

namespace tamrin {
namespace {

using Image = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;

std::string shapeOf(const int64_t* extents, int count) {
    std::string text;
    for (int d = 0; d < count; d++) text += (d > 0 ? " x " : "") + std::to_string(extents[d]);
    return text;
}

// The transforms a header gives its voxels: the sform and the qform, each
// when its code is set.
int transformsOf(const nifti_image* image, nifti_dmat44 out[2]) {
    int count = 0;
    if (image->sform_code > 0) out[count++] = image->sto_xyz;
    if (image->qform_code > 0) out[count++] = image->qto_xyz;
    return count;
}

// The length of the shortest voxel step of a transform, in mm.
double smallestStep(const nifti_dmat44& m) {
    double smallest = HUGE_VAL;
    for (int c = 0; c < 3; c++)
        smallest = std::min(smallest, std::sqrt(m.m[0][c] * m.m[0][c] + m.m[1][c] * m.m[1][c] + m.m[2][c] * m.m[2][c]));
    return smallest;
}

// Whether the mask's header puts its voxels where the series' header puts
// them; otherwise *apart is the corners' distance under the preferred pair.
bool samePlace(const nifti_image* series, const nifti_image* mask, const int32_t extents[3], double* apart) {
    nifti_dmat44 a[2], b[2];
    const int na = transformsOf(series, a), nb = transformsOf(mask, b);
    if (na == 0 || nb == 0) return true;  // one of them does not say: the extents are all there is
    for (int i = 0; i < na; i++)
        for (int j = 0; j < nb; j++) {
            const double distance = cornerDistance(a[i], b[j], extents);
            if (i == 0 && j == 0) *apart = distance;
            if (distance <= 0.01 * smallestStep(a[i])) return true;
        }
    return false;
}

bool refuse(std::string* error, const std::string& path, const std::string& message) {
    *error = path + ": " + message;
    return false;
}

}  // namespace

double cornerDistance(const nifti_dmat44& a, const nifti_dmat44& b, const int32_t extents[3]) {
    double largest = 0.0;
    for (int corner = 0; corner < 8; corner++) {
        double index[3];
        for (int d = 0; d < 3; d++) index[d] = (corner >> d) & 1 ? extents[d] - 1 : 0;
        double squared = 0.0;
        for (int r = 0; r < 3; r++) {
            double pa = a.m[r][3], pb = b.m[r][3];
            for (int c = 0; c < 3; c++) {
                pa += a.m[r][c] * index[c];
                pb += b.m[r][c] * index[c];
            }
            squared += (pa - pb) * (pa - pb);
        }
        // NaN in a header compares as far apart.
        largest = std::isnan(squared) ? HUGE_VAL : std::max(largest, std::sqrt(squared));
    }
    return largest;
}

bool readMask(const std::string& path, const SeriesFile& series, std::vector<uint8_t>* mask, std::string* error) {
    if (!checkReadableFile(path, error)) return false;
    Image image(readNiftiHeader(path, error), nifti_image_free);
    if (!image) return false;
    const std::string expected = " (a 3-D mask on the grid of " + series.path + " is expected)";
    const int64_t rank = std::min<int64_t>(image->dim[0], 7);
    int64_t extents[7] = {1, 1, 1, 1, 1, 1, 1};
    int last = 0;  // the last dimension above 1
    for (int d = 1; d <= rank; d++) {
        extents[d - 1] = image->dim[d];
        if (image->dim[d] > 1) last = d;
    }
    if (last > 3)
        return refuse(error, path, "a " + std::to_string(last) + "-D image (" + shapeOf(extents, last) + ")" + expected);
    const int32_t* grid = series.extents;
    if (checkMaskShape(extents, 3, grid[0], grid[1], grid[2]).problem != kMaskFits)
        return refuse(error, path,
                      shapeOf(extents, 3) + " voxels, where the series has " + std::to_string(grid[0]) + " x " +
                          std::to_string(grid[1]) + " x " + std::to_string(grid[2]) + expected);
    if (!isSupportedDatatype(image->datatype))
        return refuse(error, path,
                      std::string("voxel type ") + nifti_datatype_string(image->datatype) +
                          " is not supported (expected real integer or floating values)");
    double apart = 0.0;
    if (!samePlace(series.image, image.get(), grid, &apart)) {
        char distance[64];
        std::snprintf(distance, sizeof distance, "%.3g mm", apart);
        return refuse(error, path,
                      std::string("not on the grid of the series: their headers (qform, sform) place the grid's "
                                  "corners up to ") +
                          distance + " apart" + expected);
    }

    std::vector<double> values;
    if (!loadNiftiData(image.get(), path, error)) return false;
    try {
        if (!imageToDoubles(image.get(), &values, error)) return false;
        mask->assign(values.size(), 0);
    } catch (const std::bad_alloc&) {
        return refuse(error, path, "not enough memory to read the mask");
    }
    // The values as scaled: 0 outside, others inside, NaN refused.
    const MaskCheck check =
        maskFromValues(values.data(), kValuesDouble, static_cast<int64_t>(values.size()), mask->data());
    if (check.problem == kMaskHoldsNaN) {
        const int64_t X = grid[0], Y = grid[1], i = check.at;
        return refuse(error, path,
                      "holds NaN (at x " + std::to_string(i % X) + ", y " + std::to_string(i / X % Y) + ", z " +
                          std::to_string(i / (X * Y)) + "); a mask holds 0 outside and other numbers inside");
    }
    if (check.problem == kMaskEmpty)
        return refuse(error, path, "the mask is empty (every value is 0): there is nothing to denoise");
    return true;
}

}  // namespace tamrin
