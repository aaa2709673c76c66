// denoiseVolume: splits the patch start positions along the longest axis into
// one slab per worker, runs the workers on threads, merges their private bands
// and divides the sums by the weights.
//
// Exactness where slabs meet: worker i writes the planes of its own start
// positions [start_i, end_i) directly into the shared sums, and no other worker
// writes there directly. Its patches also reach the s - 1 planes after its
// slab, which later workers own; those contributions go into a private band
// that is added into the sums after the join, in worker order. Every
// contribution arrives exactly once, and the result does not depend on timing.
// The last worker's band is empty (no worker follows it), so one worker runs
// exactly the plain single-threaded arithmetic.
//
// Failures never pass silently: a worker that cannot be started, or that could
// not obtain its scratch, is run again on the calling thread after the others
// have ended; the call reports a status when that too fails.
#include <cmath>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "tamrin/alloc.h"
#include "tamrin/denoise.h"
#include "tamrin/host.h"
#include "tamrin/noise.h"

namespace tamrin {
namespace {

// a * b into *out unless it overflows 64 bits.
bool multiply(int64_t a, int64_t b, int64_t* out) { return !__builtin_mul_overflow(a, b, out); }

// Sets to zero the planes [from, to) on `axis` of `volumes` consecutive X x Y
// x Z arrays at a.
void zeroPlanes(double* a, int64_t volumes, int64_t X, int64_t Y, int64_t Z, int32_t axis, int64_t from, int64_t to) {
    if (to <= from) return;
    const int64_t plane = X * Y;
    for (int64_t v = 0; v < volumes; v++) {
        double* volume = a + v * plane * Z;
        if (axis == 2) {
            std::memset(volume + from * plane, 0, sizeof(double) * static_cast<std::size_t>((to - from) * plane));
            continue;
        }
        for (int64_t z = 0; z < Z; z++) {
            if (axis == 1) {
                std::memset(volume + z * plane + from * X, 0,
                            sizeof(double) * static_cast<std::size_t>((to - from) * X));
                continue;
            }
            for (int64_t y = 0; y < Y; y++)
                std::memset(volume + z * plane + y * X + from, 0, sizeof(double) * static_cast<std::size_t>(to - from));
        }
    }
}

// Zeroes the planes of the sums that only `job` writes directly: from the
// start of its slice to its band, or to the end of the axis for the last job.
// Done by the worker's own thread, the first touch of that memory happens in
// parallel (and, on machines with several memory nodes, near that thread).
void zeroOwnPlanes(DenoiseJob* job) {
    const int32_t extents[3] = {job->X, job->Y, job->Z};
    const int32_t starts[3] = {job->xStart, job->yStart, job->zStart};
    const int64_t from = starts[job->axis];
    const int64_t to = job->bandEnd > job->bandStart ? job->bandStart : extents[job->axis];
    zeroPlanes(job->denoisedSum, job->N, job->X, job->Y, job->Z, job->axis, from, to);
    zeroPlanes(job->noiseSum, 1, job->X, job->Y, job->Z, job->axis, from, to);
    zeroPlanes(job->weightSum, 1, job->X, job->Y, job->Z, job->axis, from, to);
}

void threadEntry(DenoiseJob* job) {
    zeroOwnPlanes(job);
    denoiseWorker(job);
}

// Adds job's band into the sums at planes [bandStart, bandEnd) of its axis.
void mergeBand(const DenoiseJob& job, int64_t X, int64_t Y, int64_t Z, int64_t N, double* denoisedSum,
               double* noiseSum, double* weightSum) {
    const int64_t length = job.bandEnd - job.bandStart;
    if (length <= 0) return;
    const int64_t bx = job.axis == 0 ? length : X, by = job.axis == 1 ? length : Y, bz = job.axis == 2 ? length : Z;
    const int64_t x0 = job.axis == 0 ? job.bandStart : 0, y0 = job.axis == 1 ? job.bandStart : 0,
                  z0 = job.axis == 2 ? job.bandStart : 0;
    const int64_t bandVoxels = bx * by * bz, voxels = X * Y * Z;
    for (int64_t v = 0; v < N; v++)
        for (int64_t z = 0; z < bz; z++)
            for (int64_t y = 0; y < by; y++)
                for (int64_t x = 0; x < bx; x++) {
                    const int64_t cell = (x + x0) + X * ((y + y0) + Y * (z + z0));
                    const int64_t bandCell = x + bx * (y + by * z);
                    denoisedSum[cell + v * voxels] += job.bandDenoised[bandCell + v * bandVoxels];
                    if (v == 0) {
                        noiseSum[cell] += job.bandNoise[bandCell];
                        weightSum[cell] += job.bandWeight[bandCell];
                    }
                }
}

}  // namespace

const char* denoiseStatusMessage(int32_t status) {
    switch (status) {
        case kDenoiseOk:
            return "success";
        case kDenoiseBadExtents:
            return "the series must have extents of at least 1, at least 2 volumes, and fewer than 2^63 elements";
        case kDenoiseOutOfMemory:
            return "not enough memory for the workers' working arrays";
        case kDenoiseDecompositionFailed:
            return "not enough memory to decompose a patch";
        default:
            return "unknown status";
    }
}

int32_t partitionAxis(int32_t X, int32_t Y, int32_t Z) {
    int32_t axis = 0, extent = X;
    if (Y >= extent) {
        axis = 1;
        extent = Y;
    }
    if (Z >= extent) axis = 2;
    return axis;
}

int32_t workerCount(int32_t requested, int32_t extent, int32_t side) {
    int32_t limit = extent / side;
    if (limit <= 1) limit = 1;
    if (requested < 0) return 0;
    return requested > limit ? limit : requested;
}

void sliceRange(int32_t L, int32_t i, int32_t g, int32_t* start, int32_t* end) {
    // (L * i) / g in 64 bits: the product itself may pass 2^31 for wide extents.
    *start = static_cast<int32_t>((static_cast<int64_t>(L) * i) / g);
    *end = static_cast<int32_t>((static_cast<int64_t>(i + 1) * L) / g);
}

namespace {

// denoiseVolume for either input: exactly one of input and inputSingle is set.
int32_t denoiseSeries(const double* input, const float* inputSingle, int32_t X, int32_t Y, int32_t Z, int32_t N,
                      int32_t requested, double* denoisedSum, double* noiseSum, double* weightSum,
                      const DenoiseOptions* options) {
    int64_t voxels = 0, elements = 0;
    if (X < 1 || Y < 1 || Z < 1 || N < 2 || !multiply(int64_t{X} * Y, Z, &voxels) || !multiply(voxels, N, &elements) ||
        elements > INT64_MAX / static_cast<int64_t>(sizeof(double)))
        return kDenoiseBadExtents;

    const int32_t side = patchSide(N);

    const int32_t extents[3] = {X, Y, Z};
    const int32_t axis = partitionAxis(X, Y, Z);
    const int32_t E = extents[axis];
    int32_t g = workerCount(requested, E, side);
    const int32_t L = E - side + 1;

    DenoiseJob single;
    DenoiseJob* jobs = g > 1 ? static_cast<DenoiseJob*>(hostCalloc(static_cast<std::size_t>(g), sizeof(DenoiseJob)))
                             : nullptr;
    std::thread* threads = jobs != nullptr
                               ? static_cast<std::thread*>(hostCalloc(static_cast<std::size_t>(g), sizeof(std::thread)))
                               : nullptr;
    if (g > 1 && threads == nullptr) {
        // No room to run in parallel: one worker on this thread gives the same
        // result as a one-worker request.
        hostFree(jobs);
        jobs = nullptr;
        g = 1;
    }
    if (g == 1) jobs = &single;

    // Band of worker i: planes [end_i, end_i + s - 1) cut to the extent, empty
    // for the last worker.
    const int64_t otherVoxels = voxels / E;
    int32_t status = kDenoiseOk;
    for (int32_t i = 0; i < g; i++) {
        DenoiseJob& job = jobs[i];
        std::memset(&job, 0, sizeof(job));
        job.Y = Y;
        job.X = X;
        job.Z = Z;
        job.N = N;
        job.input = input;
        job.inputSingle = inputSingle;
        job.denoisedSum = denoisedSum;
        job.weightSum = weightSum;
        job.noiseSum = noiseSum;
        job.xStart = 0;
        job.xEnd = X - side + 1;
        job.yStart = 0;
        job.yEnd = Y - side + 1;
        job.zStart = 0;
        job.zEnd = Z - side + 1;
        int32_t start = 0, end = 0;
        sliceRange(L, i, g, &start, &end);
        int32_t* range = axis == 0 ? &job.xStart : axis == 1 ? &job.yStart : &job.zStart;
        range[0] = start;
        range[1] = end;
        job.axis = axis;
        job.options = options;
        job.bandStart = job.bandEnd = 0;
        if (i < g - 1) {
            job.bandStart = end;
            job.bandEnd = end + side - 1 < E ? end + side - 1 : E;
            const std::size_t bandVoxels = static_cast<std::size_t>(job.bandEnd - job.bandStart) * otherVoxels;
            job.bandDenoised = static_cast<double*>(hostCalloc(bandVoxels * static_cast<std::size_t>(N), sizeof(double)));
            job.bandNoise = static_cast<double*>(hostCalloc(bandVoxels, sizeof(double)));
            job.bandWeight = static_cast<double*>(hostCalloc(bandVoxels, sizeof(double)));
            if (!job.bandDenoised || !job.bandNoise || !job.bandWeight) status = kDenoiseOutOfMemory;
        }
    }

    // The sums start at zero: with one worker, or none, zeroed here; with
    // several, each worker zeroes the planes it owns before it starts, and a
    // worker run again here zeroes them again.
    if (g <= 1 || status != kDenoiseOk) {
        std::memset(denoisedSum, 0, sizeof(double) * static_cast<std::size_t>(elements));
        std::memset(noiseSum, 0, sizeof(double) * static_cast<std::size_t>(voxels));
        std::memset(weightSum, 0, sizeof(double) * static_cast<std::size_t>(voxels));
    }
    if (status == kDenoiseOk && g == 1) {
        status = denoiseWorker(&jobs[0]);
    } else if (status == kDenoiseOk) {
        // Start every worker that can be started. One whose thread cannot be
        // started, or that found no memory for its scratch (and so added
        // nothing), runs here after the others have ended and released theirs;
        // the sums are the same either way.
        for (int32_t i = 0; i < g; i++) {
            new (&threads[i]) std::thread();
            if (threadStartShouldFail()) continue;
            try {
                threads[i] = std::thread(threadEntry, &jobs[i]);
            } catch (const std::system_error&) {
            } catch (const std::bad_alloc&) {
            }
        }
        for (int32_t i = 0; i < g; i++) {
            if (threads[i].joinable())
                threads[i].join();
            else
                jobs[i].status = kDenoiseOutOfMemory;  // never ran: nothing added
            threads[i].~thread();
        }
        for (int32_t i = 0; i < g; i++) {
            if (jobs[i].status == kDenoiseOutOfMemory) threadEntry(&jobs[i]);
            if (jobs[i].status != kDenoiseOk && status == kDenoiseOk) status = jobs[i].status;
        }
    }

    if (status == kDenoiseOk)
        for (int32_t i = 0; i < g; i++)
            mergeBand(jobs[i], X, Y, Z, N, denoisedSum, noiseSum, weightSum);

    for (int32_t i = 0; i < g; i++) {
        hostFree(jobs[i].bandDenoised);
        hostFree(jobs[i].bandNoise);
        hostFree(jobs[i].bandWeight);
    }
    if (jobs != &single) {
        hostFree(threads);
        hostFree(jobs);
    }
    if (status != kDenoiseOk) return status;

    // Normalise: voxels no patch covered get 0 / 0 = NaN.
    for (int64_t v = 0; v < N; v++)
        for (int64_t k = 0; k < voxels; k++) {
            if (v == 0) noiseSum[k] = noiseSum[k] / weightSum[k];
            denoisedSum[k + voxels * v] = denoisedSum[k + voxels * v] / weightSum[k];
        }
    return kDenoiseOk;
}

}  // namespace

int32_t denoiseVolume(const double* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested,
                      double* denoisedSum, double* noiseSum, double* weightSum, const DenoiseOptions* options) {
    return denoiseSeries(input, nullptr, X, Y, Z, N, requested, denoisedSum, noiseSum, weightSum, options);
}

int32_t denoiseVolume(const float* input, int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested,
                      double* denoisedSum, double* noiseSum, double* weightSum, const DenoiseOptions* options) {
    return denoiseSeries(nullptr, input, X, Y, Z, N, requested, denoisedSum, noiseSum, weightSum, options);
}

}  // namespace tamrin
