#pragma once
// Reading results out of a CpuState: state validation, projective
// measurement with collapse, and Pauli expectation values.
//
// Sums over the state (norm, branch probabilities, expectation values) are
// taken in fixed blocks of SUM_BLOCK consecutive amplitudes, each summed in
// index order, the block sums then added in block order. The grouping never
// depends on the thread count, so a seed always gives the same outcome.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/core/pauli.h"
#include "nivra/core/rng.h"
#include "nivra/sv/state.h"

namespace nivra::sv {

using backend::BackendError;

inline constexpr std::size_t SUM_BLOCK = std::size_t{1} << 14;

// Sums over states of at least this many amplitudes run on the pool; the
// result does not depend on it.
inline constexpr std::size_t PAR_MIN_AMPS = std::size_t{1} << 18;

// Reason texts of BackendError::InvalidState, in check order.
inline constexpr std::string_view REASON_EMPTY = "empty state vector";
inline constexpr std::string_view REASON_TOO_WIDE = "num_qubits exceeds platform usize::BITS";
inline constexpr std::string_view REASON_LENGTH = "amps.len() != 2^num_qubits";
inline constexpr std::string_view REASON_NON_FINITE = "non-finite amplitude norm²";
inline constexpr std::string_view REASON_DRIFT = "state norm² deviates from 1 beyond drift budget";

// The probability of every basis state, p[i] = re² + im², or InvalidState:
// no amplitudes; num_qubits >= 64; amps.size() != 2^num_qubits; a non-finite
// p[i]; |Σp − 1| > 1e-10·√(2^n).
std::expected<std::vector<double>, BackendError> validate_state(const CpuState& state);

// The checks of validate_state without keeping the list.
std::expected<void, BackendError> check_state(const CpuState& state);

// Only the shape checks of validate_state (no amplitudes, num_qubits >= 64,
// length != 2^num_qubits).
std::expected<void, BackendError> check_shape(const CpuState& state);

// Receives one block [begin, end) of validate_state_into's output once
// out[begin..end) is written, on the thread that wrote it: blocks of
// SUM_BLOCK amplitudes, in any order and possibly at once. A block that met a
// non-finite value is not handed over.
using ScaledBlockSink = void (*)(void* context, std::size_t begin, std::size_t end, const double* out);

// As validate_state, writing p[i]·scale into out[0..len) instead of
// returning the list (scale = 2^n builds the alias table in place), and
// handing every block to `sink` when one is given. The blocks run on the pool
// when the state has at least `parallel_min_amps` amplitudes.
std::expected<void, BackendError> validate_state_into(const CpuState& state, double scale, double* out,
                                                      std::size_t parallel_min_amps = PAR_MIN_AMPS,
                                                      ScaledBlockSink sink = nullptr, void* context = nullptr);

// Projective measurement of qubit q with collapse. QubitOutOfRange first,
// then validation; DegenerateMeasurement when both branches are below
// 1e-300 (state unchanged). One draw from `rng` unless the outcome is forced.
std::expected<std::uint8_t, BackendError> measure_qubit(CpuState& state, Qubit q, StdRng& rng);

// coeff · <ψ|P|ψ>. Validation first, then a non-finite coefficient
// (InvalidPauliString "non-finite coefficient"), then each operator's qubit
// (QubitOutOfRange, DuplicateQubit). I/Z-only strings read the probabilities
// without a copy; X or Y pay one copy and one kernel pass per operator.
std::expected<double, BackendError> expectation(const CpuState& state, const PauliString& term);

}  // namespace nivra::sv
