// SPDX-License-Identifier: BSD-3-Clause
// Many threads, projected from one: measures on one thread what each unit of
// positions costs (its decomposition, and the ordered adds of its
// reconstructions), then computes the finishing time on T threads under the
// one-thread-per-slab scheduling and under the shared scheduling, and prints
// the efficiency, total work / (T x finishing time).
//
//   (a) 145 x 174 x 145 x 288, noise everywhere: the cost of a position is
//       measured on a crop (every position of such a series costs alike);
//   (b) the same grid with a brain-shaped mask: positions whose patch holds
//       no voxel inside cost nothing;
//   (c) 96 x 96 x 60 x 30 with an exact-zero background, every unit measured.
//
// The shared scheduling is simulated event by event, as the threads run it:
// a free thread first makes an add that is due (unit q of a slab's volume
// range after unit q - 1), else decomposes the next unit in z-major order,
// else waits. The pass that finds the positions to denoise and zeroes the
// sums (measured per voxel) is shared out among the threads before the
// units, and the bands are added after them, one thread alone. The
// one-thread-per-slab run takes, per slab, its share of the pass and its
// units' decompositions and adds one after the other; its slowest slab
// finishes the run.
//
// usage: projection_bench [--threads 2,8,16,32,64,128] [--crop-units U]
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <queue>
#include <string>
#include <vector>

#include "driver/denoise_job.h"
#include "driver/patch_runs.h"
#include "driver/shared_slabs.h"
#include "driver/slab_sums.h"
#include "phantom/phantom.h"
#include "support/alloc.h"
#include "tamrin/denoise.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A unit of positions: its slab, and what its decomposition and its adds
// (all volumes) cost on one thread.
struct UnitCost {
    int32_t slab;
    double compute, add;
};

// The costs of a whole run, in hand-out order, for one slab count.
struct Run {
    std::vector<UnitCost> units;
    double serialBefore = 0.0;  // finding the positions, zeroing the sums
    double serialAfter = 0.0;   // the bands added in slab order
};

// What one unit of a series costs on one thread, measured, and its positions.
struct Measured {
    double compute = 0.0, add = 0.0;
    int32_t positions = 0;
};

// Measures the units of `series` (one slab) listed by listUnit, the first
// `limit` of them (all when 0), with the fast kernel on this thread.
std::vector<Measured> measureUnits(const tamrin::SeriesView& series, const std::vector<uint8_t>* mask, int64_t limit,
                                   double* perVoxelPass) {
    using namespace tamrin;
    const int32_t X = series.X, Y = series.Y, Z = series.Z, N = series.N;
    const int64_t voxels = int64_t{X} * Y * Z;
    std::vector<double> denoised(static_cast<std::size_t>(voxels * N)), noise(voxels), weight(voxels);
    DenoiseResults results;
    results.denoised = denoised.data();
    results.noise = noise.data();
    results.weight = weight.data();
    DenoiseOptions options;
    MessageLog log;
    options.messages = &log;
    options.mask = mask != nullptr ? mask->data() : nullptr;
    DenoiseJob job;
    planJobs(series, results, options, &job, 1);
    const Geometry geo = geometryOf(&job);
    const double* input = static_cast<const double*>(series.values);

    // The serial pass before the threads: occupancy of every position and
    // the zeroing of the sums, per voxel.
    std::vector<uint8_t> occupied(static_cast<std::size_t>(voxels));
    auto start = Clock::now();
    markOccupied(&job, input, geo, X, Y, Z, occupied.data());
    std::memset(denoised.data(), 0, denoised.size() * sizeof(double));
    *perVoxelPass = secondsSince(start) / static_cast<double>(voxels);
    const uint8_t needed = mask != nullptr ? kHoldsValue | kHoldsMaskVoxel : kHoldsValue;

    FastPatchWork* work = fastPatchWorkCreate(geo.M, N);
    const int32_t batch = fastPatchWorkBatch(work);
    const int32_t capacity = unitPositions(geo.M, N);
    std::vector<double> block(static_cast<std::size_t>(2) * (geo.M * N + N * N + 2 * N));
    const PatchArrays rescue = patchArraysIn(block.data(), geo.M, N);
    std::vector<double> values(static_cast<std::size_t>(capacity) * geo.M * N);
    std::vector<double*> patches(capacity);
    for (int32_t i = 0; i < capacity; i++) patches[i] = values.data() + static_cast<std::size_t>(i) * geo.M * N;
    std::vector<int64_t> at(static_cast<std::size_t>(capacity) * 3);
    std::vector<double> totals(capacity), sigma(capacity), weights(capacity);
    const double correction = noiseCorrection(geo.M, N);

    std::vector<Measured> measured;
    for (int32_t z = job.zStart; z < job.zEnd; z++)
        for (int32_t y = job.yStart; y < job.yEnd; y++)
            for (int32_t x0 = job.xStart; x0 < job.xEnd; x0 += capacity) {
                if (limit > 0 && static_cast<int64_t>(measured.size()) == limit) break;
                const int32_t count = std::min(capacity, job.xEnd - x0);
                Measured m;
                m.positions = count;
                start = Clock::now();
                int32_t collected = 0;
                for (int32_t first = 0; first < count; first += static_cast<int32_t>(kRowGroup)) {
                    const int32_t n = std::min<int32_t>(static_cast<int32_t>(kRowGroup), count - first);
                    const uint8_t* occ = occupied.data() + x0 + first + int64_t{X} * (y + int64_t{Y} * z);
                    bool any = false;
                    for (int32_t q = 0; q < n; q++) any |= (occ[q] & needed) == needed;
                    if (!any) continue;
                    double t[kRowGroup];
                    rowTotals(input, geo, x0 + first, y, z, n, t);
                    for (int32_t q = 0; q < n; q++) {
                        if ((occ[q] & needed) != needed || t[q] == 0.0) continue;
                        at[3 * collected] = x0 + first + q;
                        at[3 * collected + 1] = y;
                        at[3 * collected + 2] = z;
                        totals[collected++] = t[q];
                    }
                }
                const auto* positions = reinterpret_cast<const int64_t(*)[3]>(at.data());
                for (int32_t b = 0; b < collected; b += batch)
                    denoiseBatch(work, rescue, input, geo, positions + b, totals.data() + b,
                                 std::min(batch, collected - b), patches.data() + b, sigma.data() + b,
                                 weights.data() + b, correction, &log);
                m.compute = secondsSince(start);
                start = Clock::now();
                aggregatePatches(&job, geo, positions, collected, patches.data(), sigma.data(), weights.data(), 0, N);
                m.add = secondsSince(start);
                measured.push_back(m);
            }
    fastPatchWorkRelease(work);
    coreFree(job.bandDenoised);
    return measured;
}

