#pragma once
// A tiny dense state-vector simulator for checking the MPS against: 2^n
// amplitudes, qubit q = bit q of the index, gates from Gate::matrix (first
// target = most significant bit of the matrix index). Only for tests.

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/core/pauli.h"
#include "nivra/mps/mps.h"

namespace nivra::mps::testing {

using Dense = std::vector<Complex>;

inline Dense dense_zero(std::size_t n) {
    Dense psi(std::size_t{1} << n, Complex(0.0, 0.0));
    psi[0] = Complex(1.0, 0.0);
    return psi;
}

// Applies a dense 2^k × 2^k row-major matrix to `targets` (first = most
// significant bit), only where every control qubit is 1.
inline void dense_apply_matrix(Dense& psi, const std::vector<Complex>& m, const std::vector<Qubit>& targets,
                               const std::vector<Qubit>& controls = {}) {
    const std::size_t k = targets.size();
    const std::size_t dim = std::size_t{1} << k;
    std::uint64_t control_mask = 0;
    for (Qubit c : controls) control_mask |= std::uint64_t{1} << c;
    // offset[j]: the target bits of the matrix index j, first target highest.
    std::vector<std::uint64_t> offset(dim, 0);
    for (std::size_t j = 0; j < dim; ++j)
        for (std::size_t t = 0; t < k; ++t)
            if ((j >> (k - 1 - t)) & 1) offset[j] |= std::uint64_t{1} << targets[t];
    std::vector<Qubit> ascending(targets);
    std::sort(ascending.begin(), ascending.end());
    std::vector<Complex> in(dim);
    for (std::uint64_t rest = 0; rest < (psi.size() >> k); ++rest) {
        // rest with a 0 inserted at every target position
        std::uint64_t base = rest;
        for (Qubit t : ascending) base = ((base >> t) << (t + 1)) | (base & ((std::uint64_t{1} << t) - 1));
        if ((base & control_mask) != control_mask) continue;
        for (std::size_t j = 0; j < dim; ++j) in[j] = psi[base | offset[j]];
        for (std::size_t row = 0; row < dim; ++row) {
            Complex acc(0.0, 0.0);
            for (std::size_t col = 0; col < dim; ++col) acc += m[row * dim + col] * in[col];
            psi[base | offset[row]] = acc;
        }
    }
}

// The same for one target and no controls, in the plain pair loop (the
// differential tests apply millions of gates).
inline void dense_apply_1q(Dense& psi, const std::array<Complex, 4>& m, Qubit target) {
    const std::uint64_t bit = std::uint64_t{1} << target;
    for (std::uint64_t block = 0; block < psi.size(); block += 2 * bit) {
        for (std::uint64_t x = block; x < block + bit; ++x) {
            const Complex a0 = psi[x], a1 = psi[x | bit];
            psi[x] = m[0] * a0 + m[1] * a1;
            psi[x | bit] = m[2] * a0 + m[3] * a1;
        }
    }
}

// The same for two targets (first = high bit) and no controls, skipping zero
// matrix entries as permutation-like gates allow.
inline void dense_apply_2q(Dense& psi, std::span<const Complex> m, Qubit first, Qubit second) {
    const Qubit low = std::min(first, second), high = std::max(first, second);
    const std::array<std::uint64_t, 4> offset = {0, std::uint64_t{1} << second, std::uint64_t{1} << first,
                                                 (std::uint64_t{1} << first) | (std::uint64_t{1} << second)};
    std::array<std::size_t, 16> nonzero{};
    std::size_t count = 0;
    for (std::size_t e = 0; e < 16; ++e)
        if (m[e] != Complex(0.0, 0.0)) nonzero[count++] = e;
    for (std::uint64_t rest = 0; rest < (psi.size() >> 2); ++rest) {
        std::uint64_t base = ((rest >> low) << (low + 1)) | (rest & ((std::uint64_t{1} << low) - 1));
        base = ((base >> high) << (high + 1)) | (base & ((std::uint64_t{1} << high) - 1));
        const std::array<Complex, 4> in = {psi[base], psi[base | offset[1]], psi[base | offset[2]],
                                           psi[base | offset[3]]};
        std::array<Complex, 4> out{};
        for (std::size_t i = 0; i < count; ++i) out[nonzero[i] >> 2] += m[nonzero[i]] * in[nonzero[i] & 3];
        for (std::size_t j = 0; j < 4; ++j) psi[base | offset[j]] = out[j];
    }
}

inline void dense_apply(Dense& psi, const GateInstance& gate) {
    auto matrix = gate.gate.matrix();
    ASSERT_TRUE(matrix.has_value());
    std::span<const Complex> entries = matrix->entries();
    if (entries.size() == 4 && gate.controls.empty()) {
        dense_apply_1q(psi, {entries[0], entries[1], entries[2], entries[3]}, gate.targets[0]);
        return;
    }
    if (entries.size() == 16 && gate.controls.empty()) {
        dense_apply_2q(psi, entries, gate.targets[0], gate.targets[1]);
        return;
    }
    dense_apply_matrix(psi, std::vector<Complex>(entries.begin(), entries.end()),
                       std::vector<Qubit>(gate.targets.begin(), gate.targets.end()),
                       std::vector<Qubit>(gate.controls.begin(), gate.controls.end()));
}

// Contracts the chain into 2^n amplitudes indexed by qubit.
inline Dense to_dense(const MpsState& state) {
    const std::size_t n = state.num_qubits();
    // rows: the physical bits of sites 0..k-1 (site 0 most significant), cols: the open bond.
    RowMatrix v = RowMatrix::Constant(1, 1, Complex(1.0, 0.0));
    for (std::size_t k = 0; k < n; ++k) {
        const Site& site = state.site(k);
        RowMatrix next(v.rows() * 2, static_cast<Eigen::Index>(site.chi_right));
        ConstRowMap right = site.right_view();
        for (Eigen::Index c = 0; c < v.rows(); ++c) {
            for (std::size_t p = 0; p < 2; ++p) {
                next.row(2 * c + static_cast<Eigen::Index>(p)) =
                    v.row(c) * right.middleCols(static_cast<Eigen::Index>(p * site.chi_right),
                                                static_cast<Eigen::Index>(site.chi_right));
            }
        }
        v = std::move(next);
    }
    Dense psi(std::size_t{1} << n, Complex(0.0, 0.0));
    for (std::uint64_t row = 0; row < psi.size(); ++row) {
        std::uint64_t index = 0;
        for (std::size_t k = 0; k < n; ++k) {
            if ((row >> (n - 1 - k)) & 1) index |= std::uint64_t{1} << state.site_to_qubit()[k];
        }
        psi[index] = v(static_cast<Eigen::Index>(row), 0);
    }
    return psi;
}

inline double max_abs_diff(const Dense& a, const Dense& b) {
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

inline double dense_norm_sq(const Dense& psi) {
    double sum = 0.0;
    for (const Complex& z : psi) sum += std::norm(z);
    return sum;
}

// |⟨a|b⟩|² / (⟨a|a⟩·⟨b|b⟩).
inline double fidelity(const Dense& a, const Dense& b) {
    Complex overlap(0.0, 0.0);
    for (std::size_t x = 0; x < a.size(); ++x) overlap += std::conj(a[x]) * b[x];
    return std::norm(overlap) / (dense_norm_sq(a) * dense_norm_sq(b));
}

// The probability that measuring `qubit` gives `outcome`.
inline double dense_probability(const Dense& psi, Qubit qubit, std::uint8_t outcome) {
    double p = 0.0;
    for (std::uint64_t x = 0; x < psi.size(); ++x)
        if (((x >> qubit) & 1) == outcome) p += std::norm(psi[x]);
    return p / dense_norm_sq(psi);
}

// Projects `qubit` onto `outcome` and renormalises.
inline void dense_collapse(Dense& psi, Qubit qubit, std::uint8_t outcome) {
    const double scale = 1.0 / std::sqrt(dense_probability(psi, qubit, outcome) * dense_norm_sq(psi));
    for (std::uint64_t x = 0; x < psi.size(); ++x)
        psi[x] = ((x >> qubit) & 1) == outcome ? psi[x] * scale : Complex(0.0, 0.0);
}

// Re⟨ψ|P|ψ⟩·coeff with the Paulis applied one after another.
inline double dense_expectation(const Dense& psi, const PauliString& term) {
    Dense applied = psi;
    const Complex zero(0, 0), one(1, 0), i(0, 1);
    for (const auto& [q, pauli] : term.ops) {
        switch (pauli) {
            case Pauli::I:
                break;
            case Pauli::X:
                dense_apply_matrix(applied, {zero, one, one, zero}, {q});
                break;
            case Pauli::Y:
                dense_apply_matrix(applied, {zero, -i, i, zero}, {q});
                break;
            case Pauli::Z:
                dense_apply_matrix(applied, {one, zero, zero, -one}, {q});
                break;
        }
    }
    Complex acc(0, 0);
    for (std::size_t x = 0; x < psi.size(); ++x) acc += std::conj(psi[x]) * applied[x];
    return acc.real() * term.coeff;
}

// A Haar-ish random unitary: Q of the QR of a complex Gaussian matrix.
inline std::vector<Complex> random_unitary(std::size_t dim, std::mt19937_64& gen) {
    std::normal_distribution<double> normal;
    Eigen::MatrixXcd a(dim, dim);
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t c = 0; c < dim; ++c) a(r, c) = Complex(normal(gen), normal(gen));
    Eigen::MatrixXcd q = Eigen::HouseholderQR<Eigen::MatrixXcd>(a).householderQ();
    std::vector<Complex> out(dim * dim);
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t c = 0; c < dim; ++c) out[r * dim + c] = q(r, c);
    return out;
}

