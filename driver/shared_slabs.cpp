// SPDX-License-Identifier: BSD-3-Clause
// runSharedSlabs: units of positions handed out to threads z-major across the
// slabs, decomposed by whichever thread is free, and added into each slab's
// sums in the slab's own scan order, one volume range at a time.
#include "shared_slabs.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>

#include "denoise_job.h"
#include "linalg/fast_work.h"
#include "patch_runs.h"
#include "slab_sums.h"
#include "support/alloc.h"
#include "uncovered.h"
#include "value_types.h"

namespace tamrin {
namespace {

// Up to `count` positions (x0 .. x0 + count - 1, y0, z0) of one slab, the
// seq-th unit in that slab's scan order.
struct Unit {
    int32_t slab, seq;
    int32_t x0, y0, z0, count;
};

// The results of one unit, from its decomposition to its last add.
struct UnitBuffer {
    double** patches;   // capacity pointers to M*N doubles each
    int64_t (*at)[3];   // the denoised positions, in scan order
    double *totals, *sigma, *weight;
    int32_t done = 0;        // patches denoised
    int32_t chunksLeft = 0;  // volume ranges still to add
    UnitBuffer* next = nullptr;
    void* block = nullptr;   // the one allocation behind the buffer
};

// Obtains a buffer for `capacity` patches of M*N doubles; null when it
// cannot be obtained.
UnitBuffer* createBuffer(int32_t capacity, int64_t M, int64_t N) {
    const int64_t header = (static_cast<int64_t>(sizeof(UnitBuffer)) + 63) / 64 * 64;
    const int64_t bytes = header + capacity * (M * N * 8 + 8 + 24 + 3 * 8);
    char* block = static_cast<char*>(coreMalloc(static_cast<std::size_t>(bytes)));
    if (block == nullptr) return nullptr;
    UnitBuffer* buffer = new (block) UnitBuffer();
    buffer->block = block;
    double* values = reinterpret_cast<double*>(block + header);
    buffer->at = reinterpret_cast<int64_t(*)[3]>(values + capacity * M * N);
    buffer->patches = reinterpret_cast<double**>(buffer->at + capacity);
    buffer->totals = reinterpret_cast<double*>(buffer->patches + capacity);
    buffer->sigma = buffer->totals + capacity;
    buffer->weight = buffer->sigma + capacity;
    for (int32_t i = 0; i < capacity; i++) buffer->patches[i] = values + i * M * N;
    return buffer;
}

// What the threads share: the plan of the run, fixed before they start, and
// the state of the hand-out and of the adds, under `lock`.
struct Schedule {
    const SeriesView* series = nullptr;
    const DenoiseOptions* options = nullptr;
    DenoiseJob* jobs = nullptr;  // one per slab, with its band
    Geometry* geos = nullptr;    // one per slab
    int32_t slabs = 0;
    Unit* units = nullptr;  // in hand-out order
    int64_t unitCount = 0;
    int64_t* slabUnits = nullptr;  // per slab, its units in scan order (indices into units)
    int64_t* slabFirst = nullptr;  // slab i's units start at slabUnits[slabFirst[i]]
    int32_t chunks = 1;            // volume ranges of the adds
    int64_t chunkVolumes = 0;
    const uint8_t* occupied = nullptr;  // over the positions' planes, X*Y bytes a plane (markOccupied)
    uint8_t* planes = nullptr;          // X*Y*Z bytes: markPlanes' result, before the widening along z
    DenoiseJob all;                     // a box of every position, for markPlanes
    uint8_t needed = kHoldsValue;
    int32_t capacity = 0;  // positions of a unit
    bool nonFiniteAsZero = false;
    // Streamed runs (options->sink): the sums hold `window` z-planes, plane z
    // at z % window; what finishing a plane needs; the planes finished so far.
    bool streamed = false;
    int32_t side = 0;
    int64_t window = 0;
    DenoiseResults sums;
    uint8_t* flags = nullptr;
    DenoiseReport* found = nullptr;