// The units of an X x Y x Z series with patch side s and `slabs` slabs, in
// hand-out order (for each z, each slab, its rows, pieces of `capacity`
// positions), each given its cost by cost(x0, y, z, count).
Run listRun(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t slabs,
            const std::function<UnitCost(int32_t, int32_t, int32_t, int32_t)>& cost) {
    using namespace tamrin;
    const int32_t s = patchSide(N), capacity = unitPositions(patchVoxels(N), N);
    const int32_t extents[3] = {X, Y, Z}, axis = partitionAxis(X, Y, Z), E = extents[axis];
    const int32_t K = std::max(1, workerCount(slabs, E, s));
    Run run;
    for (int32_t z = 0; z + s <= Z; z++)
        for (int32_t i = 0; i < K; i++) {
            int32_t start = 0, end = 0;
            sliceRange(E - s + 1, i, K, &start, &end);
            int32_t from[3] = {0, 0, 0}, to[3] = {X - s + 1, Y - s + 1, Z - s + 1};
            from[axis] = start;
            to[axis] = end;
            if (z < from[2] || z >= to[2]) continue;
            for (int32_t y = from[1]; y < to[1]; y++)
                for (int32_t x = from[0]; x < to[0]; x += capacity) {
                    UnitCost u = cost(x, y, z, std::min(capacity, to[0] - x));
                    u.slab = i;
                    run.units.push_back(u);
                }
        }
    return run;
}

// Finishing time of the one-thread-per-slab run: its slowest slab.
// Each slab finds its own positions and zeroes its own planes, so the pass
// before the work is shared out among them.
double perSlabTime(const Run& run, int32_t slabs) {
    std::vector<double> slab(slabs, 0.0);
    for (const UnitCost& u : run.units) slab[u.slab] += u.compute + u.add;
    return run.serialBefore / slabs + *std::max_element(slab.begin(), slab.end()) + run.serialAfter;
}

