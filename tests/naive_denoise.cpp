// SPDX-License-Identifier: BSD-3-Clause
#include "naive_denoise.h"

#include <algorithm>

#include "linalg/pca.h"
#include "patch/noise.h"
#include "tamrin/denoise.h"

namespace tamrin_test {

NaiveResult naiveDenoise(const Series& s, int32_t slabs, const uint8_t* mask) {
    const int32_t side = tamrin::patchSide(s.N), M = side * side * side, N = s.N;
    const int64_t X = s.X, Y = s.Y, Z = s.Z, voxels = s.voxels();
    const int64_t extents[3] = {X, Y, Z};
    const int32_t axis = tamrin::partitionAxis(s.X, s.Y, s.Z);
    const int32_t E = static_cast<int32_t>(extents[axis]);
    const int32_t g = std::max(1, tamrin::workerCount(slabs, E, side));
    const double correction = tamrin::noiseCorrection(M, N);

    NaiveResult r{std::vector<double>(s.data.size()), std::vector<double>(voxels), std::vector<double>(voxels),
                  std::vector<double>(voxels)};
    std::vector<double> patch(static_cast<std::size_t>(M) * N), U(patch.size()), w(N), V(N * N), means(N);
    // One band per slab: the whole grid's size, for simplicity.
    std::vector<NaiveResult> bands(g);
    auto cell = [&](int64_t x, int64_t y, int64_t z) { return x + X * (y + Y * z); };
    for (int32_t i = 0; i < g; i++) {
        NaiveResult& band = bands[i];
        band = NaiveResult{std::vector<double>(s.data.size()), std::vector<double>(voxels),
                           std::vector<double>(voxels), std::vector<double>(voxels)};
        int32_t start = 0, end = 0;
        tamrin::sliceRange(E - side + 1, i, g, &start, &end);
        int64_t from[3] = {0, 0, 0}, to[3] = {X - side + 1, Y - side + 1, Z - side + 1};
        from[axis] = start;
        to[axis] = end;
        for (int64_t z0 = from[2]; z0 < to[2]; z0++)
            for (int64_t y0 = from[1]; y0 < to[1]; y0++)
                for (int64_t x0 = from[0]; x0 < to[0]; x0++) {
                    bool inside = mask == nullptr;
                    double total = 0.0;
                    std::size_t p = 0;
                    for (int64_t v = 0; v < N; v++)
                        for (int64_t dz = 0; dz < side; dz++)
                            for (int64_t dy = 0; dy < side; dy++)
                                for (int64_t dx = 0; dx < side; dx++) {
                                    const int64_t k = cell(x0 + dx, y0 + dy, z0 + dz);
                                    inside = inside || mask[k] != 0;
                                    patch[p] = s.data[k + voxels * v];
                                    total = total + patch[p++];
                                }
                    if (total == 0.0 || !inside) continue;
                    tamrin::centerAndDecompose(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
                    const double sigma = tamrin::estimateNoise(w.data(), N, M, correction);
                    int32_t kept = 0;
                    const double weight = tamrin::selectComponents(w.data(), N, M, sigma, &kept);
                    tamrin::rebuildPatch(patch.data(), U.data(), w.data(), V.data(), means.data(), M, N);
                    p = 0;
                    for (int64_t v = 0; v < N; v++)
                        for (int64_t dz = 0; dz < side; dz++)
                            for (int64_t dy = 0; dy < side; dy++)
                                for (int64_t dx = 0; dx < side; dx++) {
                                    const int64_t at[3] = {x0 + dx, y0 + dy, z0 + dz};
                                    const int64_t k = cell(at[0], at[1], at[2]);
                                    // Past the slab's own positions (but for the last
                                    // slab), the contribution waits in its band.
                                    NaiveResult& into = i < g - 1 && at[axis] >= end ? band : r;
                                    into.denoised[k + voxels * v] += weight * patch[p++];
                                    if (v != 0) continue;
                                    into.noise[k] += weight * sigma;
                                    into.weight[k] += weight;
                                    into.rank[k] += weight * kept;
                                }
                }
    }
    for (int32_t i = 0; i < g; i++) {
        int32_t start = 0, end = 0;
        tamrin::sliceRange(E - side + 1, i, g, &start, &end);
        for (int64_t k = 0; k < voxels; k++) {
            const int64_t at[3] = {k % X, k / X % Y, k / (X * Y)};
            if (i == g - 1 || at[axis] < end || at[axis] >= end + side - 1) continue;
            r.noise[k] += bands[i].noise[k];
            r.weight[k] += bands[i].weight[k];
            r.rank[k] += bands[i].rank[k];
            for (int64_t v = 0; v < N; v++) r.denoised[k + voxels * v] += bands[i].denoised[k + voxels * v];
        }
    }
    for (int64_t k = 0; k < voxels; k++) {
        if (mask == nullptr || mask[k] != 0) continue;
        r.noise[k] = r.weight[k] = r.rank[k] = 0.0;
        for (int64_t v = 0; v < N; v++) r.denoised[k + voxels * v] = 0.0;
    }
    for (int64_t k = 0; k < voxels; k++) {
        r.noise[k] = r.noise[k] / r.weight[k];
        r.rank[k] = r.rank[k] / r.weight[k];
        for (int64_t v = 0; v < N; v++) r.denoised[k + voxels * v] = r.denoised[k + voxels * v] / r.weight[k];
    }
    return r;
}

}  // namespace tamrin_test
