// SPDX-License-Identifier: BSD-3-Clause
// tamrin-make-phantom: writes a synthetic diffusion series and its noise-free
// truth as float32 NIfTI files, for the demo, the benchmarks and the tests.
//
//   tamrin-make-phantom TRUTH NOISY [--size XxYxZxN] [--sigma S] [--seed K]
//                       [--noise-everywhere] [--mask MASK]
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "command_line.h"
#include "nifti_io.h"
#include "phantom/phantom.h"

namespace {

struct Settings {
    std::string truthFile, noisyFile, maskFile;
    int X = 96, Y = 96, Z = 40, N = 30;
    double sigma = 20.0;
    uint64_t seed = 1;
    bool everywhere = false;
};

using Image = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;

int fail(const std::string& message) {
    std::fprintf(stderr, "tamrin-make-phantom: %s\n", message.c_str());
    return 1;
}

CLI::Validator accepting(const char* what, bool (*valid)(const std::string&), const char* expected) {
    return CLI::Validator(
        [valid, expected](std::string& text) {
            return valid(text) ? std::string() : std::string("needs ") + expected + ", not " + text;
        },
        "", what);
}

bool isNoiseLevel(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value) && value >= 0.0;
}

bool isSeed(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

void declare(CLI::App* app, Settings* settings) {
    app->add_option("TRUTH", settings->truthFile, "the noise-free series (.nii or .nii.gz)")
        ->required()
        ->check(tamrin::niftiName());
    app->add_option("NOISY", settings->noisyFile, "the noisy series (.nii or .nii.gz)")
        ->required()
        ->check(tamrin::niftiName());
    app->add_option_function<std::string>(
           "--size",
           [settings](const std::string& text) {
               std::sscanf(text.c_str(), "%dx%dx%dx%d", &settings->X, &settings->Y, &settings->Z, &settings->N);
           },
           "extents and volumes (default 96x96x40x30)")
        ->type_name("XxYxZxN")
        ->check(accepting(
            "size",
            [](const std::string& text) {
                int x = 0, y = 0, z = 0, n = 0;
                char end = 0;
                return std::sscanf(text.c_str(), "%dx%dx%dx%d%c", &x, &y, &z, &n, &end) == 4 && x >= 1 && y >= 1 &&
                       z >= 1 && n >= 2;
            },
            "XxYxZxN with positive extents and N >= 2"));
    app->add_option("--sigma", settings->sigma, "the noise level (default 20)")
        ->type_name("S")
        ->check(accepting("noise level", isNoiseLevel, "a finite number of at least 0"));
    app->add_option("--seed", settings->seed, "seed of the noise (default 1)")
        ->type_name("K")
        ->check(accepting("seed", isSeed, "a whole number from 0 to 2^64 - 1"));
    app->add_flag("--noise-everywhere", settings->everywhere,
                  "NOISY is a magnitude image instead: noise of standard\n"
                  "deviation S in the real and the imaginary channel of\n"
                  "every voxel, background included (no exact zeros)");
    app->add_option("--mask", settings->maskFile,
                    "also write the head's mask: a 3-D uint8 image, 1 inside\n"
                    "the head (where TRUTH is not 0), 0 outside")
        ->type_name("MASK")
        ->check(tamrin::niftiName());
}

// The files' header: 2 mm voxels, the grid centred on the scanner origin, in
// qform and sform, and a description naming the noise.
Image phantomHeader(const Settings& s) {
    const int64_t dims[8] = {4, s.X, s.Y, s.Z, s.N, 1, 1, 1};
    Image like(nifti_make_new_nim(dims, DT_FLOAT32, 0), nifti_image_free);
    if (!like) return like;
    like->dx = like->dy = like->dz = like->pixdim[1] = like->pixdim[2] = like->pixdim[3] = 2.0;
    like->dt = like->pixdim[4] = 3.0;
    like->xyz_units = NIFTI_UNITS_MM;
    like->time_units = NIFTI_UNITS_SEC;
    like->qform_code = like->sform_code = NIFTI_XFORM_SCANNER_ANAT;
    like->quatern_b = like->quatern_c = like->quatern_d = 0.0;
    like->qfac = 1.0;
    like->qoffset_x = -(s.X - 1) * 1.0;
    like->qoffset_y = -(s.Y - 1) * 1.0;
    like->qoffset_z = -(s.Z - 1) * 1.0;
    like->qto_xyz = nifti_quatern_to_dmat44(0, 0, 0, like->qoffset_x, like->qoffset_y, like->qoffset_z, 2, 2, 2, 1);
    like->sto_xyz = like->qto_xyz;
    std::snprintf(like->descrip, sizeof(like->descrip), "synthetic diffusion series, sigma %g, seed %llu%s", s.sigma,
                  static_cast<unsigned long long>(s.seed), s.everywhere ? ", magnitude" : "");
    return like;
}

int writeSeries(const nifti_image* like, const std::vector<double>& values, const std::string& path) {
    const int64_t extents[4] = {like->nx, like->ny, like->nz, like->nt};
    Image image(tamrin::makeImageLike(like, extents, 4, DT_FLOAT32, values.data(), false), nifti_image_free);
    if (!image) return fail("not enough memory");
    std::string error;
    if (!tamrin::writeNiftiFile(image.get(), path, &error)) return fail(path + ": " + error);
    return 0;
}

// The head's mask: 1 where the truth's first volume is not 0.
int writeMask(const nifti_image* like, const std::vector<double>& truth, const std::string& path) {
    const int64_t extents[3] = {like->nx, like->ny, like->nz};
    Image image(tamrin::makeImageLike(like, extents, 3, DT_UINT8, nullptr, false), nifti_image_free);
    const std::size_t voxels = static_cast<std::size_t>(like->nx * like->ny * like->nz);
    if (image) image->data = std::malloc(voxels);
    if (!image || image->data == nullptr) return fail("not enough memory");
    uint8_t* inside = static_cast<uint8_t*>(image->data);
    for (std::size_t k = 0; k < voxels; k++) inside[k] = truth[k] != 0.0 ? 1 : 0;
    std::string error;
    if (!tamrin::writeNiftiFile(image.get(), path, &error)) return fail(path + ": " + error);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(
        "Writes a brain-like diffusion series of X x Y x Z voxels and N volumes to\n"
        "TRUTH without noise and to NOISY with Gaussian noise of standard deviation S\n"
        "inside the head; outside it both are exactly 0. Voxels are 2 mm; the same\n"
        "arguments always give the same files. MASK, when asked for, marks the head.",
        "tamrin-make-phantom");
    auto format = std::make_shared<tamrin::HelpFormat>();
    format->column_width(24);
    app.formatter(format);
    app.option_defaults()->group("options");
    app.set_help_flag("-h,--help", "this text");
    Settings settings;
    declare(&app, &settings);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        return fail(std::string(error.what()) + " (see --help)");
    }

    std::vector<double> truth, noisy;
    tamrin::makePhantom(settings.X, settings.Y, settings.Z, settings.N, &truth);
    if (settings.everywhere)
        tamrin::addMagnitudeNoise(truth, settings.sigma, settings.seed, &noisy);
    else
        tamrin::addNoise(truth, settings.sigma, settings.seed, &noisy);
    const Image like = phantomHeader(settings);
    if (!like) return fail("not enough memory");
    if (const int status = writeSeries(like.get(), truth, settings.truthFile)) return status;
    if (!settings.maskFile.empty())
        if (const int status = writeMask(like.get(), truth, settings.maskFile)) return status;
    return writeSeries(like.get(), noisy, settings.noisyFile);
}
