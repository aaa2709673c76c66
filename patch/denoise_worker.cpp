// denoiseWorker: the main loop. Visits every patch start position of a job's
// box, denoises the patch there and adds the weighted result into the sums.
#include <cmath>

#include "tamrin/denoise.h"
#include "tamrin/host.h"
#include "tamrin/noise.h"
#include "tamrin/pca.h"

namespace tamrin {
namespace {

// The worker's private arrays, zero-filled from the host allocator.
struct Scratch {
    double* patch;
    double* U;
    double* V;
    double* w;
    double* means;
};

void releaseScratch(Scratch* s) {
    hostFree(s->means);
    hostFree(s->w);
    hostFree(s->V);
    hostFree(s->U);
    hostFree(s->patch);
}

bool obtainScratch(Scratch* s, int64_t M, int64_t N, int64_t K) {
    s->patch = static_cast<double*>(hostCalloc(static_cast<std::size_t>(M * N), sizeof(double)));
    s->U = static_cast<double*>(hostCalloc(static_cast<std::size_t>(K * M), sizeof(double)));
    s->V = static_cast<double*>(hostCalloc(static_cast<std::size_t>(K * N), sizeof(double)));
    s->w = static_cast<double*>(hostCalloc(static_cast<std::size_t>(K), sizeof(double)));
    s->means = static_cast<double*>(hostCalloc(static_cast<std::size_t>(N), sizeof(double)));
    if (s->patch && s->U && s->V && s->w && s->means) return true;
    releaseScratch(s);
    return false;
}

// Centres, decomposes, thresholds and rebuilds one patch in place. Returns the
// decomposition's status; sigma and weight are valid only when it is 0.
int32_t denoisePatch(Scratch* s, int32_t M, int32_t N, double correction, double* sigma, double* weight) {
    const int32_t status = centerAndDecompose(s->patch, s->U, s->w, s->V, s->means, M, N);
    if (status != 0) return status;
    *sigma = estimateNoise(s->w, N, M, correction);
    *weight = selectComponents(s->w, N, M, *sigma, nullptr);
    rebuildPatch(s->patch, s->U, s->w, s->V, s->means, M, N);
    return 0;
}

}  // namespace

int32_t denoiseWorker(DenoiseJob* job) {
    const int64_t X = job->X, Y = job->Y, Z = job->Z;
    const int32_t N = job->N;
    const int32_t side = patchSide(N);
    const int32_t M = side * side * side;
    const int32_t K = M < N ? M : N;
    const double correction = noiseCorrection(M, N);

    Scratch scratch;
    if (!obtainScratch(&scratch, M, N, K)) {
        job->status = kDenoiseOutOfMemory;
        return job->status;
    }

    const int64_t plane = X * Y;
    const int64_t voxels = plane * Z;

    // Geometry of the private band: the volume cut to [bandStart, bandEnd) on `axis`.
    const int32_t axis = job->axis;
    const int64_t bandLength = job->bandEnd - job->bandStart;
    const int64_t bandX = axis == 0 ? bandLength : X;
    const int64_t bandY = axis == 1 ? bandLength : Y;
    const int64_t bandZ = axis == 2 ? bandLength : Z;
    const int64_t bandVoxels = bandX * bandY * bandZ;
    const int64_t origin[3] = {axis == 0 ? job->bandStart : 0, axis == 1 ? job->bandStart : 0,
                               axis == 2 ? job->bandStart : 0};

    const double* input = job->input;
    double* patch = scratch.patch;
    int32_t status = kDenoiseOk;

    for (int64_t z0 = job->zStart; z0 < job->zEnd && status == kDenoiseOk; z0++) {
        for (int64_t y0 = job->yStart; y0 < job->yEnd && status == kDenoiseOk; y0++) {
            for (int64_t x0 = job->xStart; x0 < job->xEnd; x0++) {
                // Extract the patch (volume outermost, then dz, dy, dx) and its total.
                const int64_t corner = x0 + X * (y0 + Y * z0);
                int64_t p = 0;
                double total = 0.0;
                for (int64_t v = 0; v < N; v++)
                    for (int64_t dz = 0; dz < side; dz++)
                        for (int64_t dy = 0; dy < side; dy++) {
                            const double* row = input + corner + v * voxels + dz * plane + dy * X;
                            for (int64_t dx = 0; dx < side; dx++) {
                                patch[p] = row[dx];
                                total = total + row[dx];
                                p++;
                            }
                        }
                // Exact-zero patches (background) are skipped; NaN is not.
                if (total == 0.0) continue;

                double sigma = 0.0, weight = 0.0;
                if (denoisePatch(&scratch, M, N, correction, &sigma, &weight) != 0) {
                    status = kDenoiseDecompositionFailed;
                    break;
                }

                // Aggregate in the extraction order. Voxels in the band go to
                // the worker's private arrays.
                p = 0;
                for (int64_t v = 0; v < N; v++)
                    for (int64_t dz = 0; dz < side; dz++)
                        for (int64_t dy = 0; dy < side; dy++)
                            for (int64_t dx = 0; dx < side; dx++, p++) {
                                const int64_t xyz[3] = {x0 + dx, y0 + dy, z0 + dz};
                                const double value = weight * patch[p];
                                if (xyz[axis] >= job->bandStart && xyz[axis] < job->bandEnd) {
                                    const int64_t cell = (xyz[0] - origin[0]) +
                                                         bandX * ((xyz[1] - origin[1]) + bandY * (xyz[2] - origin[2]));
                                    job->bandDenoised[cell + v * bandVoxels] += value;
                                    if (v == 0) {
                                        job->bandNoise[cell] += weight * sigma;
                                        job->bandWeight[cell] += weight;
                                    }
                                } else {
                                    const int64_t cell = xyz[0] + X * (xyz[1] + Y * xyz[2]);
                                    job->denoisedSum[cell + v * voxels] += value;
                                    if (v == 0) {
                                        job->noiseSum[cell] += weight * sigma;
                                        job->weightSum[cell] += weight;
                                    }
                                }
                            }
            }
            if (job->options != nullptr && job->options->progress != nullptr)
                job->options->progress->fetch_add(job->xEnd - job->xStart, std::memory_order_relaxed);
        }
    }

    releaseScratch(&scratch);
    job->status = status;
    return status;
}

}  // namespace tamrin
