// SPDX-License-Identifier: BSD-3-Clause
// Vector helpers for the fast patch kernel. Internal to linalg/.
//
// The kernel sources are compiled once per instruction set, each time inside
// its own namespace (TAMRIN_ISA_NS, set by the build), and the lane count W
// follows the instruction set the compiler targets: 8 with AVX-512, 4 with
// AVX2, 2 otherwise (SSE2 on x86-64, NEON on ARM64). Every helper here works lane by lane and performs on
// each lane exactly the IEEE operation its scalar form would, so code written
// with them gives the same bits as the plain scalar code whatever W is.
// Nothing here may use fused multiply-add: the build compiles with
// -ffp-contract=off and no helper calls an fma intrinsic.
#pragma once

#include <cstdint>
#include <cstring>

#include "linalg/fast_work.h"

#if defined(__SSE2__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

// The build names the namespace of each instruction-set build; a build that
// compiles the sources only once gets the baseline.
#ifndef TAMRIN_ISA_NS
#define TAMRIN_ISA_NS isa_baseline
#endif

// The helpers below pass vectors wider than the baseline ABI's registers;
// they are all inlined and internal, so the ABI note does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace tamrin {
namespace TAMRIN_ISA_NS {
namespace {

#if defined(__AVX512F__)
constexpr int W = 8;
#elif defined(__AVX2__)
constexpr int W = 4;
#else
constexpr int W = 2;
#endif

typedef double vd __attribute__((vector_size(8 * W)));
typedef int64_t vm __attribute__((vector_size(8 * W)));
// Same vector, for loads and stores at any 8-byte aligned address.
typedef double vdu __attribute__((vector_size(8 * W), aligned(8), may_alias));

inline vd loadu(const double* p) { return *reinterpret_cast<const vdu*>(p); }
inline void storeu(double* p, vd v) { *reinterpret_cast<vdu*>(p) = v; }

// Broadcast without arithmetic (0.0 + x would turn -0.0 into +0.0).
inline vd splat(double x) {
    vd v;
    for (int i = 0; i < W; i++) v[i] = x;
    return v;
}

// a where mask is set, b elsewhere, for masks whose lanes are all ones or
// all zeros (as comparisons make them); pure bit selection.
template <typename V, typename Mask>
inline V select(Mask mask, V a, V b) {
#if defined(__AVX2__) && !defined(__AVX512F__)
    // One blend (it reads the sign bit of each mask lane).
    if (sizeof(V) == 32 && sizeof(Mask) == 32) {
        __m256d out = _mm256_blendv_pd(reinterpret_cast<__m256d>(b), reinterpret_cast<__m256d>(a),
                                       reinterpret_cast<__m256d>(mask));
        V r;
        std::memcpy(&r, &out, sizeof(r));
        return r;
    }
#endif
    Mask ai, bi;
    std::memcpy(&ai, &a, sizeof(a));
    std::memcpy(&bi, &b, sizeof(b));
    const Mask r = (ai & mask) | (bi & ~mask);
    V out;
    std::memcpy(&out, &r, sizeof(out));
    return out;
}

// |v| on every lane: the sign bit cleared.
inline vd absOf(vd v) {
    vm bits;
    std::memcpy(&bits, &v, sizeof(v));
    bits &= INT64_MAX;
    vd out;
    std::memcpy(&out, &bits, sizeof(out));
    return out;
}

inline vd vsqrt(vd v) {
#if defined(__AVX512F__)
    const __m512d x = reinterpret_cast<__m512d>(v);
    return reinterpret_cast<vd>(_mm512_mask_sqrt_pd(x, 0xFF, x));
#elif defined(__AVX2__)
    return reinterpret_cast<vd>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(v)));
#elif defined(__SSE2__)
    return reinterpret_cast<vd>(_mm_sqrt_pd(reinterpret_cast<__m128d>(v)));
#elif defined(__aarch64__)
    return reinterpret_cast<vd>(vsqrtq_f64(reinterpret_cast<float64x2_t>(v)));
#else
    for (int i = 0; i < W; i++) v[i] = __builtin_sqrt(v[i]);
    return v;
#endif
}

