// SPDX-License-Identifier: BSD-3-Clause
// Fast kernel, stage 5: diagonalisation of a batch of bidiagonal matrices
// together, one per lane.
//
// The evolution of w and e never reads U or V: U and V only receive
// rotations (and V negations) whose parameters come from w and e. So the
// rotations of the sweep steps are logged and applied to U and V later, lane
// by lane, each matrix receiving them in the plain order.
//
// The sweep steps of all lanes run together in the lanes of vectors, one
// step per lane and round. A step is a chain of divisions and square roots
// whose latency dominates a single patch; kLanes independent chains share
// it. Which lanes step, where they read and write e and w, is tracked in
// vectors too. Everything else (split search, cancellation, convergence,
// shift) runs per lane in scalar code with the plain statements, as
// bookkeeping of round t - 1 issued after round t's step: a lane that ends a
// sweep in round t - 1 prepares its next sweep meanwhile, waits in rounds t
// and t + 1 and joins again in round t + 2, so that no step waits for a
// preparation.
//
// Each sweep of a lane becomes one entry of its lane log, made when the
// sweep is prepared: its length (k - l steps) is known then, so every round
// writes each stepping lane's four rotation parameters straight into place.
// Cancellation rotations and negations join the lane log in order between
// the sweeps. A sweep's entry is replayed as a chain of rotations in which
// the column shared by two consecutive rotations stays in registers.
//
// The lane logs are replayed only once the rebuild knows which components it
// keeps (replayLane): it reads only their columns of U and V, and a rotation
// whose two columns feed no kept column afterwards cannot change a bit it
// reads, so it is skipped. On usual patches, which keep a few components of
// thirty, that is most of them.
#include <cstring>

#include "fast_kernel.h"
#include "fast_simd.h"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

// Writes the four parameters (cs1, sn1, cs2, sn2) of each lane b at slot[b]
// and advances slot[b] by step[b] (4 for a lane that stepped, 0 for one
// that writes to a sink); and the step's new e[j] (z1) and w[j] (z2) of
// lane b at eAt[b] and wAt[b], which advance by one with each step.
inline void writeParams(double** slot, const int64_t* step, double** eAt, double** wAt, const Pack& cs1,
                        const Pack& sn1, const Pack& cs2, const Pack& sn2, const Pack& z1, const Pack& z2) {
#if defined(__AVX512F__)
    // Eight lanes at a time: transposed so that each lane's four values are
    // one 32-byte store.
    typedef double Four __attribute__((vector_size(32), aligned(8), may_alias));
    for (int i = 0; i < kParts; i++) {
        const vd ab0 = __builtin_shufflevector(cs1.v[i], sn1.v[i], 0, 8, 2, 10, 4, 12, 6, 14);
        const vd ab1 = __builtin_shufflevector(cs1.v[i], sn1.v[i], 1, 9, 3, 11, 5, 13, 7, 15);
        const vd cd0 = __builtin_shufflevector(cs2.v[i], sn2.v[i], 0, 8, 2, 10, 4, 12, 6, 14);
        const vd cd1 = __builtin_shufflevector(cs2.v[i], sn2.v[i], 1, 9, 3, 11, 5, 13, 7, 15);
        // Lanes 0 and 2, 4 and 6 (from the even unpacks), 1 and 3, 5 and 7.
        const vd lanes[4] = {__builtin_shufflevector(ab0, cd0, 0, 1, 8, 9, 2, 3, 10, 11),
                             __builtin_shufflevector(ab0, cd0, 4, 5, 12, 13, 6, 7, 14, 15),
                             __builtin_shufflevector(ab1, cd1, 0, 1, 8, 9, 2, 3, 10, 11),
                             __builtin_shufflevector(ab1, cd1, 4, 5, 12, 13, 6, 7, 14, 15)};
        const int order[4][2] = {{0, 2}, {4, 6}, {1, 3}, {5, 7}};
        for (int q = 0; q < 4; q++)
            for (int h = 0; h < 2; h++) {
                const int lane = i * W + order[q][h];
                *reinterpret_cast<Four*>(slot[lane]) =
                    Four{lanes[q][4 * h], lanes[q][4 * h + 1], lanes[q][4 * h + 2], lanes[q][4 * h + 3]};
                slot[lane] += step[lane];
            }
    }
#elif defined(__AVX2__)
    // Four lanes at a time: transposed, each lane's four values are one store.
    for (int i = 0; i < kParts; i++) {
        vd p[4] = {cs1.v[i], sn1.v[i], cs2.v[i], sn2.v[i]};
        transpose(p);
        for (int l = 0; l < 4; l++) {
            storeu(slot[i * W + l], p[l]);
            slot[i * W + l] += step[i * W + l];
        }
    }
#else
    for (int i = 0; i < kParts; i++)
        for (int l = 0; l < W; l++) {
            double* p = slot[i * W + l];
            p[0] = cs1.v[i][l];
            p[1] = sn1.v[i][l];
            p[2] = cs2.v[i][l];
            p[3] = sn2.v[i][l];
            slot[i * W + l] = p + step[i * W + l];
        }
#endif
    for (int i = 0; i < kParts; i++)
        for (int l = 0; l < W; l++) {
            const int lane = i * W + l;
            *eAt[lane] = z1.v[i][l];
            *wAt[lane] = z2.v[i][l];
            eAt[lane] += step[lane] >> 2;
            wAt[lane] += step[lane] >> 2;
        }
}

