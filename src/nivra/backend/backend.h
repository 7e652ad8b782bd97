#pragma once
// The simulator interface, its one error type and the generic run drivers.
//
// Every simulator (state vector, matrix product state, stabilizer) is a type
// that satisfies the `Backend` concept below. The drivers are templates
// specialised per backend at build time: the instruction walk calls the
// backend's operations directly, never through a table of function pointers.
//
//   run_with_outcomes(backend, circuit)       -> RunOutput{state, records}
//   run(backend, circuit)                     -> state
//   expectation_pauli_sum(backend, state, terms)
//   undo_permutation(backend, state, records, perm)
//   sample_counts(backend, state, shots)      -> ordered histogram of outcomes
//
// A backend owns its random generator, so operations that draw (measure,
// sample) take it mutably; it outlives a run so that sampling after the run
// continues the same stream.

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/gate.h"
#include "nivra/core/pauli.h"
#include "nivra/ir/circuit.h"
#include "nivra/ir/pass.h"

namespace nivra::backend {

// The error of every backend operation and run. One variant per failure; the
// payload fields that a variant does not list keep their defaults.
//
// Texts carried here (`name`, `reason`) are string_views of static storage:
// gate kind names (gate_kind_name), instruction names and fixed reason texts.
// Never pass a view of a temporary.
struct BackendError {
    enum class Kind : std::uint8_t {
        QubitOutOfRange,           // qubit, num_qubits
        DuplicateQubit,            // qubit
        ArityMismatch,             // name (gate kind), expected, got
        UnsupportedGate,           // name (gate kind)
        UnsupportedInstruction,    // name ("reset", "diagonal_phase")
        SymbolicParam,             // -
        NonFiniteParam,            // name (gate kind)
        NonUnitaryMatrix,          // value (deviation)
        EmptyCircuit,              // -
        DegenerateMeasurement,     // qubit, value (probability)
        TooManyQubits,             // requested, limit
        InvalidPauliString,        // name (reason)
        InvalidState,              // name (reason)
        MpsTruncationUnsupported,  // max_bond, value (trunc_error)
        Optimization,              // pass_error
    };

    Kind kind = Kind::EmptyCircuit;
    std::uint32_t qubit = 0;
    std::uint32_t num_qubits = 0;
    std::uint64_t expected = 0;
    std::uint64_t got = 0;
    std::uint32_t requested = 0;
    std::uint32_t limit = 0;
    std::uint64_t max_bond = 0;
    double value = 0.0;
    std::string_view name;
    ir::PassError pass_error{};

    static BackendError qubit_out_of_range(std::uint32_t qubit, std::uint32_t num_qubits);
    static BackendError duplicate_qubit(std::uint32_t qubit);
    static BackendError arity_mismatch(std::string_view kind, std::uint64_t expected, std::uint64_t got);
    static BackendError unsupported_gate(std::string_view kind);
    static BackendError unsupported_instruction(std::string_view instruction);
    static BackendError symbolic_param();
    static BackendError non_finite_param(std::string_view kind);
    static BackendError non_unitary_matrix(double deviation);
    static BackendError empty_circuit();
    static BackendError degenerate_measurement(std::uint32_t qubit, double probability);
    static BackendError too_many_qubits(std::uint32_t requested, std::uint32_t limit);
    static BackendError invalid_pauli_string(std::string_view reason);
    static BackendError invalid_state(std::string_view reason);
    static BackendError mps_truncation_unsupported(std::uint64_t max_bond, double trunc_error);
    static BackendError optimization(ir::PassError error);
    // The translation every backend applies to a failed Gate::matrix:
    // SymbolicParam, NonFiniteParam(kind) or, for Unrepresentable, UnsupportedGate(kind).
    static BackendError from_gate_error(GateError error, std::string_view kind);

    // The user-facing text, e.g. "qubit 5 out of range for 2-qubit state".
    std::string message() const;
    // The structural debug form, e.g. "TooManyQubits { requested: 29, limit: 28 }",
    // "UnsupportedInstruction(\"reset\")", "EmptyCircuit".
    std::string debug() const;

    // Same variant and equal fields (floats by floating-point equality).
    friend bool operator==(const BackendError& a, const BackendError& b);
};

// The variant's name ("QubitOutOfRange", ...).
std::string_view backend_error_kind_name(BackendError::Kind kind);

// One executed mid-circuit measurement, in execution order.
struct MeasurementRecord {
    std::uint64_t index = 0;  // position of the Measure in the instruction list (barriers count), from 0
    Qubit qubit = 0;
    std::uint32_t clbit = 0;   // recorded only; nothing reads it back
    std::uint8_t outcome = 0;  // 0 or 1

