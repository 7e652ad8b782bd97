#include "nivra/ir/circuit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nivra/core/format.h"
#include "nivra/core/memory.h"

namespace nivra::ir {
namespace {

GateInstance gate(Gate g, std::initializer_list<Qubit> targets, std::initializer_list<Qubit> controls = {}) {
    return GateInstance{std::move(g), targets, controls};
}

std::string error_of(const std::expected<void, CircuitError>& r) {
    EXPECT_FALSE(r.has_value());
    return r ? std::string("<ok>") : r.error().message();
}

TEST(Circuit, QubitLimitAtConstruction) {
    Circuit ok(MAX_QUBITS);
    EXPECT_EQ(ok.num_qubits(), 65535U);
    EXPECT_EQ(ok.num_clbits(), 0U);
    EXPECT_FALSE(ok.metadata().name || ok.metadata().source || ok.permutation());
    try {
        Circuit bad(65536);
        FAIL() << "no throw";
    } catch (const InvariantError& e) {
        EXPECT_STREQ(e.what(), "Circuit::new: num_qubits=65536 exceeds MAX_QUBITS=65535");
    }
}

TEST(Circuit, CreateTestsQubitsBeforeClbits) {
    EXPECT_EQ(Circuit::create(70000, 70000).error().message(), "too many qubits: requested 70000, max 65535");
    EXPECT_EQ(Circuit::create(3, 65536).error().message(), "too many clbits: requested 65536, max 65535");
    auto c = Circuit::create(65535, 65535);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->num_clbits(), 65535U);
}

TEST(Circuit, GateValidationOrderAndMessages) {
    Circuit c(3);
    EXPECT_EQ(error_of(c.add_gate(gate(Gate::cnot(), {0}))), "gate Cnot has arity 2 but 1 qubits supplied");
    std::vector<Complex> m(64, Complex(0.0, 0.0));
    EXPECT_EQ(error_of(c.add_gate(gate(Gate::unitary_kq(3, m), {0, 1}))),
              "gate UnitaryKq has arity 3 but 2 qubits supplied");
    EXPECT_TRUE(c.add_gate(gate(Gate::unitary_kq(3, m), {2, 0, 1})));
    // Arity is tested before the controls, the controls' count before any range.
    EXPECT_EQ(error_of(c.add_gate(gate(Gate::h(), {0, 1}, {0, 0, 0, 0, 0, 0, 0, 0, 0}))),
              "gate H has arity 1 but 2 qubits supplied");

    Circuit wide(20);
    EXPECT_EQ(error_of(wide.add_gate(gate(Gate::x(), {0}, {1, 2, 3, 4, 5, 6, 7, 8, 9}))),
              "gate X has 9 external controls but max is 8");
    EXPECT_TRUE(wide.add_gate(gate(Gate::x(), {0}, {1, 2, 3, 4, 5, 6, 7, 8})));
    EXPECT_EQ(error_of(wide.add_gate(gate(Gate::x(), {0}, {99, 99, 99, 99, 99, 99, 99, 99, 99}))),
              "gate X has 9 external controls but max is 8");

    // Each qubit: range, then repetition, before the walk moves on.
    EXPECT_EQ(error_of(c.add_gate(gate(Gate::toffoli(), {1, 1, 9}))), "duplicate qubit index 1 in instruction");
    EXPECT_EQ(error_of(c.add_gate(gate(Gate::toffoli(), {9, 1, 1}))), "qubit 9 out of range (circuit has 3 qubits)");
    EXPECT_EQ(error_of(c.add_gate(gate(Gate::h(), {2}, {2}))), "duplicate qubit index 2 in instruction");
    EXPECT_EQ(error_of(c.add_gate(gate(Gate::h(), {2}, {0, 5}))), "qubit 5 out of range (circuit has 3 qubits)");
    EXPECT_EQ(c.size(), 1U);  // failed insertions left nothing behind
}

TEST(Circuit, NonGateInstructionChecks) {
    Circuit no_clbits(2);
    EXPECT_EQ(error_of(no_clbits.add_instruction(Measure{0, 0})), "clbit 0 out of range (circuit has 0 clbits)");
    EXPECT_EQ(error_of(no_clbits.add_instruction(Measure{7, 0})), "qubit 7 out of range (circuit has 2 qubits)");
    Circuit c(2, 1);
    EXPECT_TRUE(c.add_instruction(Measure{1, 0}));
    EXPECT_EQ(error_of(c.add_instruction(Measure{1, 1})), "clbit 1 out of range (circuit has 1 clbits)");
    EXPECT_EQ(error_of(c.add_instruction(Reset{2})), "qubit 2 out of range (circuit has 2 qubits)");
    EXPECT_EQ(error_of(c.add_instruction(Barrier{})), "barrier must cover at least one qubit");
    EXPECT_EQ(error_of(c.add_instruction(Barrier{{1, 0, 1}})), "duplicate qubit index 1 in instruction");
    EXPECT_EQ(error_of(c.add_instruction(Barrier{{1, 4}})), "qubit 4 out of range (circuit has 2 qubits)");
    EXPECT_TRUE(c.add_instruction(Barrier{{1, 0}}));
    EXPECT_TRUE(c.add_instruction(Reset{0}));
    EXPECT_EQ(c.size(), 3U);
}

TEST(Circuit, CompoundInstructionsAreValidatedCompletely) {
    Circuit c(4);
    EXPECT_TRUE(c.add_instruction(DiagonalPhase{{PhaseTerm{{0b1001}, 0.5}, PhaseTerm{{}, 1.0}}, 4}));
    EXPECT_TRUE(c.add_instruction(DiagonalPhase{{}, 4}));
    // Masks are one word and must stay inside the phase's width and the circuit.
    EXPECT_EQ(error_of(c.add_instruction(DiagonalPhase{{PhaseTerm{{0b10000}, 0.5}}, 4})),
              "qubit 4 out of range (circuit has 4 qubits)");
    EXPECT_EQ(error_of(c.add_instruction(DiagonalPhase{{}, 5})), "too many qubits: requested 5, max 4");
    Circuit big(100);
    EXPECT_EQ(error_of(big.add_instruction(DiagonalPhase{{}, 65})), "too many qubits: requested 65, max 64");
    EXPECT_TRUE(big.add_instruction(DiagonalPhase{{PhaseTerm{{std::uint64_t{1} << 63}, 0.5}}, 64}));

    TiledBlock ok{{gate(Gate::h(), {0}), gate(Gate::cnot(), {1, 0}, {3})}, 2};
    EXPECT_TRUE(c.add_instruction(ok));
    EXPECT_EQ(error_of(c.add_instruction(TiledBlock{{gate(Gate::h(), {5})}, 15})),
              "qubit 5 out of range (circuit has 4 qubits)");
    EXPECT_EQ(error_of(c.add_instruction(TiledBlock{{gate(Gate::cnot(), {1})}, 15})),
              "gate Cnot has arity 2 but 1 qubits supplied");
    EXPECT_EQ(error_of(c.add_instruction(TiledBlock{{gate(Gate::cnot(), {1, 1})}, 15})),
              "duplicate qubit index 1 in instruction");
    EXPECT_EQ(error_of(c.add_instruction(TiledBlock{{gate(Gate::h(), {3})}, 2})),
              "qubit 3 out of range (circuit has 2 qubits)");
    EXPECT_EQ(error_of(c.add_instruction(TiledBlock{{gate(Gate::toffoli(), {0, 1, 2})}, 15})),
              "too many qubits: requested 3, max 2");
    EXPECT_EQ(c.size(), 3U);
}

TEST(Circuit, UsedQubits) {
    TiledBlock block{{gate(Gate::cnot(), {2, 0}), gate(Gate::h(), {0})}, 15};
    EXPECT_EQ(Instruction(block).used_qubits(), (UsedQubits{2, 0}));
    EXPECT_EQ(Instruction(gate(Gate::cnot(), {3, 1}, {0, 2})).used_qubits(), (UsedQubits{3, 1, 0, 2}));
    EXPECT_EQ(Instruction(Measure{4, 9}).used_qubits(), (UsedQubits{4}));
    EXPECT_EQ(Instruction(Barrier{{5, 1, 3}}).used_qubits(), (UsedQubits{5, 1, 3}));
    DiagonalPhase phase{{PhaseTerm{{0b1010, 0b0001}, 1.0}, PhaseTerm{{0b1000}, 2.0}, PhaseTerm{{}, 3.0}}, 4};
    EXPECT_EQ(Instruction(phase).used_qubits(), (UsedQubits{0, 1, 3}));
    // Bits at or above the width are not read (and never shifted past 63).
    DiagonalPhase wide{{PhaseTerm{{~std::uint64_t{0}}, 1.0}}, 200};
    EXPECT_EQ(wide.used_qubits().size(), 64U);
}

TEST(Circuit, Layers) {
    EXPECT_TRUE(Circuit(3).layers().empty());

    Circuit diag(1);
    ASSERT_TRUE(diag.add_gate(gate(Gate::z(), {0})));
    ASSERT_TRUE(diag.add_gate(gate(Gate::s(), {0})));
    EXPECT_EQ(diag.layers(), (Layers{{0, 1}}));

    Circuit seq(2);
    ASSERT_TRUE(seq.add_gate(gate(Gate::h(), {0})));
    ASSERT_TRUE(seq.add_gate(gate(Gate::h(), {0})));
    ASSERT_TRUE(seq.add_gate(gate(Gate::h(), {1})));
    EXPECT_EQ(seq.layers(), (Layers{{0}, {1, 2}}));

    Circuit meas(2, 1);
    ASSERT_TRUE(meas.add_instruction(Measure{0, 0}));
    ASSERT_TRUE(meas.add_instruction(Measure{1, 0}));
    EXPECT_EQ(meas.layers(), (Layers{{0}, {1}}));

    // Diagonal kinds share a layer whatever their controls; anything else
    // between them on the qubit opens a new one, and the index never falls back.
    Circuit mixed(3);
    ASSERT_TRUE(mixed.add_gate(gate(Gate::cz(), {0, 1})));
    ASSERT_TRUE(mixed.add_gate(gate(Gate::phase(0.3), {1}, {2})));
    ASSERT_TRUE(mixed.add_gate(gate(Gate::x(), {2})));
    ASSERT_TRUE(mixed.add_gate(gate(Gate::h(), {0})));
    ASSERT_TRUE(mixed.add_instruction(Barrier{{1}}));
    ASSERT_TRUE(mixed.add_instruction(Barrier{{0}}));
    EXPECT_EQ(mixed.layers(), (Layers{{0, 1}, {2, 3, 4}, {5}}));
}

TEST(Circuit, LayersRefusesOutOfRangePhase) {
    // Only a phase inserted around the checks can carry such a qubit.
    Circuit c(2);
    c.instructions_mut().emplace_back(DiagonalPhase{{PhaseTerm{{0b100}, 1.0}}, 3});
    EXPECT_THROW(c.layers(), InvariantError);
}

TEST(Circuit, CopiesCarryEverything) {
    Circuit c(3, 2);
    c.metadata().source = "openqasm:3.0";
    ASSERT_TRUE(c.add_gate(gate(Gate::unitary1q({1, 0, 0, 1}), {1})));
    c.set_permutation({2, 0, 1});
    Circuit copy = c;
    EXPECT_EQ(copy, c);
    EXPECT_EQ(*copy.metadata().source, "openqasm:3.0");
    EXPECT_EQ(copy.permutation(), (std::vector<Qubit>{2, 0, 1}));
    EXPECT_THROW(c.set_permutation({0, 0, 1}), InvariantError);
}

TEST(Circuit, InstructionListBeyondMemoryIsRefused) {
    Circuit c(3);
    ASSERT_TRUE(c.add_gate(gate(Gate::h(), {0})));
    const std::size_t count = std::size_t{1} << 48;
    try {
        c.reserve(count);
        FAIL() << "not refused";
    } catch (const AllocationError& e) {
        const std::string expected = "cannot allocate " + fmt::bytes(count * sizeof(Instruction)) +
                                     " for 281474976710656 instructions of a 3-qubit circuit (";
        EXPECT_TRUE(std::string(e.what()).starts_with(expected)) << e.what();
    }
    EXPECT_EQ(c.size(), 1u);
    // Growth one instruction at a time doubles the list, never per instruction.
    std::vector<std::size_t> capacities;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(c.add_instruction(Reset{1}));
        capacities.push_back(c.instructions().capacity());
    }
    EXPECT_EQ(capacities, (std::vector<std::size_t>{2, 4, 4, 8}));
}

TEST(CircuitError, AllMessages) {
    EXPECT_EQ(CircuitError::qubit_out_of_range(5, 3).message(), "qubit 5 out of range (circuit has 3 qubits)");
    EXPECT_EQ(CircuitError::clbit_out_of_range(2, 1).message(), "clbit 2 out of range (circuit has 1 clbits)");
    EXPECT_EQ(CircuitError::duplicate_qubit(4).message(), "duplicate qubit index 4 in instruction");
    EXPECT_EQ(CircuitError::arity_mismatch("Swap", 2, 3).message(), "gate Swap has arity 2 but 3 qubits supplied");
    EXPECT_EQ(CircuitError::empty_barrier().message(), "barrier must cover at least one qubit");
    EXPECT_EQ(CircuitError::too_many_controls("Rz", 10).message(), "gate Rz has 10 external controls but max is 8");
    EXPECT_EQ(CircuitError::too_many_qubits(65536).message(), "too many qubits: requested 65536, max 65535");
    EXPECT_EQ(CircuitError::too_many_clbits(100000).message(), "too many clbits: requested 100000, max 65535");
    EXPECT_EQ(CircuitError::too_many_clbits(1).tag(), 7);
}

}  // namespace
}  // namespace nivra::ir
