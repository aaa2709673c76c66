// SPDX-License-Identifier: BSD-3-Clause
// Reading a series for the denoiser and writing results like it.
#include "series_file.h"

#include <new>

#include "commands.h"
#include "memory_fit.h"

namespace tamrin {

SeriesFile::~SeriesFile() {
    if (image != nullptr) nifti_image_free(image);
}

void SeriesFile::releaseValues() {
    std::vector<double>().swap(converted);
    mapped.reset();
    if (image != nullptr) nifti_image_unload(image);
    view.values = nullptr;
}

bool openSeries(const std::string& path, SeriesFile* series, std::string* error) {
    series->path = path;
    series->image = readNiftiHeader(path, error);
    if (series->image == nullptr) return false;
    if (!seriesExtents(series->image, path, series->extents, error)) return false;
    if (!isSupportedDatatype(series->image->datatype)) {
        *error = path + ": voxel type " + nifti_datatype_string(series->image->datatype) +
                 " is not supported (expected real integer or floating values)";
        return false;
    }
    const int32_t* e = series->extents;
    series->view = SeriesView{nullptr, kValuesDouble, e[0], e[1], e[2], e[3]};
    return true;
}

ReadStatus loadSeries(SeriesFile* series, std::string* error) {
    nifti_image* image = series->image;
    SeriesView& view = series->view;
    // 32-bit floats are denoised as they are, where they lie in the file
    // when it can be mapped, their scaling applied as they are read; anything
    // else is loaded and converted to doubles first.
    if (valuesUsedAsRead(image)) {
        view.type = kValuesSingle;
        view.scaled = imageScaling(image, &view.slope, &view.intercept);
        if (mapNiftiData(image, series->path, &series->mapped)) {
            view.values = series->mapped.data;
            return kReadOk;
        }
    }
    if (!loadNiftiData(image, series->path, error)) return kReadFileError;
    if (const float* singles = storedSingles(image)) {
        view.values = singles;
        return kReadOk;
    }
    try {
        if (!imageToDoubles(image, &series->converted, error)) return kReadFileError;
    } catch (const std::bad_alloc&) {
        nifti_image_unload(image);
        return kReadNoMemory;
    }
    nifti_image_unload(image);
    view.values = series->converted.data();
    view.type = kValuesDouble;
    return kReadOk;
}

int64_t seriesPeakBytes(const SeriesFile& series, int32_t workers, int32_t slabs) {
    const MemoryNeed need =
        denoiseRunNeed(runShapeOf(series.image, series.path, series.extents, workers, false, false, slabs));
    return need.privateBytes + need.mappedBytes;
}

bool writeLike(const SeriesFile& like, const std::string& path, int32_t volumes, int datatype, const double* values,
               std::string* error) {
    const int32_t* e = like.extents;
    const int64_t extents[4] = {e[0], e[1], e[2], volumes};
    const int dimensions = volumes > 0 ? 4 : 3;
    nifti_image* image = makeImageLike(like.image, extents, dimensions, datatype, nullptr, dimensions == 4);
    if (image == nullptr) {
        *error = "not enough memory to convert the result for writing";
        return false;
    }
    const bool ok = writeNiftiFile(image, path, error, values);
    nifti_image_free(image);
    return ok;
}

}  // namespace tamrin
