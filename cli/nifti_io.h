// SPDX-License-Identifier: BSD-3-Clause
// Reading and writing NIfTI-1 and NIfTI-2 series (.nii, .nii.gz) through the
// nifti_clib library, and the conversions between their voxel types and the
// double-precision VolumeSeries layout the denoiser works on.
//
// Every function that can fail returns false (or null) and leaves a message in
// *error that names the file and says what was expected.
#pragma once

#include <nifti2_io.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tamrin {

// Checks that `path` names an existing, readable regular file.
bool checkReadableFile(const std::string& path, std::string* error);

// Reads the header of a NIfTI-1 or NIfTI-2 file (ANALYZE headers are refused).
// The caller frees the image with nifti_image_free.
nifti_image* readNiftiHeader(const std::string& path, std::string* error);

// Loads the image data of a header that readNiftiHeader read from `path`,
// in this machine's byte order, NaN and infinities kept as stored.
bool loadNiftiData(nifti_image* image, const std::string& path, std::string* error);

// True for the real-valued integer and floating datatypes the conversions
// accept: 8- to 64-bit integers, 32- and 64-bit floats. (128-bit floats are
// refused: this machine's long double is not their format.)
bool isSupportedDatatype(int datatype);

// Extents of a 4-D series: dim[1..4], every further dimension being 1.
// Returns false with a message when the image is not such a series, has an
// extent beyond 32 bits, or has fewer than 2 volumes.
bool seriesExtents(const nifti_image* image, const std::string& path, int32_t extents[4], std::string* error);

// Whether the image's values are scaled: scl_slope finite and not 0 (a slope
// of 0 means the stored values are the values). Then each value is
// stored * *slope + *intercept, *intercept being scl_inter when finite, else
// 0.
bool imageScaling(const nifti_image* image, double* slope, double* intercept);

// The image's values as doubles in file order, with their scaling.
bool imageToDoubles(const nifti_image* image, std::vector<double>* values, std::string* error);

// Whether the denoiser reads the stored values as they are, with their
// scaling applied as it reads them: 32-bit floats. Other types are converted
// to doubles first.
bool valuesUsedAsRead(const nifti_image* image);

// The loaded values when valuesUsedAsRead, else null (imageToDoubles then
// gives the values).
const float* storedSingles(const nifti_image* image);

// A read-only memory mapping of a file's image data.
struct MappedData {
    void* base = nullptr;
    std::size_t length = 0;
    const void* data = nullptr;  // the image data within the mapping
    MappedData() = default;
    MappedData(const MappedData&) = delete;
    MappedData& operator=(const MappedData&) = delete;
    ~MappedData() { reset(); }
    void reset();  // unmaps
};

// Maps the image data of `image` (whose header readNiftiHeader read from
// `path`) when they can be used where they lie: an uncompressed single file
// in this machine's byte order, long enough, with the data at an offset
// aligned for its values. Returns false, mapping nothing, otherwise (the
// caller then loads the data with loadNiftiData).
bool mapNiftiData(const nifti_image* image, const std::string& path, MappedData* mapped);

// Whether mapNiftiData would map the data, as far as the header and the
// file's name tell (the file must also be long enough).
bool canMapNiftiData(const nifti_image* image, const std::string& path);

// A new image with the geometry, units, description and file version of
// `like`, the extents given (3 or 4 of them) and the datatype (DT_FLOAT32 or
// DT_FLOAT64 when there are `values`; any with none), holding `values`
// converted to that type (or no data when `values` is null: writeNiftiFile
// then converts them, or the caller sets the data). No scaling, no
// calibration range. Extensions are copied when copyExtensions is true.
// Returns null when memory runs out.
nifti_image* makeImageLike(const nifti_image* like, const int64_t* extents, int dimensions, int datatype,
                           const double* values, bool copyExtensions);

// Writes `image` to the file `path` as a single-file NIfTI-1, or NIfTI-2 when
// the image came from one (its .nii or .nii.gz name chooses the compression),
// then reads the written file back to check that it holds every byte. The
// data are the image's own, or, when `values` is given (and the image holds
// no data), those doubles converted to its datatype piece by piece. The
// image's own file names are replaced by `path`. On failure *error says what went wrong
// without a file name: `path` is usually a temporary the user does not know.
bool writeNiftiFile(nifti_image* image, const std::string& path, std::string* error,
                    const double* values = nullptr);

// The message of a file whose writing failed (after its name, "PATH: ").
extern const char* const kNotWritten;

// Writes a file as writeNiftiFile lays it out, the data written later by
// the caller: startNiftiFile writes the header and extensions of `image` to
// an uncompressed .nii at `path` and sets image->iname_offset, where the
// data go (nvox values of nbyper bytes, in this machine's order);
// finishNiftiFile then checks the file as writeNiftiFile does.
bool startNiftiFile(nifti_image* image, const std::string& path, std::string* error);
bool finishNiftiFile(const nifti_image* image, const std::string& path, std::string* error);

// True when the name ends in .nii or .nii.gz.
bool hasNiftiExtension(const std::string& path);

}  // namespace tamrin