    std::mutex lock;
    std::condition_variable changed;
    int64_t nextUnit = 0;
    uint8_t* finished = nullptr;       // per unit
    UnitBuffer** results = nullptr;    // per unit, once finished
    int64_t* nextSeq = nullptr;        // per slab and chunk: the next unit to add
    uint8_t* queued = nullptr;         // per slab and chunk: in `ready` or being added
    int32_t* ready = nullptr;          // slabs * chunks pairs whose next unit is finished
    int32_t readyCount = 0;
    UnitBuffer* free = nullptr;
    int32_t computing = 0, adding = 0;
    int32_t finishedPlanes = 0;  // streamed: planes [0, finishedPlanes) given to the sink
    bool finishing = false;      // streamed: a thread is finishing plane finishedPlanes
    // Before the units: the sums zeroed and the planes marked (phase 1, in
    // ranges of voxel planes), then the positions' occupancy (phase 2, in
    // ranges of position planes), each range by whichever thread is free.
    int32_t phaseRanges[2] = {0, 0}, phasePlanes[2] = {1, 1}, phaseNext[2] = {0, 0}, phaseDone[2] = {0, 0};
    int32_t decomposers = 0;         // threads with their scratch, able to decompose
    int32_t arrived = 0;             // threads that have tried to obtain it
    int32_t expected = INT32_MAX;    // threads started (known once all are)
    bool stop = false;
    int32_t status = kDenoiseOk;
};

int64_t unitOf(const Schedule& s, int32_t slab, int64_t seq) { return s.slabUnits[s.slabFirst[slab] + seq]; }
int64_t unitsOfSlab(const Schedule& s, int32_t slab) { return s.slabFirst[slab + 1] - s.slabFirst[slab]; }

// Queues the add of (slab, chunk) when its next unit is finished.
void queueIfDue(Schedule& s, int32_t slab, int32_t chunk) {
    const int32_t pair = slab * s.chunks + chunk;
    if (s.queued[pair]) return;
    const int64_t seq = s.nextSeq[pair];
    if (seq >= unitsOfSlab(s, slab) || !s.finished[unitOf(s, slab, seq)]) return;
    s.queued[pair] = 1;
    s.ready[s.readyCount++] = pair;
}

// Whether a streamed run's next plane is final: every unit that reaches it
// (z0 at most that plane) is added, in every slab and volume range.
bool planeFinal(const Schedule& s) {
    if (!s.streamed || s.finishing || s.finishedPlanes >= s.series->Z) return false;
    for (int32_t pair = 0; pair < s.slabs * s.chunks; pair++) {
        const int32_t slab = pair / s.chunks;
        const int64_t seq = s.nextSeq[pair];
        if (seq < unitsOfSlab(s, slab) && s.units[unitOf(s, slab, seq)].z0 <= s.finishedPlanes) return false;
    }
    return true;
}

// Whether the planes unit u reaches lie in a streamed run's window.
bool fitsWindow(const Schedule& s, const Unit& u) {
    return !s.streamed || int64_t{u.z0} + s.side - 1 < s.finishedPlanes + s.window;
}

// Finishes plane z of a streamed run: adds the slabs' bands for it in slab
// order, turns its sums into results, gives them to the sink and clears the
// plane's place in the window (and in the bands) for plane z + window.
// Returns what the sink returned.
bool finishPlane(const Schedule& s, int32_t z) {
    const SeriesView& series = *s.series;
    const int64_t plane = int64_t{series.X} * series.Y;
    for (int32_t i = 0; i < s.slabs; i++) mergeBandPlane(s.jobs[i], s.geos[i], z);
    for (int32_t i = 0; i < s.slabs; i++) clearBandPlane(s.jobs[i], s.geos[i], z);
    const int64_t at = plane * ringPlane(z, s.window);
    VoxelSums sums;
    sums.denoised = s.sums.denoised + at;
    sums.stride = plane * s.window;
    sums.noise = s.sums.noise + at;
    sums.weight = s.sums.weight + at;
    sums.rank = s.sums.rank != nullptr ? s.sums.rank + at : nullptr;
    sums.first = z * plane;
    sums.count = plane;
    finishVoxels(series, *s.options, sums, s.nonFiniteAsZero, s.flags, s.found);
    const PlaneSink& sink = *s.options->sink;
    const bool written = sink.plane(sink.context, z, sums.denoised, sums.stride, sums.noise, sums.rank);
    const std::size_t bytes = static_cast<std::size_t>(plane) * sizeof(double);
    for (int64_t v = 0; v < series.N; v++) std::memset(sums.denoised + v * sums.stride, 0, bytes);
    std::memset(sums.noise, 0, bytes);
    std::memset(sums.weight, 0, bytes);
    if (sums.rank != nullptr) std::memset(sums.rank, 0, bytes);
    if (sink.inputRead != nullptr) sink.inputRead(sink.context, z, z + 1);
    return written;
}

// One thread's scratch for decomposing: the fast kernel's work store, or the
// plain kernel's arrays, and the second attempt's.
struct Scratch {
    FastPatchWork* work = nullptr;
    double* block = nullptr;
    PatchArrays rescue, plain;
};

bool openScratch(Scratch* t, const Geometry& geo, bool plain) {
    const int64_t M = geo.M, N = geo.N;
    if (!plain) {
        t->work = fastPatchWorkCreate(geo.M, geo.N);
        if (t->work == nullptr) return false;
    }
    t->block = static_cast<double*>(coreCalloc(static_cast<std::size_t>(2 * (M * N + N * N + 2 * N)), sizeof(double)));
    if (t->block == nullptr) {
        fastPatchWorkRelease(t->work);
        t->work = nullptr;
        return false;
    }
    t->rescue = patchArraysIn(t->block, M, N);
    t->plain = patchArraysIn(t->block + M * N + N * N + 2 * N, M, N);
    return true;
}

void closeScratch(Scratch* t) {
    coreFree(t->block);
    fastPatchWorkRelease(t->work);
}

// Range r of phase 1: zeroes the sums of voxel planes [z0, z1) (every
// volume) and marks what those planes hold.
template <typename In>
void zeroAndMark(const Schedule& s, int32_t r) {
    const SeriesView& series = *s.series;
    const int64_t plane = int64_t{series.X} * series.Y, voxels = plane * series.Z;
    const int64_t z0 = int64_t{r} * s.phasePlanes[0], z1 = std::min<int64_t>(z0 + s.phasePlanes[0], series.Z);
    const std::size_t bytes = static_cast<std::size_t>((z1 - z0) * plane) * sizeof(double);
    const DenoiseJob& job = s.jobs[0];
    if (!s.streamed) {
        // (A streamed run's window starts zeroed.)
        for (int64_t v = 0; v < series.N; v++) std::memset(job.denoisedSum + v * voxels + z0 * plane, 0, bytes);
        std::memset(job.noiseSum + z0 * plane, 0, bytes);
        std::memset(job.weightSum + z0 * plane, 0, bytes);
        if (job.rankSum != nullptr) std::memset(job.rankSum + z0 * plane, 0, bytes);
    }
    const Geometry geo = geometryOf(&s.all);
    markPlanes(&s.all, readerOf<In>(series), geo, series.X, series.Y, z0, z1, s.planes);
    const PlaneSink* sink = s.options->sink;
    if (sink != nullptr && sink->inputRead != nullptr)
        sink->inputRead(sink->context, static_cast<int32_t>(z0), static_cast<int32_t>(z1));
}

// Range r of phase 2: the occupancy of position planes [z0, z1).
void widenRange(const Schedule& s, int32_t r) {
    const SeriesView& series = *s.series;
    const int64_t positions = series.Z - patchSide(series.N) + 1;
    const int64_t z0 = int64_t{r} * s.phasePlanes[1], z1 = std::min<int64_t>(z0 + s.phasePlanes[1], positions);
    widenAlongZ(s.planes, series.X, series.Y, series.Z, patchSide(series.N), z0, z1,
                const_cast<uint8_t*>(s.occupied));
}

// The two phases before the units, shared by the threads; returns with the
// lock held once both are done.
template <typename In>
void prepare(Schedule& s, std::unique_lock<std::mutex>& guard) {
    for (int phase = 0; phase < 2; phase++)
        while (s.phaseDone[phase] < s.phaseRanges[phase]) {
            if (s.phaseNext[phase] == s.phaseRanges[phase]) {
                s.changed.wait(guard);
                continue;
            }
            const int32_t r = s.phaseNext[phase]++;
            guard.unlock();
            if (phase == 0)
                zeroAndMark<In>(s, r);
            else
                widenRange(s, r);
            guard.lock();
            if (++s.phaseDone[phase] == s.phaseRanges[phase]) s.changed.notify_all();
        }
}

// Decomposes the positions of unit u into buffer: those whose patch holds a
// value (and a mask voxel) and does not sum to exactly 0.0, in scan order.
template <typename In>
int32_t decomposeUnit(const Schedule& s, Scratch* t, const Unit& u, UnitBuffer* buffer) {
    const Geometry& geo = s.geos[u.slab];
    const In input = readerOf<In>(*s.series);
    const double correction = noiseCorrection(geo.M, geo.N);
    MessageLog* log = messagesOf(s.options);
    const bool plain = t->work == nullptr;
    const int32_t batch = plain ? 1 : fastPatchWorkBatch(t->work);
    const uint8_t* occupied = s.occupied + u.x0 + geo.X * (u.y0 + geo.Y * u.z0);
    buffer->done = 0;
    int32_t collected = 0;
    for (int32_t first = 0; first < u.count; first += static_cast<int32_t>(kRowGroup)) {
        const int32_t count = std::min<int32_t>(static_cast<int32_t>(kRowGroup), u.count - first);
        bool any = false;
        for (int32_t q = first; q < first + count; q++) any |= (occupied[q] & s.needed) == s.needed;
        if (!any) continue;
        double totals[kRowGroup];
        rowTotals(input, geo, u.x0 + first, u.y0, u.z0, count, totals);
        for (int32_t q = 0; q < count; q++) {
            // Exact-zero patches (background) are skipped; NaN is not.
            if ((occupied[first + q] & s.needed) != s.needed || totals[q] == 0.0) continue;
            int64_t* at = buffer->at[collected];
            at[0] = u.x0 + first + q;
            at[1] = u.y0;
            at[2] = u.z0;
            buffer->totals[collected++] = totals[q];
        }
    }
    for (int32_t b = 0; b < collected; b += batch) {
        const int32_t n = std::min(batch, collected - b);
        int32_t done = 0;
        if (plain) {
            done = denoisePlain(t->plain, input, geo, buffer->at[b], buffer->patches[b], &buffer->sigma[b],
                                &buffer->weight[b], correction, log) > 0;
        } else {
            done = denoiseBatch(t->work, t->rescue, input, geo, buffer->at + b, buffer->totals + b, n,
                                buffer->patches + b, buffer->sigma + b, buffer->weight + b, correction, log);
        }
        buffer->done += done;
        if (done < n) return kDenoisePatchOutOfMemory;
    }
    addProgress(s.options, u.count);
    return kDenoiseOk;
}

// Makes the adds of (slab, chunk) that are due: its next units, as many as
// are finished in a row. Called and returning with the lock held.
void addDue(Schedule& s, std::unique_lock<std::mutex>& guard, int32_t pair) {
    const int32_t slab = pair / s.chunks, chunk = pair % s.chunks;
    const int64_t first = s.nextSeq[pair], total = unitsOfSlab(s, slab);
    int64_t last = first;
    while (last < total && s.finished[unitOf(s, slab, last)]) last++;
    s.adding++;
    guard.unlock();
    const int64_t v0 = chunk * s.chunkVolumes;
    const int64_t v1 = std::min<int64_t>(v0 + s.chunkVolumes, s.series->N);
    for (int64_t seq = first; seq < last; seq++) {
        const UnitBuffer* b = s.results[unitOf(s, slab, seq)];
        aggregatePatches(&s.jobs[slab], s.geos[slab], b->at, b->done, b->patches, b->sigma, b->weight, v0, v1);
    }
    guard.lock();
    s.adding--;
    s.nextSeq[pair] = last;
    s.queued[pair] = 0;
    for (int64_t seq = first; seq < last; seq++) {
        const int64_t u = unitOf(s, slab, seq);
        UnitBuffer* b = s.results[u];
        if (--b->chunksLeft > 0) continue;
        b->next = s.free;
        s.free = b;
        s.results[u] = nullptr;
    }
    queueIfDue(s, slab, chunk);
    s.changed.notify_all();
}

// The loop of every thread: adds that are due first, then a unit to
// decompose, until every unit is added (or the run stops).
template <typename In>
void work(Schedule& s) {
    Scratch scratch;
    const bool plain = s.options->kernel == kDenoiseKernelPlain;
    const bool usable = openScratch(&scratch, s.geos[0], plain);
    std::unique_lock<std::mutex> guard(s.lock);
    s.arrived++;
    if (usable) s.decomposers++;
    prepare<In>(s, guard);
    for (;;) {
        if (s.readyCount > 0 && !s.stop) {
            addDue(s, guard, s.ready[--s.readyCount]);
            continue;
        }
        if (!s.stop && planeFinal(s)) {
            const int32_t z = s.finishedPlanes;
            s.finishing = true;
            guard.unlock();
            const bool written = finishPlane(s, z);
            guard.lock();
            s.finishing = false;
            s.finishedPlanes = z + 1;
            if (!written && !s.stop) {
                s.stop = true;
                s.status = kDenoiseSinkFailed;
            }
            s.changed.notify_all();
            continue;
        }
        if (!s.stop && cancelRequested(s.options)) {
            s.stop = true;
            if (s.status == kDenoiseOk) s.status = kDenoiseCancelled;
            s.changed.notify_all();
        }
        if (usable && !s.stop && s.nextUnit < s.unitCount && s.free != nullptr && fitsWindow(s, s.units[s.nextUnit])) {
            const int64_t index = s.nextUnit++;
            UnitBuffer* buffer = s.free;
            s.free = buffer->next;
            s.computing++;
            guard.unlock();
            const Unit& u = s.units[index];
            const int32_t status = decomposeUnit<In>(s, &scratch, u, buffer);
            guard.lock();
            s.computing--;
            s.results[index] = buffer;
            buffer->chunksLeft = s.chunks;
            s.finished[index] = 1;
            if (status != kDenoiseOk && !s.stop) {
                s.stop = true;
                s.status = status;
            }
            for (int32_t c = 0; c < s.chunks; c++) queueIfDue(s, u.slab, c);
            s.changed.notify_all();
            continue;
        }
        // Nothing to do now. The run is over when every unit is handed out
        // and added (or it stopped) and nobody is at work; it cannot go on
        // when no thread could obtain its scratch.
        const bool idle = s.computing == 0 && s.adding == 0 && !s.finishing;
        if (idle && s.arrived == s.expected && s.decomposers == 0 && s.nextUnit < s.unitCount && !s.stop) {
            s.stop = true;
            s.status = kDenoiseOutOfMemory;
        }
        const bool done = s.nextUnit == s.unitCount && s.readyCount == 0 &&
                          (!s.streamed || s.finishedPlanes == s.series->Z);
        if (idle && (s.stop || done)) break;
        s.changed.wait(guard);
    }
    s.changed.notify_all();
    guard.unlock();
    closeScratch(&scratch);
}

// Lists the units in hand-out order: for each z, each slab in turn, its rows
// in order, each row cut into pieces of `capacity` positions. Counts them
// into *count when units is null.
void listUnits(const Schedule& s, int32_t capacity, Unit* units, int64_t* count) {
    const DenoiseJob* jobs = s.jobs;
    int64_t n = 0;
    int32_t zFrom = INT32_MAX, zTo = 0;
    for (int32_t i = 0; i < s.slabs; i++) {
        zFrom = std::min(zFrom, jobs[i].zStart);
        zTo = std::max(zTo, jobs[i].zEnd);
    }
    for (int32_t z = zFrom; z < zTo; z++)
        for (int32_t i = 0; i < s.slabs; i++) {
            const DenoiseJob& job = jobs[i];
            if (z < job.zStart || z >= job.zEnd) continue;
            for (int32_t y = job.yStart; y < job.yEnd; y++)
                for (int32_t x = job.xStart; x < job.xEnd; x += capacity) {
                    if (units != nullptr) units[n] = Unit{i, 0, x, y, z, std::min(capacity, job.xEnd - x)};
                    n++;
                }
        }
    *count = n;
}

// What a run obtains before its threads start, released by releasePlan.
struct Plan {
    Schedule* s = nullptr;
    DenoiseJob* jobs = nullptr;
    void* blocks[8] = {};
};

void releasePlan(Plan* p, int32_t slabs) {
    if (p->jobs != nullptr)
        for (int32_t i = 0; i < slabs; i++) {
            coreFree(p->jobs[i].bandDenoised);
            coreFree(p->jobs[i].bandNoise);
            coreFree(p->jobs[i].bandWeight);
            coreFree(p->jobs[i].bandRank);
        }
    if (p->s != nullptr) {
        for (UnitBuffer* b = p->s->free; b != nullptr;) {
            UnitBuffer* next = b->next;
            coreFree(b->block);
            b = next;
        }
        for (int64_t u = 0; u < p->s->unitCount && p->s->results != nullptr; u++)
            if (p->s->results[u] != nullptr && p->s->results[u]->chunksLeft > 0) {
                // A unit whose adds were left undone (the run stopped): its
                // buffer is released once, here.
                UnitBuffer* b = p->s->results[u];
                b->chunksLeft = 0;
                coreFree(b->block);
            }
    }
    for (void* block : p->blocks) coreFree(block);
    if (p->s != nullptr) {
        p->s->~Schedule();
        coreFree(p->s);
    }
}

template <typename In>
void runThreads(Schedule& s, int32_t threads) {
    std::thread* started = static_cast<std::thread*>(coreCalloc(static_cast<std::size_t>(threads), sizeof(std::thread)));
    int32_t count = 0;
    for (int32_t i = 1; started != nullptr && i < threads; i++) {
        if (threadStartShouldFail()) continue;
        try {
            new (&started[count]) std::thread(work<In>, std::ref(s));
            count++;
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
    }
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.expected = count + 1;
    }
    s.changed.notify_all();
    work<In>(s);
    for (int32_t i = 0; i < count; i++) {
        started[i].join();
        started[i].~thread();
    }
    coreFree(started);
}

}  // namespace

int32_t unitPositions(int32_t M, int32_t N) {
    const int64_t patchBytes = int64_t{M} * N * 8;
    const int64_t fits = std::max<int64_t>(1, kUnitBytes / patchBytes);
    const int64_t batch = std::max<int32_t>(1, fastPatchBatchFor(M, N));
    return static_cast<int32_t>(std::max<int64_t>(batch, std::min<int64_t>(kUnitPositions, fits)));
}

int32_t sharedThreadsUsed(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t threads) {
    const int32_t side = patchSide(N);
    const int64_t px = X - side + 1, py = Y - side + 1, pz = Z - side + 1;
    if (px <= 0 || py <= 0 || pz <= 0 || threads <= 1) return 1;
    const int64_t capacity = unitPositions(patchVoxels(N), N);
    const int64_t units = (px + capacity - 1) / capacity * py * pz;
    return static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(threads, units)));
}

