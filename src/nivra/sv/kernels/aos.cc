// The 1-, 2- and 3-qubit kernels on the interleaved amplitude array, and the
// matrix inspection that chooses among them.

#include <bit>
#include <cmath>
#include <initializer_list>
#include <utility>

#include "nivra/core/error.h"
#include "nivra/sv/kernels/index_space.h"
#include "nivra/sv/kernels/kernels.h"
#include "nivra/sv/kernels/simd.h"

namespace nivra::sv::kernels {

using detail::bit_of;
using detail::control_mask_of;
using detail::IndexSpace;
using detail::neg;
using detail::par_blocks;

namespace {

// OR of bit masks that must not share a bit (targets and controls are distinct).
std::uint64_t disjoint_union(std::initializer_list<std::uint64_t> masks) {
    std::uint64_t all = 0;
    for (std::uint64_t m : masks) {
        check_invariant((all & m) == 0, "kernel: a qubit appears twice among targets and controls");
        all |= m;
    }
    return all;
}

// Control mask of a list whose entries must be distinct.
std::uint64_t distinct_controls(std::span<const Qubit> controls) {
    const std::uint64_t mask = control_mask_of(controls);
    check_invariant(static_cast<std::size_t>(std::popcount(mask)) == controls.size(),
                    "kernel: a control qubit repeats");
    return mask;
}

constexpr Complex ONE{1.0, 0.0};
constexpr Complex MINUS_ONE{-1.0, 0.0};
constexpr Complex ZERO{0.0, 0.0};

}  // namespace

bool near_zero(Complex z) {
    return std::isfinite(z.real()) && std::isfinite(z.imag()) && z.real() * z.real() + z.imag() * z.imag() < 1e-30;
}

bool close_to(Complex z, Complex v) {
    return std::abs(z.real() - v.real()) < 1e-14 && std::abs(z.imag() - v.imag()) < 1e-14;
}

bool unit_entry(Complex z) {
    return std::abs((z.real() * z.real() + z.imag() * z.imag()) - 1.0) < 1e-14 && std::abs(z.real() - 1.0) < 1e-14 &&
           std::abs(z.imag()) < 1e-14;
}

bool matches_3q(Complex z, Complex v) {
    return std::isfinite(z.real()) && std::isfinite(z.imag()) && std::abs(z.real() - v.real()) <= 1e-12 &&
           std::abs(z.imag() - v.imag()) <= 1e-12;
}

// ---- 1-qubit kernels ---------------------------------------------------------

void apply_1q_diagonal_scalar(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask, Complex d0,
                              Complex d1, const ParPolicy& policy) {
    const std::uint64_t s = bit_of(target);
    IndexSpace space(len, disjoint_union({s, control_mask}), control_mask);
    const std::uint64_t offsets[2] = {0, s};
    const std::uint8_t source[2] = {0, 1};
    const Complex coef[2] = {d0, d1};
    simd::monomial(amps, space, offsets, 2, source, coef, policy);
}

void apply_1q_x_scalar(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask,
                       const ParPolicy& policy) {
    const std::uint64_t s = bit_of(target);
    IndexSpace space(len, disjoint_union({s, control_mask}), control_mask);
    par_blocks(space, policy, [amps, s](std::uint64_t i) { std::swap(amps[i], amps[i + s]); });
}

void apply_1q_y_masked(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask, double sign,
                       const ParPolicy& policy) {
    const std::uint64_t s = bit_of(target);
    IndexSpace space(len, disjoint_union({s, control_mask}), control_mask);
    // -i·σ·(x + iy) = σy - iσx and i·σ·(x + iy) = -σy + iσx: sign flips and a swap of parts.
    par_blocks(space, policy, [amps, s, sign](std::uint64_t i) {
        const Complex a0 = amps[i];
        const Complex a1 = amps[i + s];
        amps[i] = Complex(sign * a1.imag(), -(sign * a1.real()));
        amps[i + s] = Complex(-(sign * a0.imag()), sign * a0.real());
    });
}

void apply_1q_y_scalar(Complex* amps, std::size_t len, Qubit target, std::span<const Qubit> controls, double sign,
                       const ParPolicy& policy) {
    apply_1q_y_masked(amps, len, target, distinct_controls(controls), sign, policy);
}

void apply_1q_antidiag_scalar(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask, Complex m01,
                              Complex m10, const ParPolicy& policy) {
    const std::uint64_t s = bit_of(target);
    IndexSpace space(len, disjoint_union({s, control_mask}), control_mask);
    const std::uint64_t offsets[2] = {0, s};
    const std::uint8_t source[2] = {1, 0};
    const Complex coef[2] = {m01, m10};
    simd::monomial(amps, space, offsets, 2, source, coef, policy);
}

void apply_1q_dense_scalar(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask, const M2& m,
                           const ParPolicy& policy) {
    const std::uint64_t s = bit_of(target);
    IndexSpace space(len, disjoint_union({s, control_mask}), control_mask);
    const std::uint64_t offsets[2] = {0, s};
    simd::dense(amps, space, offsets, 2, m.data(), policy);
}

void apply_1q(Complex* amps, std::size_t len, Qubit target, std::span<const Qubit> controls, const M2& m,
              const ParPolicy& policy) {
    const std::uint64_t cm = distinct_controls(controls);
    const Complex m00 = m[0], m01 = m[1], m10 = m[2], m11 = m[3];
    if (near_zero(m01) && near_zero(m10)) {
        apply_1q_diagonal_scalar(amps, len, target, cm, m00, m11, policy);
        return;
    }
    if (near_zero(m00) && near_zero(m11)) {
        if (close_to(m01, ONE) && close_to(m10, ONE)) {
            apply_1q_x_scalar(amps, len, target, cm, policy);
            return;
        }
        if (std::abs(m01.real()) < 1e-14) {
            if (std::abs(m01.imag() + 1.0) < 1e-14 && std::abs(m10.real()) < 1e-14 &&
                std::abs(m10.imag() - 1.0) < 1e-14) {
                apply_1q_y_masked(amps, len, target, cm, 1.0, policy);
                return;
            }
            if (std::abs(m01.imag() - 1.0) < 1e-14 && std::abs(m10.real()) < 1e-14 &&
                std::abs(m10.imag() + 1.0) < 1e-14) {
                apply_1q_y_masked(amps, len, target, cm, -1.0, policy);
                return;
            }
        }
        apply_1q_antidiag_scalar(amps, len, target, cm, m01, m10, policy);
        return;
    }
    apply_1q_dense_scalar(amps, len, target, cm, m, policy);
}

// ---- 2-qubit kernels ---------------------------------------------------------

void apply_2q_cnot_scalar(Complex* amps, std::size_t len, std::uint64_t mask, Qubit target, const ParPolicy& policy) {
    const std::uint64_t s = bit_of(target);
    IndexSpace space(len, disjoint_union({s, mask}), mask);
    par_blocks(space, policy, [amps, s](std::uint64_t i) { std::swap(amps[i], amps[i + s]); });
}

void apply_2q_swap_scalar(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t control_mask,
                          const ParPolicy& policy) {
    const std::uint64_t s0 = bit_of(q0), s1 = bit_of(q1);
    IndexSpace space(len, disjoint_union({s0, s1, control_mask}), control_mask);
    par_blocks(space, policy, [amps, s0, s1](std::uint64_t i) { std::swap(amps[i + s0], amps[i + s1]); });
}

void apply_2q_cz_scalar(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t control_mask,
                        const ParPolicy& policy) {
    const std::uint64_t all = disjoint_union({bit_of(q0), bit_of(q1), control_mask});
    IndexSpace space(len, all, all);
    par_blocks(space, policy, [amps](std::uint64_t i) { amps[i] = neg(amps[i]); });
}

void apply_2q_diagonal_scalar(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t control_mask,
                              const std::array<Complex, 4>& d, const ParPolicy& policy) {
    const std::uint64_t s0 = bit_of(q0), s1 = bit_of(q1);
    IndexSpace space(len, disjoint_union({s0, s1, control_mask}), control_mask);
    const std::uint64_t offsets[4] = {0, s1, s0, s0 | s1};
    const std::uint8_t source[4] = {0, 1, 2, 3};
    simd::monomial(amps, space, offsets, 4, source, d.data(), policy);
}

void apply_2q_dense_scalar(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t control_mask, const M4& m,
                           const ParPolicy& policy) {
    const std::uint64_t s0 = bit_of(q0), s1 = bit_of(q1);
    IndexSpace space(len, disjoint_union({s0, s1, control_mask}), control_mask);
    const std::uint64_t offsets[4] = {0, s1, s0, s0 | s1};
    simd::dense(amps, space, offsets, 4, m.data(), policy);
}

void dispatch_cnot(Complex* amps, std::size_t len, Qubit control, Qubit target, std::span<const Qubit> controls,
                   const ParPolicy& policy) {
    const std::uint64_t mask = disjoint_union({bit_of(control), distinct_controls(controls)});
    apply_2q_cnot_scalar(amps, len, mask, target, policy);
}

void apply_2q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::span<const Qubit> controls, const M4& m,
              const ParPolicy& policy) {
    const std::uint64_t cm = distinct_controls(controls);
    // A permutation matrix of unit entries: the column of each row's one entry.
    int col[4] = {-1, -1, -1, -1};
    bool permutation = true;
    for (int r = 0; r < 4 && permutation; ++r) {
        for (int c = 0; c < 4; ++c) {
            const Complex z = m[r * 4 + c];
            const double norm2 = z.real() * z.real() + z.imag() * z.imag();
            if (col[r] < 0) {
                if (norm2 >= 1e-30) {
                    if (!unit_entry(z)) {
                        permutation = false;
                        break;
                    }
                    col[r] = c;
                }
            } else if (!(norm2 < 1e-30)) {
                permutation = false;
                break;
            }
        }
        if (col[r] < 0) {
            permutation = false;
        }
    }
    if (permutation && col[0] == 0 && col[1] != col[2] && col[1] != col[3] && col[2] != col[3] && col[1] != 0 &&
        col[2] != 0 && col[3] != 0) {
        const int key = col[1] * 100 + col[2] * 10 + col[3];
        switch (key) {
            case 123:
                // Identity: the state is left untouched, but the qubits are still checked.
                (void)IndexSpace(len, disjoint_union({bit_of(q0), bit_of(q1), cm}), cm);
                return;
            case 132:
                apply_2q_cnot_scalar(amps, len, disjoint_union({bit_of(q0), cm}), q1, policy);
                return;
            case 321:
                apply_2q_cnot_scalar(amps, len, disjoint_union({bit_of(q1), cm}), q0, policy);
                return;
            case 213:
                apply_2q_swap_scalar(amps, len, q0, q1, cm, policy);
                return;
            default:
                break;  // another permutation: the diagonal and dense tests below decide
        }
    }
    bool diagonal = true;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            if (r != c && !near_zero(m[r * 4 + c])) {
                diagonal = false;
            }
        }
    }
    if (diagonal) {
        if (close_to(m[0], ONE) && close_to(m[5], ONE) && close_to(m[10], ONE) && close_to(m[15], MINUS_ONE)) {
            apply_2q_cz_scalar(amps, len, q0, q1, cm, policy);
        } else {
            apply_2q_diagonal_scalar(amps, len, q0, q1, cm, {m[0], m[5], m[10], m[15]}, policy);
        }
        return;
    }
    apply_2q_dense_scalar(amps, len, q0, q1, cm, m, policy);
}

