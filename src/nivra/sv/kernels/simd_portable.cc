// The kernels of simd.h one base index at a time: the path of processors
// without AVX2, and of other architectures.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/sv/kernels/simd.h"

namespace nivra::sv::kernels::simd::portable {

namespace {

struct Lanes {
    using T = double;
    static constexpr std::size_t W = 1;
    static T bcast(double x) { return x; }
    static T mul(T a, T b) { return a * b; }
    static T add(T a, T b) { return a + b; }
    static T sub(T a, T b) { return a - b; }
    static void load(const Complex* p, T& re, T& im) {
        re = p->real();
        im = p->imag();
    }
    static void store(Complex* p, T re, T im) { *p = Complex(re, im); }
    static void load_gather(Complex* const* q, std::uint64_t offset, T& re, T& im) { load(q[0] + offset, re, im); }
    static void store_scatter(Complex* const* q, std::uint64_t offset, T re, T im) { store(q[0] + offset, re, im); }
    // One lane: every run already fills a vector, so runs never go through these.
    template <std::size_t L>
    static void load_runs(Complex* const* q, std::uint64_t offset, T& re, T& im) {
        load(q[0] + offset, re, im);
    }
    template <std::size_t L>
    static void store_runs(Complex* const* q, std::uint64_t offset, T re, T im) {
        store(q[0] + offset, re, im);
    }
    static void load_pairs(const Complex* p, T& re0, T& im0, T& re1, T& im1) {
        load(p, re0, im0);
        load(p + 1, re1, im1);
    }
    static void store_pairs(Complex* p, T re0, T im0, T re1, T im1) {
        store(p, re0, im0);
        store(p + 1, re1, im1);
    }
    static void rotate(Complex* p, const double* cs) { *p = rounded_product(Complex(cs[0], cs[1]), *p); }
};

}  // namespace

}  // namespace nivra::sv::kernels::simd::portable

#define NIVRA_SIMD_NS portable
#include "nivra/sv/kernels/simd_body.inl"
