// SPDX-License-Identifier: BSD-3-Clause
// NIfTI input and output through nifti_clib, with what the library leaves to
// its caller or gets wrong: which images are series, reading exactly the
// named file, keeping the NIfTI version, writing single-file NIfTI-2, and
// knowing whether a write reached the disk.
#include "nifti_io.h"

#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "driver/checks.h"
#include "file_layer.h"

namespace tamrin {
namespace {

bool endsWith(const std::string& text, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

template <typename T>
void convert(const void* data, int64_t count, double* out) {
    const T* in = static_cast<const T*>(data);
    for (int64_t i = 0; i < count; i++) out[i] = static_cast<double>(in[i]);
}

template <typename T>
void* convertTo(const double* values, int64_t count) {
    T* out = static_cast<T*>(std::malloc(sizeof(T) * static_cast<std::size_t>(count)));
    if (out != nullptr)
        for (int64_t i = 0; i < count; i++) out[i] = static_cast<T>(values[i]);
    return out;
}

// Bytes a file's content must have (decompressed for .nii.gz): the data offset
// the header names plus the data. Reads the whole stream, which also checks a
// gzip file's length and checksum.
bool contentLengthMatches(const std::string& path, int64_t expected) {
    if (!endsWith(path, ".gz")) {
        PathType type;
        int64_t size = 0;
        return pathType(path, true, &type, &size) == 0 && size == expected;
    }
    int failure = 0;
    const int fd = openFile(path, kOpenRead, &failure);
    if (fd < 0) return false;
    gzFile file = gzdopen(fd, "rb");
    if (file == nullptr) {
        closeFile(fd);
        return false;
    }
    std::vector<char> buffer(1 << 20);
    int64_t total = 0;
    int n = 0;
    while ((n = gzread(file, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) total += n;
    const bool clean = n == 0 && gzclose(file) == Z_OK;
    return clean && total == expected;
}

}  // namespace

bool hasNiftiExtension(const std::string& path) { return endsWith(path, ".nii") || endsWith(path, ".nii.gz"); }

bool checkReadableFile(const std::string& path, std::string* error) {
    PathType type;
    if (const int failure = pathType(path, true, &type)) {
        *error = path + ": " + (failure == ENOENT ? "no such file" : std::strerror(failure));
        return false;
    }
    if (type != kPathFile) {
        *error = path + ": not a regular file (expected a .nii or .nii.gz series)";
        return false;
    }
    int failure = 0;
    const int fd = openFile(path, kOpenRead, &failure);
    if (fd < 0) {
        *error = path + ": cannot be read: " + std::strerror(failure);
        return false;
    }
    closeFile(fd);
    return true;
}

nifti_image* readNiftiHeader(const std::string& path, std::string* error) {
    nifti_set_debug_level(0);
    // The library converts a header into an image before it checks it, and
    // a NIfTI-2 header with a dimension count beyond 7 makes that conversion
    // read and write past its arrays. So the raw header is checked first
    // (version 0 is the ANALYZE layout of NIfTI-1, refused further down).
    int version = -1;
    void* header = nifti_read_header(path.c_str(), &version, 0);
    const bool valid = header != nullptr &&
                       ((version <= 1 && nifti_hdr1_looks_good(static_cast<const nifti_1_header*>(header)) == 1) ||
                        (version == 2 && nifti_hdr2_looks_good(static_cast<const nifti_2_header*>(header)) == 1));
    std::free(header);
    nifti_image* image = valid ? nifti_image_read(path.c_str(), 0) : nullptr;
    if (image == nullptr) {
        *error = path + ": not a NIfTI file (expected a NIfTI-1 or NIfTI-2 image, .nii or .nii.gz)";
        return nullptr;
    }
    if (image->fname == nullptr || path != image->fname) {
        // The library found a header under another name (e.g. x.nii for x).
        nifti_image_free(image);
        *error = path + ": not a NIfTI file (expected a NIfTI-1 or NIfTI-2 image, .nii or .nii.gz)";
        return nullptr;
    }
    // The library marks images read from NIfTI-2 files as NIfTI-1; the
    // header's own version says which it is, and the output keeps it.
    if (version == 2 && image->nifti_type == NIFTI_FTYPE_NIFTI1_1) image->nifti_type = NIFTI_FTYPE_NIFTI2_1;
    if (version == 2 && image->nifti_type == NIFTI_FTYPE_NIFTI1_2) image->nifti_type = NIFTI_FTYPE_NIFTI2_2;
    if (image->nifti_type == NIFTI_FTYPE_ANALYZE) {
        nifti_image_free(image);
        *error = path + ": an ANALYZE 7.5 header, not NIfTI (expected a NIfTI-1 or NIfTI-2 image)";
        return nullptr;
    }
    return image;
}

bool loadNiftiData(nifti_image* image, const std::string& path, std::string* error) {
    // The library's own loader looks for the data file by name again and
    // prefers "x.nii" to the "x.nii.gz" it was given; open the named file
    // (or a pair's image file) here and let the library decode the bytes.
    const bool single = image->nifti_type == NIFTI_FTYPE_NIFTI1_1 || image->nifti_type == NIFTI_FTYPE_NIFTI2_1;
    const std::string file = single || image->iname == nullptr ? path : image->iname;
    const int64_t bytes = image->nvox * image->nbyper;
    nifti_image_unload(image);
    image->data = std::malloc(static_cast<std::size_t>(bytes > 0 ? bytes : 1));
    if (image->data == nullptr) {
        *error = file + ": not enough memory to read the image data (" + std::to_string(bytes) + " bytes)";
        return false;
    }
    // The bytes are read here rather than by the library's reader, which
    // turns NaN and infinities into 0 without a word: the values stay as
    // stored, so that the command can count them and say where they are.
    znzFile fp = znzopen(file.c_str(), "rb", nifti_is_gzfile(file.c_str()));
    bool ok = !znz_isnull(fp) && znzseek(fp, static_cast<long>(image->iname_offset), SEEK_SET) >= 0 &&
              znzread(image->data, 1, static_cast<size_t>(bytes), fp) == static_cast<size_t>(bytes);
    if (!znz_isnull(fp)) znzclose(fp);
    if (ok && image->swapsize > 1 && image->byteorder != nifti_short_order())
        nifti_swap_Nbytes(bytes / image->swapsize, image->swapsize, image->data);
    if (!ok) {
        nifti_image_unload(image);
        *error = file + ": the image data cannot be read (the file is shorter than its header says, or damaged)";
    }
    return ok;
}

bool isSupportedDatatype(int datatype) {
    switch (datatype) {
        case DT_INT8:
        case DT_UINT8:
        case DT_INT16:
        case DT_UINT16:
        case DT_INT32:
        case DT_UINT32:
        case DT_INT64:
        case DT_UINT64:
        case DT_FLOAT32:
        case DT_FLOAT64:
            return true;
        default:
            return false;
    }
}

bool seriesExtents(const nifti_image* image, const std::string& path, int32_t extents[4], std::string* error) {
    const int64_t rank = image->dim[0];
    int64_t last = 0;  // the last dimension above 1
    for (int64_t d = 1; d <= rank && d <= 7; d++)
        if (image->dim[d] > 1) last = d;
    if (last > 4) {
        *error = path + ": has " + std::to_string(last) + " dimensions; a 4-D series (x, y, z, volume) is expected";
        return false;
    }
    // The first four extents, 1 past the header's rank.
    int64_t dims[4];
    for (int d = 1; d <= 4; d++) dims[d - 1] = d <= rank ? image->dim[d] : 1;
    const SeriesCheck check = checkSeriesShape(dims, 4);
    const auto outOfRange = [&](int axis) {
        *error = path + ": extent " + std::to_string(dims[axis]) + " on axis " + "xyzt"[axis] +
                 " is out of range (1 to 2147483647)";
        return false;
    };
    const std::string shape = std::to_string(dims[0]) + " x " + std::to_string(dims[1]) + " x " +
                              std::to_string(dims[2]);
    switch (check.problem) {
        case kSeriesEmpty:
        case kSeriesExtentTooLarge:
            return outOfRange(check.axis);
        case kSeriesTooFewVolumes:
            if (check.value < 1) return outOfRange(3);
            *error = path + ": " +
                     (rank < 4 ? "a " + std::to_string(rank) + "-D image"
                               : "a series of " + std::to_string(check.value) + " volume") +
                     " (" + shape + "); a 4-D series of at least 2 volumes is expected";
            return false;
        case kSeriesTooManyValues:
            // The library's voxel count is a product it lets overflow.
            *error = path + ": " + shape + " x " + std::to_string(dims[3]) +
                     " values are more than can be addressed (is the header damaged?)";
            return false;
        default:
            break;
    }
    for (int d = 0; d < 4; d++) extents[d] = check.extents[d];
    // The series must hold exactly the values its extents say.
    const int64_t elements = int64_t{extents[0]} * extents[1] * extents[2] * extents[3];
    const std::string shape4 = shape + " x " + std::to_string(extents[3]);
    if (elements != image->nvox) {
        *error = path + ": " + shape4 + " values, but the header counts " + std::to_string(image->nvox) +
                 " (is the header damaged?)";
        return false;
    }
    return true;
}

bool imageToDoubles(const nifti_image* image, std::vector<double>* values, std::string* error) {
    const int64_t count = image->nvox;
    values->resize(static_cast<std::size_t>(count));
    double* out = values->data();
    switch (image->datatype) {
        case DT_INT8:
            convert<int8_t>(image->data, count, out);
            break;
        case DT_UINT8:
            convert<uint8_t>(image->data, count, out);
            break;
        case DT_INT16:
            convert<int16_t>(image->data, count, out);
            break;
        case DT_UINT16:
            convert<uint16_t>(image->data, count, out);
            break;
        case DT_INT32:
            convert<int32_t>(image->data, count, out);
            break;
        case DT_UINT32:
            convert<uint32_t>(image->data, count, out);
            break;
        case DT_INT64:
            convert<int64_t>(image->data, count, out);
            break;
        case DT_UINT64:
            convert<uint64_t>(image->data, count, out);
            break;
        case DT_FLOAT32:
            convert<float>(image->data, count, out);
            break;
        case DT_FLOAT64:
            convert<double>(image->data, count, out);
            break;
        default:
            *error = std::string(image->fname) + ": voxel type " + nifti_datatype_string(image->datatype) +
                     " is not supported (expected a real integer or floating type)";
            return false;
    }
    double slope = 1.0, intercept = 0.0;
    if (imageScaling(image, &slope, &intercept))
        for (int64_t i = 0; i < count; i++) out[i] = out[i] * slope + intercept;
    return true;
}

bool imageScaling(const nifti_image* image, double* slope, double* intercept) {
    const double stored = image->scl_slope, inter = image->scl_inter;
    if (stored == 0.0 || !std::isfinite(stored)) return false;
    *slope = stored;
    *intercept = std::isfinite(inter) ? inter : 0.0;
    return true;
}

bool valuesUsedAsRead(const nifti_image* image) { return image->datatype == DT_FLOAT32; }

const float* storedSingles(const nifti_image* image) {
    return valuesUsedAsRead(image) ? static_cast<const float*>(image->data) : nullptr;
}

void MappedData::reset() {
    if (base != nullptr) unmapFile(base, length);
    base = nullptr;
    data = nullptr;
    length = 0;
}

bool canMapNiftiData(const nifti_image* image, const std::string& path) {
    const bool single = image->nifti_type == NIFTI_FTYPE_NIFTI1_1 || image->nifti_type == NIFTI_FTYPE_NIFTI2_1;
    const int64_t offset = image->iname_offset, bytes = image->nvox * image->nbyper;
    return single && !nifti_is_gzfile(path.c_str()) && image->byteorder == nifti_short_order() && offset >= 0 &&
           image->nbyper >= 1 && offset % image->nbyper == 0 && bytes > 0;
}

bool mapNiftiData(const nifti_image* image, const std::string& path, MappedData* mapped) {
    const int64_t offset = image->iname_offset, bytes = image->nvox * image->nbyper;
    if (!canMapNiftiData(image, path)) return false;
    const std::size_t length = static_cast<std::size_t>(offset + bytes);
    void* base = mapFile(path, length);
    if (base == nullptr) return false;
    mapped->base = base;
    mapped->length = length;
    mapped->data = static_cast<const char*>(base) + offset;
    return true;
}

nifti_image* makeImageLike(const nifti_image* like, const int64_t* extents, int dimensions, int datatype,
                           const double* values, bool copyExtensions) {
    nifti_image* image = nifti_copy_nim_info(like);
    if (image == nullptr) return nullptr;
    if (!copyExtensions) nifti_free_extensions(image);
    image->dim[0] = dimensions;
    for (int d = 1; d <= 7; d++) image->dim[d] = d <= dimensions ? extents[d - 1] : 1;
    if (dimensions < 4) image->pixdim[4] = 0.0;
    nifti_update_dims_from_array(image);
    image->datatype = datatype;
    nifti_datatype_sizes(datatype, &image->nbyper, &image->swapsize);
    image->scl_slope = 0.0;
    image->scl_inter = 0.0;
    image->cal_min = 0.0;
    image->cal_max = 0.0;
    if (values == nullptr) return image;
    image->data =
        datatype == DT_FLOAT64 ? convertTo<double>(values, image->nvox) : convertTo<float>(values, image->nvox);
    if (image->data == nullptr) {
        nifti_image_free(image);
        return nullptr;
    }
    return image;
}

// Values converted per piece while they are written: no converted copy of the
// whole series is needed, and the bytes handed to the system are still in the
// cache.
constexpr int64_t kConvertChunk = int64_t{1} << 17;

// Writes count values as T (float or double) through `buffer` (room for
// kConvertChunk values of T).
template <typename T>
bool writeConverted(znzFile fp, const double* values, int64_t count, void* buffer) {
    T* out = static_cast<T*>(buffer);
    for (int64_t at = 0; at < count; at += kConvertChunk) {
        const int64_t n = count - at < kConvertChunk ? count - at : kConvertChunk;
        for (int64_t i = 0; i < n; i++) out[i] = static_cast<T>(values[at + i]);
        if (znzwrite(out, sizeof(T), static_cast<size_t>(n), fp) != static_cast<size_t>(n)) return false;
    }
    return true;
}

namespace {

// Writes the header, the extension flag and the extensions of `image` (whose
// iname_offset has been set) at the start of fp.
bool writeHeader(znzFile fp, const nifti_image* image, bool version2) {
    nifti_1_header header1;
    nifti_2_header header2;
    bool ok = version2 ? nifti_convert_nim2n2hdr(image, &header2) == 0 : nifti_convert_nim2n1hdr(image, &header1) == 0;
    if (version2) {
        header2.vox_offset = image->iname_offset;
        std::memcpy(header2.magic, "n+2\0\r\n\032\n", 8);
        ok = ok && znzwrite(&header2, sizeof(header2), 1, fp) == 1;
    } else {
        header1.vox_offset = static_cast<float>(image->iname_offset);
        std::memcpy(header1.magic, "n+1", 4);
        ok = ok && znzwrite(&header1, sizeof(header1), 1, fp) == 1;
    }
    const char extender[4] = {static_cast<char>(image->num_ext > 0 ? 1 : 0), 0, 0, 0};
    ok = ok && znzwrite(extender, 4, 1, fp) == 1;
    for (int e = 0; ok && e < image->num_ext; e++) {
        const nifti1_extension& ext = image->ext_list[e];
        const int32_t sizeAndCode[2] = {ext.esize, ext.ecode};
        ok = znzwrite(sizeAndCode, sizeof(sizeAndCode), 1, fp) == 1 &&
             (ext.esize <= 8 || znzwrite(ext.edata, static_cast<size_t>(ext.esize - 8), 1, fp) == 1);
    }
    return ok;
}

// Reads the file back: every byte present (and a gzip stream intact), and
// on the disk.
bool writtenCompletely(const std::string& path, const nifti_image* image) {
    nifti_image* written = nifti_image_read(path.c_str(), 0);
    const bool ok = written != nullptr && written->nvox == image->nvox && written->datatype == image->datatype &&
                    written->iname_offset == image->iname_offset;
    if (written != nullptr) nifti_image_free(written);
    return ok && contentLengthMatches(path, image->iname_offset + image->nvox * image->nbyper) &&
           flushFileToDisk(path);
}

// Sets up `image` to be written as a single file at `path`: its type (the
// NIfTI version it came with), names, byte order and data offset. Returns
// whether it is a NIfTI-2 file.
bool layOut(nifti_image* image, const std::string& path) {
    const bool version2 = image->nifti_type == NIFTI_FTYPE_NIFTI2_1 || image->nifti_type == NIFTI_FTYPE_NIFTI2_2;
    image->nifti_type = version2 ? NIFTI_FTYPE_NIFTI2_1 : NIFTI_FTYPE_NIFTI1_1;
    std::free(image->fname);
    std::free(image->iname);
    image->fname = nifti_strdup(path.c_str());
    image->iname = nifti_strdup(path.c_str());
    image->byteorder = nifti_short_order();  // the values are in this machine's order
    int64_t extensionBytes = 0;
    for (int e = 0; e < image->num_ext; e++) extensionBytes += image->ext_list[e].esize;
    image->iname_offset = (version2 ? sizeof(nifti_2_header) : sizeof(nifti_1_header)) + 4 + extensionBytes;
    return version2;
}

}  // namespace

const char* const kNotWritten = "could not be written completely (disk full, or the folder not writable?)";

bool writeNiftiFile(nifti_image* image, const std::string& path, std::string* error, const double* values) {
    // The file is laid out here (header, extension flag, extensions, data at
    // the offset the header names) from the library's header conversion and
    // data writer: its nifti_image_write cannot write single-file NIfTI-2
    // (it reopens the file for the data and loses the header) and reports
    // no failed write.
    const bool version2 = layOut(image, path);
    std::unique_ptr<void, void (*)(void*)> buffer(values != nullptr ? std::malloc(kConvertChunk * 8) : nullptr,
                                                  std::free);
    if (values != nullptr && buffer == nullptr) {
        *error = "not enough memory to convert the result for writing";
        return false;
    }
    nifti_set_debug_level(0);
    znzFile fp = znzopen(path.c_str(), "wb", nifti_is_gzfile(path.c_str()));
    bool ok = !znz_isnull(fp) && writeHeader(fp, image, version2);
    if (values == nullptr)
        ok = ok && nifti_write_all_data(fp, image, nullptr) == 0;
    else
        ok = ok && (image->datatype == DT_FLOAT64 ? writeConverted<double>(fp, values, image->nvox, buffer.get())
                                                  : writeConverted<float>(fp, values, image->nvox, buffer.get()));
    if (!znz_isnull(fp)) ok = znzclose(fp) == 0 && ok;
    if (!ok || !writtenCompletely(path, image)) {
        *error = kNotWritten;
        return false;
    }
    return true;
}

bool startNiftiFile(nifti_image* image, const std::string& path, std::string* error) {
    const bool version2 = layOut(image, path);
    nifti_set_debug_level(0);
    znzFile fp = znzopen(path.c_str(), "wb", 0);
    bool ok = !znz_isnull(fp) && writeHeader(fp, image, version2);
    if (!znz_isnull(fp)) ok = znzclose(fp) == 0 && ok;
    if (!ok) *error = kNotWritten;
    return ok;
}

bool finishNiftiFile(const nifti_image* image, const std::string& path, std::string* error) {
    if (writtenCompletely(path, image)) return true;
    *error = kNotWritten;
    return false;
}

}  // namespace tamrin
