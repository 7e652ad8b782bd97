#pragma once
// MpsBackend: the matrix-product-state simulator behind the Backend
// interface, and the MPS path of a run.
//
// Every state the backend makes truncates each two-site update to a bond of
// at most 128 (TruncationPolicy::fixed(128)), silently: the discarded
// Schmidt weight is only counted in the state's statistics.
//
// Randomness. The backend owns one StdRng and every draw is a uniform
// u = next_unit_f64() taken in program order: one per mid-circuit
// measurement; when sampling, n per shot (one per chain position, positions
// in order), shots in order. One seed therefore fixes a whole run. Failed
// checks draw nothing.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/core/gate.h"
#include "nivra/core/pauli.h"
#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/mps/mps.h"

namespace nivra::mps {

using backend::BackendError;

// Largest circuit a run accepts (1024 itself is accepted).
inline constexpr std::uint32_t MAX_QUBITS = 1024;
// Largest qubit count sampling accepts: a shot is one 64-bit word.
inline constexpr std::uint32_t SAMPLE_MAX_QUBITS = 64;
// The bond cap of every state this backend makes.
inline constexpr std::size_t MAX_BOND = 128;
// Shots handed to a sink at a time by sample_chunked.
inline constexpr std::size_t SAMPLE_CHUNK_SHOTS = 4096;

// Reasons of the two MpsError cases that become BackendError::InvalidState.
inline constexpr std::string_view NON_ADJACENT_REASON =
    "2q gate applied to non-adjacent sites (lazy SWAP router invariant violated)";
inline constexpr std::string_view SVD_FAILED_REASON = "SVD failed to converge during 2q-gate truncation";

//   QubitOutOfRange        -> QubitOutOfRange (same values)
//   UnsupportedGate        -> UnsupportedGate(name)
//   NonAdjacent            -> InvalidState(NON_ADJACENT_REASON)
//   ControlledGate         -> UnsupportedGate(name)
//   NonFiniteMatrix        -> NonFiniteParam(name)
//   DegenerateMeasurement  -> DegenerateMeasurement (same values)
//   SvdFailed              -> InvalidState(SVD_FAILED_REASON)
BackendError map_mps_err(const MpsError& error);

// What apply_gate does with a gate that passed every check.
struct GatePlan {
    enum class Kind : std::uint8_t {
        OneQubit,  // apply_1q(q0, m2)
        Relabel,   // Swap: swap_by_relabel(q0, q1)
        TwoQubit,  // apply_2q_routed(q0, q1, m4)
    };
    Kind kind = Kind::OneQubit;
    Qubit q0 = 0;
    Qubit q1 = 0;
    Matrix2 m2{};
    Matrix4 m4{};
};

// The checks of apply_gate on an n-qubit state, which depend on the gate and
// n alone. By kind:
//   H X Y Z S Sdg T Tdg Rx Ry Rz Phase U3 Unitary1q Unitary1qDiag: one-qubit path
//   Cnot Cz Swap Iswap IswapDg CRx CRy CRz Unitary2q: two-qubit path
//   UnitaryKq of width 1 or 2: the one- or two-qubit path; Gate::matrix has no
//       fixed-size matrix for it, so that path refuses it as UnsupportedGate
//   UnitaryKq of another width, Toffoli, Ccz: UnsupportedGate
// One-qubit path, in order: external controls (UnsupportedGate); Gate::matrix
// failing or not 2×2 (UnsupportedGate, also for symbolic and non-finite
// parameters); a NaN or infinite matrix entry (NonFiniteParam); the target
// >= n (QubitOutOfRange).
// Two-qubit path, in order: each target >= n (QubitOutOfRange, the first);
// equal targets (DuplicateQubit); external controls (UnsupportedGate); Swap
// is a relabelling; otherwise matrix_4x4, its error mapped by map_mps_err.
// A gate with fewer targets than its arity throws InvariantError.
std::expected<GatePlan, BackendError> plan_gate(const GateInstance& gate, std::uint32_t num_qubits);

class MpsBackend {
public:
    using State = MpsState;

    explicit MpsBackend(StdRng rng) : rng_(std::move(rng)) {}
    // Keys the generator with seed_from_u64(seed).
    static MpsBackend with_seed(std::uint64_t seed) { return MpsBackend(StdRng::seed_from_u64(seed)); }
    // Keys the generator with 32 bytes of operating-system entropy.
    static std::expected<MpsBackend, EntropyError> from_entropy();

    const TruncationPolicy& policy() const { return policy_; }
    StdRng& rng() { return rng_; }

