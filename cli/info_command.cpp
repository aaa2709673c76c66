// SPDX-License-Identifier: BSD-3-Clause
// tamrin info: what a series is and what denoising it takes, as text or as
// one JSON object (--json).
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "commands.h"
#include "mask_file.h"
#include "memory_fit.h"
#include "nifti_io.h"
#include "progress.h"
#include "run_report.h"
#include "driver/shared_slabs.h"
#include "tamrin/denoise.h"

namespace tamrin {

std::string formatBytes(int64_t bytes) {
    char text[32];
    formatByteCount(bytes, text, sizeof text);
    return text;
}

int64_t peakMemoryBytes(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers, int storedBytes, bool asRead,
                        int32_t slabs) {
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

using Json = nlohmann::ordered_json;  // keys in the order they are written

// What tamrin info tells about a series, gathered once and then printed as
// text or as JSON.
struct SeriesFacts {
    std::string path;
    int niftiVersion = 1;
    bool compressed = false;
    int32_t extents[4] = {0, 0, 0, 0};
    int datatype = 0;
    bool scaled = false;
    double slope = 0.0, inter = 0.0;
    double voxelSize[3] = {0.0, 0.0, 0.0};
    std::string units, description;
    int32_t side = 0, patchVoxels = 0;
    std::string thinner;  // why no patch fits, when the series is thinner than a patch
    int64_t positions = 0;
    int32_t workers = 0, workersRequested = 0, slabs = 0, slabsRequested = 0;
    // The run's memory, whatever its outputs, and whether it fits.
    int64_t memory = 0;
    MemoryFit fit;
    // With a mask: its voxels inside and the patch positions that reach
    // them (-1: not enough memory to count).
    std::string mask;
    int64_t inside = 0, reached = -1;
};

// The mask's facts; false with the message when it cannot be read.
bool readMaskFacts(SeriesFacts* facts, std::string* error) {
    SeriesFile series;
    std::vector<uint8_t> mask;
    if (!openSeries(facts->path, &series, error) || !readMask(facts->mask, series, &mask, error)) return false;
    const int32_t* e = series.extents;
    facts->inside = 0;
    for (uint8_t m : mask) facts->inside += m;
    facts->reached = maskedPatchPositions(mask.data(), e[0], e[1], e[2], e[3]);
    return true;
}

void printText(const SeriesFacts& f) {
    const int32_t* e = f.extents;
    std::printf("file:         %s (NIfTI-%d%s)\n", f.path.c_str(), f.niftiVersion, f.compressed ? ", gzip-compressed" : "");
    std::printf("dimensions:   %d x %d x %d voxels, %d volumes\n", e[0], e[1], e[2], e[3]);
    std::printf("datatype:     %s%s\n", nifti_datatype_string(f.datatype),
                isSupportedDatatype(f.datatype) ? "" : " (not supported: tamrin denoise needs real values)");
    if (f.scaled) std::printf("scaling:      value * %g + %g\n", f.slope, f.inter);
    std::printf("voxel size:   %g x %g x %g %s\n", f.voxelSize[0], f.voxelSize[1], f.voxelSize[2], f.units.c_str());
    if (!f.description.empty()) std::printf("description:  %s\n", f.description.c_str());
    std::printf("patch:        side %d (%d voxels x %d volumes)\n", f.side, f.patchVoxels, e[3]);
    if (!f.thinner.empty()) {
        std::printf("patches:      none: %s\n", f.thinner.c_str());
        return;
    }
    std::printf("patches:      %s positions\n", groupDigits(f.positions).c_str());
    std::printf("workers:      %d threads (of %d requested: at most one per unit of work)\n", f.workers,
                f.workersRequested);
    std::printf("slabs:        %d (of %d requested: at most one per %d planes of the longest axis; the results "
                "depend on the slabs alone)\n",
                f.slabs, f.slabsRequested, f.side);
    std::printf("memory:       %s (any output; a .nii.gz is compressed from a temporary .nii beside it)\n",
                formatBytes(f.memory).c_str());
    std::printf("limits:       %s\n", f.fit.limitsText.c_str());
    printMemoryFit(f.fit);
}

void printMaskText(const SeriesFacts& f) {
    std::printf("mask:         %s voxels inside; %s of the patch positions hold one (only those are denoised)\n",
                groupDigits(f.inside).c_str(), f.reached < 0 ? "(not enough memory to count)" : groupDigits(f.reached).c_str());
}

Json limitJson(const MemoryLimit& limit, bool where) {
    if (!limit.applies) return nullptr;
    Json json = {{"limit_bytes", limit.limit}, {"used_bytes", limit.used}, {"room_bytes", limit.room}};
    if (where) json["where"] = limit.where;
    return json;
}

const char* const kLimitNames[kMemoryLimitKinds] = {"available", "cgroup", "rlimit_data", "rlimit_as"};

// Whether a run fits, for one output choice.
Json fitJson(const MemoryFit& fit) {
    const bool known = fit.limits.probed;
    const auto text = [](const std::string& s) { return s.empty() ? Json(nullptr) : Json(s); };
    return {{"needed", {{"private_bytes", fit.need.privateBytes},
                        {"reserved_bytes", fit.need.reservedBytes},
                        {"mapped_bytes", fit.need.mappedBytes}}},
            {"fits", known ? Json(fit.verdict.fits) : Json(nullptr)},
            {"binding_limit", known && !fit.verdict.fits && fit.verdict.binding >= 0
                                  ? Json(kLimitNames[fit.verdict.binding]) : Json(nullptr)},
            {"shortfall", text(fit.shortfall)},
            {"remedy", text(fit.remedy)}};
}

// The memory figures. Every output choice needs the same; the keys of each
// choice stay for the callers that read them.
Json memoryJson(const SeriesFacts& f) {
    const MemoryFit& fit = f.fit;
    Json limits = {{"probed", fit.limits.probed}, {"text", fit.limitsText}};
    for (int32_t k = 0; k < kMemoryLimitKinds; k++)
        limits[kLimitNames[k]] = fit.limits.probed ? limitJson(fit.limits.limit[k], k == kLimitCgroup) : Json(nullptr);
    const Json verdict = fitJson(fit);
    Json json = {{"bytes", f.memory}, {"float32_output_bytes", f.memory}, {"float64_output_bytes", f.memory},
                 {"nii_output_bytes", f.memory}, {"needed", verdict["needed"]}, {"limits", limits}};
    for (const char* key : {"fits", "binding_limit", "shortfall", "remedy"}) json[key] = verdict[key];
    json["nii_outputs"] = verdict;
    return json;
}

void printJson(const SeriesFacts& f) {
    const int32_t* e = f.extents;
    const bool run = f.thinner.empty();
    Json json = {{"version", TAMRIN_VERSION},
                 {"file", f.path},
                 {"nifti_version", f.niftiVersion},
                 {"compressed", f.compressed},
                 {"dimensions", {e[0], e[1], e[2], e[3]}},
                 {"datatype", nifti_datatype_string(f.datatype)},
                 {"datatype_code", f.datatype},
                 {"datatype_supported", isSupportedDatatype(f.datatype)},
                 {"scaling", f.scaled ? Json{{"slope", f.slope}, {"intercept", f.inter}} : Json(nullptr)},
                 {"voxel_size", {f.voxelSize[0], f.voxelSize[1], f.voxelSize[2]}},
                 {"voxel_units", f.units},
                 {"description", f.description},
                 {"patch", {{"side", f.side}, {"voxels", f.patchVoxels}, {"volumes", e[3]}}},
                 {"thinner_than_patch", run ? Json(nullptr) : Json(f.thinner)},
                 {"patch_positions", run ? Json(f.positions) : Json(nullptr)},
                 {"workers", run ? Json{{"used", f.workers}, {"requested", f.workersRequested}} : Json(nullptr)},
                 {"slabs", run ? Json{{"used", f.slabs}, {"requested", f.slabsRequested}} : Json(nullptr)},
                 {"memory", run ? memoryJson(f) : Json(nullptr)}};
    if (run && !f.mask.empty())
        json["mask"] = {{"file", f.mask},
                        {"voxels_inside", f.inside},
                        {"patch_positions", f.reached < 0 ? Json(nullptr) : Json(f.reached)}};
    else
        json["mask"] = nullptr;
    std::printf("%s\n", jsonText(json).c_str());
}

}  // namespace

int runInfo(const std::string& input, int32_t workers, int32_t slabs, const std::string& mask, bool json) {
    std::string error;
    if (!checkReadableFile(input, &error)) {
        std::fprintf(stderr, "tamrin: %s\n", error.c_str());
        return kExitFile;
    }
    std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(readNiftiHeader(input, &error), nifti_image_free);
    SeriesFacts f;
    int32_t* e = f.extents;
    if (!image || !seriesExtents(image.get(), input, e, &error)) {
        std::fprintf(stderr, "tamrin: %s\n", error.c_str());
        return kExitFile;
    }
    const nifti_image& h = *image;
    f.path = input;
    f.niftiVersion = h.nifti_type == NIFTI_FTYPE_NIFTI2_1 || h.nifti_type == NIFTI_FTYPE_NIFTI2_2 ? 2 : 1;
    f.compressed = nifti_is_gzfile(input.c_str()) != 0;
    f.datatype = h.datatype;
    f.scaled = h.scl_slope != 0.0;
    f.slope = h.scl_slope;
    f.inter = h.scl_inter;
    f.voxelSize[0] = h.dx;
    f.voxelSize[1] = h.dy;
    f.voxelSize[2] = h.dz;
    f.units = nifti_units_string(h.xyz_units);
    f.description.assign(h.descrip, strnlen(h.descrip, 80));
    f.side = patchSide(e[3]);
    f.patchVoxels = patchVoxels(e[3]);
    if (!checkPatchFits(e, input, &error)) {
        f.thinner = error;
    } else {
        f.positions = patchPositions(e[0], e[1], e[2], e[3]);
        f.workers = sharedThreadsUsed(e[0], e[1], e[2], e[3], workers);
        f.workersRequested = workers;
        f.slabsRequested = slabs > 0 ? slabs : workers;
        f.slabs = workersUsed(e[0], e[1], e[2], e[3], f.slabsRequested);
        const bool asRead = valuesUsedAsRead(&h);
        f.memory = peakMemoryBytes(e[0], e[1], e[2], e[3], workers, h.nbyper, asRead, slabs);
        f.fit = memoryFitOf(&h, input, e, workers, slabs, !mask.empty());
        f.mask = mask;
    }
    // Text is printed as it has always been, the mask's line last; JSON only
    // once everything is known, so that a refused mask prints no document.
    if (!json) printText(f);
    if (!f.mask.empty() && !readMaskFacts(&f, &error)) {
        std::fprintf(stderr, "tamrin: %s\n", error.c_str());
        return kExitFile;
    }
    if (!json) {
        if (!f.mask.empty()) printMaskText(f);
    } else {
        printJson(f);
    }
    return kExitOk;
}

}  // namespace tamrin
