#pragma once
// The dense state of the state-vector simulator.

#include <cstddef>
#include <cstdint>

#include "nivra/core/aligned.h"

namespace nivra::sv {

// Every one of the 2^n complex amplitudes of an n-qubit register in one
// 64-byte-aligned buffer; amplitude i holds basis state |i>, qubit q = bit q
// of i.
//
// Invariant: amps.size() == 2^num_qubits. The fields are open so that the
// Python layer can read the amplitudes; every operation that reads a state
// checks the invariant again (validate_state) or relies on the kernels'
// checks, so a broken value is an error or an InvariantError, never an
// out-of-bounds access. The state owns its buffer exclusively.
struct CpuState {
    AlignedBuf amps;
    std::uint32_t num_qubits = 0;

    // |0...0>: 2^n zeroed amplitudes with amps[0] = 1. Throws AllocationError
    // "cannot allocate {size} for a {n}-qubit state vector" when the buffer
    // exceeds memory_limit() or cannot be allocated (MemoryError in Python) and
    // InvariantError for n >= 64.
    static CpuState zero_state(std::uint32_t num_qubits);

    std::size_t len() const { return amps.size(); }
};

}  // namespace nivra::sv
