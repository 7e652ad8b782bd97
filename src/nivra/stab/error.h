#pragma once
// StabError: why a tableau operation refused its arguments.

#include <cstdint>
#include <string>
#include <string_view>

#include "nivra/core/gate.h"

namespace nivra::stab {

struct StabError {
    enum class Kind : std::uint8_t {
        UnsupportedGate,  // gate: the kind's static name
        QubitOutOfRange,  // qubit, num_qubits
        DuplicateQubit,   // qubit: the first of the two coinciding qubits
    };

    Kind kind = Kind::QubitOutOfRange;
    std::string_view gate;  // UnsupportedGate only; points at a static name
    Qubit qubit = 0;
    std::uint32_t num_qubits = 0;

    static StabError unsupported_gate(std::string_view gate_name) {
        return StabError{Kind::UnsupportedGate, gate_name, 0, 0};
    }
    static StabError qubit_out_of_range(Qubit qubit, std::uint32_t num_qubits) {
        return StabError{Kind::QubitOutOfRange, {}, qubit, num_qubits};
    }
    static StabError duplicate_qubit(Qubit qubit) { return StabError{Kind::DuplicateQubit, {}, qubit, 0}; }

    // The text users see: that of the backend error the run path maps it to.
    std::string message() const;

    friend bool operator==(const StabError& a, const StabError& b) = default;
};

}  // namespace nivra::stab
