#pragma once
// The dense gather-multiply-scatter body, templated on the matrix dimension
// (internal to the kernels). DIM = 2, 4, 8 serve the dense 1-, 2- and 3-qubit
// kernels, DIM = 2^k the k-qubit path.
//
// Arithmetic on pairs of doubles (GCC/Clang vector extensions: SSE2 on
// x86-64, NEON on arm64). A complex product m·a is formed as
//     [ar, ar]·[mr, mi] + [ai, ai]·[−mi, mr] = [ar·mr − ai·mi, ar·mi + ai·mr]
// which is the textbook product bit for bit (negation is exact, x + (−y) is
// x − y, and + and · commute), so this body agrees exactly with the scalar
// reference path.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "nivra/sv/kernels/index_space.h"

namespace nivra::sv::kernels::detail {

using Pair = double __attribute__((vector_size(16)));

inline Pair load_pair(const Complex* p) {
    Pair v;
    std::memcpy(&v, static_cast<const void*>(p), sizeof v);
    return v;
}

inline void store_pair(Complex* p, Pair v) { std::memcpy(static_cast<void*>(p), &v, sizeof v); }

// The matrix prepared for the pair products: for entry m, [mr, mi] and [−mi, mr].
template <std::size_t DIM>
struct PairMatrix {
    std::array<Pair, DIM * DIM> direct;
    std::array<Pair, DIM * DIM> rotated;

    explicit PairMatrix(const Complex* m) {
        for (std::size_t e = 0; e < DIM * DIM; ++e) {
            direct[e] = Pair{m[e].real(), m[e].imag()};
            rotated[e] = Pair{-m[e].imag(), m[e].real()};
        }
    }
};

// Wider matrices are load-bound in the layout above (every product needs two
// broadcast inputs and two matrix pairs from memory). They take two base
// indices at once instead, real parts and imaginary parts in separate pairs
// (lane 0 = first base, lane 1 = second), with each matrix entry broadcast:
//     re' = re·[mr, mr] + im·[−mi, −mi],  im' = re·[mi, mi] + im·[mr, mr]
// the same textbook product per lane, so the bits are those of the scalar path.
template <std::size_t DIM>
struct SplitMatrix {
    std::array<Pair, DIM * DIM> re;
    std::array<Pair, DIM * DIM> im;
    std::array<Pair, DIM * DIM> neg_im;

    explicit SplitMatrix(const Complex* m) {
        for (std::size_t e = 0; e < DIM * DIM; ++e) {
            re[e] = Pair{m[e].real(), m[e].real()};
            im[e] = Pair{m[e].imag(), m[e].imag()};
            neg_im[e] = Pair{-m[e].imag(), -m[e].imag()};
        }
    }
};

template <std::size_t DIM>
void apply_dense_split(Complex* amps, const IndexSpace& space, const std::array<std::uint64_t, DIM>& offsets,
                       const Complex* matrix, const ParPolicy& policy) {
    // Rows per pass: enough accumulators to keep the pipes busy, few enough
    // to stay in registers beside the inputs.
    constexpr std::size_t ROWS = DIM < 4 ? DIM : 4;
    struct Body {
        Complex* amps;
        std::array<std::uint64_t, DIM> offsets;
        SplitMatrix<DIM> m;
        void operator()(const std::uint64_t (&group)[2]) const {
            const std::uint64_t first = group[0], second = group[1];
            Pair re[DIM], im[DIM];
            for (std::size_t c = 0; c < DIM; ++c) {
                const Complex a = amps[first + offsets[c]];
                const Complex b = amps[second + offsets[c]];
                re[c] = Pair{a.real(), b.real()};
                im[c] = Pair{a.imag(), b.imag()};
            }
            for (std::size_t r0 = 0; r0 < DIM; r0 += ROWS) {
                Pair acc_re[ROWS], acc_im[ROWS];
                for (std::size_t r = 0; r < ROWS; ++r) {
                    const std::size_t e = (r0 + r) * DIM;
                    acc_re[r] = re[0] * m.re[e] + im[0] * m.neg_im[e];
                    acc_im[r] = re[0] * m.im[e] + im[0] * m.re[e];
                }
                for (std::size_t c = 1; c < DIM; ++c) {
                    for (std::size_t r = 0; r < ROWS; ++r) {
                        const std::size_t e = (r0 + r) * DIM + c;
                        acc_re[r] = acc_re[r] + (re[c] * m.re[e] + im[c] * m.neg_im[e]);
                        acc_im[r] = acc_im[r] + (re[c] * m.im[e] + im[c] * m.re[e]);
                    }
                }
                for (std::size_t r = 0; r < ROWS; ++r) {
                    amps[first + offsets[r0 + r]] = Complex(acc_re[r][0], acc_im[r][0]);
                    amps[second + offsets[r0 + r]] = Complex(acc_re[r][1], acc_im[r][1]);
                }
            }
        }
    };
    par_block_groups<2>(space, policy, Body{amps, offsets, SplitMatrix<DIM>(matrix)});
}

#if defined(__x86_64__)
// The split layout four base indices wide in 256-bit lanes, for x86-64 CPUs
// with AVX2 (checked once at run time; the build itself stays portable). The
// same lane-wise products and sums, so the same bits. DIM = 4, 8, 16, 32.
bool wide_lanes_available();
template <std::size_t DIM>
void apply_dense_wide(Complex* amps, const IndexSpace& space, const std::array<std::uint64_t, DIM>& offsets,
                      const Complex* matrix, const ParPolicy& policy);
// DIM = 2 and 4 when adjacent_pairs(): the amplitudes of base indices i and
// i + 1 sit next to each other, so one 256-bit load holds both (complex
// layout unchanged) and no transposition is needed.
template <std::size_t DIM>
void apply_dense_adjacent(Complex* amps, const IndexSpace& space, const std::array<std::uint64_t, DIM>& offsets,
                          const Complex* matrix, const ParPolicy& policy);
extern template void apply_dense_adjacent<2>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 2>&,
                                             const Complex*, const ParPolicy&);
extern template void apply_dense_adjacent<4>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 4>&,
                                             const Complex*, const ParPolicy&);
extern template void apply_dense_wide<4>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 4>&,
                                         const Complex*, const ParPolicy&);
extern template void apply_dense_wide<8>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 8>&,
                                         const Complex*, const ParPolicy&);
extern template void apply_dense_wide<16>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 16>&,
                                          const Complex*, const ParPolicy&);
extern template void apply_dense_wide<32>(Complex*, const IndexSpace&, const std::array<std::uint64_t, 32>&,
                                          const Complex*, const ParPolicy&);
#endif

// For every base index b of `space`: a[c] = amps[b + offsets[c]], then
// amps[b + offsets[r]] = Σ_c m[r·DIM + c]·a[c], summed in column order from
// the first product. All inputs of a base index are read before any output.
template <std::size_t DIM>
void apply_dense(Complex* amps, const IndexSpace& space, const std::array<std::uint64_t, DIM>& offsets,
                 const Complex* matrix, const ParPolicy& policy) {
    struct Body {
        Complex* amps;
        std::array<std::uint64_t, DIM> offsets;
        PairMatrix<DIM> m;
        void operator()(std::uint64_t base) const {
            Pair re[DIM], im[DIM];
            for (std::size_t c = 0; c < DIM; ++c) {
                const Pair a = load_pair(amps + base + offsets[c]);
                re[c] = Pair{a[0], a[0]};
                im[c] = Pair{a[1], a[1]};
            }
            for (std::size_t r = 0; r < DIM; ++r) {
                const std::size_t row = r * DIM;
                Pair acc = re[0] * m.direct[row] + im[0] * m.rotated[row];
                for (std::size_t c = 1; c < DIM; ++c) {
                    acc = acc + (re[c] * m.direct[row + c] + im[c] * m.rotated[row + c]);
                }
                store_pair(amps + base + offsets[r], acc);
            }
        }
    };
#if defined(__x86_64__)
    if constexpr (DIM == 2 || DIM == 4) {
        if (wide_lanes_available() && space.adjacent_pairs()) {
            apply_dense_adjacent<DIM>(amps, space, offsets, matrix, policy);
            return;
        }
    }
#endif
    if constexpr (DIM >= 4) {
#if defined(__x86_64__)
        if (wide_lanes_available()) {
            apply_dense_wide<DIM>(amps, space, offsets, matrix, policy);
            return;
        }
#endif
        apply_dense_split<DIM>(amps, space, offsets, matrix, policy);
    } else {
        par_blocks(space, policy, Body{amps, offsets, PairMatrix<DIM>(matrix)});
    }
}

}  // namespace nivra::sv::kernels::detail
