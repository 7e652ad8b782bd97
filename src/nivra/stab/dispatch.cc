#include "nivra/stab/dispatch.h"

#include "nivra/core/error.h"

namespace nivra::stab {
namespace {

Qubit target(const GateInstance& gate, std::size_t index) {
    check_index(index, gate.targets.size(), "stab::apply_gate targets");
    return gate.targets[index];
}

std::expected<void, StabError> check_one(std::size_t n, Qubit q) {
    if (q >= n) {
        return std::unexpected(StabError::qubit_out_of_range(q, static_cast<std::uint32_t>(n)));
    }
    return {};
}

std::expected<void, StabError> check_two(std::size_t n, Qubit a, Qubit b) {
    if (auto ok = check_one(n, a); !ok) {
        return ok;
    }
    if (auto ok = check_one(n, b); !ok) {
        return ok;
    }
    if (a == b) {
        return std::unexpected(StabError::duplicate_qubit(a));
    }
    return {};
}

}  // namespace

std::expected<void, StabError> check_gate(std::size_t num_qubits, const GateInstance& gate) {
    if (!gate.controls.empty()) {
        return std::unexpected(StabError::unsupported_gate(gate.gate.name()));
    }
    // The tableau applies exactly the Clifford kinds, all of fixed width.
    const GateRow& row = gate_kind_row(gate.gate.kind());
    if (!has_flag(row, CLIFFORD)) {
        return std::unexpected(StabError::unsupported_gate(gate.gate.name()));
    }
    if (row.targets == 1) {
        return check_one(num_qubits, target(gate, 0));
    }
    check_invariant(row.targets == 2, "stab::check_gate: a Clifford kind of another width");
    return check_two(num_qubits, target(gate, 0), target(gate, 1));
}

std::expected<void, StabError> apply_gate(Tableau& tableau, const GateInstance& gate) {
    if (auto ok = check_gate(tableau.num_qubits(), gate); !ok) {
        return ok;
    }
    // Checked above, so none of the tableau calls below can fail.
    const auto must = [](std::expected<void, StabError> ok) {
        check_invariant(ok.has_value(), "stab::apply_gate: a checked gate failed");
    };
    switch (gate.gate.kind()) {
        case GateKind::H:
            must(tableau.h(target(gate, 0)));
            return {};
        case GateKind::X:
            must(tableau.x_gate(target(gate, 0)));
            return {};
        case GateKind::Y:
            must(tableau.y_gate(target(gate, 0)));
            return {};
        case GateKind::Z:
            must(tableau.z_gate(target(gate, 0)));
            return {};
        case GateKind::S:
            must(tableau.s(target(gate, 0)));
            return {};
        case GateKind::Sdg:
            must(tableau.sdg(target(gate, 0)));
            return {};
        case GateKind::Cnot:
            must(tableau.cnot(target(gate, 0), target(gate, 1)));
            return {};
        case GateKind::Cz: {
            const Qubit a = target(gate, 0), b = target(gate, 1);
            must(tableau.h(b));
            must(tableau.cnot(a, b));
            must(tableau.h(b));
            return {};
        }
        case GateKind::Swap: {
            const Qubit a = target(gate, 0), b = target(gate, 1);
            must(tableau.cnot(a, b));
            must(tableau.cnot(b, a));
            must(tableau.cnot(a, b));
            return {};
        }
        case GateKind::Iswap:
            must(tableau.iswap(target(gate, 0), target(gate, 1)));
            return {};
        case GateKind::IswapDg:
            must(tableau.iswap_dg(target(gate, 0), target(gate, 1)));
            return {};
        case GateKind::T:
        case GateKind::Tdg:
        case GateKind::Rx:
        case GateKind::Ry:
        case GateKind::Rz:
        case GateKind::Phase:
        case GateKind::U3:
        case GateKind::CRx:
        case GateKind::CRy:
        case GateKind::CRz:
        case GateKind::Toffoli:
        case GateKind::Ccz:
        case GateKind::Unitary1q:
        case GateKind::Unitary2q:
        case GateKind::UnitaryKq:
        case GateKind::Unitary1qDiag:
            break;
    }
    // check_gate refused every non-Clifford kind.
    invariant_failure("stab::apply_gate: unsupported kind passed its check");
}

}  // namespace nivra::stab