int64_t unitsPerPlane(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t slabs) {
    const int32_t side = patchSide(N);
    const int64_t px = X - side + 1, py = Y - side + 1;
    if (px <= 0 || py <= 0 || Z < side) return 0;
    const int64_t capacity = unitPositions(patchVoxels(N), N);
    if (partitionAxis(X, Y, Z) != 0) return (px + capacity - 1) / capacity * py;
    // Slabs along x: each cuts its rows into units of its own.
    const int32_t K = std::max(1, workerCount(slabs, X, side));
    int64_t units = 0;
    for (int32_t i = 0; i < K; i++) {
        int32_t start = 0, end = 0;
        sliceRange(static_cast<int32_t>(px), i, K, &start, &end);
        units += (end - start + capacity - 1) / capacity * py;
    }
    return units;
}

int64_t streamWindow(int32_t Z, int32_t N, int32_t threads, int64_t perPlane) {
    const int64_t inFlight = int64_t{kBuffersPerThread} * std::max(1, threads);
    const int64_t planes = perPlane > 0 ? (inFlight + perPlane - 1) / perPlane : 1;
    return std::min<int64_t>(Z, patchSide(N) + 2 + planes);
}

namespace {

// Gives every plane of a streamed run without a patch position to the sink:
// nothing covered, each finished from zero sums.
int32_t streamUncovered(const SeriesView& series, const DenoiseOptions& options, bool nonFiniteAsZero,
                        uint8_t* flags, DenoiseReport* found) {
    const int64_t plane = int64_t{series.X} * series.Y;
    double* sums = static_cast<double*>(coreCalloc(static_cast<std::size_t>(plane * (series.N + 3)), sizeof(double)));
    if (sums == nullptr) return kDenoiseOutOfMemory;
    Schedule s;
    s.series = &series;
    s.options = &options;
    s.nonFiniteAsZero = nonFiniteAsZero;
    s.streamed = true;
    s.window = 1;
    s.sums.denoised = sums;
    s.sums.noise = sums + plane * series.N;
    s.sums.weight = s.sums.noise + plane;
    s.sums.rank = options.sink->rank ? s.sums.weight + plane : nullptr;
    s.flags = flags;
    s.found = found;
    int32_t status = kDenoiseOk;
    for (int32_t z = 0; z < series.Z && status == kDenoiseOk; z++)
        if (!finishPlane(s, z)) status = kDenoiseSinkFailed;
    coreFree(sums);
    return status;
}

}  // namespace

