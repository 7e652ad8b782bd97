// The kernels of simd.h eight base indices per 512-bit vector, for processors
// with AVX-512F. Everything after the target pragma is compiled for them; the
// headers above it stay baseline x86-64.

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/sv/kernels/simd.h"

#if defined(__x86_64__)
#include <immintrin.h>

#pragma GCC push_options
#pragma GCC target("avx512f,avx2,fma")
// GCC 12 reports the deliberately undefined pass-through operand of the
// AVX-512 shuffle intrinsics as maybe uninitialised.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace nivra::sv::kernels::simd::avx512 {

namespace {

struct Lanes {
    using T = __m512d;
    static constexpr std::size_t W = 8;
    static T bcast(double x) { return _mm512_set1_pd(x); }
    static T mul(T a, T b) { return _mm512_mul_pd(a, b); }
    static T fma(T a, T b, T c) { return _mm512_fmadd_pd(a, b, c); }
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
    // As in the AVX2 unit: [re·c, re·s] + im·[−s, c] in one rounding.
    static void rotate(Complex* p, const double* cs) {
        const __m512i sign = _mm512_castpd_si512(_mm512_setr_pd(-0.0, 0.0, -0.0, 0.0, -0.0, 0.0, -0.0, 0.0));
        for (std::size_t half = 0; half < 2; ++half) {
            double* d = reinterpret_cast<double*>(p + 4 * half);
            const T a = _mm512_loadu_pd(d);
            const T m = _mm512_loadu_pd(cs + 8 * half);
            const T swapped =
                _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(_mm512_permute_pd(m, 0x55)), sign));
            const T t = _mm512_mul_pd(_mm512_movedup_pd(a), m);
            _mm512_storeu_pd(d, _mm512_fmadd_pd(_mm512_permute_pd(a, 0xFF), swapped, t));
        }
    }
};

}  // namespace

}  // namespace nivra::sv::kernels::simd::avx512

#define NIVRA_SIMD_NS avx512
#include "nivra/sv/kernels/simd_body.inc"

#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif
