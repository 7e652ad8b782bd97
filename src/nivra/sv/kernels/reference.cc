#include "nivra/sv/kernels/reference.h"

#include <cmath>
#include <utility>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/sv/kernels/diagonal_phase.h"
#include "nivra/sv/kernels/index_space.h"

namespace nivra::sv::kernels::reference {

using detail::neg;

namespace {

bool holds(std::uint64_t i, std::uint64_t mask) { return (i & mask) == mask; }
std::uint64_t bit(Qubit q) { return detail::bit_of(q); }

}  // namespace

void diagonal_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask, Complex d0, Complex d1) {
    for (std::uint64_t i = 0; i < len; ++i) {
        if (holds(i, cmask)) {
            amps[i] = (i & bit(t)) == 0 ? mul(amps[i], d0) : mul(amps[i], d1);
        }
    }
}

void x_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask) {
    const std::uint64_t s = bit(t);
    for (std::uint64_t i = 0; i < len; ++i) {
        if ((i & s) == 0 && holds(i, cmask)) {
            std::swap(amps[i], amps[i + s]);
        }
    }
}

void y_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask, double sign) {
    const std::uint64_t s = bit(t);
    for (std::uint64_t i = 0; i < len; ++i) {
        if ((i & s) == 0 && holds(i, cmask)) {
            const Complex a0 = amps[i], a1 = amps[i + s];
            amps[i] = Complex(sign * a1.imag(), -(sign * a1.real()));
            amps[i + s] = Complex(-(sign * a0.imag()), sign * a0.real());
        }
    }
}

void antidiag_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask, Complex m01, Complex m10) {
    const std::uint64_t s = bit(t);
    for (std::uint64_t i = 0; i < len; ++i) {
        if ((i & s) == 0 && holds(i, cmask)) {
            const Complex a0 = amps[i], a1 = amps[i + s];
            amps[i] = mul(m01, a1);
            amps[i + s] = mul(m10, a0);
        }
    }
}

void dense_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask, const M2& m) {
    const std::uint64_t s = bit(t);
    for (std::uint64_t i = 0; i < len; ++i) {
        if ((i & s) == 0 && holds(i, cmask)) {
            const Complex a0 = amps[i], a1 = amps[i + s];
            amps[i] = add(mul(m[0], a0), mul(m[1], a1));
            amps[i + s] = add(mul(m[2], a0), mul(m[3], a1));
        }
    }
}

void cnot(Complex* amps, std::size_t len, std::uint64_t mask, Qubit target) {
    const std::uint64_t s = bit(target);
    for (std::uint64_t i = 0; i < len; ++i) {
        if (holds(i, mask) && (i & s) == 0) {
            std::swap(amps[i], amps[i | s]);
        }
    }
}

void swap_2q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t cmask) {
    const std::uint64_t s0 = bit(q0), s1 = bit(q1);
    for (std::uint64_t i = 0; i < len; ++i) {
        if ((i & (s0 | s1)) == 0 && holds(i, cmask)) {
            std::swap(amps[i | s0], amps[i | s1]);
        }
    }
}

void cz(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t cmask) {
    const std::uint64_t both = bit(q0) | bit(q1);
    for (std::uint64_t i = 0; i < len; ++i) {
        if (holds(i, both) && holds(i, cmask)) {
            amps[i] = neg(amps[i]);
        }
    }
}

void diagonal_2q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t cmask,
                 const std::array<Complex, 4>& d) {
    for (std::uint64_t i = 0; i < len; ++i) {
        if (holds(i, cmask)) {
            const std::size_t local = 2 * ((i >> q0) & 1) + ((i >> q1) & 1);
            amps[i] = mul(amps[i], d[local]);
        }
    }
}

namespace {

template <std::size_t DIM>
void gather_apply(Complex* amps, std::uint64_t i, const std::array<std::uint64_t, DIM>& offsets, const Complex* m) {
    Complex a[DIM];
    for (std::size_t c = 0; c < DIM; ++c) {
        a[c] = amps[i | offsets[c]];
    }
    for (std::size_t r = 0; r < DIM; ++r) {
        Complex acc = mul(m[r * DIM], a[0]);
        for (std::size_t c = 1; c < DIM; ++c) {
            acc = add(acc, mul(m[r * DIM + c], a[c]));
        }
        amps[i | offsets[r]] = acc;
    }
}

}  // namespace

