// tamrin info: what a series is and what denoising it takes.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "commands.h"
#include "mask_file.h"
#include "nifti_io.h"
#include "progress.h"
#include "tamrin/denoise.h"

namespace tamrin {

std::string formatBytes(int64_t bytes) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        unit++;
    }
    char text[32];
    std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

int64_t peakMemoryBytes(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers, int storedBytes, bool asRead,
                        int outputBytes) {
    const int64_t voxels = int64_t{X} * Y * Z, elements = voxels * N;
    // Reading: the stored values and the doubles made from them.
    const int64_t inputBytes = asRead ? storedBytes : 8;
    const int64_t reading = elements * (asRead ? storedBytes : storedBytes + 8);
    // Denoising: input, denoised sums, noise and weight maps, and what the
    // workers obtain (their bands and scratch).
    const int64_t denoising = elements * (inputBytes + 8) + voxels * 16 + denoiseWorkingBytes(X, Y, Z, N, workers);
    // Writing: the denoised series, the noise map and one converted copy.
    const int64_t writing = elements * (8 + outputBytes) + voxels * 8;
    return std::max({reading, denoising, writing});
}

namespace {

// The mask's line: voxels inside and the patch positions that reach them.
int describeMask(const std::string& input, const std::string& maskPath) {
    std::string error;
    SeriesFile series;
    std::vector<uint8_t> mask;
    if (!openSeries(input, &series, &error) || !readMask(maskPath, series, &mask, &error)) {
        std::fprintf(stderr, "tamrin: %s\n", error.c_str());
        return kExitFile;
    }
    const int32_t* e = series.extents;
    int64_t inside = 0;
    for (uint8_t m : mask) inside += m;
    const int64_t reached = maskedPatchPositions(mask.data(), e[0], e[1], e[2], e[3]);
    std::printf("mask:         %s voxels inside; %s of the patch positions hold one (only those are denoised)\n",
                groupDigits(inside).c_str(), reached < 0 ? "(not enough memory to count)" : groupDigits(reached).c_str());
    return kExitOk;
}

}  // namespace

int runInfo(const std::string& input, int32_t workers, const std::string& mask) {
    std::string error;
    if (!checkReadableFile(input, &error)) {
        std::fprintf(stderr, "tamrin: %s\n", error.c_str());
        return kExitFile;
    }
    std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(readNiftiHeader(input, &error), nifti_image_free);
    int32_t e[4];
    if (!image || !seriesExtents(image.get(), input, e, &error)) {
        std::fprintf(stderr, "tamrin: %s\n", error.c_str());
        return kExitFile;
    }
    const nifti_image& h = *image;
    const bool version2 = h.nifti_type == NIFTI_FTYPE_NIFTI2_1 || h.nifti_type == NIFTI_FTYPE_NIFTI2_2;
    std::printf("file:         %s (NIfTI-%d%s)\n", input.c_str(), version2 ? 2 : 1,
                nifti_is_gzfile(input.c_str()) ? ", gzip-compressed" : "");
    std::printf("dimensions:   %d x %d x %d voxels, %d volumes\n", e[0], e[1], e[2], e[3]);
    std::printf("datatype:     %s%s\n", nifti_datatype_string(h.datatype),
                isSupportedDatatype(h.datatype) ? "" : " (not supported: tamrin denoise needs real values)");
    if (h.scl_slope != 0.0) std::printf("scaling:      value * %g + %g\n", h.scl_slope, h.scl_inter);
    std::printf("voxel size:   %g x %g x %g %s\n", h.dx, h.dy, h.dz, nifti_units_string(h.xyz_units));
    if (h.descrip[0] != '\0') std::printf("description:  %.80s\n", h.descrip);

    const int32_t side = patchSide(e[3]);
    std::printf("patch:        side %d (%d voxels x %d volumes)\n", side, patchVoxels(e[3]), e[3]);
    if (!checkPatchFits(e, input, &error)) {
        std::printf("patches:      none: %s\n", error.c_str());
        return kExitOk;
    }
    const int32_t used = workersUsed(e[0], e[1], e[2], e[3], workers);
    std::printf("patches:      %s positions\n", groupDigits(patchPositions(e[0], e[1], e[2], e[3])).c_str());
    std::printf("workers:      %d (of %d requested: at most one per %d planes of the longest axis)\n", used, workers,
                side);
    const bool asRead = valuesUsedAsRead(&h);
    std::printf("memory:       %s (float32 output), %s (float64 output)\n",
                formatBytes(peakMemoryBytes(e[0], e[1], e[2], e[3], workers, h.nbyper, asRead, 4)).c_str(),
                formatBytes(peakMemoryBytes(e[0], e[1], e[2], e[3], workers, h.nbyper, asRead, 8)).c_str());
    if (!mask.empty()) return describeMask(input, mask);
    return kExitOk;
}

}  // namespace tamrin
