// The kernels of simd.h eight base indices per 512-bit vector, for processors
// with AVX-512F. Everything after the target pragma is compiled for them; the
// headers above it stay baseline x86-64.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/sv/kernels/simd.h"

#if defined(__x86_64__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f,avx2")
// GCC 12 reports the deliberately undefined pass-through operand of the
// AVX-512 shuffle intrinsics as (maybe) uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace nivra::sv::kernels::simd::avx512 {

namespace {

struct Lanes {
    using T = __m512d;
    static constexpr std::size_t W = 8;
    static T bcast(double x) { return _mm512_set1_pd(x); }
    static T mul(T a, T b) { return _mm512_mul_pd(a, b); }
    static T add(T a, T b) { return _mm512_add_pd(a, b); }
    static T sub(T a, T b) { return _mm512_sub_pd(a, b); }
    // [r0 i0 .. r3 i3], [r4 i4 .. r7 i7] -> [r0 r4 r1 r5 ..], [i0 i4 i1 i5 ..]
    // (in-lane unpacks) and back.
    static void load(const Complex* p, T& re, T& im) {
        const T lo = _mm512_loadu_pd(reinterpret_cast<const double*>(p));
        const T hi = _mm512_loadu_pd(reinterpret_cast<const double*>(p + 4));
        re = _mm512_unpacklo_pd(lo, hi);
        im = _mm512_unpackhi_pd(lo, hi);
    }
    static void store(Complex* p, T re, T im) {
        _mm512_storeu_pd(reinterpret_cast<double*>(p), _mm512_unpacklo_pd(re, im));
        _mm512_storeu_pd(reinterpret_cast<double*>(p + 4), _mm512_unpackhi_pd(re, im));
    }
    // One complex value per 128-bit quarter, in the lane order of load/store.
    static void load_gather(Complex* const* q, std::uint64_t offset, T& re, T& im) {
        const T lo = quad(q[0] + offset, q[1] + offset, q[2] + offset, q[3] + offset);
        const T hi = quad(q[4] + offset, q[5] + offset, q[6] + offset, q[7] + offset);
        re = _mm512_unpacklo_pd(lo, hi);
        im = _mm512_unpackhi_pd(lo, hi);
    }
    static void store_scatter(Complex* const* q, std::uint64_t offset, T re, T im) {
        const T lo = _mm512_unpacklo_pd(re, im);
        const T hi = _mm512_unpackhi_pd(re, im);
        unquad(lo, q[0] + offset, q[1] + offset, q[2] + offset, q[3] + offset);
        unquad(hi, q[4] + offset, q[5] + offset, q[6] + offset, q[7] + offset);
    }
    // Runs of L = 2 or 4 consecutive values, W / L of them: whole-run loads.
    template <std::size_t L>
    static void load_runs(Complex* const* q, std::uint64_t offset, T& re, T& im) {
        T lo, hi;
        if constexpr (L == 4) {
            lo = _mm512_loadu_pd(reinterpret_cast<const double*>(q[0] + offset));
            hi = _mm512_loadu_pd(reinterpret_cast<const double*>(q[1] + offset));
        } else {
            static_assert(L == 2);
            lo = _mm512_insertf64x4(_mm512_castpd256_pd512(run2(q[0] + offset)), run2(q[1] + offset), 1);
            hi = _mm512_insertf64x4(_mm512_castpd256_pd512(run2(q[2] + offset)), run2(q[3] + offset), 1);
        }
        re = _mm512_unpacklo_pd(lo, hi);
        im = _mm512_unpackhi_pd(lo, hi);
    }
    template <std::size_t L>
    static void store_runs(Complex* const* q, std::uint64_t offset, T re, T im) {
        const T lo = _mm512_unpacklo_pd(re, im);
        const T hi = _mm512_unpackhi_pd(re, im);
        if constexpr (L == 4) {
            _mm512_storeu_pd(reinterpret_cast<double*>(q[0] + offset), lo);
            _mm512_storeu_pd(reinterpret_cast<double*>(q[1] + offset), hi);
        } else {
            static_assert(L == 2);
            put2(q[0] + offset, _mm512_castpd512_pd256(lo));
            put2(q[1] + offset, _mm512_extractf64x4_pd(lo, 1));
            put2(q[2] + offset, _mm512_castpd512_pd256(hi));
            put2(q[3] + offset, _mm512_extractf64x4_pd(hi, 1));
        }
    }
    static __m256d run2(const Complex* p) { return _mm256_loadu_pd(reinterpret_cast<const double*>(p)); }
    static void put2(Complex* p, __m256d v) { _mm256_storeu_pd(reinterpret_cast<double*>(p), v); }
    // Base indices b..b+7 at p[2j], p[2j + 1]: 128-bit quarters sorted into
    // [p0 p2 p4 p6 | p8 ..] and [p1 p3 p5 p7 | p9 ..], then the planes as in load.
    static void load_pairs(const Complex* p, T& re0, T& im0, T& re1, T& im1) {
        const double* d = reinterpret_cast<const double*>(p);
        const T v0 = _mm512_loadu_pd(d), v1 = _mm512_loadu_pd(d + 8);
        const T v2 = _mm512_loadu_pd(d + 16), v3 = _mm512_loadu_pd(d + 24);
        const T lo0 = _mm512_shuffle_f64x2(v0, v1, 0x88), lo1 = _mm512_shuffle_f64x2(v0, v1, 0xDD);
        const T hi0 = _mm512_shuffle_f64x2(v2, v3, 0x88), hi1 = _mm512_shuffle_f64x2(v2, v3, 0xDD);
        re0 = _mm512_unpacklo_pd(lo0, hi0);
        im0 = _mm512_unpackhi_pd(lo0, hi0);
        re1 = _mm512_unpacklo_pd(lo1, hi1);
        im1 = _mm512_unpackhi_pd(lo1, hi1);
    }
    static void store_pairs(Complex* p, T re0, T im0, T re1, T im1) {
        double* d = reinterpret_cast<double*>(p);
        const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
        const __m512i second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
        const T lo0 = _mm512_unpacklo_pd(re0, im0), hi0 = _mm512_unpackhi_pd(re0, im0);
        const T lo1 = _mm512_unpacklo_pd(re1, im1), hi1 = _mm512_unpackhi_pd(re1, im1);
        _mm512_storeu_pd(d, _mm512_permutex2var_pd(lo0, first, lo1));
        _mm512_storeu_pd(d + 8, _mm512_permutex2var_pd(lo0, second, lo1));
        _mm512_storeu_pd(d + 16, _mm512_permutex2var_pd(hi0, first, hi1));
        _mm512_storeu_pd(d + 24, _mm512_permutex2var_pd(hi0, second, hi1));
    }
    static __m128d pair(const Complex* p) { return _mm_loadu_pd(reinterpret_cast<const double*>(p)); }
    static void put(Complex* p, __m128d v) { _mm_storeu_pd(reinterpret_cast<double*>(p), v); }
    static T quad(const Complex* a, const Complex* b, const Complex* c, const Complex* d) {
        const __m256d low = _mm256_set_m128d(pair(b), pair(a));
        const __m256d high = _mm256_set_m128d(pair(d), pair(c));
        return _mm512_insertf64x4(_mm512_castpd256_pd512(low), high, 1);
    }
    static void unquad(T v, Complex* a, Complex* b, Complex* c, Complex* d) {
        const __m256d low = _mm512_castpd512_pd256(v);
        const __m256d high = _mm512_extractf64x4_pd(v, 1);
        put(a, _mm256_castpd256_pd128(low));
        put(b, _mm256_extractf128_pd(low, 1));
        put(c, _mm256_castpd256_pd128(high));
        put(d, _mm256_extractf128_pd(high, 1));
    }
    // As in the AVX2 unit: [re·c, re·s] + [im·(−s), im·c], each product rounded.
    static void rotate(Complex* p, const double* cs) {
        const __m512i sign = _mm512_castpd_si512(_mm512_setr_pd(-0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0, 0.0));
        for (std::size_t half = 0; half < 2; ++half) {
            double* d = reinterpret_cast<double*>(p + 4 * half);
            const T a = _mm512_loadu_pd(d);
            const T m = _mm512_loadu_pd(cs + 8 * half);
            const T swapped =
                _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(_mm512_permute_pd(m, 0x55)), sign));
            const T t = _mm512_mul_pd(_mm512_movedup_pd(a), m);
            _mm512_storeu_pd(d, _mm512_add_pd(t, _mm512_mul_pd(_mm512_permute_pd(a, 0xFF), swapped)));
        }
    }
};

}  // namespace

}  // namespace nivra::sv::kernels::simd::avx512

#define NIVRA_SIMD_NS avx512
#include "nivra/sv/kernels/simd_body.inl"

#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif
