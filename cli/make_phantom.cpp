// tamrin-make-phantom: writes a synthetic diffusion series and its noise-free
// truth as float32 NIfTI files, for the demo and the tests.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nifti_io.h"
#include "phantom.h"

namespace {

const char kUsage[] = R"(usage: tamrin-make-phantom [--size XxYxZxN] [--sigma S] [--seed K] [--noise-everywhere]
                           TRUTH NOISY

Writes a brain-like diffusion series of X x Y x Z voxels and N volumes
(default 96x96x40x30) to TRUTH without noise and to NOISY with Gaussian noise
of standard deviation S (default 20) inside the head; outside it both are
exactly 0. Voxels are 2 mm; the same arguments always give the same files.

--noise-everywhere  NOISY is a magnitude image instead: noise of standard
                    deviation S in the real and the imaginary channel of every
                    voxel, background included (no exact zeros).
)";

int fail(const std::string& message) {
    std::fprintf(stderr, "tamrin-make-phantom: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int X = 96, Y = 96, Z = 40, N = 30;
    double sigma = 20.0;
    unsigned long long seed = 1;
    bool everywhere = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--size" && hasValue) {
            if (std::sscanf(argv[++i], "%dx%dx%dx%d", &X, &Y, &Z, &N) != 4 || X < 1 || Y < 1 || Z < 1 || N < 2)
                return fail("--size needs XxYxZxN with positive extents and N >= 2");
        } else if (arg == "--sigma" && hasValue) {
            sigma = std::atof(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--noise-everywhere") {
            everywhere = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return fail("unknown option or missing value: " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) return fail("expected two output files, TRUTH and NOISY (see --help)");

    std::vector<double> truth, noisy;
    tamrin::makePhantom(X, Y, Z, N, &truth);
    if (everywhere)
        tamrin::addMagnitudeNoise(truth, sigma, seed, &noisy);
    else
        tamrin::addNoise(truth, sigma, seed, &noisy);

    // 2 mm voxels, the grid centred on the scanner origin, in qform and sform.
    const int64_t dims[8] = {4, X, Y, Z, N, 1, 1, 1};
    std::unique_ptr<nifti_image, void (*)(nifti_image*)> like(nifti_make_new_nim(dims, DT_FLOAT32, 0),
                                                              nifti_image_free);
    like->dx = like->dy = like->dz = like->pixdim[1] = like->pixdim[2] = like->pixdim[3] = 2.0;
    like->dt = like->pixdim[4] = 3.0;
    like->xyz_units = NIFTI_UNITS_MM;
    like->time_units = NIFTI_UNITS_SEC;
    like->qform_code = like->sform_code = NIFTI_XFORM_SCANNER_ANAT;
    like->quatern_b = like->quatern_c = like->quatern_d = 0.0;
    like->qfac = 1.0;
    like->qoffset_x = -(X - 1) * 1.0;
    like->qoffset_y = -(Y - 1) * 1.0;
    like->qoffset_z = -(Z - 1) * 1.0;
    like->qto_xyz = nifti_quatern_to_dmat44(0, 0, 0, like->qoffset_x, like->qoffset_y, like->qoffset_z, 2, 2, 2, 1);
    like->sto_xyz = like->qto_xyz;
    std::snprintf(like->descrip, sizeof(like->descrip), "synthetic diffusion series, sigma %g, seed %llu%s", sigma, seed,
                  everywhere ? ", magnitude" : "");

    const int64_t extents[4] = {X, Y, Z, N};
    const std::vector<double>* values[2] = {&truth, &noisy};
    for (int i = 0; i < 2; i++) {
        std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(
            tamrin::makeImageLike(like.get(), extents, 4, DT_FLOAT32, values[i]->data(), false), nifti_image_free);
        std::string error;
        if (!image) return fail("not enough memory");
        if (!tamrin::hasNiftiExtension(files[i]) || !tamrin::writeNiftiFile(image.get(), files[i], &error))
            return fail(files[i] + ": " + (error.empty() ? "expected a .nii or .nii.gz name" : error));
    }
    return 0;
}