// ---- 3-qubit kernels ---------------------------------------------------------

void apply_toffoli_scalar(Complex* amps, std::size_t len, std::uint64_t mask, Qubit target, const ParPolicy& policy) {
    const std::uint64_t s = bit_of(target);
    IndexSpace space(len, disjoint_union({s, mask}), mask);
    par_blocks(space, policy, [amps, s](std::uint64_t i) { std::swap(amps[i], amps[i + s]); });
}

void apply_ccz_scalar(Complex* amps, std::size_t len, std::uint64_t mask, const ParPolicy& policy) {
    IndexSpace space(len, mask, mask);
    par_blocks(space, policy, [amps](std::uint64_t i) { amps[i] = neg(amps[i]); });
}

void apply_3q_generic(Complex* amps, std::size_t len, Qubit q0, Qubit q1, Qubit q2, std::uint64_t control_mask,
                      const M8& m, const ParPolicy& policy) {
    const std::uint64_t s0 = bit_of(q0), s1 = bit_of(q1), s2 = bit_of(q2);
    IndexSpace space(len, disjoint_union({s0, s1, s2, control_mask}), control_mask);
    std::array<std::uint64_t, 8> offsets{};
    for (std::size_t k = 0; k < 8; ++k) {
        offsets[k] = ((k & 4) ? s0 : 0) | ((k & 2) ? s1 : 0) | ((k & 1) ? s2 : 0);
    }
    simd::dense(amps, space, offsets.data(), 8, m.data(), policy);
}

