#include "nivra/ir/passes/fuse_2q.h"

#include <gtest/gtest.h>

#include "nivra/ir/passes/util.h"
#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;
using testing::make_circuit;
using testing::matrix_of;

std::vector<Complex> as_vector(const detail::Mat4& m) { return {m.begin(), m.end()}; }

TEST(Fuse2q, AbsorbsSingleQubitGatesAroundAPair) {
    EXPECT_EQ(Fuse2q().name(), "Fuse2q");
    Circuit c = make_circuit(2, {gi(Gate::x(), {1}), gi(Gate::cnot(), {0, 1}), gi(Gate::h(), {0})});
    const Circuit before = c;
    EXPECT_EQ(*Fuse2q().run(c), (PassStats{3, 1, 1}));
    const GateInstance& g = *c.instructions()[0].gate();
    ASSERT_EQ(g.gate.kind(), GateKind::Unitary2q);
    EXPECT_EQ(g.targets, (boost::container::small_vector<Qubit, 4>{0, 1}));
    auto expected =
        detail::mul4(detail::kron_high(Gate::h().matrix()->m2()),
                     detail::mul4(Gate::cnot().matrix()->m4(),
                                  detail::mul4(detail::kron_low(Gate::x().matrix()->m2()), detail::identity4())));
    EXPECT_EQ(matrix_of(g.gate), as_vector(expected));
    testing::expect_same_unitary(before, c);
}

TEST(Fuse2q, ReversedPairIsReexpressed) {
    Circuit c = make_circuit(2, {gi(Gate::cnot(), {0, 1}), gi(Gate::cnot(), {1, 0})});
    const Circuit before = c;
    EXPECT_EQ(*Fuse2q().run(c), (PassStats{2, 1, 1}));
    const Gate& g = c.instructions()[0].gate()->gate;
    auto cnot = Gate::cnot().matrix()->m4();
    EXPECT_EQ(matrix_of(g), as_vector(detail::mul4(detail::swap_pair(cnot), cnot)));
    testing::expect_same_unitary(before, c);
}

TEST(Fuse2q, UnrelatedPairsComeOutUnchanged) {
    Circuit c = make_circuit(3, {gi(Gate::cnot(), {0, 1}), gi(Gate::cnot(), {1, 2}), gi(Gate::x(), {0})});
    const Circuit copy = c;
    EXPECT_EQ(*Fuse2q().run(c), (PassStats{3, 3, 0}));
    EXPECT_EQ(c, copy);
    Circuit empty(1);
    EXPECT_EQ(*Fuse2q().run(empty), (PassStats{0, 0, 0}));
}

TEST(Fuse2q, BlocksStayAtTheirOpeningPosition) {
    // Measure(1) closes the pair block (placed at the Cnot) before itself.
    Circuit c = make_circuit(3,
                             {gi(Gate::h(), {2}), gi(Gate::cnot(), {0, 1}), gi(Gate::t(), {1}), gi(Gate::h(), {2}),
                              Measure{1, 0}, gi(Gate::s(), {0}), gi(Gate::t(), {0}), Barrier{{0}}},
                             1);
    const Circuit before = c;
    EXPECT_EQ(*Fuse2q().run(c), (PassStats{8, 5, 3}));
    const auto& list = c.instructions();
    EXPECT_EQ(list[0].gate()->gate.kind(), GateKind::Unitary1q);  // H·H on 2, at the first H
    EXPECT_EQ(list[1].gate()->gate.kind(), GateKind::Unitary2q);
    EXPECT_EQ(list[2], Instruction(Measure{1, 0}));
    EXPECT_EQ(list[3].gate()->gate.kind(), GateKind::Unitary1qDiag);  // T·S on 0
    EXPECT_EQ(list[4], Instruction(Barrier{{0}}));
}

TEST(Fuse2q, UnfusableGatesEndBlocks) {
    Circuit c = make_circuit(4, {gi(Gate::h(), {0}), gi(Gate::cnot(), {0, 1}), gi(Gate::toffoli(), {1, 2, 3}),
                                 gi(Gate::h(), {1}), gi(Gate::x(), {1}, {3}), gi(Gate::h(), {2}),
                                 gi(Gate::unitary_kq(2, std::vector<Complex>(16, 0.25)), {2, 3}), gi(Gate::h(), {3}),
                                 gi(Gate::crx(INFINITY), {3, 0}), gi(Gate::h(), {0}), gi(Gate::h(), {3})});
    EXPECT_EQ(*Fuse2q().run(c), (PassStats{11, 10, 1}));
    const auto& list = c.instructions();
    EXPECT_EQ(list[0].gate()->gate.kind(), GateKind::Unitary2q);
    EXPECT_EQ(list[1].gate()->gate.kind(), GateKind::Toffoli);
    for (std::size_t i = 2; i < list.size(); ++i) {
        EXPECT_NE(list[i].gate()->gate.kind(), GateKind::Unitary2q);
    }
}

TEST(Fuse2q, SingleQubitOnlyCircuits) {
    Circuit c = make_circuit(
        2, {gi(Gate::h(), {0}), gi(Gate::x(), {1}), gi(Gate::t(), {0}), gi(Gate::y(), {1}), gi(Gate::z(), {1})});
    const Circuit before = c;
    EXPECT_EQ(*Fuse2q().run(c), (PassStats{5, 2, 2}));
    EXPECT_EQ(c.instructions()[0].gate()->targets[0], 0U);
    EXPECT_EQ(c.instructions()[1].gate()->targets[0], 1U);
    testing::expect_same_unitary(before, c);
}

TEST(Fuse2q, LongBlocksAreEmittedInBoundedPieces) {
    Circuit c(2);
    const std::size_t count = MAX_FUSED_GATES + 10;
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(c.add_gate(i % 3 == 0 ? gi(Gate::cnot(), {i % 2 ? 0U : 1U, i % 2 ? 1U : 0U})
                                          : gi(Gate::ry(0.001 * static_cast<double>(i)), {static_cast<Qubit>(i % 2)})));
    }
    const Circuit before = c;
    EXPECT_EQ(*Fuse2q().run(c), (PassStats{count, 2, 2}));
    testing::expect_same_unitary(before, c);
}

}  // namespace
}  // namespace nivra::ir
