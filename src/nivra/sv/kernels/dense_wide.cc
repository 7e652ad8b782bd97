// The dense body four base indices wide, compiled for AVX2 inside functions
// that carry the target attribute (the rest of the build stays baseline
// x86-64) and chosen at run time. No fused multiply-add: every lane performs
// the products and sums of the scalar path in the same order.

#include <vector>

#include "nivra/sv/kernels/dense.h"

namespace nivra::sv::kernels::detail {

#if defined(__x86_64__)

bool wide_lanes_available() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

namespace {

using Quad = double __attribute__((vector_size(32)));
// The same lanes read from memory aligned only to a double.
using QuadInMemory = double __attribute__((vector_size(32), aligned(8)));

template <std::size_t DIM>
struct WideContext {
    Complex* amps;
    const IndexSpace* space;
    std::array<std::uint64_t, DIM> offsets;
    // Matrix entry e broadcast to four lanes at [4e, 4e + 4): re, im and −im.
    std::vector<double> re, im, neg_im;

    WideContext(Complex* a, const IndexSpace& s, const std::array<std::uint64_t, DIM>& o, const Complex* m)
        : amps(a), space(&s), offsets(o), re(4 * DIM * DIM), im(4 * DIM * DIM), neg_im(4 * DIM * DIM) {
        for (std::size_t e = 0; e < DIM * DIM; ++e) {
            for (std::size_t lane = 0; lane < 4; ++lane) {
                re[4 * e + lane] = m[e].real();
                im[4 * e + lane] = m[e].imag();
                neg_im[4 * e + lane] = -m[e].imag();
            }
        }
    }
};

template <std::size_t DIM>
__attribute__((target("avx2"))) inline void wide_step(const WideContext<DIM>& ctx, const std::uint64_t (&group)[4]) {
    constexpr std::size_t ROWS = 4;
    Complex* amps = ctx.amps;
    Quad re[DIM], im[DIM];
    for (std::size_t c = 0; c < DIM; ++c) {
        const Complex a0 = amps[group[0] + ctx.offsets[c]];
        const Complex a1 = amps[group[1] + ctx.offsets[c]];
        const Complex a2 = amps[group[2] + ctx.offsets[c]];
        const Complex a3 = amps[group[3] + ctx.offsets[c]];
        re[c] = Quad{a0.real(), a1.real(), a2.real(), a3.real()};
        im[c] = Quad{a0.imag(), a1.imag(), a2.imag(), a3.imag()};
    }
    const double* mre = ctx.re.data();
    const double* mim = ctx.im.data();
    const double* mneg = ctx.neg_im.data();
#define NIVRA_LOAD_QUAD(p) (*reinterpret_cast<const QuadInMemory*>(p))
    for (std::size_t r0 = 0; r0 < DIM; r0 += ROWS) {
        Quad acc_re[ROWS], acc_im[ROWS];
        for (std::size_t r = 0; r < ROWS; ++r) {
            const std::size_t e = 4 * ((r0 + r) * DIM);
            acc_re[r] = re[0] * NIVRA_LOAD_QUAD(mre + e) + im[0] * NIVRA_LOAD_QUAD(mneg + e);
            acc_im[r] = re[0] * NIVRA_LOAD_QUAD(mim + e) + im[0] * NIVRA_LOAD_QUAD(mre + e);
        }
        for (std::size_t c = 1; c < DIM; ++c) {
            for (std::size_t r = 0; r < ROWS; ++r) {
                const std::size_t e = 4 * ((r0 + r) * DIM + c);
                acc_re[r] = acc_re[r] + (re[c] * NIVRA_LOAD_QUAD(mre + e) + im[c] * NIVRA_LOAD_QUAD(mneg + e));
                acc_im[r] = acc_im[r] + (re[c] * NIVRA_LOAD_QUAD(mim + e) + im[c] * NIVRA_LOAD_QUAD(mre + e));
            }
        }
        for (std::size_t r = 0; r < ROWS; ++r) {
            const std::uint64_t offset = ctx.offsets[r0 + r];
            for (std::size_t lane = 0; lane < 4; ++lane) {
                amps[group[lane] + offset] = Complex(acc_re[r][lane], acc_im[r][lane]);
            }
        }
    }
#undef NIVRA_LOAD_QUAD
}

template <std::size_t DIM>
__attribute__((target("avx2"), flatten)) void wide_range(const WideContext<DIM>& ctx, std::size_t begin,
                                                         std::size_t end) {
    ctx.space->template walk_groups<4>(begin, end,
                                       [&ctx](const std::uint64_t (&group)[4])
                                           __attribute__((target("avx2"))) { wide_step<DIM>(ctx, group); });
}

// Entry e as [mr, mi, mr, mi] and [−mi, mr, −mi, mr]: two complex lanes.
template <std::size_t DIM>
struct AdjacentContext {
    Complex* amps;
    const IndexSpace* space;
    std::array<std::uint64_t, DIM> offsets;
    std::array<double, 4 * DIM * DIM> direct;
    std::array<double, 4 * DIM * DIM> rotated;
    PairMatrix<DIM> pair;  // for a lone last index