int32_t runSharedSlabs(const SeriesView& series, int32_t threads, int32_t slabs, const DenoiseResults& given,
                       const DenoiseOptions& options, bool nonFiniteAsZero, uint8_t* flags, DenoiseReport* found) {
    const int32_t X = series.X, Y = series.Y, Z = series.Z, N = series.N;
    const int64_t voxels = int64_t{X} * Y * Z;
    const int32_t side = patchSide(N), M = side * side * side;
    const int32_t extents[3] = {X, Y, Z};
    const int32_t K = std::max(1, workerCount(slabs, extents[partitionAxis(X, Y, Z)], side));
    threads = sharedThreadsUsed(X, Y, Z, N, threads);
    const bool streamed = options.sink != nullptr;
    if (streamed && patchPositions(X, Y, Z, N) == 0)
        return streamUncovered(series, options, nonFiniteAsZero, flags, found);

    // The sums: the caller's, or a window of planes that the run obtains.
    DenoiseResults results = given;
    int64_t window = 0;
    double* windowSums = nullptr;
    if (streamed) {
        window = streamWindow(Z, N, threads, unitsPerPlane(X, Y, Z, N, K));
        const int64_t cells = int64_t{X} * Y * window;
        const int64_t arrays = N + 2 + (options.sink->rank ? 1 : 0);
        windowSums = static_cast<double*>(coreCalloc(static_cast<std::size_t>(cells * arrays), sizeof(double)));
        if (windowSums == nullptr) return kDenoiseOutOfMemory;
        results.denoised = windowSums;
        results.noise = windowSums + cells * N;
        results.weight = results.noise + cells;
        results.rank = options.sink->rank ? results.weight + cells : nullptr;
    }

    if (patchPositions(X, Y, Z, N) == 0) {
        // Nothing to denoise: the sums stay zero.
        std::memset(results.denoised, 0, sizeof(double) * static_cast<std::size_t>(voxels * N));
        std::memset(results.noise, 0, sizeof(double) * static_cast<std::size_t>(voxels));
        std::memset(results.weight, 0, sizeof(double) * static_cast<std::size_t>(voxels));
        if (results.rank != nullptr) std::memset(results.rank, 0, sizeof(double) * static_cast<std::size_t>(voxels));
        return kDenoiseOk;
    }

    Plan plan;
    void* block = coreCalloc(1, sizeof(Schedule));
    if (block == nullptr) {
        coreFree(windowSums);
        return kDenoiseOutOfMemory;
    }
    plan.s = new (block) Schedule();
    Schedule& s = *plan.s;
    s.streamed = streamed;
    s.side = side;
    s.window = window;
    s.sums = results;
    s.flags = flags;
    s.found = found;
    s.series = &series;
    s.options = &options;
    s.slabs = K;
    s.nonFiniteAsZero = nonFiniteAsZero;
    s.capacity = unitPositions(M, N);
    s.chunks = std::min(N, std::min(threads, kAddChunks));
    s.chunkVolumes = (N + s.chunks - 1) / s.chunks;
    s.chunks = static_cast<int32_t>((N + s.chunkVolumes - 1) / s.chunkVolumes);
    s.needed = options.mask != nullptr ? kHoldsValue | kHoldsMaskVoxel : kHoldsValue;

    // The slabs' records with their bands, and their geometry.
    plan.jobs = static_cast<DenoiseJob*>(coreCalloc(static_cast<std::size_t>(K), sizeof(DenoiseJob)));
    plan.blocks[0] = plan.jobs;
    s.geos = static_cast<Geometry*>(coreCalloc(static_cast<std::size_t>(K), sizeof(Geometry)));
    plan.blocks[1] = s.geos;
    if (plan.jobs == nullptr || s.geos == nullptr) {
        plan.jobs = nullptr;
        releasePlan(&plan, K);
        coreFree(windowSums);
        return kDenoiseOutOfMemory;
    }
    for (int32_t i = 0; i < K; i++) new (&plan.jobs[i]) DenoiseJob();
    s.jobs = plan.jobs;
    int32_t status = planJobs(series, results, options, plan.jobs, K, window);
    for (int32_t i = 0; i < K; i++) {
        plan.jobs[i].nonFiniteAsZero = nonFiniteAsZero;
        s.geos[i] = geometryOf(&plan.jobs[i]);
    }

    // The units, and each slab's in its scan order.
    listUnits(s, s.capacity, nullptr, &s.unitCount);
    const int64_t pairs = int64_t{K} * s.chunks;
    s.units = static_cast<Unit*>(coreMalloc(sizeof(Unit) * static_cast<std::size_t>(s.unitCount)));
    s.slabUnits = static_cast<int64_t*>(coreMalloc(sizeof(int64_t) * static_cast<std::size_t>(s.unitCount + K + 1)));
    s.results = static_cast<UnitBuffer**>(coreCalloc(static_cast<std::size_t>(s.unitCount), sizeof(UnitBuffer*)));
    s.nextSeq = static_cast<int64_t*>(coreCalloc(static_cast<std::size_t>(pairs), sizeof(int64_t)));
    s.ready = static_cast<int32_t*>(coreCalloc(static_cast<std::size_t>(pairs), sizeof(int32_t)));
    // The per-unit and per-pair flags, the marked planes and the occupancy of
    // every position.
    const int64_t positionPlanes = int64_t{X} * Y * (Z - side + 1);
    uint8_t* bytes =
        static_cast<uint8_t*>(coreCalloc(static_cast<std::size_t>(s.unitCount + pairs + voxels + positionPlanes), 1));
    plan.blocks[2] = s.units;
    plan.blocks[3] = s.slabUnits;
    plan.blocks[4] = s.results;
    plan.blocks[5] = s.nextSeq;
    plan.blocks[6] = s.ready;
    plan.blocks[7] = bytes;
    if (!s.units || !s.slabUnits || !s.results || !s.nextSeq || !s.ready || !bytes) status = kDenoiseOutOfMemory;
    if (status == kDenoiseOk) {
        s.finished = bytes;
        s.queued = bytes + s.unitCount;
        s.planes = bytes + s.unitCount + pairs;
        s.occupied = s.planes + voxels;
        listUnits(s, s.capacity, s.units, &s.unitCount);
        s.slabFirst = s.slabUnits + s.unitCount;
        for (int32_t i = 0; i <= K; i++) s.slabFirst[i] = 0;
        for (int64_t u = 0; u < s.unitCount; u++) s.units[u].seq = static_cast<int32_t>(s.slabFirst[s.units[u].slab + 1]++);
        for (int32_t i = 0; i < K; i++) s.slabFirst[i + 1] += s.slabFirst[i];
        for (int64_t u = 0; u < s.unitCount; u++)
            s.slabUnits[s.slabFirst[s.units[u].slab] + s.units[u].seq] = u;
        // Which positions' patches hold a value (and a mask voxel), for the
        // whole series as one box of positions, in ranges of planes about
        // four a thread; a plane at a time when streamed, so that the input
        // planes read are let go one by one and never held together.
        s.all = plan.jobs[0];
        s.all.xStart = s.all.yStart = s.all.zStart = 0;
        s.all.xEnd = X - side + 1;
        s.all.yEnd = Y - side + 1;
        s.all.zEnd = Z - side + 1;
        const int64_t planeCounts[2] = {Z, Z - side + 1};
        for (int phase = 0; phase < 2; phase++) {
            s.phasePlanes[phase] = static_cast<int32_t>(std::max<int64_t>(1, planeCounts[phase] / (4 * threads)));
            if (s.streamed && phase == 0) s.phasePlanes[phase] = 1;
            s.phaseRanges[phase] =
                static_cast<int32_t>((planeCounts[phase] + s.phasePlanes[phase] - 1) / s.phasePlanes[phase]);
        }
        // The unit buffers: kBuffersPerThread a thread; at least one.
        for (int32_t b = 0; b < kBuffersPerThread * threads; b++) {
            UnitBuffer* buffer = createBuffer(s.capacity, M, N);
            if (buffer == nullptr) break;
            buffer->next = s.free;
            s.free = buffer;
        }
        if (s.free == nullptr) status = kDenoiseOutOfMemory;
    }
    if (status == kDenoiseOk) {
        // Floating-point values may be read with the non-finite ones as 0;
        // integers are always finite.
        withSeriesReader(series, nonFiniteAsZero, [&](auto input) { runThreads<decltype(input)>(s, threads); });
        status = s.status;
    }
    if (status == kDenoiseOk && !streamed)
        for (int32_t i = 0; i < K; i++) mergeBand(plan.jobs[i]);
    releasePlan(&plan, K);
    coreFree(windowSums);
    return status;
}

}  // namespace tamrin
