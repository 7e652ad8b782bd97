#include "nivra/backend/backend.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "nivra/core/error.h"

namespace nivra::backend {
namespace {

// ---- BackendError ------------------------------------------------------------

TEST(BackendError, EveryMessage) {
    const ir::PassError pass = ir::PassError::internal_invariant(ir::DIAGONAL_WIDTH_TEXT);
    const std::vector<std::pair<BackendError, std::string>> cases = {
        {BackendError::qubit_out_of_range(5, 2), "qubit 5 out of range for 2-qubit state"},
        {BackendError::duplicate_qubit(3), "duplicate qubit 3 in gate or query"},
        {BackendError::arity_mismatch("UnitaryKq", 3, 2), "gate `UnitaryKq` expects 3 qubits, got 2"},
        {BackendError::unsupported_gate("Toffoli"), "gate `Toffoli` is not supported by this backend"},
        {BackendError::unsupported_instruction("reset"), "IR instruction `reset` is not supported by this backend"},
        {BackendError::symbolic_param(), "backend requires concrete parameters; got symbolic"},
        {BackendError::non_finite_param("Rx"), "gate `Rx` has a non-finite (NaN or infinite) parameter"},
        {BackendError::non_unitary_matrix(1.5e-7), "user-supplied matrix is not unitary (max deviation = 1.5e-7)"},
        {BackendError::non_unitary_matrix(NAN), "user-supplied matrix is not unitary (max deviation = NaN)"},
        {BackendError::empty_circuit(), "cannot run an empty circuit"},
        {BackendError::degenerate_measurement(4, 0.0), "measurement of qubit 4 on degenerate branch (p = 0e0)"},
        {BackendError::too_many_qubits(29, 28), "requested 29 qubits exceeds backend limit of 28"},
        {BackendError::invalid_pauli_string("non-finite coefficient"),
         "Pauli string violates its invariants: non-finite coefficient"},
        {BackendError::invalid_state("empty state vector"), "backend state is invalid: empty state vector"},
        {BackendError::mps_truncation_unsupported(128, 2.0),
         "MPS backend cannot truncate (bond cap 128); applying this gate would drop Schmidt weight 2e0. Raise "
         "max_bond or use a statevector backend"},
        {BackendError::optimization(pass),
         "optimization pipeline failed: internal invariant violated: DiagonalPhase mask width > 64"},
    };
    for (const auto& [error, message] : cases) {
        EXPECT_EQ(error.message(), message);
    }
}

TEST(BackendError, StructuralDebugForm) {
    EXPECT_EQ(BackendError::symbolic_param().debug(), "SymbolicParam");
    EXPECT_EQ(BackendError::empty_circuit().debug(), "EmptyCircuit");
    EXPECT_EQ(BackendError::unsupported_instruction("reset").debug(), "UnsupportedInstruction(\"reset\")");
    EXPECT_EQ(BackendError::unsupported_gate("Ccz").debug(), "UnsupportedGate(\"Ccz\")");
    EXPECT_EQ(BackendError::optimization(ir::PassError::internal_invariant(ir::BLOCK_NOT_4X4_TEXT)).debug(),
              "Optimization(InternalInvariant(\"2q block did not hold a 4×4\"))");
    EXPECT_EQ(BackendError::too_many_qubits(29, 28).debug(), "TooManyQubits { requested: 29, limit: 28 }");
    EXPECT_EQ(BackendError::qubit_out_of_range(5, 2).debug(), "QubitOutOfRange { qubit: 5, num_qubits: 2 }");
    EXPECT_EQ(BackendError::duplicate_qubit(1).debug(), "DuplicateQubit { qubit: 1 }");
    EXPECT_EQ(BackendError::arity_mismatch("Cnot", 2, 1).debug(),
              "ArityMismatch { kind: \"Cnot\", expected: 2, got: 1 }");
    EXPECT_EQ(BackendError::non_finite_param("Rx").debug(), "NonFiniteParam { kind: \"Rx\" }");
    EXPECT_EQ(BackendError::non_unitary_matrix(0.5).debug(), "NonUnitaryMatrix { deviation: 0.5 }");
    EXPECT_EQ(BackendError::non_unitary_matrix(1e-5).debug(), "NonUnitaryMatrix { deviation: 1e-5 }");
    EXPECT_EQ(BackendError::degenerate_measurement(0, 1.0).debug(),
              "DegenerateMeasurement { qubit: 0, probability: 1.0 }");
    EXPECT_EQ(BackendError::invalid_state("empty state vector").debug(),
              "InvalidState { reason: \"empty state vector\" }");
    EXPECT_EQ(BackendError::invalid_pauli_string("non-finite coefficient").debug(),
              "InvalidPauliString { reason: \"non-finite coefficient\" }");
    EXPECT_EQ(BackendError::mps_truncation_unsupported(128, 1e16).debug(),
              "MpsTruncationUnsupported { max_bond: 128, trunc_error: 1e16 }");
}

TEST(BackendError, FromGateErrorAndEquality) {
    EXPECT_EQ(BackendError::from_gate_error(GateError::SymbolicParam, "Rx"), BackendError::symbolic_param());
    EXPECT_EQ(BackendError::from_gate_error(GateError::NonFiniteParam, "Rx"), BackendError::non_finite_param("Rx"));
    EXPECT_EQ(BackendError::from_gate_error(GateError::Unrepresentable, "UnitaryKq"),
              BackendError::unsupported_gate("UnitaryKq"));
    EXPECT_NE(BackendError::duplicate_qubit(1), BackendError::duplicate_qubit(2));
    EXPECT_NE(BackendError::duplicate_qubit(1), BackendError::qubit_out_of_range(1, 0));
}

// ---- Drivers on a recording backend ------------------------------------------

struct FakeState {
    std::uint32_t num_qubits = 0;
    std::vector<std::string> log;
};

// Records every call; fails on Iswap gates and on negative coefficients.
struct FakeBackend {
    using State = FakeState;
    std::uint32_t limit = 4;
    int states_created = 0;
    bool refuse_state = false;
    std::vector<Qubit> unpermuted_with;

