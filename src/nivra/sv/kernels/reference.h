#pragma once
// The plain scalar reference path: every kernel body written as a serial loop
// over all indices 0..len that tests each index and acts on the ones it owns,
// with no index arithmetic beyond that test, and every complex product and
// sum in the textbook form below, each operation rounded on its own. The
// optimised kernels must agree with these bit for bit on every instruction
// set and thread count; tests compare the two.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "nivra/core/complex.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/kernels/kernels.h"

namespace nivra::sv::kernels::reference {

// (a+bi)(c+di) = (ac − bd) + (ad + bc)i, four rounded products (never fused
// into a multiply-add), then one rounded difference and one rounded sum.
inline Complex mul(Complex a, Complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
inline Complex add(Complex a, Complex b) { return {a.real() + b.real(), a.imag() + b.imag()}; }

void diagonal_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask, Complex d0, Complex d1);
void x_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask);
void y_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask, double sign);
void antidiag_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask, Complex m01, Complex m10);
void dense_1q(Complex* amps, std::size_t len, Qubit t, std::uint64_t cmask, const M2& m);
// `mask` holds the CNOT's own control bit.
void cnot(Complex* amps, std::size_t len, std::uint64_t mask, Qubit target);
void swap_2q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t cmask);
void cz(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t cmask);
void diagonal_2q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t cmask,
                 const std::array<Complex, 4>& d);
void dense_2q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t cmask, const M4& m);
// `mask` = 2^q0 | 2^q1 | external controls.
void toffoli(Complex* amps, std::size_t len, std::uint64_t mask, Qubit target);
void ccz(Complex* amps, std::size_t len, std::uint64_t mask);
void generic_3q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, Qubit q2, std::uint64_t cmask, const M8& m);
// Blocks b = 0, 1, ... with a fresh scratch vector each, as the k-qubit path is defined.
void kq(Complex* amps, std::size_t len, std::span<const Qubit> targets, std::uint8_t k,
        std::span<const Complex> matrix);
// θ, cos θ and sin θ afresh for every index.
void diagonal_phase(Complex* amps, std::size_t len, std::span<const ir::PhaseTerm> terms);
// The state relabelled into a second buffer, as the relabelling is defined:
// out[j] = in[src(j)], src(j) = OR of 2^perm[q] over the set bits q of j.
void permute_qubits(const Complex* in, Complex* out, std::size_t len, std::span<const Qubit> perm);

}  // namespace nivra::sv::kernels::reference
