#include "nivra/ir/passes/dce.h"

#include <gtest/gtest.h>

#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;
using testing::make_circuit;

PassStats run(Circuit& c, DeadCodeElim::Liveness l = DeadCodeElim::Liveness::MeasuredOnly) {
    return *DeadCodeElim(l).run(c);
}

TEST(DeadCodeElim, NothingWithoutMeasurement) {
    EXPECT_EQ(DeadCodeElim().name(), "DeadCodeElim");
    Circuit empty(1);
    EXPECT_EQ(run(empty), (PassStats{0, 0, 0}));
    Circuit c = make_circuit(2, {gi(Gate::h(), {0}), gi(Gate::x(), {1}), Reset{1}});
    EXPECT_EQ(run(c), (PassStats{3, 3, 0}));
}

TEST(DeadCodeElim, DropsGatesAfterTheLastRead) {
    Circuit c = make_circuit(1, {gi(Gate::h(), {0}), Measure{0, 0}, gi(Gate::h(), {0})}, 1);
    EXPECT_EQ(run(c), (PassStats{3, 2, 1}));
    EXPECT_EQ(c.instructions()[1], Instruction(Measure{0, 0}));
}

TEST(DeadCodeElim, ResetKillsLiveness) {
    Circuit c = make_circuit(2, {gi(Gate::x(), {1}), Reset{1}, gi(Gate::cnot(), {1, 0}), Measure{0, 0}}, 1);
    EXPECT_EQ(run(c), (PassStats{4, 3, 1}));
    EXPECT_EQ(c.instructions()[0], Instruction(Reset{1}));
}

TEST(DeadCodeElim, BarriersAndChainsKeepGates) {
    Circuit c = make_circuit(3,
                             {gi(Gate::h(), {2}), gi(Gate::h(), {1}), Barrier{{2}}, gi(Gate::cnot(), {1, 0}),
                              gi(Gate::x(), {1}), Measure{0, 0}},
                             1);
    // H(2) stays for the barrier, H(1) for the Cnot that reaches the
    // measurement; X(1) after the Cnot is dead.
    EXPECT_EQ(run(c), (PassStats{6, 5, 1}));
}

TEST(DeadCodeElim, GatesWithoutMatrixStay) {
    Circuit c = make_circuit(2, {gi(Gate::rx(NAN), {1}), gi(Gate::ry(0.5), {1}), Measure{0, 0}}, 1);
    EXPECT_EQ(run(c), (PassStats{3, 2, 1}));
    EXPECT_EQ(c.instructions()[0].gate()->gate.kind(), GateKind::Rx);
}

TEST(DeadCodeElim, EveryQubitLiveAtTheEnd) {
    // A run samples every qubit: x(1); measure(0) must keep the X.
    Circuit c = make_circuit(2, {gi(Gate::x(), {1}), Measure{0, 0}}, 1);
    EXPECT_EQ(run(c, DeadCodeElim::Liveness::AllQubitsAtEnd), (PassStats{2, 2, 0}));
    Circuit plain = make_circuit(2, {gi(Gate::h(), {0}), gi(Gate::x(), {1})});
    EXPECT_EQ(run(plain, DeadCodeElim::Liveness::AllQubitsAtEnd), (PassStats{2, 2, 0}));
    // What a reset erases is still dead.
    Circuit reset = make_circuit(2, {gi(Gate::x(), {1}), Reset{1}, gi(Gate::h(), {0})});
    EXPECT_EQ(run(reset, DeadCodeElim::Liveness::AllQubitsAtEnd), (PassStats{3, 2, 1}));
}

}  // namespace
}  // namespace nivra::ir