inline GateInstance instance(Gate gate, std::initializer_list<Qubit> targets,
                             std::initializer_list<Qubit> controls = {}) {
    GateInstance g{std::move(gate), {}, {}};
    g.targets.assign(targets.begin(), targets.end());
    g.controls.assign(controls.begin(), controls.end());
    return g;
}

// A random one-qubit gate of any one-qubit kind.
inline Gate random_1q_gate(std::mt19937_64& gen) {
    std::uniform_real_distribution<double> angle(-3.2, 3.2);
    switch (std::uniform_int_distribution<int>(0, 14)(gen)) {
        case 0:
            return Gate::h();
        case 1:
            return Gate::x();
        case 2:
            return Gate::y();
        case 3:
            return Gate::z();
        case 4:
            return Gate::s();
        case 5:
            return Gate::sdg();
        case 6:
            return Gate::t();
        case 7:
            return Gate::tdg();
        case 8:
            return Gate::rx(angle(gen));
        case 9:
            return Gate::ry(angle(gen));
        case 10:
            return Gate::rz(angle(gen));
        case 11:
            return Gate::phase(angle(gen));
        case 12:
            return Gate::u3(angle(gen), angle(gen), angle(gen));
        case 13: {
            auto u = random_unitary(2, gen);
            return Gate::unitary1q({u[0], u[1], u[2], u[3]});
        }
        default:
            return Gate::unitary1q_diag(std::polar(1.0, angle(gen)), std::polar(1.0, angle(gen)));
    }
}

