// SPDX-License-Identifier: BSD-3-Clause
// Synthetic diffusion series. Each voxel mixes four tissues with smooth
// (logistic) boundaries: an outer layer, folded grey matter, anisotropic white
// matter whose fibres circle the vertical axis, and two fluid-filled cavities.
// Signal per tissue: S0 * exp(-b * g'Dg) with an isotropic or a cylindrical
// diffusion tensor D, times a smooth receive-coil shading.
#include "phantom/phantom.h"

#include <cmath>
#include <random>

namespace tamrin {
namespace {

struct Tissue {
    double s0;        // unweighted signal
    double parallel;  // diffusivity along the fibre, mm^2/s
    double perpendicular;
};

const Tissue kOuter{260.0, 1.0e-3, 1.0e-3};
const Tissue kGrey{700.0, 0.8e-3, 0.8e-3};
const Tissue kWhite{560.0, 1.7e-3, 0.35e-3};
const Tissue kFluid{1400.0, 3.0e-3, 3.0e-3};
constexpr double kPi = 3.14159265358979323846;

double inside(double distance, double width) { return 1.0 / (1.0 + std::exp(distance / width)); }

double signal(const Tissue& t, double b, double cosine) {
    const double d = t.perpendicular + (t.parallel - t.perpendicular) * cosine * cosine;
    return t.s0 * std::exp(-b * d);
}

}  // namespace

void makePhantom(int32_t X, int32_t Y, int32_t Z, int32_t N, std::vector<double>* truth) {
    const int64_t voxels = int64_t{X} * Y * Z;
    truth->assign(static_cast<std::size_t>(voxels * N), 0.0);

    // Gradient directions: a golden-angle spiral over the upper hemisphere.
    std::vector<double> gx(N), gy(N), gz(N), b(N);
    for (int32_t v = 0, k = 0; v < N; v++) {
        b[v] = v % 10 == 0 ? 0.0 : 1000.0;
        if (b[v] == 0.0) continue;
        const int32_t weighted = N - 1 - (N - 1) / 10;
        const double z = 1.0 - (k + 0.5) / weighted, rho = std::sqrt(1.0 - z * z),
                     phi = k * kPi * (3.0 - std::sqrt(5.0));
        gx[v] = rho * std::cos(phi);
        gy[v] = rho * std::sin(phi);
        gz[v] = z;
        k++;
    }

    for (int32_t z = 0; z < Z; z++)
        for (int32_t y = 0; y < Y; y++)
            for (int32_t x = 0; x < X; x++) {
                const double u = (x + 0.5 - 0.5 * X) / (0.45 * X), w = (y + 0.5 - 0.5 * Y) / (0.47 * Y),
                             h = (z + 0.5 - 0.5 * Z) / (0.44 * Z);
                const double r = std::sqrt(u * u + w * w + h * h);
                if (r >= 1.0) continue;  // background: exactly 0
                const double theta = std::atan2(w, u), elevation = std::asin(h / (r + 1e-12));
                const double greyEdge = 0.70 + 0.05 * std::sin(7.0 * theta) * std::cos(5.0 * elevation);
                const double outer = 1.0 - inside(r - 0.88, 0.02);
                const double grey = (1.0 - inside(r - greyEdge, 0.025)) * (1.0 - outer);
                double fluid = 0.0;
                for (double side : {-1.0, 1.0}) {
                    const double cu = (u - 0.17 * side) / 0.09, cw = (w - 0.05) / 0.26, ch = (h - 0.05) / 0.14;
                    fluid += inside(std::sqrt(cu * cu + cw * cw + ch * ch) - 1.0, 0.12);
                }
                const double keep = 1.0 - fluid;
                const double white = (1.0 - outer - grey) * keep;
                // Fibres circle the vertical axis, tilted slightly upward.
                double fx = -w, fy = u, fz = 0.15;
                const double norm = std::sqrt(fx * fx + fy * fy + fz * fz);
                fx /= norm, fy /= norm, fz /= norm;
                const double shading = 1.0 + 0.15 * u - 0.10 * w + 0.05 * h;
                const int64_t k = x + int64_t{X} * (y + int64_t{Y} * z);
                for (int32_t v = 0; v < N; v++) {
                    const double cosine = fx * gx[v] + fy * gy[v] + fz * gz[v];
                    const double s = outer * keep * signal(kOuter, b[v], 0.0) + grey * keep * signal(kGrey, b[v], 0.0) +
                                     white * signal(kWhite, b[v], cosine) + fluid * signal(kFluid, b[v], 0.0);
                    (*truth)[static_cast<std::size_t>(k + voxels * v)] = shading * s;
                }
            }
}

void addNoise(const std::vector<double>& truth, double sigma, uint64_t seed, std::vector<double>* noisy) {
    // Box-Muller on mt19937_64, whose sequence the C++ standard fixes, so the values are the same
    // with every standard library.
    std::mt19937_64 generator(seed);
    auto uniform = [&] { return (static_cast<double>(generator() >> 11) + 0.5) * (1.0 / 9007199254740992.0); };
    noisy->resize(truth.size());
    for (std::size_t i = 0; i < truth.size(); i += 2) {
        const double radius = sigma * std::sqrt(-2.0 * std::log(uniform())), angle = 2.0 * kPi * uniform();
        (*noisy)[i] = truth[i] != 0.0 ? truth[i] + radius * std::cos(angle) : 0.0;
        if (i + 1 < truth.size()) (*noisy)[i + 1] = truth[i + 1] != 0.0 ? truth[i + 1] + radius * std::sin(angle) : 0.0;
    }
}

void addMagnitudeNoise(const std::vector<double>& truth, double sigma, uint64_t seed, std::vector<double>* noisy) {
    // One Box-Muller pair per value: the real and the imaginary channel.
    std::mt19937_64 generator(seed);
    auto uniform = [&] { return (static_cast<double>(generator() >> 11) + 0.5) * (1.0 / 9007199254740992.0); };
    noisy->resize(truth.size());
    for (std::size_t i = 0; i < truth.size(); i++) {
        const double radius = sigma * std::sqrt(-2.0 * std::log(uniform())), angle = 2.0 * kPi * uniform();
        (*noisy)[i] = std::hypot(truth[i] + radius * std::cos(angle), radius * std::sin(angle));
    }
}

}  // namespace tamrin
