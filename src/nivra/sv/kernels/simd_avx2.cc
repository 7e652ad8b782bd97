// The kernels of simd.h four base indices per 256-bit vector, for processors
// with AVX2. Everything after the target pragma is compiled for them; the
// headers above it stay baseline x86-64. The target leaves out FMA: the
// products are rounded one by one (simd.h), so the kernels never need it.

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
#pragma GCC target("avx2")

namespace nivra::sv::kernels::simd::avx2 {

namespace {

struct Lanes {
    using T = __m256d;
    static constexpr std::size_t W = 4;
    static T bcast(double x) { return _mm256_set1_pd(x); }
    static T mul(T a, T b) { return _mm256_mul_pd(a, b); }
    static T add(T a, T b) { return _mm256_add_pd(a, b); }
    static T sub(T a, T b) { return _mm256_sub_pd(a, b); }
    // [r0 i0 r1 i1], [r2 i2 r3 i3] -> [r0 r2 r1 r3], [i0 i2 i1 i3] and back.
    static void load(const Complex* p, T& re, T& im) {
        const T lo = _mm256_loadu_pd(reinterpret_cast<const double*>(p));
        const T hi = _mm256_loadu_pd(reinterpret_cast<const double*>(p + 2));
        re = _mm256_unpacklo_pd(lo, hi);
        im = _mm256_unpackhi_pd(lo, hi);
    }
    static void store(Complex* p, T re, T im) {
        _mm256_storeu_pd(reinterpret_cast<double*>(p), _mm256_unpacklo_pd(re, im));
        _mm256_storeu_pd(reinterpret_cast<double*>(p + 2), _mm256_unpackhi_pd(re, im));
    }
    // One complex value per 128-bit half, in the lane order of load/store.
    static void load_gather(Complex* const* q, std::uint64_t offset, T& re, T& im) {
        const T lo = _mm256_set_m128d(pair(q[1] + offset), pair(q[0] + offset));
        const T hi = _mm256_set_m128d(pair(q[3] + offset), pair(q[2] + offset));
        re = _mm256_unpacklo_pd(lo, hi);
        im = _mm256_unpackhi_pd(lo, hi);
    }
    static void store_scatter(Complex* const* q, std::uint64_t offset, T re, T im) {
        const T lo = _mm256_unpacklo_pd(re, im);
        const T hi = _mm256_unpackhi_pd(re, im);
        put(q[0] + offset, _mm256_castpd256_pd128(lo));
        put(q[1] + offset, _mm256_extractf128_pd(lo, 1));
        put(q[2] + offset, _mm256_castpd256_pd128(hi));
        put(q[3] + offset, _mm256_extractf128_pd(hi, 1));
    }
    // Two runs of two consecutive values: whole 256-bit loads.
    template <std::size_t L>
    static void load_runs(Complex* const* q, std::uint64_t offset, T& re, T& im) {
        static_assert(L == 2);
        const T lo = _mm256_loadu_pd(reinterpret_cast<const double*>(q[0] + offset));
        const T hi = _mm256_loadu_pd(reinterpret_cast<const double*>(q[1] + offset));
        re = _mm256_unpacklo_pd(lo, hi);
        im = _mm256_unpackhi_pd(lo, hi);
    }
    template <std::size_t L>
    static void store_runs(Complex* const* q, std::uint64_t offset, T re, T im) {
        static_assert(L == 2);
        _mm256_storeu_pd(reinterpret_cast<double*>(q[0] + offset), _mm256_unpacklo_pd(re, im));
        _mm256_storeu_pd(reinterpret_cast<double*>(q[1] + offset), _mm256_unpackhi_pd(re, im));
    }
    // Base indices b..b+3 at p[2j], p[2j + 1]: whole 128-bit halves sorted
    // into [p0 p2 | p4 p6] and [p1 p3 | p5 p7], then the planes as in load.
    static void load_pairs(const Complex* p, T& re0, T& im0, T& re1, T& im1) {
        const double* d = reinterpret_cast<const double*>(p);
        const T v0 = _mm256_loadu_pd(d), v1 = _mm256_loadu_pd(d + 4);
        const T v2 = _mm256_loadu_pd(d + 8), v3 = _mm256_loadu_pd(d + 12);
        const T lo0 = _mm256_permute2f128_pd(v0, v1, 0x20), lo1 = _mm256_permute2f128_pd(v0, v1, 0x31);
        const T hi0 = _mm256_permute2f128_pd(v2, v3, 0x20), hi1 = _mm256_permute2f128_pd(v2, v3, 0x31);
        re0 = _mm256_unpacklo_pd(lo0, hi0);
        im0 = _mm256_unpackhi_pd(lo0, hi0);
        re1 = _mm256_unpacklo_pd(lo1, hi1);
        im1 = _mm256_unpackhi_pd(lo1, hi1);
    }
    static void store_pairs(Complex* p, T re0, T im0, T re1, T im1) {
        double* d = reinterpret_cast<double*>(p);
        const T lo0 = _mm256_unpacklo_pd(re0, im0), hi0 = _mm256_unpackhi_pd(re0, im0);
        const T lo1 = _mm256_unpacklo_pd(re1, im1), hi1 = _mm256_unpackhi_pd(re1, im1);
        _mm256_storeu_pd(d, _mm256_permute2f128_pd(lo0, lo1, 0x20));
        _mm256_storeu_pd(d + 4, _mm256_permute2f128_pd(lo0, lo1, 0x31));
        _mm256_storeu_pd(d + 8, _mm256_permute2f128_pd(hi0, hi1, 0x20));
        _mm256_storeu_pd(d + 12, _mm256_permute2f128_pd(hi0, hi1, 0x31));
    }
    static __m128d pair(const Complex* p) { return _mm_loadu_pd(reinterpret_cast<const double*>(p)); }
    static void put(Complex* p, __m128d v) { _mm_storeu_pd(reinterpret_cast<double*>(p), v); }
    // Per complex lane pair [re, im]·[c, s]: [re·c, re·s] + [im·(−s), im·c],
    // each product rounded: re·c − im·s and re·s + im·c, the product of
    // simd.h bit for bit (x + (−y) is x − y, and negation is exact).
    static void rotate(Complex* p, const double* cs) {
        const T sign = _mm256_setr_pd(-0.0, 0.0, -0.0, 0.0);
        for (std::size_t half = 0; half < 2; ++half) {
            double* d = reinterpret_cast<double*>(p + 2 * half);
            const T a = _mm256_loadu_pd(d);
            const T m = _mm256_loadu_pd(cs + 4 * half);
            const T swapped = _mm256_xor_pd(_mm256_permute_pd(m, 0x5), sign);
            const T t = _mm256_mul_pd(_mm256_movedup_pd(a), m);
            _mm256_storeu_pd(d, _mm256_add_pd(t, _mm256_mul_pd(_mm256_permute_pd(a, 0xF), swapped)));
        }
    }
};

}  // namespace

}  // namespace nivra::sv::kernels::simd::avx2

#define NIVRA_SIMD_NS avx2
#include "nivra/sv/kernels/simd_body.inl"

#pragma GCC pop_options
#endif