// A new entry of lane b with room for `params` parameters; when the log is
// full, everything in it is applied first and it starts over.
LaneEntry* newEntry(FastPatchWork* work, int32_t b, int32_t j0, int32_t count, int64_t params) {
    int64_t& entries = work->entryCount[b];
    int64_t& used = work->paramCount[b];
    if (entries == work->entryCapacity || used + params > work->paramCapacity) {
        // Applying needs U and V: if they wait, the lane gets them in full.
        completeLane(work, b);
        applyEntries(work, b, 0, entries);
        entries = 0;
        used = 0;
    }
    LaneEntry* entry = work->entries + b * work->entryCapacity + entries++;
    const int32_t all = count > 0 ? count : 1;
    *entry = LaneEntry{j0, count, 0, all, all, 0, used};
    used += params;
    return entry;
}

// Lane states as integers: the round loop keeps them in vectors.
constexpr int64_t kDone = 0, kSweeping = 1, kEnding = 2, kWaiting = 3;

// What the bookkeeping keeps of a lane: the singular value k, its pass and
// the start l of its block.
struct Track {
    int32_t k, pass, l;
};

// The split search from k down: the first l whose e[l] is negligible (no
// cancellation), or l = 0, or whose w[l - 1] is negligible (cancellation).
// W positions are tested at a time, with the same sums and comparisons; the
// highest position with a hit decides, and at one position e's test comes
// before w's.
inline int32_t splitSearch(const double* e, const double* w, double bound, int32_t k, bool* cancel) {
    const vd b = splat(bound);
    int32_t l = k;
    for (; l >= W; l -= W) {
        // Positions l - W + 1 .. l, lane i for position l - W + 1 + i.
        const vd eAbs = absOf(loadu(e + l - W + 1));
        const vd wAbs = absOf(loadu(w + l - W));
        const uint32_t eHits = laneBits(eAbs + b == b);
        const uint32_t hits = eHits | laneBits(wAbs + b == b);
        if (hits != 0) {
            const int32_t top = 31 - __builtin_clz(hits);
            *cancel = (eHits >> top & 1) == 0;
            return l - W + 1 + top;
        }
    }
    for (;; l--) {
        if (fabsOf(e[l]) + bound == bound) return l;
        if (l == 0) return l;
        if (fabsOf(w[l - 1]) + bound == bound) {
            *cancel = true;
            return l;
        }
    }
}

// Runs lane b from the start of a pass until it is ready for its first sweep
// step (returns true, with the shifted f and x) or has no singular value left
// (false): split search, cancellation, convergence, the message count and the
// shift, as in the plain diagonalise.
bool startSweep(FastPatchWork* work, int32_t b, Track* lane, double* fOut, double* xOut) {
    double* w = work->w + b * work->laneVec;
    double* e = work->e + b * work->laneVec;
    const double bound = work->bound[b];
    while (lane->k >= 0) {
        const int32_t k = lane->k;
        bool cancel = false;
        const int32_t l = splitSearch(e, w, bound, k, &cancel);
        if (cancel) {
            double cs = 0.0, sn = 1.0;
            for (int32_t i = l; i <= k; i++) {
                const double f = sn * e[i];
                e[i] = cs * e[i];
                if (fabsOf(f) + bound == bound) break;
                const double g = w[i];
                double h = hypotOf(f, g);
                w[i] = h;
                h = 1.0 / h;
                cs = g * h;
                sn = -(f * h);
                LaneEntry* entry = newEntry(work, b, l - 1, 0, 2);
                entry->c1 = i;
                double* p = work->params + b * work->paramCapacity + entry->at;
                p[0] = cs;
                p[1] = sn;
            }
        }
        const double z = w[k];
        if (l == k) {
            if (z < 0.0) {
                w[k] = -z;
                newEntry(work, b, k, -1, 0);
            }
            lane->k--;
            lane->pass = 0;
            continue;
        }
        if (lane->pass == 29) work->messages[b]++;

        const double x = w[l];
        const double y = w[k - 1];
        double g = e[k - 1];
        const double h = e[k];
        double f = ((y - z) * (y + z) + (g - h) * (g + h)) / ((2.0 * h) * y);
        g = hypotLate(f, 1.0);
        f = ((x - z) * (x + z) + h * (y / (f + signLate(g, f)) - h)) / x;
        *fOut = f;
        *xOut = x;
        lane->l = l;
        return true;
    }
    return false;
}