// A Toffoli (controls c0, c1, target t) as the MPS runs it: two Hadamards,
// seven T or T† and six CNOTs.
inline std::vector<GateInstance> toffoli_lowered(Qubit c0, Qubit c1, Qubit t) {
    return {instance(Gate::h(), {t}),        instance(Gate::cnot(), {c1, t}), instance(Gate::tdg(), {t}),
            instance(Gate::cnot(), {c0, t}), instance(Gate::t(), {t}),        instance(Gate::cnot(), {c1, t}),
            instance(Gate::tdg(), {t}),      instance(Gate::cnot(), {c0, t}), instance(Gate::t(), {c1}),
            instance(Gate::t(), {t}),        instance(Gate::h(), {t}),        instance(Gate::cnot(), {c0, c1}),
            instance(Gate::t(), {c0}),       instance(Gate::tdg(), {c1}),     instance(Gate::cnot(), {c0, c1})};
}

// A random two-qubit gate of any two-qubit kind (Swap included).
inline Gate random_2q_gate(std::mt19937_64& gen) {
    std::uniform_real_distribution<double> angle(-3.2, 3.2);
    switch (std::uniform_int_distribution<int>(0, 8)(gen)) {
        case 0:
            return Gate::cnot();
        case 1:
            return Gate::cz();
        case 2:
            return Gate::swap();
        case 3:
            return Gate::iswap();
        case 4:
            return Gate::iswap_dg();
        case 5:
            return Gate::crx(angle(gen));
        case 6:
            return Gate::cry(angle(gen));
        case 7:
            return Gate::crz(angle(gen));
        default: {
            auto u = random_unitary(4, gen);
            std::array<Complex, 16> m;
            std::copy(u.begin(), u.end(), m.begin());
            return Gate::unitary2q(m);
        }
    }
}

}  // namespace nivra::mps::testing