    friend bool operator==(const MeasurementRecord&, const MeasurementRecord&) = default;
};

// The interface of a simulator. `B::State` is its state type (one per run,
// owned by the driver during the walk, handed to the caller afterwards).
// Every operation returns its value or a BackendError; an operation that fails
// leaves the state as the backend documents (the drivers drop it).
//
//   max_qubits()                   largest qubit count new_state accepts
//   new_state(n)                   the all-zero basis state of n qubits; may fail
//   apply_gate(state, gate)        validation of arity, qubits and parameters is the backend's
//   apply_diagonal_phase(state, p) a backend without a native form returns
//                                  diagonal_phase_unsupported()
//   apply_tiled_block(state, b)    a backend without a native form uses apply_tiled_block_by_gates
//   measure(state, q)              projective measurement with collapse, outcome 0 or 1
//   sample(state, shots)           one outcome per shot (bit q = qubit q); the state is unchanged
//   expectation_value(state, term) <term> times its coefficient
//   unpermute_state(state, perm)   afterwards qubit q of the state is qubit perm[q] of the input
template <class B>
concept Backend =
    requires(B& backend, const B& const_backend, typename B::State& state, const typename B::State& const_state,
             const GateInstance& gate, const ir::DiagonalPhase& phase, const ir::TiledBlock& block, std::uint32_t n,
             const PauliString& term, std::span<const Qubit> perm) {
        typename B::State;
        { const_backend.max_qubits() } -> std::same_as<std::uint32_t>;
        { backend.new_state(n) } -> std::same_as<std::expected<typename B::State, BackendError>>;
        { backend.apply_gate(state, gate) } -> std::same_as<std::expected<void, BackendError>>;
        { backend.apply_diagonal_phase(state, phase) } -> std::same_as<std::expected<void, BackendError>>;
        { backend.apply_tiled_block(state, block) } -> std::same_as<std::expected<void, BackendError>>;
        { backend.measure(state, n) } -> std::same_as<std::expected<std::uint8_t, BackendError>>;
        { backend.sample(const_state, n) } -> std::same_as<std::expected<std::vector<std::uint64_t>, BackendError>>;
        { backend.expectation_value(const_state, term) } -> std::same_as<std::expected<double, BackendError>>;
        { backend.unpermute_state(state, perm) } -> std::same_as<std::expected<void, BackendError>>;
    };

// Receives consecutive runs of sampled outcomes, in draw order.
using OutcomeSink = void (*)(void* context, std::span<const std::uint64_t> outcomes);

// A backend that can hand out its samples in bounded chunks instead of one
// vector of `shots` entries (shots up to 2^32 - 1 would be 32 GiB). The chunks
// concatenated are exactly what sample(state, shots) returns.
template <class B>
concept ChunkedSampler = Backend<B> && requires(B& backend, const typename B::State& state, std::uint32_t shots,
                                                OutcomeSink sink, void* context) {
    { backend.sample_chunked(state, shots, sink, context) } -> std::same_as<std::expected<void, BackendError>>;
};

// Default body of apply_diagonal_phase for backends without a native form.
inline std::expected<void, BackendError> diagonal_phase_unsupported() {
    return std::unexpected(BackendError::unsupported_instruction("diagonal_phase"));
}

// Default body of apply_tiled_block: apply_gate for each gate in order,
// stopping at the first error.
template <class B>
std::expected<void, BackendError> apply_tiled_block_by_gates(B& backend, typename B::State& state,
                                                             const ir::TiledBlock& block) {
    for (const GateInstance& gate : block.gates) {
        if (auto applied = backend.apply_gate(state, gate); !applied) {
            return applied;
        }
    }
    return {};
}

template <class State>
struct RunOutput {
    State state;
    std::vector<MeasurementRecord> records;
};

// Executes the circuit instruction by instruction on a fresh state.
// Check order: EmptyCircuit (0 qubits and no instructions), TooManyQubits
// (n > max_qubits, before any allocation), new_state's own failure, then the
// instructions in order (Reset fails with UnsupportedInstruction("reset") when
// reached). On failure the partial state and records are dropped.
template <Backend B>
std::expected<RunOutput<typename B::State>, BackendError> run_with_outcomes(B& backend, const ir::Circuit& circuit) {
    const std::uint32_t n = circuit.num_qubits();
    if (n == 0 && circuit.empty()) {
        return std::unexpected(BackendError::empty_circuit());
    }
    if (n > backend.max_qubits()) {
        return std::unexpected(BackendError::too_many_qubits(n, backend.max_qubits()));
    }
    auto created = backend.new_state(n);
    if (!created) {
        return std::unexpected(std::move(created.error()));
    }
    RunOutput<typename B::State> out{std::move(*created), {}};
    std::uint64_t index = 0;
    for (const ir::Instruction& instruction : circuit.instructions()) {
        std::expected<void, BackendError> step{};
        instruction.visit([&](const auto& op) {
            using Op = std::decay_t<decltype(op)>;
            if constexpr (std::is_same_v<Op, GateInstance>) {
                step = backend.apply_gate(out.state, op);
            } else if constexpr (std::is_same_v<Op, ir::Measure>) {
                auto outcome = backend.measure(out.state, op.qubit);
                if (!outcome) {
                    step = std::unexpected(std::move(outcome.error()));
                } else {
                    out.records.push_back(MeasurementRecord{index, op.qubit, op.clbit, *outcome});
                }
            } else if constexpr (std::is_same_v<Op, ir::Reset>) {
                step = std::unexpected(BackendError::unsupported_instruction("reset"));
            } else if constexpr (std::is_same_v<Op, ir::Barrier>) {
                // Nothing to do: a barrier only orders the passes.
            } else if constexpr (std::is_same_v<Op, ir::DiagonalPhase>) {
                step = backend.apply_diagonal_phase(out.state, op);
            } else if constexpr (std::is_same_v<Op, ir::TiledBlock>) {
                step = backend.apply_tiled_block(out.state, op);
            } else {
                static_assert(sizeof(Op) == 0, "instruction variant without a case in run_with_outcomes");
            }
        });
        if (!step) {
            return std::unexpected(std::move(step.error()));
        }
        ++index;
    }
    return out;
}

// run_with_outcomes without the records.
template <Backend B>
std::expected<typename B::State, BackendError> run(B& backend, const ir::Circuit& circuit) {
    auto out = run_with_outcomes(backend, circuit);
    if (!out) {
        return std::unexpected(std::move(out.error()));
    }
    return std::move(out->state);
}

// Σ expectation_value(state, term) over the terms in order, from 0.0; the
// first failing term ends the sum. No terms: 0.0.
template <Backend B>
std::expected<double, BackendError> expectation_pauli_sum(B& backend, const typename B::State& state,
                                                          std::span<const PauliString> terms) {
    double sum = 0.0;
    for (const PauliString& term : terms) {
        auto value = backend.expectation_value(state, term);
        if (!value) {
            return std::unexpected(std::move(value.error()));
        }
        sum += *value;
    }
    return sum;
}

// Maps a run of a relabelled circuit back to the caller's qubits: every
// record's qubit q becomes inv[q] (inv[perm[i]] = i), then unpermute_state.
// `perm` must be a permutation of 0..n-1 and every record's qubit below n;
// anything else throws InvariantError before the records or state change.
template <Backend B>
std::expected<void, BackendError> undo_permutation(B& backend, typename B::State& state,
                                                   std::span<MeasurementRecord> records, std::span<const Qubit> perm) {
    std::vector<Qubit> inverse(perm.size());
    std::vector<bool> seen(perm.size(), false);
    for (std::size_t i = 0; i < perm.size(); ++i) {
        check_index(perm[i], perm.size(), "undo_permutation: permutation entry");
        check_invariant(!seen[perm[i]], "undo_permutation: permutation repeats an entry");
        seen[perm[i]] = true;
        inverse[perm[i]] = static_cast<Qubit>(i);
    }
    for (const MeasurementRecord& record : records) {
        check_index(record.qubit, inverse.size(), "undo_permutation: recorded qubit");
    }
    for (MeasurementRecord& record : records) {
        record.qubit = inverse[record.qubit];
    }
    return backend.unpermute_state(state, perm);
}

// Counts outcomes handed to it in runs, in bounded memory: runs are buffered
// until the buffer is at least as large as the distinct outcomes counted so
// far, then sorted and merged in, so each outcome costs O(log) amortised and
// memory stays within a small multiple of max(distinct outcomes, 65536).
class OutcomeCounter {
public:
    void add(std::span<const std::uint64_t> outcomes);
    // The counts, ascending by outcome; the counter is left empty.
    std::map<std::uint64_t, std::uint64_t> finish();

private:
    void merge_pending();

