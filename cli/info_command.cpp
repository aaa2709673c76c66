// tamrin info: what a series is and what denoising it takes.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "commands.h"
#include "mask_file.h"
#include "memory_fit.h"
#include "nifti_io.h"
#include "progress.h"
#include "driver/shared_slabs.h"
#include "tamrin/denoise.h"

namespace tamrin {

std::string formatBytes(int64_t bytes) {
    char text[32];
    formatByteCount(bytes, text, sizeof text);
    return text;
}

int64_t peakMemoryBytes(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers, int storedBytes, bool asRead,
                        int /*outputBytes*/, int32_t slabs) {
    // The values held in memory as read (a mapped file's pages are as
    // resident as a loaded copy), or converted to doubles.
    RunShape shape;
    const int32_t extents[4] = {X, Y, Z, N};
    std::copy(extents, extents + 4, shape.extents);
    shape.workers = workers;
    shape.slabs = slabs;
    shape.storedBytes = storedBytes;
    shape.holding = asRead ? kInputLoaded : kInputConverted;
    // With the page tables that map them, as the memory check counts them.
    const int64_t bytes = denoiseRunNeed(shape).privateBytes;
    return bytes + bytes / 512;
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

int runInfo(const std::string& input, int32_t workers, int32_t slabs, const std::string& mask) {
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
    const int32_t requestedSlabs = slabs > 0 ? slabs : workers;
    std::printf("patches:      %s positions\n", groupDigits(patchPositions(e[0], e[1], e[2], e[3])).c_str());
    std::printf("workers:      %d threads (of %d requested: at most one per unit of work)\n",
                sharedThreadsUsed(e[0], e[1], e[2], e[3], workers), workers);
    std::printf("slabs:        %d (of %d requested: at most one per %d planes of the longest axis; the results "
                "depend on the slabs alone)\n",
                workersUsed(e[0], e[1], e[2], e[3], requestedSlabs), requestedSlabs, side);
    const bool asRead = valuesUsedAsRead(&h);
    std::printf("memory:       %s (float32 output), %s (float64 output)\n",
                formatBytes(peakMemoryBytes(e[0], e[1], e[2], e[3], workers, h.nbyper, asRead, 4, slabs)).c_str(),
                formatBytes(peakMemoryBytes(e[0], e[1], e[2], e[3], workers, h.nbyper, asRead, 8, slabs)).c_str());
    printMemoryFit(&h, input, e, workers, slabs, !mask.empty());
    if (!mask.empty()) return describeMask(input, mask);
    return kExitOk;
}

}  // namespace tamrin