// Two-source lane shuffle with a constant selector (lanes of a are 0..W-1,
// lanes of b are W..2W-1).
#if defined(__clang__)
#define TAMRIN_SHUFFLE(a, b, ...) __builtin_shufflevector(a, b, __VA_ARGS__)
#else
#define TAMRIN_SHUFFLE(a, b, ...) __builtin_shuffle(a, b, vm{__VA_ARGS__})
#endif

// Transposes the W x W block p in registers: afterwards p[c][r] holds what
// p[r][c] held. Only moves lanes.
inline void transpose(vd* p) {
#if defined(__AVX512F__)
    vd a[8], b[8];
    for (int r = 0; r < 8; r += 2) {
        a[r] = TAMRIN_SHUFFLE(p[r], p[r + 1], 0, 8, 2, 10, 4, 12, 6, 14);
        a[r + 1] = TAMRIN_SHUFFLE(p[r], p[r + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    // a[2q + h] holds lanes (2q, 2q + 1) of columns h, h + 2, h + 4, h + 6.
    for (int q = 0; q < 8; q += 4)
        for (int h = 0; h < 2; h++) {
            b[q + h] = TAMRIN_SHUFFLE(a[q + h], a[q + 2 + h], 0, 1, 8, 9, 4, 5, 12, 13);
            b[q + 2 + h] = TAMRIN_SHUFFLE(a[q + h], a[q + 2 + h], 2, 3, 10, 11, 6, 7, 14, 15);
        }
    // b[4s + c] (c < 4) holds rows 4s..4s+3 of columns c and c + 4.
    for (int c = 0; c < 4; c++) {
        p[c] = TAMRIN_SHUFFLE(b[c], b[4 + c], 0, 1, 2, 3, 8, 9, 10, 11);
        p[c + 4] = TAMRIN_SHUFFLE(b[c], b[4 + c], 4, 5, 6, 7, 12, 13, 14, 15);
    }
#elif defined(__AVX2__)
    const vd a0 = TAMRIN_SHUFFLE(p[0], p[1], 0, 4, 2, 6);
    const vd a1 = TAMRIN_SHUFFLE(p[0], p[1], 1, 5, 3, 7);
    const vd a2 = TAMRIN_SHUFFLE(p[2], p[3], 0, 4, 2, 6);
    const vd a3 = TAMRIN_SHUFFLE(p[2], p[3], 1, 5, 3, 7);
    p[0] = TAMRIN_SHUFFLE(a0, a2, 0, 1, 4, 5);
    p[1] = TAMRIN_SHUFFLE(a1, a3, 0, 1, 4, 5);
    p[2] = TAMRIN_SHUFFLE(a0, a2, 2, 3, 6, 7);
    p[3] = TAMRIN_SHUFFLE(a1, a3, 2, 3, 6, 7);
#else
    const vd a0 = TAMRIN_SHUFFLE(p[0], p[1], 0, 2);
    const vd a1 = TAMRIN_SHUFFLE(p[0], p[1], 1, 3);
    p[0] = a0;
    p[1] = a1;
#endif
}

// Scalar forms used by the kernel, the same operations as the plain path's.
inline double fabsOf(double x) { return __builtin_fabs(x); }
inline double signOf(double p, double q) { return q > 0.0 ? fabsOf(p) : -fabsOf(p); }
inline double hypotOf(double p, double q) {
    const double P = fabsOf(p);
    const double Q = fabsOf(q);
    if (P > Q) {
        const double r = Q / P;
        return P * __builtin_sqrt(1.0 + r * r);
    }
    if (Q == 0.0) return 0.0;
    const double r = P / Q;
    return Q * __builtin_sqrt(1.0 + r * r);
}

// kLanes lanes, as kLanes / W native vectors: the batched diagonalisation
// keeps one patch per lane. Sixteen with AVX-512 and AVX2, which keep
// enough chains of divisions and square roots in flight that way; eight
// with two-lane vectors.
constexpr int kLanes = W >= 4 ? 16 : 8;
static_assert(kLanes <= kFastMaxBatch, "a batch must fit the lanes");
constexpr int kParts = kLanes / W;
struct Pack {
    vd v[kParts];
};
struct PackMask {
    vm v[kParts];
};

inline Pack splatLanes(double x) {
    Pack p;
    for (int i = 0; i < kParts; i++) p.v[i] = splat(x);
    return p;
}
#define TAMRIN_PACK_OP(op)                                         \
    inline Pack operator op(const Pack& a, const Pack& b) {        \
        Pack r;                                                    \
        for (int i = 0; i < kParts; i++) r.v[i] = a.v[i] op b.v[i]; \
        return r;                                                  \
    }
TAMRIN_PACK_OP(+)
TAMRIN_PACK_OP(-)
TAMRIN_PACK_OP(*)
TAMRIN_PACK_OP(/)
#undef TAMRIN_PACK_OP
inline Pack operator+(double a, const Pack& b) {
    Pack r;
    for (int i = 0; i < kParts; i++) r.v[i] = a + b.v[i];
    return r;
}
inline Pack operator/(double a, const Pack& b) {
    Pack r;
    for (int i = 0; i < kParts; i++) r.v[i] = a / b.v[i];
    return r;
}
inline PackMask nonzero(const Pack& a) {
    PackMask m;
    for (int i = 0; i < kParts; i++) m.v[i] = a.v[i] != 0.0;
    return m;
}
inline Pack select(const PackMask& m, const Pack& a, const Pack& b) {
    Pack r;
    for (int i = 0; i < kParts; i++) r.v[i] = select(m.v[i], a.v[i], b.v[i]);
    return r;
}
// Mask of the lanes whose bit is set in bits (lane b is bit b).
inline PackMask laneMask(uint32_t bits) {
    PackMask m;
    for (int i = 0; i < kParts; i++) {
        vm bit;
        for (int l = 0; l < W; l++) bit[l] = int64_t{1} << (i * W + l);
        m.v[i] = (bit & static_cast<int64_t>(bits)) != 0;
    }
    return m;
}
inline void storeLanes(double* p, const Pack& a) {
    for (int i = 0; i < kParts; i++) storeu(p + i * W, a.v[i]);
}
inline Pack loadLanes(const double* p) {
    Pack r;
    for (int i = 0; i < kParts; i++) r.v[i] = loadu(p + i * W);
    return r;
}

// hypotOf on every lane: the larger magnitude divides the smaller, as in the
// scalar branch each lane would take; a lane whose scalar form returns 0
// early gets 0.
inline vd hypotLanes(vd p, vd q) {
    const vd P = absOf(p);
    const vd Q = absOf(q);
    const vm pLarger = P > Q;
    const vd big = select(pLarger, P, Q);
    const vd small = select(pLarger, Q, P);
    const vd r = small / big;
    const vd result = big * vsqrt(1.0 + r * r);
    const vm zero = ~pLarger & (Q == 0.0);
    return select(zero, vd{}, result);
}
inline Pack hypotPack(const Pack& p, const Pack& q) {
    Pack r;
    for (int i = 0; i < kParts; i++) r.v[i] = hypotLanes(p.v[i], q.v[i]);
    return r;
}

// hypotOf and signOf for operands that arrive late in a chain of divisions:
// the same operations, with the branch taken by selecting lanes, so that a
// mispredicted branch cannot stall what follows.
inline double hypotLate(double p, double q) { return hypotLanes(splat(p), splat(q))[0]; }
inline double signLate(double p, double q) {
    const vd a = splat(fabsOf(p));
    return select(splat(q) > 0.0, a, -a)[0];
}

// Integer lanes, kLanes of them in kParts native vectors: the batched
// diagonalisation keeps each lane's state and indices in them.
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
#define TAMRIN_INTS_OP(op, Result)                                  \
    inline Result operator op(const Ints& a, const Ints& b) {       \
        Result r;                                                   \
        for (int i = 0; i < kParts; i++) r.v[i] = a.v[i] op b.v[i]; \
        return r;                                                   \
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
    for (int i = 0; i < kParts; i++) r.v[i] = select(m.v[i], a.v[i], b.v[i]);
    return r;
}
// Bit i set when lane i of the mask m is set.
inline uint32_t laneBits(vm m) {
#if defined(__AVX512F__)
    return static_cast<uint32_t>(_mm512_test_epi64_mask(reinterpret_cast<__m512i>(m), reinterpret_cast<__m512i>(m)));
#elif defined(__AVX2__)
    return static_cast<uint32_t>(_mm256_movemask_pd(reinterpret_cast<__m256d>(m)));
#elif defined(__SSE2__)
    return static_cast<uint32_t>(_mm_movemask_pd(reinterpret_cast<__m128d>(m)));
#else
    uint32_t bits = 0;
    for (int l = 0; l < W; l++) bits |= static_cast<uint32_t>(m[l] & 1) << l;
    return bits;
#endif
}

// Bit b set when lane b of m is set.
inline uint32_t bitsOf(const PackMask& m) {
    uint32_t bits = 0;
    for (int i = 0; i < kParts; i++) bits |= laneBits(m.v[i]) << (i * W);
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

// W matrices interleaved lane by lane, as the batch reduction keeps them:
// element (r, c) of the W at X + (r * cols + c) * W, one aligned vector.
inline vd get(const double* X, int64_t cols, int64_t r, int64_t c) {
    return *reinterpret_cast<const vd*>(X + (r * cols + c) * W);
}
inline void put(double* X, int64_t cols, int64_t r, int64_t c, vd v) {
    *reinterpret_cast<vd*>(X + (r * cols + c) * W) = v;
}

// The lanes a masked store writes: a bit mask with AVX-512, a vector of
// all-ones and all-zeros lanes otherwise.
#if defined(__AVX512F__)
typedef __mmask8 LaneMask;
inline LaneMask nonzeroMask(vd v) {
    return _mm512_cmp_pd_mask(reinterpret_cast<__m512d>(v), _mm512_setzero_pd(), _CMP_NEQ_UQ);
}
inline bool anyLane(LaneMask mask) { return mask != 0; }
inline bool everyLane(LaneMask mask) { return mask == 0xFF; }
// The same mask as a vector, for selects.
inline vm maskVector(LaneMask mask) {
    return reinterpret_cast<vm>(_mm512_maskz_mov_epi64(mask, _mm512_set1_epi64(-1)));
}
// Writes v to the aligned vector at p where mask is set and leaves the other lanes.
inline void storeWhere(double* p, LaneMask mask, vd v) { _mm512_mask_store_pd(p, mask, reinterpret_cast<__m512d>(v)); }
#else
typedef vm LaneMask;
inline LaneMask nonzeroMask(vd v) { return v != 0.0; }
inline bool anyLane(LaneMask mask) {
    int64_t any = 0;
    for (int i = 0; i < W; i++) any |= mask[i];
    return any != 0;
}
inline bool everyLane(LaneMask mask) {
    int64_t every = -1;
    for (int i = 0; i < W; i++) every &= mask[i];
    return every != 0;
}
inline vm maskVector(LaneMask mask) { return mask; }
inline void storeWhere(double* p, LaneMask mask, vd v) {
    vd* at = reinterpret_cast<vd*>(p);
#if defined(__AVX2__)
    *at = reinterpret_cast<vd>(_mm256_blendv_pd(reinterpret_cast<__m256d>(*at), reinterpret_cast<__m256d>(v),
                                                reinterpret_cast<__m256d>(mask)));
#else
    *at = select(mask, v, *at);
#endif
}
#endif
// Writes v where mask is set and leaves the other lanes.
inline void putMasked(double* X, int64_t cols, int64_t r, int64_t c, LaneMask mask, vd v) {
    storeWhere(X + (r * cols + c) * W, mask, v);
}
// -sign(p, q): |p| when q > 0, -|p| otherwise, negated.
inline vd minusSign(vd p, vd q) {
    const vd a = absOf(p);
    return -select(q > 0.0, a, -a);
}

}  // namespace

// dst[c * ldd + r] = src[r * lds + c] for r < rows and c < cols (copies only).
void transposeInto(const double* src, int64_t lds, double* dst, int64_t ldd, int32_t rows, int32_t cols);

}  // namespace TAMRIN_ISA_NS
}  // namespace tamrin