    AdjacentContext(Complex* a, const IndexSpace& s, const std::array<std::uint64_t, DIM>& o, const Complex* m)
        : amps(a), space(&s), offsets(o), pair(m) {
        for (std::size_t e = 0; e < DIM * DIM; ++e) {
            for (std::size_t half = 0; half < 2; ++half) {
                direct[4 * e + 2 * half] = m[e].real();
                direct[4 * e + 2 * half + 1] = m[e].imag();
                rotated[4 * e + 2 * half] = -m[e].imag();
                rotated[4 * e + 2 * half + 1] = m[e].real();
            }
        }
    }
};

template <std::size_t DIM>
__attribute__((target("avx2"))) inline void adjacent_step(const AdjacentContext<DIM>& ctx, std::uint64_t i) {
    using Mask = long long __attribute__((vector_size(32)));
    Complex* amps = ctx.amps;
    Quad re[DIM], im[DIM];
    for (std::size_t c = 0; c < DIM; ++c) {
        const Quad a = *reinterpret_cast<const QuadInMemory*>(amps + i + ctx.offsets[c]);
        re[c] = __builtin_shuffle(a, Mask{0, 0, 2, 2});
        im[c] = __builtin_shuffle(a, Mask{1, 1, 3, 3});
    }
    for (std::size_t r = 0; r < DIM; ++r) {
        const double* d = ctx.direct.data() + 4 * r * DIM;
        const double* t = ctx.rotated.data() + 4 * r * DIM;
        Quad acc =
            re[0] * *reinterpret_cast<const QuadInMemory*>(d) + im[0] * *reinterpret_cast<const QuadInMemory*>(t);
        for (std::size_t c = 1; c < DIM; ++c) {
            acc = acc + (re[c] * *reinterpret_cast<const QuadInMemory*>(d + 4 * c) +
                         im[c] * *reinterpret_cast<const QuadInMemory*>(t + 4 * c));
        }
        *reinterpret_cast<QuadInMemory*>(amps + i + ctx.offsets[r]) = acc;
    }
}

// The pair body of dense.h for one index (an odd run end at a task split).
template <std::size_t DIM>
void lone_step(const AdjacentContext<DIM>& ctx, std::uint64_t base) {
    Pair re[DIM], im[DIM];
    for (std::size_t c = 0; c < DIM; ++c) {
        const Pair a = load_pair(ctx.amps + base + ctx.offsets[c]);
        re[c] = Pair{a[0], a[0]};
        im[c] = Pair{a[1], a[1]};
    }
    for (std::size_t r = 0; r < DIM; ++r) {
        const std::size_t row = r * DIM;
        Pair acc = re[0] * ctx.pair.direct[row] + im[0] * ctx.pair.rotated[row];
        for (std::size_t c = 1; c < DIM; ++c) {
            acc = acc + (re[c] * ctx.pair.direct[row + c] + im[c] * ctx.pair.rotated[row + c]);
        }
        store_pair(ctx.amps + base + ctx.offsets[r], acc);
    }
}

template <std::size_t DIM>
__attribute__((target("avx2"), flatten)) void adjacent_range(const AdjacentContext<DIM>& ctx, std::size_t begin,
                                                             std::size_t end) {
    ctx.space->walk_runs(begin, end, [&ctx](std::uint64_t first, std::size_t count) __attribute__((target("avx2"))) {
        std::size_t j = 0;
        for (; j + 1 < count; j += 2) {
            adjacent_step<DIM>(ctx, first + j);
        }
        if (j < count) {
            lone_step<DIM>(ctx, first + j);
        }
    });
}

}  // namespace

template <std::size_t DIM>
void apply_dense_adjacent(Complex* amps, const IndexSpace& space, const std::array<std::uint64_t, DIM>& offsets,
                          const Complex* matrix, const ParPolicy& policy) {
    check_invariant(space.adjacent_pairs(), "apply_dense_adjacent: base indices are not adjacent");
    const AdjacentContext<DIM> ctx(amps, space, offsets, matrix);
    par_ranges(space, policy, 2, [&ctx](std::size_t begin, std::size_t end) { adjacent_range<DIM>(ctx, begin, end); });
}

template void apply_dense_adjacent<2>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 2>&, const Complex*,
                                      const ParPolicy&);
template void apply_dense_adjacent<4>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 4>&, const Complex*,
                                      const ParPolicy&);

template <std::size_t DIM>
void apply_dense_wide(Complex* amps, const IndexSpace& space, const std::array<std::uint64_t, DIM>& offsets,
                      const Complex* matrix, const ParPolicy& policy) {
    const WideContext<DIM> ctx(amps, space, offsets, matrix);
    par_ranges(space, policy, 4, [&ctx](std::size_t begin, std::size_t end) { wide_range<DIM>(ctx, begin, end); });
}

template void apply_dense_wide<4>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 4>&, const Complex*,
                                  const ParPolicy&);
template void apply_dense_wide<8>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 8>&, const Complex*,
                                  const ParPolicy&);
template void apply_dense_wide<16>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 16>&, const Complex*,
                                   const ParPolicy&);
template void apply_dense_wide<32>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 32>&, const Complex*,
                                   const ParPolicy&);

#endif

}  // namespace nivra::sv::kernels::detail
