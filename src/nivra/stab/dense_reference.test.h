#pragma once
// A tiny dense state-vector simulator for the stabilizer tests: 2^n amplitudes
// updated with Gate::matrix, projective measurement and Pauli expectations.
// Written independently of the state-vector library so the tableau is checked
// against nothing but the gate matrices.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/ir/circuit.h"
#include "nivra/stab/tableau.h"

namespace nivra::stab::testing {

using C = std::complex<double>;

struct DenseState {
    std::size_t n;
    std::vector<C> amps;

    explicit DenseState(std::size_t qubits) : n(qubits), amps(std::size_t{1} << qubits, C(0, 0)) { amps[0] = 1.0; }

    void apply(const GateInstance& g) {
        const auto m = g.gate.matrix();
        ASSERT_TRUE(m.has_value());
        const std::size_t dim = m->dim();
        ASSERT_EQ(g.targets.size(), dim == 2 ? 1u : 2u);
        // Bit of each matrix index position: the first target is the most significant.
        std::vector<std::size_t> bits;
        for (Qubit t : g.targets) {
            bits.push_back(std::size_t{1} << t);
        }
        std::size_t mask = 0;
        for (std::size_t b : bits) {
            mask |= b;
        }
        std::vector<std::size_t> index(dim);
        std::vector<C> in(dim);
        for (std::size_t base = 0; base < amps.size(); ++base) {
            if ((base & mask) != 0) {
                continue;
            }
            for (std::size_t k = 0; k < dim; ++k) {
                std::size_t idx = base;
                for (std::size_t j = 0; j < bits.size(); ++j) {
                    if ((k >> (bits.size() - 1 - j)) & 1) {
                        idx |= bits[j];
                    }
                }
                index[k] = idx;
                in[k] = amps[idx];
            }
            for (std::size_t r = 0; r < dim; ++r) {
                C acc(0, 0);
                for (std::size_t c = 0; c < dim; ++c) {
                    acc += (*m)(r, c) * in[c];
                }
                amps[index[r]] = acc;
            }
        }
    }

    double prob_one(Qubit q) const {
        double p = 0;
        for (std::size_t i = 0; i < amps.size(); ++i) {
            if ((i >> q) & 1) {
                p += std::norm(amps[i]);
            }
        }
        return p;
    }

    // Projects qubit q on `outcome` and renormalises.
    void project(Qubit q, int outcome) {
        double keep = 0;
        for (std::size_t i = 0; i < amps.size(); ++i) {
            if (static_cast<int>((i >> q) & 1) != outcome) {
                amps[i] = 0;
            } else {
                keep += std::norm(amps[i]);
            }
        }
        const double scale = 1.0 / std::sqrt(keep);
        for (C& a : amps) {
            a *= scale;
        }
    }

    // ⟨ψ|(-1)^sign P|ψ⟩ for the Pauli with X bits `xs` and Z bits `zs`
    // (both set = Y), one bool per qubit.
    double expectation(const std::vector<bool>& xs, const std::vector<bool>& zs, bool sign) const {
        std::size_t flip = 0;
        for (std::size_t q = 0; q < n; ++q) {
            if (xs[q]) {
                flip |= std::size_t{1} << q;
            }
        }
        C total(0, 0);
        for (std::size_t i = 0; i < amps.size(); ++i) {
            // P|i> = phase · |i xor flip>: X gives 1, Z gives (-1)^bit, Y gives i·(-1)^bit.
            C phase(1, 0);
            for (std::size_t q = 0; q < n; ++q) {
                const bool bit = ((i >> q) & 1) != 0;
                if (zs[q] && bit) {
                    phase = -phase;
                }
                if (zs[q] && xs[q]) {
                    phase *= C(0, 1);
                }
            }
            total += std::conj(amps[i ^ flip]) * phase * amps[i];
        }
        EXPECT_NEAR(total.imag(), 0.0, 1e-9);
        return sign ? -total.real() : total.real();
    }
};

// Every stabiliser generator of the tableau (with its sign) must have
// expectation +1 on the dense state: then both describe the same state.
inline void expect_same_state(const Tableau& tableau, const DenseState& dense) {
    const std::size_t n = tableau.num_qubits();
    for (std::size_t s = n; s < 2 * n; ++s) {
        std::vector<bool> xs(n), zs(n);
        for (std::size_t q = 0; q < n; ++q) {
            xs[q] = tableau.x_bit(s, q);
            zs[q] = tableau.z_bit(s, q);
        }
        EXPECT_NEAR(dense.expectation(xs, zs, tableau.sign(s)), 1.0, 1e-9) << "stabiliser " << s - n;
    }
}

inline GateInstance make_gate(Gate gate, std::initializer_list<Qubit> targets) {
    GateInstance g{std::move(gate), {}, {}};
    for (Qubit t : targets) {
        g.targets.push_back(t);
    }
    return g;
}

// A random Clifford gate on n >= 2 qubits, every Clifford kind equally likely.
inline GateInstance random_clifford(std::size_t n, std::mt19937_64& gen) {
    const Qubit a = static_cast<Qubit>(gen() % n);
    Qubit b = static_cast<Qubit>(gen() % (n - 1));
    if (b >= a) {
        ++b;
    }
    // Every Clifford kind of the gate table, in table order.
    static const std::vector<GateKind> kinds = [] {
        std::vector<GateKind> out;
        for (const GateRow& row : GATE_TABLE) {
            if (has_flag(row, CLIFFORD)) out.push_back(row.kind);
        }
        return out;
    }();
    const Gate gate = Gate::with_angles(kinds[gen() % kinds.size()], {});
    return gate.arity() == 1 ? make_gate(gate, {a}) : make_gate(gate, {a, b});
}

}  // namespace nivra::stab::testing
