#pragma once
// Builders of the parametrised circuits and the cost observable used by the
// energy functions: a hardware-efficient ansatz (Ry layers joined by a Cnot
// chain), a QAOA Max-Cut circuit, and the Max-Cut Hamiltonian.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>

#include "nivra/core/pauli.h"
#include "nivra/ir/circuit.h"

namespace nivra::ir {

// A graph edge between two qubits.
using Edge = std::pair<Qubit, Qubit>;

struct AnsatzError {
    enum class Kind : std::uint8_t { ParamCount, AngleCountMismatch, EdgeOutOfRange, Circuit, Pauli };

    Kind kind = Kind::ParamCount;
    std::uint64_t expected = 0;    // ParamCount: expected count; AngleCountMismatch: number of gammas
    std::uint64_t given = 0;       // ParamCount: given count; AngleCountMismatch: number of betas
    Edge edge{};                   // EdgeOutOfRange
    std::uint32_t num_qubits = 0;  // EdgeOutOfRange
    CircuitError circuit{};        // Circuit
    PauliError pauli{};            // Pauli

    static AnsatzError param_count(std::uint64_t expected, std::uint64_t given) {
        return {Kind::ParamCount, expected, given, {}, 0, {}, {}};
    }
    static AnsatzError angle_count_mismatch(std::uint64_t gammas, std::uint64_t betas) {
        return {Kind::AngleCountMismatch, gammas, betas, {}, 0, {}, {}};
    }
    static AnsatzError edge_out_of_range(Edge edge, std::uint32_t num_qubits) {
        return {Kind::EdgeOutOfRange, 0, 0, edge, num_qubits, {}, {}};
    }
    static AnsatzError from(CircuitError e) { return {Kind::Circuit, 0, 0, {}, 0, e, {}}; }
    static AnsatzError from(PauliError e) { return {Kind::Pauli, 0, 0, {}, 0, {}, e}; }

    //   ParamCount          "expected {} params (n_qubits*(depth+1)), got {}"
    //   AngleCountMismatch  "gammas has {} angles but betas has {} (must match = QAOA depth p)"
    //   EdgeOutOfRange      "edge ({},{}) out of range for {} qubits"
    //   Circuit, Pauli      the wrapped error's message
    std::string message() const;
    friend bool operator==(const AnsatzError&, const AnsatzError&) = default;
};

// depth layers of Ry(params[l·n + q]) on every qubit followed by Cnot(q, q+1)
// for q = 0..n-2, then a final Ry layer from params[depth·n ..]. The parameter
// count must be n·(depth+1) (tested first); more than 65535 qubits is the
// circuit error TooManyQubits.
std::expected<Circuit, AnsatzError> build_hea(std::uint32_t n_qubits, std::uint32_t depth,
                                              std::span<const double> params);

// H on every qubit, then per layer l: for each edge (a, b) in order Cnot(a, b),
// Rz(2·gammas[l]) on b, Cnot(a, b); then Rx(2·betas[l]) on every qubit. The
// angle lists must have equal length (tested first); edges are checked only
// by circuit validation.
std::expected<Circuit, AnsatzError> build_qaoa(std::uint32_t n_qubits, std::span<const Edge> edges,
                                               std::span<const double> gammas, std::span<const double> betas);

// m/2 − ½·Σ_{(a,b)} Z_a Z_b as terms: the identity with coefficient m·0.5
// first, then −0.5·Z_a Z_b per edge in order (operators sorted by qubit).
std::expected<PauliSum, AnsatzError> maxcut_pauli_sum(std::uint32_t n_qubits, std::span<const Edge> edges);

}  // namespace nivra::ir