// Finishing time of the shared scheduling on T threads, a unit's adds split
// into `chunks` volume ranges, each range's adds of a slab in unit order.
double sharedTime(const Run& run, int32_t slabs, int32_t T, int32_t chunks) {
    const int64_t units = static_cast<int64_t>(run.units.size());
    std::vector<std::vector<int64_t>> slabUnits(slabs);
    std::vector<int64_t> seqOf(units);
    for (int64_t u = 0; u < units; u++) {
        seqOf[u] = static_cast<int64_t>(slabUnits[run.units[u].slab].size());
        slabUnits[run.units[u].slab].push_back(u);
    }
    const std::size_t chains = static_cast<std::size_t>(slabs) * chunks;
    std::vector<int64_t> next(chains, 0);
    std::vector<uint8_t> decomposed(units, 0), queued(chains, 0);
    std::vector<int32_t> ready;  // chains whose next add is due
    // An event: a task ends at `time`; unit >= 0 for a decomposition, else
    // the chain whose add ended.
    struct Event {
        double time;
        int64_t unit;
        int32_t chain;
        bool operator>(const Event& o) const { return time > o.time; }
    };
    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
    auto queueIfDue = [&](int32_t chain) {
        const int32_t slab = chain / chunks;
        if (queued[chain] || next[chain] >= static_cast<int64_t>(slabUnits[slab].size())) return;
        if (!decomposed[slabUnits[slab][next[chain]]]) return;
        queued[chain] = 1;
        ready.push_back(chain);
    };
    int64_t nextUnit = 0;
    int32_t idle = T;
    // The threads find the positions and zero the sums together first.
    double now = run.serialBefore / T;
    auto dispatch = [&]() {
        while (idle > 0) {
            if (!ready.empty()) {
                const int32_t chain = ready.back();
                ready.pop_back();
                const int64_t u = slabUnits[chain / chunks][next[chain]];
                events.push(Event{now + run.units[u].add / chunks, -1, chain});
            } else if (nextUnit < units) {
                events.push(Event{now + run.units[nextUnit].compute, nextUnit, -1});
                nextUnit++;
            } else {
                break;
            }
            idle--;
        }
    };
    dispatch();
    while (!events.empty()) {
        const Event e = events.top();
        events.pop();
        now = e.time;
        idle++;
        if (e.unit >= 0) {
            decomposed[e.unit] = 1;
            const int32_t slab = run.units[e.unit].slab;
            for (int32_t c = 0; c < chunks; c++)
                if (next[slab * chunks + c] == seqOf[e.unit]) queueIfDue(slab * chunks + c);
        } else {
            queued[e.chain] = 0;
            next[e.chain]++;
            queueIfDue(e.chain);
        }
        dispatch();
    }
    return now + run.serialAfter;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Projects the shared scheduling and the one-thread-per-slab one onto many threads.");
    std::vector<int32_t> threads = {2, 8, 16, 32, 64, 128};
    int64_t cropUnits = 40;
    app.add_option("--threads", threads, "thread counts")->delimiter(',');
    app.add_option("--crop-units", cropUnits, "units measured on the crop of (a) and (b)");
    CLI11_PARSE(app, argc, argv);

    // (a) and (b): a position's cost from a crop with noise everywhere.
    const int32_t big[4] = {145, 174, 145, 288};
    std::vector<double> truth, crop;
    tamrin::makePhantom(40, 24, 20, big[3], &truth);
    tamrin::addMagnitudeNoise(truth, 20.0, 3, &crop);
    double passPerVoxel = 0.0;
    const std::vector<Measured> cropUnitsMeasured =
        measureUnits(tamrin::seriesView(crop.data(), 40, 24, 20, big[3]), nullptr, cropUnits, &passPerVoxel);
    double computePerPosition = 0.0, addPerPosition = 0.0;
    int64_t positions = 0;
    const int32_t bigSide = tamrin::patchSide(big[3]);
    for (const Measured& m : cropUnitsMeasured) {
        computePerPosition += m.compute;
        addPerPosition += m.add;
        positions += m.positions;
    }
    computePerPosition /= static_cast<double>(positions);
    addPerPosition /= static_cast<double>(positions);
    std::printf("(a), (b): per position %.2f ms to decompose, %.3f ms to add (from %lld units of a 40x24x20x%d crop); "
                "%.2f ns a voxel before the threads start\n",
                computePerPosition * 1e3, addPerPosition * 1e3, static_cast<long long>(cropUnitsMeasured.size()),
                big[3], passPerVoxel * 1e9);

    // The brain-shaped mask of (b): an ellipsoid filling most of the grid,
    // and which positions' patches reach it.
    const int64_t bx = big[0], by = big[1], bz = big[2];
    std::vector<uint8_t> reach(static_cast<std::size_t>(bx * by * bz), 0);
    for (int64_t z = 0; z < bz; z++)
        for (int64_t y = 0; y < by; y++)
            for (int64_t x = 0; x < bx; x++) {
                const double u = (x - bx / 2.0) / (0.40 * bx), v = (y - by / 2.0) / (0.42 * by),
                             w = (z - bz * 0.55) / (0.40 * bz);
                reach[x + bx * (y + by * z)] = u * u + v * v + w * w <= 1.0;
            }
    const std::vector<uint8_t> brain = reach;
    const int32_t side = bigSide;
    for (int axis = 0; axis < 3; axis++) {
        const int64_t steps[3] = {1, bx, bx * by}, extent[3] = {bx, by, bz};
        for (int64_t k = 0; k < bx * by * bz; k++) {
            const int64_t c = axis == 0 ? k % bx : axis == 1 ? k / bx % by : k / (bx * by);
            for (int64_t d = 1; d < side && c + d < extent[axis]; d++) reach[k] |= reach[k + d * steps[axis]];
        }
    }
    int64_t inside = 0;
    for (uint8_t b : brain) inside += b;

    // (c): every unit measured.
    std::vector<double> cTruth, cSeries;
    const int32_t small[4] = {96, 96, 60, 30};
    tamrin::makePhantom(small[0], small[1], small[2], small[3], &cTruth);
    tamrin::addNoise(cTruth, 20.0, 1, &cSeries);
    double smallPass = 0.0;
    const std::vector<Measured> cUnits = measureUnits(
        tamrin::seriesView(cSeries.data(), small[0], small[1], small[2], small[3]), nullptr, 0, &smallPass);
    std::printf("(c): %lld units measured\n", static_cast<long long>(cUnits.size()));

    struct Case {
        const char* name;
        const int32_t* extents;
        std::function<Run(int32_t slabs)> run;
    };
    const auto bigRun = [&](bool masked, int32_t slabs) {
        Run r = listRun(big[0], big[1], big[2], big[3], slabs, [&](int32_t x0, int32_t y, int32_t z, int32_t count) {
            int32_t denoised = count;
            if (masked) {
                denoised = 0;
                for (int32_t x = x0; x < x0 + count; x++) denoised += reach[x + bx * (y + by * z)];
            }
            return UnitCost{0, computePerPosition * denoised, addPerPosition * denoised};
        });
        const double voxels = static_cast<double>(bx * by * bz);
        r.serialBefore = passPerVoxel * voxels;
        // The bands: s - 1 planes per slab but the last, N + 3 sums a voxel.
        const int32_t E = std::max({big[0], big[1], big[2]});
        const int32_t K = std::max(1, tamrin::workerCount(slabs, E, side));
        r.serialAfter = (K - 1) * (side - 1) * (voxels / E) * (big[3] + 3) * 1e-9;  // about 1 ns a value
        return r;
    };
    const auto smallRun = [&](int32_t slabs) {
        // The measured units are one slab's (scan order); give each its cost
        // by its first position.
        const int32_t s = tamrin::patchSide(small[3]), capacity = tamrin::unitPositions(tamrin::patchVoxels(small[3]), small[3]);
        const int32_t px = small[0] - s + 1, py = small[1] - s + 1, pieces = (px + capacity - 1) / capacity;
        Run r = listRun(small[0], small[1], small[2], small[3], slabs, [&](int32_t x0, int32_t y, int32_t z, int32_t count) {
            // The one-slab unit holding these positions, shared out by count.
            const Measured& m = cUnits[static_cast<std::size_t>((int64_t{z} * py + y) * pieces + x0 / capacity)];
            const int32_t whole = std::min(capacity, px - x0 / capacity * capacity);
            const double share = static_cast<double>(count) / whole;
            return UnitCost{0, m.compute * share, m.add * share};
        });
        r.serialBefore = smallPass * small[0] * small[1] * small[2];
        return r;
    };
    const Case cases[] = {
        {"(a) 145x174x145x288, noise everywhere", big, [&](int32_t k) { return bigRun(false, k); }},
        {"(b) the same grid, a brain-shaped mask", big, [&](int32_t k) { return bigRun(true, k); }},
        {"(c) 96x96x60x30, an exact-zero background", small, smallRun},
    };
    (void)inside;

    for (const Case& c : cases) {
        const int32_t E = std::max({c.extents[0], c.extents[1], c.extents[2]});
        const int32_t s = tamrin::patchSide(c.extents[3]);
        std::printf("\n%s (at most %d slabs)\n", c.name, std::max(1, E / s));
        std::printf("%-34s", "efficiency at T threads");
        for (int32_t T : threads) std::printf(" %7d", T);
        std::printf("\n");
        for (int row = 0; row < 3; row++) {
            std::printf("%-34s", row == 0 ? "shared, K = 1" : row == 1 ? "shared, K = min(T, E/s)" : "one thread per slab (today)");
            for (int32_t T : threads) {
                const int32_t K = row == 0 ? 1 : std::max(1, tamrin::workerCount(T, E, s));
                const Run run = c.run(K);
                double work = run.serialBefore + run.serialAfter;
                for (const UnitCost& u : run.units) work += u.compute + u.add;
                const int32_t chunks = std::min(c.extents[3], std::min(T, tamrin::kAddChunks));
                const double finish = row < 2 ? sharedTime(run, K, T, chunks) : perSlabTime(run, K);
                std::printf(" %7.3f", work / (T * finish));
            }
            std::printf("\n");
        }
    }
    return 0;
}
