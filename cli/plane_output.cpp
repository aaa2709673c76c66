// SPDX-License-Identifier: BSD-3-Clause
// PlaneOutput: results written plane by plane.
#include "plane_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "file_layer.h"
#include "nifti_io.h"
#include "output_file.h"

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

// Pieces in which a staging file is compressed.
constexpr std::size_t kCompressChunk = std::size_t{1} << 20;

// Compresses the first `length` bytes of the file `from` (all it holds) into
// the gzip file `to`, as one stream at zlib's default level: the bytes that
// writing the same content to a .nii.gz directly gives, since deflate's
// output does not depend on the pieces its input comes in.
bool compressFile(const std::string& from, const std::string& to, int64_t length) {
    std::unique_ptr<char, void (*)(void*)> buffer(static_cast<char*>(std::malloc(kCompressChunk)), std::free);
    if (buffer == nullptr) return false;
    znzFile in = znzopen(from.c_str(), "rb", 0);
    if (znz_isnull(in)) return false;
    znzFile out = znzopen(to.c_str(), "wb", 1);
    bool ok = !znz_isnull(out);
    int64_t copied = 0;
    while (ok && copied < length) {
        const std::size_t want = static_cast<std::size_t>(std::min<int64_t>(length - copied, kCompressChunk));
        const std::size_t got = znzread(buffer.get(), 1, want, in);
        ok = got == want && znzwrite(buffer.get(), 1, got, out) == got;
        copied += static_cast<int64_t>(got);
    }
    znzclose(in);
    if (!znz_isnull(out)) ok = znzclose(out) == 0 && ok;
    return ok;
}

}  // namespace

PlaneOutput::~PlaneOutput() {
    if (fd >= 0) closeFile(fd);
    if (!staging.empty()) removeTemporary(staging);
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
    try {
        output->converted.resize(static_cast<std::size_t>(output->plane) * static_cast<std::size_t>(image->nbyper));
    } catch (const std::bad_alloc&) {
        output->failure = ENOMEM;
        *error = "not enough memory to write the result";
        return false;
    }
    // A .nii.gz is written uncompressed to its staging file first.
    std::string written = path;
    if (nifti_is_gzfile(path.c_str())) {
        std::string why;
        if (!createTemporary(path.substr(0, path.size() - 3), &output->staging, &why)) {
            output->staging.clear();
            *error = "could not start the temporary .nii it is compressed from: " + why;
            return false;
        }
        written = output->staging;
    }
    if (!startNiftiFile(image, written, error)) return false;
    const std::size_t bytes = static_cast<std::size_t>(image->nvox) * static_cast<std::size_t>(image->nbyper);
    int failure = 0;
    output->fd = openFile(written, kOpenUpdate, &failure);
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
    closeFile(output->fd);
    output->fd = -1;
    if (!output->staging.empty()) {
        const int64_t length = output->image->iname_offset + output->image->nvox * output->image->nbyper;
        const bool compressed = compressFile(output->staging, output->path, length);
        removeTemporary(output->staging);
        output->staging.clear();
        if (!compressed) {
            *error = kNotWritten;
            return false;
        }
    }
    return finishNiftiFile(output->image, output->path, error);
}

}  // namespace tamrin
