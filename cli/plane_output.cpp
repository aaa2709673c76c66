// SPDX-License-Identifier: BSD-3-Clause
// PlaneOutput: results written plane by plane.
#include "plane_output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "file_layer.h"
#include "nifti_io.h"

namespace tamrin {
namespace {

template <typename T>
void convertPlane(const double* values, int64_t count, void* out) {
    T* to = static_cast<T*>(out);
    for (int64_t i = 0; i < count; i++) to[i] = static_cast<T>(values[i]);
}

void convert(int datatype, const double* values, int64_t count, void* out) {
    if (datatype == DT_FLOAT64)
        convertPlane<double>(values, count, out);
    else
        convertPlane<float>(values, count, out);
}

}  // namespace

PlaneOutput::~PlaneOutput() {
    if (fd >= 0) closeFile(fd);
    if (image != nullptr) nifti_image_free(image);
}

bool openPlaneOutput(const SeriesFile& like, const std::string& path, int32_t volumes, int datatype,
                     PlaneOutput* output, std::string* error) {
    const int32_t* e = like.extents;
    const int64_t extents[4] = {e[0], e[1], e[2], volumes};
    const int dimensions = volumes > 0 ? 4 : 3;
    output->path = path;
    output->volumes = volumes > 0 ? volumes : 1;
    output->plane = int64_t{e[0]} * e[1];
    output->voxels = output->plane * e[2];
    output->image = makeImageLike(like.image, extents, dimensions, datatype, nullptr, dimensions == 4);
    if (output->image == nullptr) {
        output->failure = ENOMEM;
        *error = "not enough memory to write the result";
        return false;
    }
    nifti_image* image = output->image;
    const std::size_t bytes = static_cast<std::size_t>(image->nvox) * static_cast<std::size_t>(image->nbyper);
    if (nifti_is_gzfile(path.c_str())) {
        // Gathered whole, in the output type; nifti_image_free releases it.
        image->data = std::malloc(bytes);
        if (image->data == nullptr) {
            output->failure = ENOMEM;
            *error = "not enough memory to gather the result for compression";
            return false;
        }
        return true;
    }
    try {
        output->converted.resize(static_cast<std::size_t>(output->plane) * static_cast<std::size_t>(image->nbyper));
    } catch (const std::bad_alloc&) {
        output->failure = ENOMEM;
        *error = "not enough memory to write the result";
        return false;
    }
    if (!startNiftiFile(image, path, error)) return false;
    int failure = 0;
    output->fd = openFile(path, kOpenUpdate, &failure);
    if (output->fd >= 0) failure = resizeFile(output->fd, image->iname_offset + static_cast<int64_t>(bytes));
    if (failure != 0) {
        *error = std::string("could not be written completely: ") + std::strerror(failure);
        return false;
    }
    return true;
}

bool putPlane(PlaneOutput* output, int32_t z, const double* values, int64_t stride) {
    if (output->failure != 0) return false;
    const nifti_image* image = output->image;
    const int64_t plane = output->plane, size = image->nbyper;
    for (int64_t v = 0; v < output->volumes; v++) {
        const int64_t first = v * output->voxels + z * plane;
        if (output->fd < 0) {
            convert(image->datatype, values + v * stride, plane, static_cast<char*>(image->data) + first * size);
            continue;
        }
        convert(image->datatype, values + v * stride, plane, output->converted.data());
        const int failure = writeAt(output->fd, output->converted.data(), static_cast<std::size_t>(plane * size),
                                    image->iname_offset + first * size);
        if (failure != 0) {
            output->failure = failure;
            return false;
        }
    }
    return true;
}

bool closePlaneOutput(PlaneOutput* output, std::string* error) {
    if (output->failure != 0) {
        *error = std::string("could not be written completely: ") + std::strerror(output->failure);
        return false;
    }
    if (output->fd < 0) return writeNiftiFile(output->image, output->path, error);
    closeFile(output->fd);
    output->fd = -1;
    return finishNiftiFile(output->image, output->path, error);
}

}  // namespace tamrin
