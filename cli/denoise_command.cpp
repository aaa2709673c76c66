// tamrin denoise: reads a series, checks that it can be denoised, runs the
// denoiser with a progress line, fills the voxels no patch covered and writes
// the results. Outputs are created empty under temporary names before the
// work starts, so that an unwritable folder is reported at once, and renamed
// into place only when both are complete.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "commands.h"
#include "nifti_io.h"
#include "output_file.h"
#include "progress.h"
#include "tamrin/denoise.h"
#include "tamrin/noise.h"

namespace tamrin {
namespace {

using ImagePointer = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;

ImagePointer owned(nifti_image* image) { return ImagePointer(image, nifti_image_free); }

// Removes the temporaries still present when a run ends early.
struct Temporaries {
    std::vector<std::string> names;
    ~Temporaries() {
        for (const std::string& name : names)
            if (!name.empty()) removeTemporary(name);
    }
};

int report(int status, const std::string& message) {
    std::fprintf(stderr, "tamrin: %s\n", message.c_str());
    return status;
}

bool exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

bool isFolder(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Writes `values` (with `like`'s geometry) to the temporary.
bool writeResult(const nifti_image* like, const int64_t* extents, int dimensions, int datatype, const double* values,
                 bool copyExtensions, const std::string& temporary, std::string* error) {
    ImagePointer image = owned(makeImageLike(like, extents, dimensions, datatype, nullptr, copyExtensions));
    if (!image) {
        *error = "not enough memory to convert the result for writing";
        return false;
    }
    return writeNiftiFile(image.get(), temporary, error, values);
}

// Number of values that are NaN or infinite.
template <typename T>
int64_t countNonFinite(const T* values, int64_t count) {
    int64_t nonFinite = 0;
    for (int64_t i = 0; i < count; i++) nonFinite += std::isfinite(values[i]) ? 0 : 1;
    return nonFinite;
}

// Replaces the values that are not finite (voxels no patch covered, and
// covered voxels whose estimate broke down) as `uncovered` says: the noise
// level by 0, the series by the input's value or 0; kUncoveredNan keeps them.
// Returns the number of covered voxels (weight not 0) with a value that was
// not finite. Walks each volume in memory order.
template <typename T>
int64_t fillUncovered(double* denoised, double* noise, const double* weight, const T* input, int64_t voxels,
                      int64_t N, int uncovered) {
    const bool replace = uncovered != kUncoveredNan, fromInput = uncovered == kUncoveredInput;
    std::vector<uint8_t> bad(static_cast<std::size_t>(voxels));
    for (int64_t k = 0; k < voxels; k++) {
        const bool finite = std::isfinite(noise[k]);
        bad[k] = !finite;
        if (!finite && replace) noise[k] = 0.0;
    }
    for (int64_t v = 0; v < N; v++) {
        double* values = denoised + voxels * v;
        const T* original = input + voxels * v;
        for (int64_t k = 0; k < voxels; k++) {
            if (std::isfinite(values[k])) continue;
            bad[k] = 1;
            if (replace) values[k] = fromInput ? static_cast<double>(original[k]) : 0.0;
        }
    }
    int64_t broken = 0;
    for (int64_t k = 0; k < voxels; k++) broken += bad[k] != 0 && weight[k] != 0.0;
    return broken;
}

}  // namespace

bool checkPatchFits(const int32_t extents[4], const std::string& path, std::string* error) {
    const int32_t side = patchSide(extents[3]);
    for (int axis = 0; axis < 3; axis++)
        if (extents[axis] < side) {
            *error = path + ": the series is thinner than a patch along " + "xyz"[axis] + " (" +
                     std::to_string(extents[axis]) + " voxels; a series of " + std::to_string(extents[3]) +
                     " volumes uses patches of side " + std::to_string(side) + ")";
            return false;
        }
    return true;
}

int runDenoise(const DenoiseRequest& request) {
    std::string error;
    const bool interactive = !request.quiet && ::isatty(STDERR_FILENO);

    if (!checkReadableFile(request.input, &error)) return report(kExitFile, error);
    std::vector<std::string> targets{request.output};
    if (!request.noiseMap.empty()) targets.push_back(request.noiseMap);
    for (const std::string& target : targets) {
        if (isFolder(target)) return report(kExitFile, target + ": is a folder; expected a .nii or .nii.gz file name");
        if (exists(target) && !request.force)
            return report(kExitFile, target + ": already exists (add --force to replace it)");
    }
    Temporaries temporaries;
    for (const std::string& target : targets) {
        temporaries.names.emplace_back();
        if (!createTemporary(target, &temporaries.names.back(), &error)) return report(kExitFile, error);
    }

    if (interactive) std::fprintf(stderr, "reading %s\n", request.input.c_str());
    ImagePointer image = owned(readNiftiHeader(request.input, &error));
    if (!image) return report(kExitFile, error);
    int32_t extents[4];
    if (!seriesExtents(image.get(), request.input, extents, &error)) return report(kExitFile, error);
    if (!isSupportedDatatype(image->datatype))
        return report(kExitFile, request.input + ": voxel type " + nifti_datatype_string(image->datatype) +
                                     " is not supported (expected real integer or floating values)");
    if (!checkPatchFits(extents, request.input, &error)) return report(kExitFile, error);
    const int32_t X = extents[0], Y = extents[1], Z = extents[2], N = extents[3];
    const int64_t voxels = int64_t{X} * Y * Z, elements = voxels * N;

    std::vector<double> input, noise, weight;
    MappedData mapped;
    const float* singles = nullptr;  // the stored values, when used as they are
    // Not zero-filled here: the denoiser zeroes its sums itself.
    std::unique_ptr<double[]> denoised;
    try {
        // 32-bit floats without scaling are denoised as they are, where they
        // lie in the file when it can be mapped; anything else is loaded and
        // converted to doubles first.
        if (valuesUsedAsRead(image.get()) && mapNiftiData(image.get(), request.input, &mapped))
            singles = static_cast<const float*>(mapped.data);
        if (singles == nullptr) {
            if (!loadNiftiData(image.get(), request.input, &error)) return report(kExitFile, error);
            singles = unscaledSingles(image.get());
        }
        if (singles == nullptr) {
            if (!imageToDoubles(image.get(), &input, &error)) return report(kExitFile, error);
            nifti_image_unload(image.get());
        }
        const int64_t nonFinite =
            singles != nullptr ? countNonFinite(singles, elements) : countNonFinite(input.data(), elements);
        if (nonFinite > 0)
            return report(kExitFile, request.input + ": " + groupDigits(nonFinite) +
                                         " values are NaN or infinite; the denoiser needs finite values "
                                         "(replace them, for example with 0)");
        denoised.reset(new double[static_cast<std::size_t>(elements)]);
        noise.resize(static_cast<std::size_t>(voxels));
        weight.resize(static_cast<std::size_t>(voxels));
    } catch (const std::bad_alloc&) {
        return report(kExitFailed, "not enough memory to denoise " + request.input + " (about " +
                                       formatBytes(peakMemoryBytes(X, Y, Z, N, request.workers, image->nbyper,
                                                                   valuesUsedAsRead(image.get()),
                                                                   request.datatype == DT_FLOAT64 ? 8 : 4)) +
                                       " needed; see tamrin info)");
    }

    const auto start = std::chrono::steady_clock::now();
    std::FILE* progress = interactive ? stderr : nullptr;
    const int32_t status =
        singles != nullptr
            ? denoiseWithProgress(singles, X, Y, Z, N, request.workers, denoised.get(), noise.data(), weight.data(),
                                  progress)
            : denoiseWithProgress(input.data(), X, Y, Z, N, request.workers, denoised.get(), noise.data(),
                                  weight.data(), progress);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != kDenoiseOk)
        return report(kExitFailed, std::string("denoising failed: ") + denoiseStatusMessage(status));

    // Voxels no patch covered have weight 0 and came out as 0 / 0. Covered
    // voxels can also come out NaN, when the decomposition of a patch over
    // them broke down; they have no usable estimate either and get the same
    // replacement, with a warning.
    // With --uncovered nan the values stay exactly as the denoiser left them.
    const int64_t broken =
        singles != nullptr
            ? fillUncovered(denoised.get(), noise.data(), weight.data(), singles, voxels, N, request.uncovered)
            : fillUncovered(denoised.get(), noise.data(), weight.data(), input.data(), voxels, N, request.uncovered);
    if (broken > 0)
        std::fprintf(stderr,
                     "tamrin: warning: %s voxels covered by patches have no estimate (the decomposition of a patch "
                     "over them gave NaN); they received %s\n",
                     groupDigits(broken).c_str(),
                     request.uncovered == kUncoveredInput  ? "the input's values"
                     : request.uncovered == kUncoveredZero ? "0"
                                                           : "NaN");
    std::vector<double>().swap(input);
    std::vector<double>().swap(weight);
    nifti_image_unload(image.get());
    mapped.reset();

    // With --force, outputs being replaced are removed now that the results
    // are ready: their disk space and cached pages go to the new files.
    if (request.force)
        for (const std::string& target : targets)
            if (!isFolder(target)) ::unlink(target.c_str());

    const int64_t seriesExtents4[4] = {X, Y, Z, N};
    if (interactive) std::fprintf(stderr, "writing %s\n", request.output.c_str());
    if (!writeResult(image.get(), seriesExtents4, 4, request.datatype, denoised.get(), true, temporaries.names[0],
                     &error))
        return report(kExitFile, request.output + ": " + error);
    if (!request.noiseMap.empty() && !writeResult(image.get(), seriesExtents4, 3, request.datatype, noise.data(), false,
                                                  temporaries.names[1], &error))
        return report(kExitFile, request.noiseMap + ": " + error);
    for (std::size_t i = 0; i < targets.size(); i++) {
        if (!renameTemporary(temporaries.names[i], targets[i], &error)) return report(kExitFile, error);
        temporaries.names[i].clear();
    }
    if (interactive) {
        const int64_t patches = patchPositions(X, Y, Z, N);
        std::fprintf(stderr, "done: %s patches in %.1f s (%s patches/s)\n", groupDigits(patches).c_str(), seconds,
                     groupDigits(static_cast<int64_t>(patches / (seconds > 0 ? seconds : 1e-9))).c_str());
    }
    return kExitOk;
}

}  // namespace tamrin