// The sweeps of the lanes as the round loop schedules them. A lane's next
// sweep (block start, singular value, whether there is one, shifted f and x,
// where its parameters go) is prepared by the bookkeeping and taken up two
// rounds later, so that no step waits for its preparation.
struct Schedule {
    alignas(64) int64_t nextL[kLanes], nextK[kLanes], nextSweep[kLanes];
    alignas(64) double nextF[kLanes], nextX[kLanes];
    double* nextAt[kLanes];
    double* nextE[kLanes];  // e + l and w + l of the lane's next sweep
    double* nextW[kLanes];
    Track tracks[kLanes];
    // Where each lane's next four parameters go; lanes without a step write
    // them to `sink` and stay there (step 0).
    alignas(32) double sink[4];
    double* slot[kLanes];
    int64_t step[kLanes];
    // Where each lane's step writes its e[j] and w[j] (sink when it has no step).
    double* eAt[kLanes];
    double* wAt[kLanes];
    // f and x of each lane after the last round, for lanes that end there.
    alignas(64) double lastF[kLanes], lastX[kLanes];
    int32_t live;  // lanes with a singular value left
};

// Prepares lane b's next sweep (startSweep) and logs its entry; false when
// the lane has no singular value left.
bool prepareLane(FastPatchWork* work, Schedule& s, int32_t b) {
    double f0 = 1.0, x0 = 1.0;
    Track& track = s.tracks[b];
    const bool sweep = startSweep(work, b, &track, &f0, &x0);
    s.nextL[b] = track.l;
    s.nextK[b] = track.k;
    s.nextSweep[b] = sweep ? -1 : 0;
    s.nextF[b] = f0;
    s.nextX[b] = x0;
    if (sweep) {
        const int32_t steps = track.k - track.l;
        const LaneEntry* entry = newEntry(work, b, track.l, steps, 4 * int64_t{steps});
        s.nextAt[b] = work->params + b * work->paramCapacity + entry->at;
        s.nextE[b] = work->e + b * work->laneVec + track.l;
        s.nextW[b] = work->w + b * work->laneVec + track.l;
    }
    return sweep;
}

// Empties the logs of lanes 0 .. count-1 and prepares their first sweeps;
// returns the lanes' states (kWaiting, or kDone for a lane with nothing to
// do and for the lanes past count).
Ints startLanes(FastPatchWork* work, Schedule& s, int32_t count) {
    alignas(64) int64_t state[kLanes];
    s.sink[0] = s.sink[1] = s.sink[2] = s.sink[3] = 0.0;
    s.live = 0;
    for (int32_t b = 0; b < kLanes; b++) {
        s.nextL[b] = s.nextK[b] = s.nextSweep[b] = 0;
        s.nextF[b] = s.nextX[b] = 1.0;
        s.nextAt[b] = s.slot[b] = s.nextE[b] = s.nextW[b] = s.eAt[b] = s.wAt[b] = s.sink;
        s.step[b] = 0;
        state[b] = kDone;
        if (b >= count) continue;
        work->entryCount[b] = 0;
        work->paramCount[b] = 0;
        s.tracks[b] = Track{work->N - 1, 0, 0};
        const bool sweep = prepareLane(work, s, b);
        state[b] = sweep ? kWaiting : kDone;
        s.live += sweep;
    }
    return loadInts(state);
}

// Which lanes step in a round, and how their states move on.
struct Round {
    PackMask joining;  // lanes starting their prepared sweep
    PackMask steps;    // lanes making a step: those going on and those joining
    // The same as bits (lane b is bit b), and the lanes whose sweep ended in
    // the round before.
    uint32_t joined, stepping, ended;
};

