#include "nivra/ir/ansatz.h"

#include <vector>

#include "nivra/core/format.h"
#include "nivra/core/memory.h"

namespace nivra::ir {

std::string AnsatzError::message() const {
    using fmt::display;
    switch (kind) {
        case Kind::ParamCount:
            return "expected " + display(expected) + " params (n_qubits*(depth+1)), got " + display(given);
        case Kind::AngleCountMismatch:
            return "gammas has " + display(expected) + " angles but betas has " + display(given) +
                   " (must match = QAOA depth p)";
        case Kind::EdgeOutOfRange:
            return "edge (" + display(edge.first) + "," + display(edge.second) + ") out of range for " +
                   display(num_qubits) + " qubits";
        case Kind::Circuit:
            return circuit.message();
        case Kind::Pauli:
            return pauli.message();
    }
    invariant_failure("AnsatzError: unknown kind");
}

namespace {

std::expected<void, AnsatzError> add(Circuit& circuit, Gate gate, std::initializer_list<Qubit> targets) {
    auto r = circuit.add_gate(GateInstance{std::move(gate), targets, {}});
    if (!r) {
        return std::unexpected(AnsatzError::from(r.error()));
    }
    return {};
}

}  // namespace

std::expected<Circuit, AnsatzError> build_hea(std::uint32_t n_qubits, std::uint32_t depth,
                                              std::span<const double> params) {
    const std::uint64_t n = n_qubits;
    // Fits: n < 2^32 and depth + 1 <= 2^32.
    const std::uint64_t expected = n * (std::uint64_t{depth} + 1);
    if (params.size() != expected) {
        return std::unexpected(AnsatzError::param_count(expected, params.size()));
    }
    std::expected<Circuit, CircuitError> made = Circuit::create(n_qubits);
    if (!made) {
        return std::unexpected(AnsatzError::from(made.error()));
    }
    Circuit circuit = std::move(*made);
    // With no qubits every layer is empty; do not walk them.
    const std::uint32_t layers = n_qubits == 0 ? 0 : depth;
    // No gate can fail below: the whole list is sized (and checked) at once.
    // Fits: at most (2^17 - 1) * 2^32 + 2^16.
    circuit.reserve(static_cast<std::size_t>(layers * (2 * n - 1) + n));
    for (std::uint32_t l = 0; l < layers; ++l) {
        for (std::uint32_t q = 0; q < n_qubits; ++q) {
            if (auto r = add(circuit, Gate::ry(params[l * n + q]), {q}); !r) {
                return std::unexpected(r.error());
            }
        }
        for (std::uint32_t q = 0; q + 1 < n_qubits; ++q) {
            if (auto r = add(circuit, Gate::cnot(), {q, q + 1}); !r) {
                return std::unexpected(r.error());
            }
        }
    }
    for (std::uint32_t q = 0; q < n_qubits; ++q) {
        if (auto r = add(circuit, Gate::ry(params[depth * n + q]), {q}); !r) {
            return std::unexpected(r.error());
        }
    }
    return circuit;
}

std::expected<Circuit, AnsatzError> build_qaoa(std::uint32_t n_qubits, std::span<const Edge> edges,
                                               std::span<const double> gammas, std::span<const double> betas) {
    if (gammas.size() != betas.size()) {
        return std::unexpected(AnsatzError::angle_count_mismatch(gammas.size(), betas.size()));
    }
    std::expected<Circuit, CircuitError> made = Circuit::create(n_qubits);
    if (!made) {
        return std::unexpected(AnsatzError::from(made.error()));
    }
    Circuit circuit = std::move(*made);
    for (std::uint32_t q = 0; q < n_qubits; ++q) {
        if (auto r = add(circuit, Gate::h(), {q}); !r) {
            return std::unexpected(r.error());
        }
    }
    for (std::size_t l = 0; l < gammas.size(); ++l) {
        if (l == 1) {
            // The first layer validated every gate of the later ones (same
            // qubits), so their instructions are sized and checked at once.
            const std::uint64_t per_layer = saturating_add(saturating_mul(edges.size(), 3), n_qubits);
            circuit.reserve(
                static_cast<std::size_t>(saturating_add(saturating_mul(per_layer, gammas.size()), n_qubits)));
        }
        const double gamma = gammas[l];
        const double beta = betas[l];
        for (const auto& [a, b] : edges) {
            auto r = add(circuit, Gate::cnot(), {a, b});
            if (r) {
                r = add(circuit, Gate::rz(2.0 * gamma), {b});
            }
            if (r) {
                r = add(circuit, Gate::cnot(), {a, b});
            }
            if (!r) {
                return std::unexpected(r.error());
            }
        }
        for (std::uint32_t q = 0; q < n_qubits; ++q) {
            if (auto r = add(circuit, Gate::rx(2.0 * beta), {q}); !r) {
                return std::unexpected(r.error());
            }
        }
    }
    return circuit;
}

std::expected<PauliSum, AnsatzError> maxcut_pauli_sum(std::uint32_t n_qubits, std::span<const Edge> edges) {
    PauliSum sum;
    sum.terms.reserve(edges.size() + 1);
    auto identity = PauliString::make({}, static_cast<double>(edges.size()) * 0.5);
    if (!identity) {
        return std::unexpected(AnsatzError::from(identity.error()));
    }
    sum.terms.push_back(std::move(*identity));
    for (const Edge& e : edges) {
        if (e.first >= n_qubits || e.second >= n_qubits) {
            return std::unexpected(AnsatzError::edge_out_of_range(e, n_qubits));
        }
        auto term = PauliString::make({{e.first, Pauli::Z}, {e.second, Pauli::Z}}, -0.5);
        if (!term) {
            return std::unexpected(AnsatzError::from(term.error()));
        }
        sum.terms.push_back(std::move(*term));
    }
    return sum;
}

}  // namespace nivra::ir
