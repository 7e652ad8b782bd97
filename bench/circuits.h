#pragma once
// Circuits shared by the benchmarks.

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"

namespace nivra::bench {

inline GateInstance gate_on(Gate gate, std::initializer_list<Qubit> targets) {
    GateInstance g{std::move(gate), {}, {}};
    g.targets.assign(targets.begin(), targets.end());
    return g;
}

// `depth` layers, each a random rotation (Rx, Ry or Rz) on every qubit followed
// by CNOTs on alternating neighbour pairs; seeded by the qubit count.
inline ir::Circuit brickwork_circuit(std::uint32_t n, int depth) {
    StdRng rng = StdRng::seed_from_u64(n);
    ir::Circuit c(n);
    for (int layer = 0; layer < depth; ++layer) {
        for (Qubit q = 0; q < n; ++q) {
            const double angle = 6.28 * rng.next_unit_f64();
            const std::uint64_t which = rng.next_u64() % 3;
            Gate g = which == 0 ? Gate::rx(angle) : which == 1 ? Gate::ry(angle) : Gate::rz(angle);
            (void)c.add_gate(gate_on(std::move(g), {q}));
        }
        for (Qubit q = layer % 2; q + 1 < n; q += 2) {
            (void)c.add_gate(gate_on(Gate::cnot(), {q, q + 1}));
        }
    }
    return c;
}

// `depth` layers, each a random H, Rx, Ry or Rz on every qubit followed by
// CNOT or CZ on a random pairing of all qubits (the circuit of
// bench/sv_peers.py's comparisons); seeded by the qubit count.
inline ir::Circuit random_pairing_circuit(std::uint32_t n, int depth) {
    StdRng rng = StdRng::seed_from_u64(n);
    ir::Circuit c(n);
    for (int layer = 0; layer < depth; ++layer) {
        for (Qubit q = 0; q < n; ++q) {
            const double angle = 6.28 * rng.next_unit_f64();
            const std::uint64_t which = rng.next_u64() % 4;
            Gate g = which == 0   ? Gate::h()
                     : which == 1 ? Gate::rx(angle)
                     : which == 2 ? Gate::ry(angle)
                                  : Gate::rz(angle);
            (void)c.add_gate(gate_on(std::move(g), {q}));
        }
        std::vector<Qubit> order(n);
        for (Qubit q = 0; q < n; ++q) order[q] = q;
        for (std::size_t i = n; i > 1; --i) std::swap(order[i - 1], order[rng.next_u64() % i]);
        for (std::size_t i = 0; i + 1 < n; i += 2) {
            Gate g = rng.next_u64() % 2 ? Gate::cnot() : Gate::cz();
            (void)c.add_gate(gate_on(std::move(g), {order[i], order[i + 1]}));
        }
    }
    return c;
}

}  // namespace nivra::bench