    std::uint32_t max_qubits() const { return limit; }
    std::expected<FakeState, BackendError> new_state(std::uint32_t n) {
        ++states_created;
        if (refuse_state) return std::unexpected(BackendError::invalid_state("refused"));
        return FakeState{n, {}};
    }
    std::expected<void, BackendError> apply_gate(FakeState& s, const GateInstance& g) {
        if (g.gate.kind() == GateKind::Iswap) return std::unexpected(BackendError::unsupported_gate(g.gate.name()));
        s.log.push_back(std::string(g.gate.name()));
        return {};
    }
    std::expected<void, BackendError> apply_diagonal_phase(FakeState&, const ir::DiagonalPhase&) {
        return diagonal_phase_unsupported();
    }
    std::expected<void, BackendError> apply_tiled_block(FakeState& s, const ir::TiledBlock& b) {
        return apply_tiled_block_by_gates(*this, s, b);
    }
    std::expected<std::uint8_t, BackendError> measure(FakeState& s, std::uint32_t q) {
        s.log.push_back("measure " + std::to_string(q));
        return static_cast<std::uint8_t>(q % 2);
    }
    std::expected<std::vector<std::uint64_t>, BackendError> sample(const FakeState&, std::uint32_t shots) {
        std::vector<std::uint64_t> out(shots);
        for (std::uint32_t i = 0; i < shots; ++i) out[i] = i % 3;
        return out;
    }
    std::expected<double, BackendError> expectation_value(const FakeState&, const PauliString& p) {
        if (p.coeff < 0) return std::unexpected(BackendError::invalid_pauli_string("negative"));
        return p.coeff;
    }
    std::expected<void, BackendError> unpermute_state(FakeState&, std::span<const Qubit> perm) {
        unpermuted_with.assign(perm.begin(), perm.end());
        return {};
    }
};
static_assert(Backend<FakeBackend>);
static_assert(!ChunkedSampler<FakeBackend>);

GateInstance gi(Gate gate, std::initializer_list<Qubit> targets) {
    GateInstance g{std::move(gate), {}, {}};
    g.targets.assign(targets.begin(), targets.end());
    return g;
}

TEST(RunWithOutcomes, CheckOrderEmptyThenLimitThenCreation) {
    FakeBackend b;
    EXPECT_EQ(run_with_outcomes(b, ir::Circuit(0)).error(), BackendError::empty_circuit());
    EXPECT_EQ(b.states_created, 0);
    EXPECT_EQ(run(b, ir::Circuit(5)).error(), BackendError::too_many_qubits(5, 4));
    EXPECT_EQ(b.states_created, 0);  // refused before any allocation
    EXPECT_TRUE(run(b, ir::Circuit(4)));
    b.refuse_state = true;
    EXPECT_EQ(run(b, ir::Circuit(2)).error(), BackendError::invalid_state("refused"));

    // 0 qubits with instructions is not empty.
    FakeBackend c;
    ir::Circuit zero(0);
    ASSERT_TRUE(zero.add_instruction(ir::DiagonalPhase{{}, 0}));
    EXPECT_EQ(run(c, zero).error(), BackendError::unsupported_instruction("diagonal_phase"));
}

TEST(RunWithOutcomes, WalksInstructionsInOrderAndStopsAtTheFirstError) {
    FakeBackend b;
    ir::Circuit c(3, 2);
    ASSERT_TRUE(c.add_gate(gi(Gate::h(), {0})));
    ASSERT_TRUE(c.add_instruction(ir::Barrier{{0, 1}}));
    ASSERT_TRUE(c.add_instruction(ir::Measure{1, 1}));
    ASSERT_TRUE(c.add_instruction(ir::TiledBlock{{gi(Gate::x(), {0}), gi(Gate::y(), {1})}, 2}));
    ASSERT_TRUE(c.add_instruction(ir::Measure{2, 0}));
    auto out = run_with_outcomes(b, c);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->state.log, (std::vector<std::string>{"H", "measure 1", "X", "Y", "measure 2"}));
    ASSERT_EQ(out->records.size(), 2u);
    EXPECT_EQ(out->records[0], (MeasurementRecord{2, 1, 1, 1}));
    EXPECT_EQ(out->records[1], (MeasurementRecord{4, 2, 0, 0}));

