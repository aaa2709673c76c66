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
// that writes to a sink).
inline void writeParams(double** slot, const int64_t* step, const Pack& cs1, const Pack& sn1, const Pack& cs2,
                        const Pack& sn2) {
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
}

// A new entry of lane b with room for `params` parameters; when the log is
// full, everything in it is applied first and it starts over.
LaneEntry* newEntry(FastPatchWork* work, int32_t b, int32_t j0, int32_t count, int64_t params) {
    int64_t& entries = work->entryCount[b];
    int64_t& used = work->paramCount[b];
    if (entries == work->entryCapacity || used + params > work->paramCapacity) {
        // Applying needs U and V; a group whose U and V wait gets them in full.
        if (work->laneGroup[b] >= 0) accumulateGroup(work, work->laneGroup[b]);
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

// hypotOf and signOf for operands that arrive late in a chain of divisions:
// the same operations, with the branch taken by selecting lanes, so that a
// mispredicted branch cannot stall what follows.
inline double hypotLate(double p, double q) { return hypotLanes(splat(p), splat(q))[0]; }
inline double signLate(double p, double q) {
    const vd a = splat(fabsOf(p));
    return select(splat(q) > 0.0, a, -a)[0];
}

// Lane states as integers: the round loop keeps them in vectors.
constexpr int64_t kDone = 0, kSweeping = 1, kEnding = 2, kWaiting = 3;

// What the bookkeeping keeps of a lane: the singular value k, its pass and
// the start l of its block.
struct Track {
    int32_t k, pass, l;
};

// Integer lanes, kLanes of them in kParts native vectors.
struct Ints {
    vm v[kParts];
};
inline Ints splatInts(int64_t x) {
    Ints r;
    for (int i = 0; i < kParts; i++) r.v[i] = vm{} + x;
    return r;
}
inline Ints loadInts(const int64_t* p) {
    Ints r;
    std::memcpy(&r, p, sizeof(r));
    return r;
}
#define TAMRIN_INTS_OP(op, Result)                                      \
    inline Result operator op(const Ints& a, const Ints& b) {           \
        Result r;                                                       \
        for (int i = 0; i < kParts; i++) r.v[i] = a.v[i] op b.v[i];     \
        return r;                                                       \
    }
TAMRIN_INTS_OP(+, Ints)
TAMRIN_INTS_OP(-, Ints)
TAMRIN_INTS_OP(<, PackMask)
TAMRIN_INTS_OP(==, PackMask)
TAMRIN_INTS_OP(!=, PackMask)
#undef TAMRIN_INTS_OP
inline PackMask operator&(const PackMask& a, const PackMask& b) {
    PackMask r;
    for (int i = 0; i < kParts; i++) r.v[i] = a.v[i] & b.v[i];
    return r;
}
inline PackMask operator|(const PackMask& a, const PackMask& b) {
    PackMask r;
    for (int i = 0; i < kParts; i++) r.v[i] = a.v[i] | b.v[i];
    return r;
}
inline PackMask operator~(const PackMask& a) {
    PackMask r;
    for (int i = 0; i < kParts; i++) r.v[i] = ~a.v[i];
    return r;
}
inline Ints asInts(const PackMask& m) {
    Ints r;
    for (int i = 0; i < kParts; i++) r.v[i] = m.v[i];
    return r;
}
inline Ints select(const PackMask& m, const Ints& a, const Ints& b) {
    Ints r;
    for (int i = 0; i < kParts; i++) r.v[i] = (a.v[i] & m.v[i]) | (b.v[i] & ~m.v[i]);
    return r;
}
// Bit b set when lane b of m is set.
inline uint32_t bitsOf(const PackMask& m) {
    uint32_t bits = 0;
    for (int i = 0; i < kParts; i++) {
#if defined(__AVX512F__)
        bits |= static_cast<uint32_t>(_mm512_test_epi64_mask(reinterpret_cast<__m512i>(m.v[i]),
                                                             reinterpret_cast<__m512i>(m.v[i])))
                << (i * W);
#else
        for (int l = 0; l < W; l++) bits |= static_cast<uint32_t>(m.v[i][l] & 1) << (i * W + l);
#endif
    }
    return bits;
}

// base[index] on the lanes of m, 0.0 on the others.
inline Pack gatherLanes(const double* base, const Ints& index, const PackMask& m) {
    Pack r;
    for (int i = 0; i < kParts; i++) {
#if defined(__AVX512F__)
        const __mmask8 k = _mm512_test_epi64_mask(reinterpret_cast<__m512i>(m.v[i]), reinterpret_cast<__m512i>(m.v[i]));
        r.v[i] = reinterpret_cast<vd>(
            _mm512_mask_i64gather_pd(_mm512_setzero_pd(), k, reinterpret_cast<__m512i>(index.v[i]), base, 8));
#elif defined(__AVX2__)
        r.v[i] = reinterpret_cast<vd>(_mm256_mask_i64gather_pd(_mm256_setzero_pd(), base,
                                                               reinterpret_cast<__m256i>(index.v[i]),
                                                               reinterpret_cast<__m256d>(m.v[i]), 8));
#else
        for (int l = 0; l < W; l++) r.v[i][l] = m.v[i][l] ? base[index.v[i][l]] : 0.0;
#endif
    }
    return r;
}

// base[index] = v on the lanes of m (distinct indices).
inline void scatterLanes(double* base, const Ints& index, const PackMask& m, const Pack& v) {
    for (int i = 0; i < kParts; i++) {
#if defined(__AVX512F__)
        const __mmask8 k = _mm512_test_epi64_mask(reinterpret_cast<__m512i>(m.v[i]), reinterpret_cast<__m512i>(m.v[i]));
        _mm512_mask_i64scatter_pd(base, k, reinterpret_cast<__m512i>(index.v[i]), reinterpret_cast<__m512d>(v.v[i]), 8);
#else
        for (int l = 0; l < W; l++)
            if (m.v[i][l]) base[index.v[i][l]] = v.v[i][l];
#endif
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
        int32_t l = k;
        bool cancel = false;
        for (;; l--) {
            if (fabsOf(e[l]) + bound == bound) break;
            if (l == 0) break;
            if (fabsOf(w[l - 1]) + bound == bound) {
                cancel = true;
                break;
            }
        }
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

}  // namespace

void diagonaliseLanes(FastPatchWork* work, int32_t count) {
    // The next sweep of each lane (block start, singular value, whether there
    // is one, shifted f and x, and where its parameters go), prepared by the
    // bookkeeping and taken up two rounds later, so that no step waits for
    // its preparation.
    alignas(64) int64_t nextL[kLanes], nextK[kLanes], nextSweep[kLanes];
    alignas(64) double nextF[kLanes], nextX[kLanes];
    double* nextAt[kLanes];
    Track tracks[kLanes];
    int32_t live = 0;
    auto prepare = [&](int32_t b) {
        double f0 = 1.0, x0 = 1.0;
        const bool sweep = startSweep(work, b, &tracks[b], &f0, &x0);
        nextL[b] = tracks[b].l;
        nextK[b] = tracks[b].k;
        nextSweep[b] = sweep ? -1 : 0;
        nextF[b] = f0;
        nextX[b] = x0;
        if (sweep) {
            const int32_t steps = tracks[b].k - tracks[b].l;
            const LaneEntry* entry = newEntry(work, b, tracks[b].l, steps, 4 * int64_t{steps});
            nextAt[b] = work->params + b * work->paramCapacity + entry->at;
        }
        return sweep;
    };
    // Where each lane's next four parameters go; lanes without a step write
    // them to `sink` and stay there (step 0).
    alignas(32) double sink[4] = {0.0, 0.0, 0.0, 0.0};
    double* slot[kLanes];
    int64_t step[kLanes];
    alignas(64) int64_t laneState[kLanes], laneBase[kLanes];
    for (int32_t b = 0; b < kLanes; b++) {
        laneBase[b] = b * work->laneVec + 1;
        nextL[b] = nextK[b] = nextSweep[b] = 0;
        nextF[b] = nextX[b] = 1.0;
        nextAt[b] = slot[b] = sink;
        step[b] = 0;
        laneState[b] = kDone;
        if (b >= count) continue;
        work->entryCount[b] = 0;
        work->paramCount[b] = 0;
        tracks[b] = Track{work->N - 1, 0, 0};
        const bool sweep = prepare(b);
        laneState[b] = sweep ? kWaiting : kDone;
        live += sweep;
    }

    // The round loop's view of the lanes: state, step j and singular value k.
    Ints state = loadInts(laneState), J = splatInts(0), K = splatInts(0);
    const Ints base = loadInts(laneBase);
    // Running values of the lanes; lanes without a step hold harmless values.
    Pack f = splatLanes(1.0), x = splatLanes(1.0), cs = splatLanes(1.0), sn = splatLanes(0.0);
    // Round t - 1: its steps, new e[j] and w[j], and f and x for lanes that
    // end their sweep there.
    PackMask lastSteps = nonzero(splatLanes(0.0));
    Ints lastJ = splatInts(0);
    Pack lastE = splatLanes(0.0), lastW = splatLanes(0.0);
    alignas(64) double lastF[kLanes], lastX[kLanes];
    while (live > 0) {

        // Which lanes step in this round: a sweeping lane goes on while
        // j + 1 < k; a lane that ended its sweep waits a round, then joins
        // with its prepared sweep.
        const PackMask sweeping = state == splatInts(kSweeping);
        const PackMask goesOn = sweeping & (J + splatInts(1) < K);
        const PackMask joining = (state == splatInts(kWaiting)) & (loadInts(nextSweep) != splatInts(0));
        J = select(joining, loadInts(nextL), J - asInts(goesOn));
        K = select(joining, loadInts(nextK), K);
        state = select(joining | goesOn, splatInts(kSweeping),
                       select(sweeping, splatInts(kEnding),
                              select(state == splatInts(kEnding), splatInts(kWaiting), state)));
        const PackMask steps = goesOn | joining;
        const uint32_t stepping = bitsOf(steps);
        for (uint32_t ended = bitsOf(sweeping & ~goesOn); ended != 0; ended &= ended - 1) {
            const int32_t b = __builtin_ctz(ended);
            slot[b] = sink;
            step[b] = 0;
        }
        const uint32_t joined = bitsOf(joining);
        for (uint32_t bits = joined; bits != 0; bits &= bits - 1) {
            const int32_t b = __builtin_ctz(bits);
            slot[b] = nextAt[b];
            step[b] = 4;
        }

        if (stepping != 0) {
            if (joined != 0) {
                f = select(joining, loadLanes(nextF), f);
                x = select(joining, loadLanes(nextX), x);
                cs = select(joining, splatLanes(1.0), cs);
                sn = select(joining, splatLanes(1.0), sn);
            }
            const Ints at = base + J;
            Pack g = gatherLanes(work->e, at, steps);
            Pack y = gatherLanes(work->w, at, steps);

            // One sweep step on every lane, in the plain order of operations.
            Pack h = sn * g;
            g = cs * g;
            const Pack z1 = hypotPack(f, h);
            cs = f / z1;
            sn = h / z1;
            f = x * cs + g * sn;
            g = g * cs - x * sn;
            h = y * sn;
            y = y * cs;
            const Pack cs1 = cs, sn1 = sn;
            const Pack z2 = hypotPack(f, h);
            const PackMask moved = nonzero(z2);
            const Pack inverse = 1.0 / z2;
            cs = select(moved, f * inverse, cs);
            sn = select(moved, h * inverse, sn);
            f = cs * g + sn * y;
            x = cs * y - sn * g;
            writeParams(slot, step, cs1, sn1, cs, sn);

            // Bookkeeping of round t - 1, while this round's step computes.
            scatterLanes(work->e, base + lastJ - splatInts(1), lastSteps, lastE);
            scatterLanes(work->w, base + lastJ - splatInts(1), lastSteps, lastW);
            lastE = z1;
            lastW = z2;
        } else {
            scatterLanes(work->e, base + lastJ - splatInts(1), lastSteps, lastE);
            scatterLanes(work->w, base + lastJ - splatInts(1), lastSteps, lastW);
        }

        // Lanes whose sweep ended in round t - 1 prepare their next one.
        for (uint32_t ending = bitsOf(sweeping & ~goesOn); ending != 0; ending &= ending - 1) {
            const int32_t b = __builtin_ctz(ending);
            double* w = work->w + b * work->laneVec;
            double* e = work->e + b * work->laneVec;
            Track& track = tracks[b];
            e[track.l] = 0.0;
            e[track.k] = lastF[b];
            w[track.k] = lastX[b];
            if (++track.pass == 30) {
                track.k--;
                track.pass = 0;
            }
            live -= !prepare(b);
        }

        storeLanes(lastF, f);
        storeLanes(lastX, x);
        lastSteps = steps;
        lastJ = J;
    }
}

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