void dense_2q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t cmask, const M4& m) {
    const std::uint64_t s0 = bit(q0), s1 = bit(q1);
    const std::array<std::uint64_t, 4> offsets = {0, s1, s0, s0 | s1};
    for (std::uint64_t i = 0; i < len; ++i) {
        if ((i & (s0 | s1)) == 0 && holds(i, cmask)) {
            gather_apply<4>(amps, i, offsets, m.data());
        }
    }
}

void toffoli(Complex* amps, std::size_t len, std::uint64_t mask, Qubit target) {
    const std::uint64_t s = bit(target);
    for (std::uint64_t i = 0; i < len; ++i) {
        if (holds(i, mask) && (i & s) == 0) {
            std::swap(amps[i], amps[i | s]);
        }
    }
}

void ccz(Complex* amps, std::size_t len, std::uint64_t mask) {
    for (std::uint64_t i = 0; i < len; ++i) {
        if (holds(i, mask)) {
            amps[i] = neg(amps[i]);
        }
    }
}

void generic_3q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, Qubit q2, std::uint64_t cmask, const M8& m) {
    const std::uint64_t s0 = bit(q0), s1 = bit(q1), s2 = bit(q2);
    std::array<std::uint64_t, 8> offsets{};
    for (std::size_t k = 0; k < 8; ++k) {
        offsets[k] = ((k & 4) ? s0 : 0) | ((k & 2) ? s1 : 0) | ((k & 1) ? s2 : 0);
    }
    for (std::uint64_t i = 0; i < len; ++i) {
        if ((i & (s0 | s1 | s2)) == 0 && holds(i, cmask)) {
            gather_apply<8>(amps, i, offsets, m.data());
        }
    }
}

void kq(Complex* amps, std::size_t len, std::span<const Qubit> targets, std::uint8_t k,
        std::span<const Complex> matrix) {
    const TargetsOffsets to = targets_offsets_fixed(targets, k);
    const std::uint64_t dim = to.dim;
    check_invariant(matrix.size() >= dim * dim, "reference kq: matrix too short");
    std::uint64_t target_mask = 0;
    for (const FixedBit& f : to.fixed) {
        target_mask |= std::uint64_t{1} << f.qubit;
    }
    // Block b's base index: the bits of b deposited, lowest first, into the
    // non-target positions in ascending order.
    const std::uint64_t blocks = len >> to.fixed.size();
    for (std::uint64_t b = 0; b < blocks; ++b) {
        std::uint64_t base = 0, rest = b;
        for (unsigned pos = 0; rest != 0; ++pos) {
            if (((target_mask >> pos) & 1) == 0) {
                base |= (rest & 1) << pos;
                rest >>= 1;
            }
        }
        std::vector<Complex> scratch(dim);
        for (std::uint64_t c = 0; c < dim; ++c) {
            scratch[c] = amps[base | to.offsets[c]];
        }
        for (std::uint64_t r = 0; r < dim; ++r) {
            Complex acc = mul(matrix[r * dim], scratch[0]);
            for (std::uint64_t c = 1; c < dim; ++c) {
                acc = add(acc, mul(matrix[r * dim + c], scratch[c]));
            }
            amps[base | to.offsets[r]] = acc;
        }
    }
}

void diagonal_phase(Complex* amps, std::size_t len, std::span<const ir::PhaseTerm> terms) {
    for (std::uint64_t x = 0; x < len; ++x) {
        const double theta = phase_angle(x, terms);
        const double c = std::cos(theta), s = std::sin(theta);
        const double re = amps[x].real(), im = amps[x].imag();
        amps[x] = Complex(re * c - im * s, re * s + im * c);
    }
}

void permute_qubits(const Complex* in, Complex* out, std::size_t len, std::span<const Qubit> perm) {
    for (std::uint64_t j = 0; j < len; ++j) {
        std::uint64_t src = 0;
        for (std::size_t q = 0; q < perm.size(); ++q) {
            src |= ((j >> q) & 1) << perm[q];
        }
        check_index(src, len, "reference permute_qubits: source index");
        out[j] = in[src];
    }
}

}  // namespace nivra::sv::kernels::reference