namespace {

// Every entry of m matches the pattern entry under the 3-qubit predicate.
template <class Pattern>
bool matches_pattern(const M8& m, Pattern pattern) {
    for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 8; ++c) {
            if (!matches_3q(m[r * 8 + c], pattern(r, c))) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

void apply_3q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, Qubit q2, std::span<const Qubit> controls,
              const M8& m, const ParPolicy& policy) {
    const std::uint64_t cm = distinct_controls(controls);
    const std::uint64_t s0 = bit_of(q0), s1 = bit_of(q1), s2 = bit_of(q2);
    (void)IndexSpace(len, disjoint_union({s0, s1, s2, cm}), cm);
    if (matches_pattern(m, [](int r, int c) { return r == c ? ONE : ZERO; })) {
        return;
    }
    if (matches_pattern(m, [](int r, int c) {
            if (r < 6) return r == c ? ONE : ZERO;
            return (r == 6 && c == 7) || (r == 7 && c == 6) ? ONE : ZERO;
        })) {
        apply_toffoli_scalar(amps, len, s0 | s1 | cm, q2, policy);
        return;
    }
    if (matches_pattern(m, [](int r, int c) { return r != c ? ZERO : (r == 7 ? MINUS_ONE : ONE); })) {
        apply_ccz_scalar(amps, len, s0 | s1 | s2 | cm, policy);
        return;
    }
    apply_3q_generic(amps, len, q0, q1, q2, cm, m, policy);
}

}  // namespace nivra::sv::kernels