    std::uint32_t max_qubits() const { return MAX_QUBITS; }
    // MpsState::with_policy(n, policy()); n above MAX_QUBITS is TooManyQubits.
    std::expected<MpsState, BackendError> new_state(std::uint32_t n);

    // plan_gate, then the plan. An error during routing leaves the routing
    // swaps already done (the same quantum state in another chain order).
    std::expected<void, BackendError> apply_gate(MpsState& state, const GateInstance& gate);
    // Always UnsupportedInstruction("diagonal_phase").
    std::expected<void, BackendError> apply_diagonal_phase(MpsState& state, const ir::DiagonalPhase& phase);
    // apply_gate for each gate in order; the first error ends it.
    std::expected<void, BackendError> apply_tiled_block(MpsState& state, const ir::TiledBlock& block);

    // Projective measurement of `qubit` with collapse: QubitOutOfRange when
    // qubit >= n; the centre moves to the qubit's site; a total weight there
    // that is not > 0 or not finite is DegenerateMeasurement (no draw, the
    // quantum state unchanged). Outcome 1 when u >= p0 / total; the other
    // physical slice is zeroed and the kept one scaled by √(total / p), so the
    // norm stays.
    std::expected<std::uint8_t, BackendError> measure(MpsState& state, Qubit qubit);

    // `shots` independent samples of the state (bit q = qubit q); the state
    // is not changed. Checks before any draw: more than 64 qubits is
    // TooManyQubits {n, 64}; then, on one copy brought to centre 0, a squared
    // norm that is not > 0 or not finite is DegenerateMeasurement {the qubit
    // at chain position 0, that value}. n = 0 yields zeros and draws nothing.
    std::expected<std::vector<std::uint64_t>, BackendError> sample(const MpsState& state, std::uint32_t shots);
    // The same outcomes and draws, handed to `sink` at most SAMPLE_CHUNK_SHOTS at a time.
    std::expected<void, BackendError> sample_chunked(const MpsState& state, std::uint32_t shots,
                                                     backend::OutcomeSink sink, void* context);

    // Re⟨ψ|P|ψ⟩ · coeff for the Pauli product P of the term. Each operator's
    // qubit, in order, must be below n (else QubitOutOfRange, before any copy).
    // Operators are applied one after another, so a qubit named twice gets the
    // product of its Paulis. No operators: ⟨ψ|ψ⟩ · coeff.
    std::expected<double, BackendError> expectation_value(const MpsState& state, const PauliString& term);

    // Renames qubits through the tables: afterwards qubit q is what qubit
    // perm[q] was. `perm` must be a permutation of 0..n-1 (else InvariantError).
    std::expected<void, BackendError> unpermute_state(MpsState& state, std::span<const Qubit> perm);

private:
    template <class Emit>
    std::expected<void, BackendError> sample_into(const MpsState& state, std::uint32_t shots, Emit&& emit);

    TruncationPolicy policy_ = TruncationPolicy::fixed(MAX_BOND);
    StdRng rng_;
};

static_assert(backend::Backend<MpsBackend>);
static_assert(backend::ChunkedSampler<MpsBackend>);

// The MPS path of a run, in three steps the caller takes in order: check_run,
// backend::run, then sampling (sample / sample_chunked / backend::sample_counts).

// The step of a run an error belongs to: the run path shows walk errors after
// "run mps: " and sampling errors after "sample: ".
enum class RunStage : std::uint8_t { Walk, Sample };

struct MpsRunError {
    RunStage stage = RunStage::Walk;
    BackendError error;

    // "run mps: " or "sample: ", then the error's message.
    std::string message() const;
    friend bool operator==(const MpsRunError&, const MpsRunError&) = default;
};

// The first error of the walk and of sampling that the circuit alone decides,
// found without building a state: EmptyCircuit, TooManyQubits {n, 1024}, the
// instructions in order (as the walk checks them), then sampling's
// TooManyQubits {n, 64}. A run that is bound to fail so fails before any
// simulation. Failures that depend on amplitudes (a degenerate measurement,
// a failed SVD; possible only with non-unitary matrices) are left to the walk.
std::expected<void, MpsRunError> check_run(const ir::Circuit& circuit);

// check_run, backend::run, then the shots counted per outcome (ascending),
// drawing as sample(state, shots) does.
std::expected<std::map<std::uint64_t, std::uint64_t>, MpsRunError> run_counts(MpsBackend& backend,
                                                                              const ir::Circuit& circuit,
                                                                              std::uint32_t shots);

}  // namespace nivra::mps