    ASSERT_TRUE(c.add_instruction(ir::TiledBlock{{gi(Gate::x(), {0}), gi(Gate::iswap(), {0, 1})}, 3}));
    ASSERT_TRUE(c.add_instruction(ir::Reset{0}));
    EXPECT_EQ(run(b, c).error(), BackendError::unsupported_gate("Iswap"));

    ir::Circuit with_reset(1);
    ASSERT_TRUE(with_reset.add_instruction(ir::Reset{0}));
    EXPECT_EQ(run(b, with_reset).error().message(), "IR instruction `reset` is not supported by this backend");
}

TEST(ExpectationPauliSum, SumsInOrderAndStopsAtTheFirstError) {
    FakeBackend b;
    FakeState s;
    EXPECT_EQ(*expectation_pauli_sum(b, s, {}), 0.0);
    const std::vector<PauliString> terms = {{{}, 0.5}, {{}, 0.25}};
    EXPECT_EQ(*expectation_pauli_sum(b, s, terms), 0.75);
    const std::vector<PauliString> failing = {{{}, 0.5}, {{}, -1.0}, {{}, 0.25}};
    EXPECT_EQ(expectation_pauli_sum(b, s, failing).error(), BackendError::invalid_pauli_string("negative"));
}

TEST(UndoPermutation, InvertsRecordQubitsAndPassesThePermutationOn) {
    FakeBackend b;
    FakeState s;
    std::vector<MeasurementRecord> records = {{0, 0, 0, 1}, {1, 1, 0, 0}, {2, 2, 1, 1}};
    const std::vector<Qubit> perm = {2, 0, 1};  // inverse: [1, 2, 0]
    ASSERT_TRUE(undo_permutation(b, s, std::span(records), perm));
    EXPECT_EQ(records[0].qubit, 1u);
    EXPECT_EQ(records[1].qubit, 2u);
    EXPECT_EQ(records[2].qubit, 0u);
    EXPECT_EQ(b.unpermuted_with, perm);

    std::vector<MeasurementRecord> bad_record = {{0, 3, 0, 0}};
    EXPECT_THROW(undo_permutation(b, s, std::span(bad_record), perm), InvariantError);
    const std::vector<Qubit> repeat = {0, 0, 1};
    EXPECT_THROW(undo_permutation(b, s, std::span(records), repeat), InvariantError);
}

TEST(SampleCounts, CountsTheOutcomesOfSample) {
    FakeBackend b;
    FakeState s;
    auto counts = sample_counts(b, s, 10);
    ASSERT_TRUE(counts);
    EXPECT_EQ(*counts, (std::map<std::uint64_t, std::uint64_t>{{0, 4}, {1, 3}, {2, 3}}));
    EXPECT_TRUE(sample_counts(b, s, 0)->empty());
}

TEST(OutcomeCounter, MergesRunsIntoExactCounts) {
    // Runs of varied sizes force several merges of pending outcomes.
    OutcomeCounter counter;
    std::map<std::uint64_t, std::uint64_t> expected;
    std::uint64_t x = 12345;
    for (std::size_t run = 0; run < 40; ++run) {
        std::vector<std::uint64_t> outcomes((run * 7919) % 20000 + 1);
        for (auto& o : outcomes) {
            x = x * 6364136223846793005ull + 1442695040888963407ull;
            o = (x >> 33) % (run < 20 ? 1000 : 300000);
            ++expected[o];
        }
        counter.add(outcomes);
    }
    EXPECT_EQ(counter.finish(), expected);
    EXPECT_TRUE(counter.finish().empty());
}

}  // namespace
}  // namespace nivra::backend
