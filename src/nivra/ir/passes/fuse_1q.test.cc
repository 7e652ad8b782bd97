#include "nivra/ir/passes/fuse_1q.h"

#include <gtest/gtest.h>

#include "nivra/ir/passes/util.h"
#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;
using testing::make_circuit;
using testing::matrix_of;

std::vector<Complex> product(const Gate& later, const Gate& earlier) {
    auto a = later.matrix()->m2();
    auto b = earlier.matrix()->m2();
    auto p = detail::mul2(a, b);
    return {p.begin(), p.end()};
}

TEST(Fuse1qRuns, DiagonalRunsStayDiagonal) {
    EXPECT_EQ(Fuse1qRuns().name(), "Fuse1qRuns");
    Circuit c = make_circuit(1, {gi(Gate::t(), {0}), gi(Gate::s(), {0})});
    EXPECT_EQ(*Fuse1qRuns().run(c), (PassStats{2, 1, 1}));
    const GateInstance& g = *c.instructions()[0].gate();
    ASSERT_EQ(g.gate.kind(), GateKind::Unitary1qDiag);
    auto st = product(Gate::s(), Gate::t());
    EXPECT_EQ(g.gate.matrix_data()[0], st[0]);
    EXPECT_EQ(g.gate.matrix_data()[1], st[3]);
}

TEST(Fuse1qRuns, LaterGateMultipliesFromTheLeft) {
    Circuit c = make_circuit(2, {gi(Gate::h(), {0}), gi(Gate::t(), {0}), gi(Gate::x(), {1}), gi(Gate::cnot(), {0, 1})});
    const Circuit before = c;
    EXPECT_EQ(*Fuse1qRuns().run(c), (PassStats{4, 3, 1}));
    const auto& list = c.instructions();
    ASSERT_EQ(list[0].gate()->gate.kind(), GateKind::Unitary1q);
    EXPECT_EQ(matrix_of(list[0].gate()->gate), product(Gate::t(), Gate::h()));
    EXPECT_EQ(list[1], Instruction(gi(Gate::x(), {1})));
    EXPECT_EQ(list[2], Instruction(gi(Gate::cnot(), {0, 1})));
    testing::expect_same_unitary(before, c);
}

TEST(Fuse1qRuns, RunsEndAtTheNextTouch) {
    Circuit c = make_circuit(
        3,
        {gi(Gate::h(), {0}), gi(Gate::h(), {1}), gi(Gate::s(), {1}), Measure{0, 0}, gi(Gate::rx(NAN), {1}),
         gi(Gate::ry(0.1), {2}), gi(Gate::ry(0.2), {2}, {0}), gi(Gate::ry(0.3), {2}), gi(Gate::ry(0.4), {2})},
        1);
    EXPECT_EQ(*Fuse1qRuns().run(c), (PassStats{9, 7, 2}));
    const auto& list = c.instructions();
    // H(0) is a run of one, copied before the measurement that ends it.
    EXPECT_EQ(list[0], Instruction(gi(Gate::h(), {0})));
    EXPECT_EQ(list[1], Instruction(Measure{0, 0}));
    EXPECT_EQ(list[2].gate()->gate.kind(), GateKind::Unitary1q);  // H·S on 1, ended by the NaN gate
    EXPECT_EQ(list[3].gate()->gate.kind(), GateKind::Rx);
    EXPECT_EQ(list[4], Instruction(gi(Gate::ry(0.1), {2})));  // ended by the controlled Ry
    EXPECT_EQ(list[5].gate()->controls.size(), 1U);
    EXPECT_EQ(list[6].gate()->gate.kind(), GateKind::Unitary1q);
}

TEST(Fuse1qRuns, LongRunsAreEmittedInBoundedPieces) {
    Circuit c(1);
    const std::size_t count = 2 * MAX_FUSED_GATES + 5;
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_TRUE(c.add_gate(gi(i % 2 ? Gate::h() : Gate::rz(0.01 * static_cast<double>(i)), {0})));
    }
    const Circuit before = c;
    EXPECT_EQ(*Fuse1qRuns().run(c), (PassStats{count, 3, 3}));
    testing::expect_same_unitary(before, c);
    Circuit empty(2);
    EXPECT_EQ(*Fuse1qRuns().run(empty), (PassStats{0, 0, 0}));
}

}  // namespace
}  // namespace nivra::ir
