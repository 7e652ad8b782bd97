#pragma once
// NaiveSvBackend: the dense state-vector simulator behind backend::Backend.
//
//   auto sv = NaiveSvBackend::with_seed(7);
//   auto out = backend::run_with_outcomes(sv, circuit);   // CpuState + records
//   auto shots = sv.sample(out->state, 1024);
//
// The backend owns its generator; measure and sample are its only draws, so
// equal seeds give equal outcomes. One backend (and its states) is used by
// one thread at a time; the kernels underneath may spread one operation over
// the shared pool. A noisy trajectory builds one backend per shot around the
// shot's own generator.

#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/core/gate.h"
#include "nivra/core/pauli.h"
#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/state.h"

namespace nivra::sv {

using backend::BackendError;

class NaiveSvBackend {
public:
    using State = CpuState;

    // The qubit limit of every backend the library builds (2^28 amplitudes, 4 GiB).
    static constexpr std::uint32_t MAX_QUBITS = 28;

    // A backend drawing from `rng`. `max_qubits` may lower the limit (tests,
    // memory-bounded callers); above MAX_QUBITS throws InvariantError.
    explicit NaiveSvBackend(StdRng rng, std::uint32_t max_qubits = MAX_QUBITS);
    // The generator of StdRng::seed_from_u64(seed) and the limit 28.
    static NaiveSvBackend with_seed(std::uint64_t seed);

    std::uint32_t max_qubits() const { return max_qubits_; }
    StdRng& rng() { return rng_; }

    // |0...0> of n qubits; TooManyQubits above max_qubits (before allocating).
    // An allocation failure throws std::bad_alloc.
    std::expected<CpuState, BackendError> new_state(std::uint32_t num_qubits);

    // Checks in order, the first failure leaving the state unchanged:
    // ArityMismatch; per qubit (targets, then controls) QubitOutOfRange before
    // DuplicateQubit; for UnitaryKq nothing more (it is applied directly, under
    // its controls if any); otherwise SymbolicParam / NonFiniteParam /
    // UnsupportedGate from Gate::matrix, then NonUnitaryMatrix when the
    // deviation exceeds 1e-10 or is not finite. Then apply_1q / apply_2q / apply_3q.
    std::expected<void, BackendError> apply_gate(CpuState& state, const GateInstance& gate);

    // Never fails.
    std::expected<void, BackendError> apply_diagonal_phase(CpuState& state, const ir::DiagonalPhase& phase);

    // Builds every gate's matrix in order before touching the state and
    // returns the first failure (SymbolicParam, NonFiniteParam,
    // UnsupportedGate, also for any 3-qubit gate) with the state unchanged.
    // Then, with tile width k: if n <= k, each gate densely on the whole
    // state; otherwise chunk by chunk (2^k amplitudes each, in parallel), all
    // gates of the block on one chunk before the next, a gate acting in a
    // chunk only when its controls at or above k are set in the chunk's base
    // index. A gate that breaks the block's construction rules (more than two
    // targets, a target at or above k, a qubit outside the state or repeated)
    // throws InvariantError.
    std::expected<void, BackendError> apply_tiled_block(CpuState& state, const ir::TiledBlock& block);

    // Projective measurement with collapse (see measure.h).
    std::expected<std::uint8_t, BackendError> measure(CpuState& state, Qubit qubit);

    // `shots` outcomes in draw order (see sampling.h). Holds all of them; for
    // large shot counts use sample_chunked or backend::sample_counts.
    std::expected<std::vector<std::uint64_t>, BackendError> sample(const CpuState& state, std::uint32_t shots);
    std::expected<void, BackendError> sample_chunked(const CpuState& state, std::uint32_t shots,
                                                     backend::OutcomeSink sink, void* context);
    // The outcomes of sample(state, shots) counted, without holding them all.
    std::expected<std::map<std::uint64_t, std::uint64_t>, BackendError> sample_counts(const CpuState& state,
                                                                                      std::uint32_t shots);

    // coeff · <ψ|P|ψ> (see measure.h).
    std::expected<double, BackendError> expectation_value(const CpuState& state, const PauliString& term);

    // Rewrites the state so that qubit q of the result is qubit perm[q] of
    // the input. Never fails; a perm that is not a permutation of
    // 0..num_qubits-1 throws InvariantError before anything changes.
    std::expected<void, BackendError> unpermute_state(CpuState& state, std::span<const Qubit> perm);

private:
    StdRng rng_;
    std::uint32_t max_qubits_;
};

static_assert(backend::Backend<NaiveSvBackend>);
static_assert(backend::ChunkedSampler<NaiveSvBackend>);
static_assert(backend::CountingSampler<NaiveSvBackend>);

// new[j] = old[src(j)], src(j) = OR of 2^perm[q] over the set bits q of j.
// Throws InvariantError unless perm is a permutation of 0..num_qubits-1.
void unpermute(CpuState& state, std::span<const Qubit> perm);

}  // namespace nivra::sv
