#pragma once
// Test-only: a tiny dense simulator, written independently of the passes,
// used to check that rewriting a circuit never changes what it computes.
//
// State index: qubit q is bit q (qubit 0 least significant). Gate matrices
// come from Gate::matrix (first target most significant); a UnitaryKq matrix
// is indexed over its targets in ascending order, smallest most significant.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"

namespace nivra::ir::testing {

using State = std::vector<Complex>;

inline GateInstance gi(Gate g, std::initializer_list<Qubit> targets, std::initializer_list<Qubit> controls = {}) {
    return GateInstance{std::move(g), targets, controls};
}

// A circuit holding `list`, every instruction inserted through the checks.
inline Circuit make_circuit(std::uint32_t num_qubits, std::vector<Instruction> list, std::uint32_t num_clbits = 0) {
    Circuit c(num_qubits, num_clbits);
    for (Instruction& inst : list) {
        auto r = c.add_instruction(std::move(inst));
        EXPECT_TRUE(r.has_value()) << r.error().message();
    }
    return c;
}

inline std::vector<Complex> matrix_of(const Gate& g) {
    if (g.kind() == GateKind::UnitaryKq) {
        return {g.matrix_data().begin(), g.matrix_data().end()};
    }
    auto m = g.matrix();
    EXPECT_TRUE(m.has_value());
    return m ? std::vector<Complex>(m->entries().begin(), m->entries().end()) : std::vector<Complex>{};
}

inline void apply_gate(State& psi, const GateInstance& g) {
    std::vector<Qubit> order(g.targets.begin(), g.targets.end());
    std::vector<Complex> m;
    if (g.gate.kind() == GateKind::UnitaryKq) {
        std::sort(order.begin(), order.end());
        m.assign(g.gate.matrix_data().begin(), g.gate.matrix_data().end());
    } else {
        auto gm = g.gate.matrix();
        ASSERT_TRUE(gm.has_value()) << "reference needs a concrete matrix for " << g.gate.name();
        m.assign(gm->entries().begin(), gm->entries().end());
    }
    const std::size_t k = order.size();
    const std::size_t local = std::size_t{1} << k;
    std::size_t target_mask = 0;
    for (Qubit t : order) {
        target_mask |= std::size_t{1} << t;
    }
    std::size_t control_mask = 0;
    for (Qubit c : g.controls) {
        control_mask |= std::size_t{1} << c;
    }
    std::vector<Complex> in(local);
    for (std::size_t base = 0; base < psi.size(); ++base) {
        if ((base & target_mask) != 0 || (base & control_mask) != control_mask) {
            continue;
        }
        auto index = [&](std::size_t l) {
            std::size_t i = base;
            for (std::size_t j = 0; j < k; ++j) {
                if ((l >> (k - 1 - j)) & 1U) {
                    i |= std::size_t{1} << order[j];
                }
            }
            return i;
        };
        for (std::size_t l = 0; l < local; ++l) {
            in[l] = psi[index(l)];
        }
        for (std::size_t r = 0; r < local; ++r) {
            Complex acc(0.0, 0.0);
            for (std::size_t c = 0; c < local; ++c) {
                acc += m[r * local + c] * in[c];
            }
            psi[index(r)] = acc;
        }
    }
}

inline void apply_phase(State& psi, const DiagonalPhase& d) {
    for (std::size_t x = 0; x < psi.size(); ++x) {
        double theta = 0.0;
        for (const PhaseTerm& term : d.terms) {
            bool on = true;
            for (std::uint64_t mask : term.masks) {
                on = on && (std::popcount(mask & x) % 2 == 1);
            }
            if (on) {
                theta += term.angle;
            }
        }
        psi[x] *= Complex(std::cos(theta), std::sin(theta));
    }
}

// Applies the unitary instructions; Measure and Reset are not unitary.
inline void apply_unitary(State& psi, const Instruction& inst) {
    inst.visit(overloaded{
        [&](const GateInstance& g) { apply_gate(psi, g); },
        [&](const DiagonalPhase& d) { apply_phase(psi, d); },
        [&](const TiledBlock& t) {
            for (const GateInstance& g : t.gates) {
                apply_gate(psi, g);
            }
        },
        [](const Barrier&) {},
        [](const Measure&) { FAIL() << "Measure in a unitary-only reference run"; },
        [](const Reset&) { FAIL() << "Reset in a unitary-only reference run"; },
    });
}

// Index x of the circuit as built -> the index its relabelled form uses.
inline std::size_t to_relabelled(std::size_t x, const Circuit& c) {
    if (!c.permutation()) {
        return x;
    }
    std::size_t y = 0;
    const auto& perm = *c.permutation();
    for (std::size_t q = 0; q < perm.size(); ++q) {
        if ((x >> q) & 1U) {
            y |= std::size_t{1} << perm[q];
        }
    }
    return y;
}

// The full unitary (column-major: column x is the image of basis state x),
// in the qubit labels of the circuit as built.
inline std::vector<State> unitary(const Circuit& c) {
    const std::size_t dim = std::size_t{1} << c.num_qubits();
    std::vector<State> columns;
    for (std::size_t x = 0; x < dim; ++x) {
        State psi(dim, Complex(0.0, 0.0));
        psi[to_relabelled(x, c)] = Complex(1.0, 0.0);
        for (const Instruction& inst : c.instructions()) {
            apply_unitary(psi, inst);
        }
        State back(dim);
        for (std::size_t y = 0; y < dim; ++y) {
            back[y] = psi[to_relabelled(y, c)];
        }
        columns.push_back(std::move(back));
    }
    return columns;
}

// Density matrix, row-major dim×dim.
struct Density {
    std::size_t dim = 0;
    std::vector<Complex> rho;
    Complex& at(std::size_t i, std::size_t j) { return rho[i * dim + j]; }
};

// ρ -> U ρ U† for a unitary instruction, through its action on vectors.
inline void density_unitary(Density& d, const Instruction& inst) {
    auto left = [&] {
        for (std::size_t j = 0; j < d.dim; ++j) {
            State col(d.dim);
            for (std::size_t i = 0; i < d.dim; ++i) {
                col[i] = d.at(i, j);
            }
            apply_unitary(col, inst);
            for (std::size_t i = 0; i < d.dim; ++i) {
                d.at(i, j) = col[i];
            }
        }
    };
    auto dagger = [&] {
        for (std::size_t i = 0; i < d.dim; ++i) {
            for (std::size_t j = i; j < d.dim; ++j) {
                Complex a = d.at(i, j);
                Complex b = d.at(j, i);
                d.at(i, j) = std::conj(b);
                d.at(j, i) = std::conj(a);
            }
        }
    };
    left();    // Uρ
    dagger();  // ρU†
    left();    // UρU†
    dagger();
}

// Runs the circuit on the density matrix of `input` (labels of the circuit as
// built). Measure is the non-selective measurement (dephasing), Reset the
// reset channel. Returns ρ in the labels of the circuit as built.
inline Density run_density(const Circuit& c, const State& input) {
    const std::size_t dim = input.size();
    Density d{dim, std::vector<Complex>(dim * dim)};
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = 0; j < dim; ++j) {
            d.at(to_relabelled(i, c), to_relabelled(j, c)) = input[i] * std::conj(input[j]);
        }
    }
    for (const Instruction& inst : c.instructions()) {
        if (const Measure* m = inst.get_if<Measure>()) {
            for (std::size_t i = 0; i < dim; ++i) {
                for (std::size_t j = 0; j < dim; ++j) {
                    if (((i ^ j) >> m->qubit) & 1U) {
                        d.at(i, j) = 0.0;
                    }
                }
            }
        } else if (const Reset* r = inst.get_if<Reset>()) {
            const std::size_t bit = std::size_t{1} << r->qubit;
            for (std::size_t i = 0; i < dim; ++i) {
                for (std::size_t j = 0; j < dim; ++j) {
                    if ((i & bit) == 0 && (j & bit) == 0) {
                        d.at(i, j) += d.at(i | bit, j | bit);
                    }
                }
            }
            for (std::size_t i = 0; i < dim; ++i) {
                for (std::size_t j = 0; j < dim; ++j) {
                    if ((i & bit) != 0 || (j & bit) != 0) {
                        d.at(i, j) = 0.0;
                    }
                }
            }
        } else {
            density_unitary(d, inst);
        }
    }
    Density back{dim, std::vector<Complex>(dim * dim)};
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = 0; j < dim; ++j) {
            back.at(i, j) = d.at(to_relabelled(i, c), to_relabelled(j, c));
        }
    }
    return back;
}