// A sweeping lane goes on while j + 1 < k; a lane that ended its sweep waits
// a round, then joins with its prepared sweep at j = l. Moves state, J and K
// on, and points each lane's parameter slot where this round writes.
inline Round nextRound(Schedule& s, Ints& state, Ints& J, Ints& K) {
    const PackMask sweeping = state == splatInts(kSweeping);
    const PackMask goesOn = sweeping & (J + splatInts(1) < K);
    Round r;
    r.joining = (state == splatInts(kWaiting)) & (loadInts(s.nextSweep) != splatInts(0));
    r.steps = goesOn | r.joining;
    r.joined = bitsOf(r.joining);
    r.stepping = bitsOf(r.steps);
    r.ended = bitsOf(sweeping & ~goesOn);
    J = select(r.joining, loadInts(s.nextL), J - asInts(goesOn));
    K = select(r.joining, loadInts(s.nextK), K);
    state = select(r.steps, splatInts(kSweeping),
                   select(sweeping, splatInts(kEnding), select(state == splatInts(kEnding), splatInts(kWaiting), state)));
    for (uint32_t bits = r.ended; bits != 0; bits &= bits - 1) {
        const int32_t b = __builtin_ctz(bits);
        s.slot[b] = s.eAt[b] = s.wAt[b] = s.sink;
        s.step[b] = 0;
    }
    for (uint32_t bits = r.joined; bits != 0; bits &= bits - 1) {
        const int32_t b = __builtin_ctz(bits);
        s.slot[b] = s.nextAt[b];
        s.eAt[b] = s.nextE[b];
        s.wAt[b] = s.nextW[b];
        s.step[b] = 4;
    }
    return r;
}

// The running values of the lanes' sweeps; lanes without a step hold
// harmless values.
struct Sweep {
    Pack f, x, cs, sn;
};

// One sweep step on every lane, in the plain order of operations, from
// g = e[j + 1] and y = w[j + 1]: writes the new e[j] (z1) and w[j] (z2) and
// the step's rotation parameters to the lanes' slots.
inline void sweepStep(Sweep& v, Pack g, Pack y, Schedule& s) {
    Pack h = v.sn * g;
    g = v.cs * g;
    const Pack z1 = hypotPack(v.f, h);
    v.cs = v.f / z1;
    v.sn = h / z1;
    v.f = v.x * v.cs + g * v.sn;
    g = g * v.cs - v.x * v.sn;
    h = y * v.sn;
    y = y * v.cs;
    const Pack cs1 = v.cs, sn1 = v.sn;
    const Pack z2 = hypotPack(v.f, h);
    const PackMask moved = nonzero(z2);
    const Pack inverse = 1.0 / z2;
    v.cs = select(moved, v.f * inverse, v.cs);
    v.sn = select(moved, h * inverse, v.sn);
    v.f = v.cs * g + v.sn * y;
    v.x = v.cs * y - v.sn * g;
    writeParams(s.slot, s.step, s.eAt, s.wAt, cs1, sn1, v.cs, v.sn, z1, z2);
}

// The end of the sweeps of the lanes in `ending` (those that ended in the
// round before): e[l] = 0, e[k] = f, w[k] = x, the pass count, and the
// preparation of each lane's next sweep.
void endSweeps(FastPatchWork* work, Schedule& s, uint32_t ending) {
    for (; ending != 0; ending &= ending - 1) {
        const int32_t b = __builtin_ctz(ending);
        double* w = work->w + b * work->laneVec;
        double* e = work->e + b * work->laneVec;
        Track& track = s.tracks[b];
        e[track.l] = 0.0;
        e[track.k] = s.lastF[b];
        w[track.k] = s.lastX[b];
        if (++track.pass == 30) {
            track.k--;
            track.pass = 0;
        }
        s.live -= !prepareLane(work, s, b);
    }
}

}  // namespace

void diagonaliseLanes(FastPatchWork* work, int32_t count) {
    Schedule s;
    // The round loop's view of the lanes: state, step j and singular value k,
    // and where lane b's w and e start (plus one: step j reads e[j + 1]).
    Ints state = startLanes(work, s, count), J = splatInts(0), K = splatInts(0);
    alignas(64) int64_t laneBase[kLanes];
    for (int32_t b = 0; b < kLanes; b++) laneBase[b] = b * work->laneVec + 1;
    const Ints base = loadInts(laneBase);
    Sweep v{splatLanes(1.0), splatLanes(1.0), splatLanes(1.0), splatLanes(0.0)};
    while (s.live > 0) {
        const Round r = nextRound(s, state, J, K);
        if (r.stepping != 0) {
            if (r.joined != 0) {
                v.f = select(r.joining, loadLanes(s.nextF), v.f);
                v.x = select(r.joining, loadLanes(s.nextX), v.x);
                v.cs = select(r.joining, splatLanes(1.0), v.cs);
                v.sn = select(r.joining, splatLanes(1.0), v.sn);
            }
            const Ints at = base + J;
            sweepStep(v, gatherLanes(work->e, at, r.steps), gatherLanes(work->w, at, r.steps), s);
        }
        // Bookkeeping of round t - 1, while this round's step computes.
        endSweeps(work, s, r.ended);
        storeLanes(s.lastF, v.f);
        storeLanes(s.lastX, v.x);
    }
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
