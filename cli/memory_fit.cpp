// SPDX-License-Identifier: BSD-3-Clause
// The command's memory need, its check and the wording of its refusal.
#include "memory_fit.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "nifti_io.h"
#include "driver/shared_slabs.h"
#include "tamrin/denoise.h"

namespace tamrin {
namespace {

// Buffers of the file formats while reading or writing: the values
// converted for writing a piece at a time, the read-back check's buffer and
// zlib's state for either direction.
constexpr int64_t kFormatBuffers = int64_t{4} << 20;

int64_t plus(int64_t a, int64_t b) { return saturatingAdd(a, b); }
int64_t times(int64_t a, int64_t b) { return saturatingMultiply(a, b); }

// The slabs of a run: --slabs, or as many as the workers.
int32_t slabsOf(const RunShape& shape) { return shape.slabs > 0 ? shape.slabs : shape.workers; }

MemoryNeed needOfWorkers(int32_t workers, const void* context) {
    RunShape shape = *static_cast<const RunShape*>(context);
    shape.workers = workers;
    return denoiseRunNeed(shape);
}

std::string bytesText(int64_t bytes) {
    char text[32];
    formatByteCount(bytes, text, sizeof text);
    return text;
}

// What would let a run that does not fit go ahead: fewer workers, or an
// uncompressed input that is mapped instead of read. Empty when neither
// would.
std::string remedy(const RunShape& shape, const MemoryLimits& limits, const char* workersOption) {
    const int32_t* e = shape.extents;
    const int32_t used = sharedThreadsUsed(e[0], e[1], e[2], e[3], shape.workers);
    const int32_t fitting = workersThatFit(needOfWorkers, &shape, used, limits);
    if (fitting > 0 && fitting < used) return std::string("with ") + workersOption + std::to_string(fitting) + " it fits";
    if (shape.holding == kInputLoaded && shape.compressed) {
        RunShape mapped = shape;
        mapped.holding = kInputMapped;
        mapped.fileBytes = times(times(times(e[0], e[1]), times(e[2], e[3])), shape.storedBytes);
        if (checkMemory(denoiseRunNeed(mapped), limits).fits)
            return "decompressed to .nii, the input would be mapped from its file instead of read into memory, and the "
                   "run would fit";
    }
    return "";
}

}  // namespace

RunShape runShapeOf(const nifti_image* image, const std::string& path, const int32_t extents[4], int32_t workers,
                    bool rank, bool mask, int32_t slabs) {
    RunShape shape;
    std::copy(extents, extents + 4, shape.extents);
    shape.workers = workers;
    shape.slabs = slabs;
    shape.storedBytes = image->nbyper;
    shape.rank = rank;
    shape.mask = mask;
    shape.holding = valuesUsedAsRead(image) ? kInputLoaded : kInputConverted;
    shape.compressed = nifti_is_gzfile(path.c_str()) != 0;
    const int64_t length = plus(image->iname_offset, times(image->nvox, image->nbyper));
    struct stat info;
    if (shape.holding == kInputLoaded && canMapNiftiData(image, path) && ::stat(path.c_str(), &info) == 0 &&
        info.st_size >= length) {
        shape.holding = kInputMapped;
        shape.fileBytes = length;
    }
    return shape;
}

RunShape requestShape(const DenoiseRequest& request, const SeriesFile& series) {
    return runShapeOf(series.image, series.path, series.extents, request.workers, !request.rankMap.empty(),
                      !request.mask.empty(), request.slabs);
}

MemoryNeed denoiseRunNeed(const RunShape& shape) {
    const int32_t* e = shape.extents;
    const int64_t voxels = times(times(e[0], e[1]), e[2]), elements = times(voxels, e[3]);
    const int64_t maskBytes = shape.mask ? voxels : 0;
    // The values as the run holds them, and at their reading.
    const int64_t stored = times(elements, shape.storedBytes);
    const int64_t held = shape.holding == kInputMapped ? 0 : shape.holding == kInputLoaded ? stored : times(elements, 8);
    const int64_t read = shape.holding == kInputMapped ? 0
                         : shape.holding == kInputLoaded ? plus(stored, kFormatBuffers)
                                                         : plus(plus(stored, times(elements, 8)), kFormatBuffers);
    // The mask's reading: its values (8 bytes at most) and as doubles, and the bytes.
    const int64_t readingMask = shape.mask ? times(voxels, 17) : 0;
    // The series' reading; a byte a voxel records where values that are not
    // finite were set aside.
    const int64_t readingSeries = plus(plus(maskBytes, read), voxels);
    // Denoising: the values, the streamed run's window, bands, flags and
    // stores, and a plane converted for writing.
    const int64_t denoising =
        plus(plus(maskBytes, held),
             plus(streamedWorkingBytes(e[0], e[1], e[2], e[3], shape.workers, slabsOf(shape), shape.rank),
                  kFormatBuffers));
    // Compressing the .nii.gz outputs from their temporaries: the values are
    // gone.
    const int64_t writing = plus(maskBytes, kFormatBuffers);

    MemoryNeed need;
    need.privateBytes = std::max({readingMask, readingSeries, denoising, writing});
    need.reservedBytes = times(sharedThreadsUsed(e[0], e[1], e[2], e[3], shape.workers) + 1, threadStackBytes());
    need.mappedBytes = shape.holding == kInputMapped ? shape.fileBytes : 0;
    return need;
}

int refuseWhatCannotFit(const DenoiseRequest& request, const SeriesFile& series) {
    if (!request.memoryCheck || memoryCheckDisabled()) return kExitOk;
    const RunShape shape = requestShape(request, series);
    const MemoryNeed need = denoiseRunNeed(shape);
    const MemoryLimits limits = probeMemoryLimits();
    const MemoryVerdict verdict = checkMemory(need, limits);
    if (verdict.fits) return kExitOk;
    char figures[512];
    describeShortfall(need, limits, verdict, figures, sizeof figures);
    std::string help = remedy(shape, limits, "--workers ");
    if (help.empty()) help = "fewer workers would not be enough";
    std::fprintf(stderr,
                 "tamrin: not enough memory to denoise %s: %s\n"
                 "tamrin: %s; --no-memory-check (or TAMRIN_NO_MEMORY_CHECK=1) runs it anyway\n",
                 request.input.c_str(), figures, help.c_str());
    return kExitFailed;
}

MemoryFit memoryFitOf(const nifti_image* image, const std::string& path, const int32_t extents[4], int32_t workers,
                      int32_t slabs, bool mask) {
    const RunShape shape = runShapeOf(image, path, extents, workers, false, mask, slabs);
    MemoryFit fit;
    fit.need = denoiseRunNeed(shape);
    fit.limits = probeMemoryLimits();
    char text[512];
    describeLimits(fit.limits, text, sizeof text);
    fit.limitsText = text;
    fit.verdict = checkMemory(fit.need, fit.limits);
    if (fit.limits.probed && !fit.verdict.fits) {
        describeShortfall(fit.need, fit.limits, fit.verdict, text, sizeof text);
        fit.shortfall = text;
        fit.remedy = remedy(shape, fit.limits, "--workers ");
    }
    return fit;
}

void printMemoryFit(const MemoryFit& fit) {
    const std::string mapped = fit.need.mappedBytes > 0
                                   ? ", and " + bytesText(fit.need.mappedBytes) + " of the file mapped"
                                   : std::string();
    if (!fit.limits.probed) {
        std::printf("fits:         not known (%s needed%s)\n", bytesText(fit.need.privateBytes).c_str(),
                    mapped.c_str());
        return;
    }
    if (fit.verdict.fits) {
        std::printf("fits:         yes (%s needed%s)\n", bytesText(fit.need.privateBytes).c_str(), mapped.c_str());
        return;
    }
    std::printf("fits:         no: %s%s\n", fit.shortfall.c_str(), fit.remedy.empty() ? "" : ("; " + fit.remedy).c_str());
}

}  // namespace tamrin