inline double max_diff(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    EXPECT_EQ(a.size(), b.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        worst = std::max(worst, std::abs(a[i] - b[i]));
    }
    return worst;
}

inline double max_diff(const std::vector<State>& a, const std::vector<State>& b) {
    EXPECT_EQ(a.size(), b.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        worst = std::max(worst, max_diff(a[i], b[i]));
    }
    return worst;
}

// Same operator, global phase included, in the labels of the circuits as built.
inline void expect_same_unitary(const Circuit& before, const Circuit& after, double tolerance = 1e-9) {
    EXPECT_LE(max_diff(unitary(before), unitary(after)), tolerance);
}

// Row-major dense matrix of a small circuit's unitary over its own qubits,
// indexed with qubit 0 as the MOST significant bit (the order of a gate
// matrix whose targets are 0, 1, ..., n-1).
inline std::vector<Complex> gate_order_matrix(const Circuit& c) {
    const std::size_t n = c.num_qubits();
    const std::size_t dim = std::size_t{1} << n;
    auto rev = [n](std::size_t x) {
        std::size_t y = 0;
        for (std::size_t b = 0; b < n; ++b) {
            if ((x >> b) & 1U) {
                y |= std::size_t{1} << (n - 1 - b);
            }
        }
        return y;
    };
    std::vector<State> cols = unitary(c);
    std::vector<Complex> m(dim * dim);
    for (std::size_t r = 0; r < dim; ++r) {
        for (std::size_t col = 0; col < dim; ++col) {
            m[r * dim + col] = cols[rev(col)][rev(r)];
        }
    }
    return m;
}

}  // namespace nivra::ir::testing
