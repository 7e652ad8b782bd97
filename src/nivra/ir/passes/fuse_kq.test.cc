#include "nivra/ir/passes/fuse_kq.h"

#include <gtest/gtest.h>

#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;
using testing::make_circuit;
using testing::matrix_of;

TEST(FuseKq, WidthIsClamped) {
    EXPECT_EQ(FuseKq(0).width(), 2U);
    EXPECT_EQ(FuseKq(1).width(), 2U);
    EXPECT_EQ(FuseKq(4).width(), 4U);
    EXPECT_EQ(FuseKq(9).width(), 5U);
    EXPECT_EQ(FuseKq(4).name(), "FuseKq");
}

TEST(FuseKq, NarrowBlocksFuseNothing) {
    for (std::size_t max_k : {0, 1, 2}) {
        Circuit c = make_circuit(3, {gi(Gate::h(), {0}), gi(Gate::cnot(), {0, 1}), gi(Gate::cnot(), {1, 2}),
                                     gi(Gate::ccz(), {0, 1, 2}), gi(Gate::h(), {2})});
        const Circuit before = c;
        EXPECT_EQ(*FuseKq(max_k).run(c), (PassStats{5, 5, 0}));
        testing::expect_same_unitary(before, c);
    }
    Circuit empty(2);
    EXPECT_EQ(*FuseKq(4).run(empty), (PassStats{0, 0, 0}));
}

TEST(FuseKq, ThreeQubitProductWithLowestQubitMostSignificant) {
    Circuit c = make_circuit(3, {gi(Gate::h(), {0}), gi(Gate::cnot(), {0, 1}), gi(Gate::cnot(), {1, 2})});
    const Circuit before = c;
    EXPECT_EQ(*FuseKq(4).run(c), (PassStats{3, 1, 1}));
    const GateInstance& g = *c.instructions()[0].gate();
    ASSERT_EQ(g.gate.kind(), GateKind::UnitaryKq);
    EXPECT_EQ(g.gate.kq_width(), 3);
    EXPECT_EQ(g.targets, (boost::container::small_vector<Qubit, 4>{0, 1, 2}));
    // Index 4·bit(q0) + 2·bit(q1) + bit(q2): the reference's gate-order matrix.
    EXPECT_LE(testing::max_diff(matrix_of(g.gate), testing::gate_order_matrix(before)), 1e-15);
    testing::expect_same_unitary(before, c);
}

TEST(FuseKq, TwoQubitBlocksAndLoneGatesComeOutUnchanged) {
    Circuit c = make_circuit(4, {gi(Gate::h(), {0}), gi(Gate::cnot(), {0, 1}), gi(Gate::t(), {1}),
                                 gi(Gate::cnot(), {1, 0}), gi(Gate::toffoli(), {3, 2, 1})});
    // The Toffoli's union with the pair exceeds 3: the pair closes first.
    EXPECT_EQ(*FuseKq(3).run(c), (PassStats{5, 5, 0}));
    EXPECT_EQ(c.instructions()[4].gate()->gate.kind(), GateKind::Toffoli);

    Circuit k3 = make_circuit(4, {gi(Gate::toffoli(), {0, 1, 2}), gi(Gate::cnot(), {2, 3})});
    EXPECT_EQ(*FuseKq(3).run(k3), (PassStats{2, 2, 0}));
    EXPECT_EQ(k3.instructions()[0].gate()->gate.kind(), GateKind::Toffoli);
    EXPECT_EQ(k3.instructions()[1].gate()->gate.kind(), GateKind::Cnot);
}

TEST(FuseKq, BlocksLandWhereTheyClose) {
    Circuit c = make_circuit(2, {gi(Gate::h(), {0}), gi(Gate::x(), {1}), Measure{1, 0}}, 1);
    EXPECT_EQ(*FuseKq(4).run(c), (PassStats{3, 3, 0}));
    EXPECT_EQ(c.instructions()[0], Instruction(gi(Gate::x(), {1})));
    EXPECT_EQ(c.instructions()[1], Instruction(Measure{1, 0}));
    EXPECT_EQ(c.instructions()[2], Instruction(gi(Gate::h(), {0})));
}

TEST(FuseKq, MergedBlocksKeepInputOrder) {
    // Block {2,3} opens before block {0,1}; the Cnot(1, 2) merges them.
    Circuit c = make_circuit(4, {gi(Gate::cnot(), {3, 2}), gi(Gate::ry(0.3), {0}), gi(Gate::cnot(), {0, 1}),
                                 gi(Gate::rx(0.2), {2}), gi(Gate::cnot(), {1, 2}), gi(Gate::h(), {3})});
    const Circuit before = c;
    EXPECT_EQ(*FuseKq(4).run(c), (PassStats{6, 1, 1}));
    EXPECT_EQ(c.instructions()[0].gate()->gate.kq_width(), 4);
    testing::expect_same_unitary(before, c);
}

TEST(FuseKq, ControlledAndUnitaryKqGatesCloseBlocks) {
    Circuit c =
        make_circuit(4, {gi(Gate::h(), {0}), gi(Gate::cnot(), {0, 1}), gi(Gate::cnot(), {1, 2}),
                         gi(Gate::x(), {3}, {2}), gi(Gate::h(), {0}), gi(Gate::cnot(), {0, 1}),
                         gi(Gate::cnot(), {1, 2}), gi(Gate::unitary_kq(1, {0, 1, 1, 0}), {0}), gi(Gate::rz(NAN), {1})});
    EXPECT_EQ(*FuseKq(4).run(c), (PassStats{9, 5, 2}));
    const auto& list = c.instructions();
    EXPECT_EQ(list[0].gate()->gate.kind(), GateKind::UnitaryKq);
    EXPECT_EQ(list[1].gate()->controls.size(), 1U);
    EXPECT_EQ(list[2].gate()->gate.kq_width(), 3);
    EXPECT_EQ(list[3].gate()->gate.kq_width(), 1);
    EXPECT_EQ(list[4].gate()->gate.kind(), GateKind::Rz);
}

TEST(FuseKq, LiftDense) {
    // Cnot with control 2 and target 0 inside the block {0, 1, 2}.
    const std::vector<Qubit> block{0, 1, 2};
    const std::vector<Qubit> gate_qubits{2, 0};
    auto cnot = Gate::cnot().matrix();
    std::vector<Complex> lifted = lift_dense(cnot->entries(), gate_qubits, block);
    Circuit ref = make_circuit(3, {gi(Gate::cnot(), {2, 0})});
    EXPECT_EQ(testing::max_diff(lifted, testing::gate_order_matrix(ref)), 0.0);
    try {
        (void)lift_dense(cnot->entries(), std::vector<Qubit>{2, 5}, block);
        FAIL() << "no throw";
    } catch (const InvariantError& e) {
        EXPECT_STREQ(e.what(), "gate qubit must lie in block");
    }
}

TEST(FuseKq, LongBlocksAreEmittedInBoundedPieces) {
    Circuit c(3);
    const std::size_t count = MAX_FUSED_GATES + 7;
    for (std::size_t i = 0; i < count; ++i) {
        const auto q = static_cast<Qubit>(i % 3);
        ASSERT_TRUE(c.add_gate(i % 2 ? gi(Gate::cnot(), {q, (q + 1) % 3}) : gi(Gate::rx(0.1), {q})));
    }
    const Circuit before = c;
    EXPECT_EQ(*FuseKq(4).run(c), (PassStats{count, 2, 2}));
    testing::expect_same_unitary(before, c);
}

}  // namespace
}  // namespace nivra::ir
