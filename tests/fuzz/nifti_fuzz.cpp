// SPDX-License-Identifier: BSD-3-Clause
// Fuzzes the command's NIfTI input with arbitrary bytes. Each input is
// written to a temporary x.nii and x.nii.gz (a plain file read through the
// gzip reader as well, or a gzip stream the seeds provide) and read exactly
// as `tamrin denoise` reads its input: readable check, header, series
// extents, datatype, patch fit, data, conversion to doubles.
//
// Checks, beyond the absence of crashes, leaks and sanitizer reports: every
// refusal carries a message that starts with the file's name; an accepted
// header is the named file's and NIfTI, not ANALYZE; accepted extents are a
// series of at least 2 volumes whose element count is the image's voxel
// count (the denoiser reads X*Y*Z*N values from an array of that many); a
// plain file whose data were read is at least as long as its header says;
// unscaled values are finite (stored NaN and infinities read as 0) and
// unscaled integer data integers within their type's range; and a finite
// series read in full survives a float64 write and read back bit for bit,
// extents and NIfTI version included.
//
// Headers that claim more than kMaxDataBytes of data stop before the data
// are read: the reader obtains the claimed size before it reads (a huge
// request for a short file fails or is refused by the file's length, never
// touched), and the fuzzer's own memory limit would report the request.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "nifti_io.h"

namespace {

constexpr int64_t kMaxDataBytes = 64 << 20;

std::string gFolder;

void removeFolder() {
    for (const char* name : {"/in.nii", "/in.nii.gz", "/out.nii"}) std::remove((gFolder + name).c_str());
    ::rmdir(gFolder.c_str());
}

const std::string& folder() {
    if (gFolder.empty()) {
        // Memory-backed when available: every input is written twice.
        char shm[] = "/dev/shm/tamrin-nifti-fuzz-XXXXXX";
        char tmp[] = "/tmp/tamrin-nifti-fuzz-XXXXXX";
        const char* made = ::mkdtemp(shm);
        if (made == nullptr) made = ::mkdtemp(tmp);
        if (made == nullptr) std::abort();
        gFolder = made;
        std::atexit(removeFolder);
    }
    return gFolder;
}

void writeFile(const std::string& path, const uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size) || std::fclose(file) != 0)
        std::abort();
}

// A failed invariant names itself before the harness aborts.
[[noreturn]] void failed(int line, const char* condition) {
    std::fprintf(stderr, "nifti_fuzz.cpp:%d: invariant failed: %s\n", line, condition);
    std::abort();
}
#define check(condition) ((condition) ? (void)0 : failed(__LINE__, #condition))

// A refusal's message names the file first.
void checkRefusal(const std::string& error, const std::string& path) {
    check(error.size() > path.size() && error.compare(0, path.size(), path) == 0);
}

