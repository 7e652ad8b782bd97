#pragma once
// Circuit gates onto tableau operations.
//
//     H X Y Z S          the tableau gate of the same name on t0
//     Sdg                S three times on t0
//     Cnot               cnot(t0, t1)
//     Cz                 h(t1), cnot(t0, t1), h(t1)
//     Swap               cnot(t0, t1), cnot(t1, t0), cnot(t0, t1)
//     Iswap, IswapDg     iswap / iswap_dg(t0, t1)
//     every other kind   StabError::UnsupportedGate with the kind's name
//
// Kinds are recognised by kind alone (Rz(π/2) is refused), and any gate with an
// external control is refused whatever its kind.

#include <cstddef>
#include <expected>

#include "nivra/core/gate.h"
#include "nivra/stab/error.h"
#include "nivra/stab/tableau.h"

namespace nivra::stab {

// The error apply_gate would return on an n-qubit tableau, without touching
// one: the external-control and kind checks, then the range of t0, the range
// of t1 and t0 != t1. Throws InvariantError when the instance lists fewer
// targets than its kind needs (circuit validation guarantees them).
std::expected<void, StabError> check_gate(std::size_t num_qubits, const GateInstance& gate);

// Applies a gate, or returns check_gate's error with the tableau's bits unchanged.
std::expected<void, StabError> apply_gate(Tableau& tableau, const GateInstance& gate);

}  // namespace nivra::stab