    std::vector<std::pair<std::uint64_t, std::uint64_t>> counted_;  // distinct outcomes, ascending
    std::vector<std::uint64_t> pending_;
};

// A backend that counts its own samples (it may use what it knows of the
// outcome space, such as a dense array of 2^n counters). The counts must be
// those of the outcomes sample(state, shots) would return.
template <class B>
concept CountingSampler = Backend<B> && requires(B& backend, const typename B::State& state, std::uint32_t shots) {
    {
        backend.sample_counts(state, shots)
    } -> std::same_as<std::expected<std::map<std::uint64_t, std::uint64_t>, BackendError>>;
};

// The outcomes of `shots` shots counted per outcome, ascending; the draws are
// those of sample(state, shots). Uses the backend's own counting when it has
// one, else its chunked sampler (memory bounded by the distinct outcomes,
// never by the shot count), else one sample() call.
template <Backend B>
std::expected<std::map<std::uint64_t, std::uint64_t>, BackendError> sample_counts(B& backend,
                                                                                  const typename B::State& state,
                                                                                  std::uint32_t shots) {
    if constexpr (CountingSampler<B>) {
        return backend.sample_counts(state, shots);
    } else {
        OutcomeCounter counter;
        if constexpr (ChunkedSampler<B>) {
            auto sink = [](void* context, std::span<const std::uint64_t> outcomes) {
                static_cast<OutcomeCounter*>(context)->add(outcomes);
            };
            auto sampled = backend.sample_chunked(state, shots, sink, &counter);
            if (!sampled) {
                return std::unexpected(std::move(sampled.error()));
            }
        } else {
            auto outcomes = backend.sample(state, shots);
            if (!outcomes) {
                return std::unexpected(std::move(outcomes.error()));
            }
            counter.add(*outcomes);
        }
        return counter.finish();
    }
}

}  // namespace nivra::backend