bool isIntegerType(int datatype, double* low, double* high) {
    switch (datatype) {
        case DT_INT8: *low = -128.0, *high = 127.0; return true;
        case DT_UINT8: *low = 0.0, *high = 255.0; return true;
        case DT_INT16: *low = -32768.0, *high = 32767.0; return true;
        case DT_UINT16: *low = 0.0, *high = 65535.0; return true;
        case DT_INT32: *low = -2147483648.0, *high = 2147483647.0; return true;
        case DT_UINT32: *low = 0.0, *high = 4294967295.0; return true;
        case DT_INT64: *low = -9223372036854775808.0, *high = 9223372036854775808.0; return true;
        case DT_UINT64: *low = 0.0, *high = 18446744073709551616.0; return true;
        default: return false;
    }
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool isVersion2(const nifti_image* image) {
    return image->nifti_type == NIFTI_FTYPE_NIFTI2_1 || image->nifti_type == NIFTI_FTYPE_NIFTI2_2;
}

// Each value is its stored T, NaN where T is NaN.
template <typename T>
void checkAsStored(const void* data, const std::vector<double>& values) {
    for (std::size_t i = 0; i < values.size(); i++) {
        const double stored = static_cast<const T*>(data)[i];
        check(std::isnan(stored) ? std::isnan(values[i]) : values[i] == stored);
    }
}

// Reads `path` as the series the denoiser would get; values empty when the
// reading stopped early (refused, or more data than the harness reads).
struct Read {
    nifti_image* image = nullptr;
    int32_t extents[4] = {0, 0, 0, 0};
    std::vector<double> values;
    bool complete = false;
};

Read readSeries(const std::string& path) {
    Read r;
    std::string error;
    check(tamrin::checkReadableFile(path, &error));
    r.image = tamrin::readNiftiHeader(path, &error);
    if (r.image == nullptr) {
        checkRefusal(error, path);
        return r;
    }
    nifti_image* image = r.image;
    check(image->fname != nullptr && path == image->fname);
    check(image->nifti_type == NIFTI_FTYPE_NIFTI1_1 || image->nifti_type == NIFTI_FTYPE_NIFTI1_2 ||
          image->nifti_type == NIFTI_FTYPE_NIFTI2_1 || image->nifti_type == NIFTI_FTYPE_NIFTI2_2);

    if (!tamrin::seriesExtents(image, path, r.extents, &error)) {
        checkRefusal(error, path);
        return r;
    }
    int64_t elements = 1;
    for (int32_t e : r.extents) {
        check(e >= 1);
        check(!__builtin_mul_overflow(elements, int64_t{e}, &elements));
    }
    check(r.extents[3] >= 2);
    check(elements == image->nvox);
    if (!tamrin::isSupportedDatatype(image->datatype)) return r;
    if (!tamrin::checkPatchFits(r.extents, path, &error)) {
        checkRefusal(error, path);
        return r;
    }
    if (image->nvox * image->nbyper > kMaxDataBytes) return r;

    if (!tamrin::loadNiftiData(image, path, &error)) {
        // A header of a pair names its image file, which the message names.
        checkRefusal(error, image->nifti_type == NIFTI_FTYPE_NIFTI1_2 || image->nifti_type == NIFTI_FTYPE_NIFTI2_2
                                ? std::string(image->iname)
                                : path);
        check(image->data == nullptr);
        return r;
    }
    check(image->data != nullptr);
    const bool gz = path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
    struct stat info;
    check(::stat(path.c_str(), &info) == 0);
    if (!gz) check(static_cast<int64_t>(info.st_size) >= image->iname_offset + image->nvox * image->nbyper);

    if (!tamrin::imageToDoubles(image, &r.values, &error)) {
        checkRefusal(error, path);
        r.values.clear();
        return r;
    }
    check(static_cast<int64_t>(r.values.size()) == image->nvox);
    // Unscaled values are the stored ones: integers keep their type's range,
    // and floating values come through as stored, NaN and infinities
    // included (the command sets those voxels aside itself).
    double low = 0, high = 0;
    const bool scaled = image->scl_slope != 0.0 && std::isfinite(image->scl_slope);
    if (!scaled && isIntegerType(image->datatype, &low, &high))
        for (double x : r.values) check(x == std::floor(x) && x >= low && x <= high);
    if (!scaled && image->datatype == DT_FLOAT32) checkAsStored<float>(image->data, r.values);
    if (!scaled && image->datatype == DT_FLOAT64) checkAsStored<double>(image->data, r.values);
    r.complete = true;
    return r;
}

// A finite series read in full, written as float64 and read back, gives the
// same values, extents and NIfTI version.
void checkRoundTrip(const Read& r) {
    // Only finite series are denoised (and so written); a non-finite value
    // would be read back as 0.
    if (r.values.size() > 4096) return;
    for (double x : r.values)
        if (!std::isfinite(x)) return;
    const std::string out = folder() + "/out.nii";
    const int64_t extents[4] = {r.extents[0], r.extents[1], r.extents[2], r.extents[3]};
    nifti_image* written = tamrin::makeImageLike(r.image, extents, 4, DT_FLOAT64, r.values.data(), true);
    check(written != nullptr);
    std::string error;
    const bool version2 = isVersion2(r.image);
    const bool ok = tamrin::writeNiftiFile(written, out, &error);
    nifti_image_free(written);
    check(ok);
    Read back = readSeries(out);
    check(back.complete);
    check(std::memcmp(back.extents, r.extents, sizeof r.extents) == 0);
    check(isVersion2(back.image) == version2);
    check(back.image->datatype == DT_FLOAT64);
    check(sameBits(back.values, r.values));
    nifti_image_free(back.image);
    std::remove(out.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    nifti_set_debug_level(0);
    for (const char* name : {"/in.nii", "/in.nii.gz"}) {
        const std::string path = folder() + name;
        writeFile(path, data, size);
        Read r = readSeries(path);
        if (r.complete) checkRoundTrip(r);
        if (r.image != nullptr) nifti_image_free(r.image);
        std::remove(path.c_str());
    }
    return 0;
}
