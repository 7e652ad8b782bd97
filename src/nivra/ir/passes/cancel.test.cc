#include "nivra/ir/passes/cancel.h"

#include <gtest/gtest.h>

#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;
using testing::make_circuit;

PassStats run(Circuit& c) { return *CancelInversePairs().run(c); }

TEST(CancelInversePairs, Rotations) {
    EXPECT_EQ(CancelInversePairs().name(), "CancelInversePairs");
    Circuit empty(2);
    EXPECT_EQ(run(empty), (PassStats{0, 0, 0}));

    Circuit pair = make_circuit(1, {gi(Gate::rx(0.5), {0}), gi(Gate::rx(-0.5), {0})});
    EXPECT_EQ(run(pair), (PassStats{2, 0, 1}));
    Circuit same = make_circuit(1, {gi(Gate::rx(0.5), {0}), gi(Gate::rx(0.5), {0})});
    EXPECT_EQ(run(same), (PassStats{2, 2, 0}));
    Circuit u3 = make_circuit(1, {gi(Gate::u3(1, 2, 3), {0}), gi(Gate::u3(-1, -3, -2), {0})});
    EXPECT_EQ(run(u3), (PassStats{2, 0, 1}));
    Circuit u3_wrong = make_circuit(1, {gi(Gate::u3(1, 2, 3), {0}), gi(Gate::u3(-1, -2, -3), {0})});
    EXPECT_EQ(run(u3_wrong), (PassStats{2, 2, 0}));
}

TEST(CancelInversePairs, NamedInverses) {
    Circuit c = make_circuit(
        2, {gi(Gate::s(), {0}), gi(Gate::sdg(), {0}), gi(Gate::tdg(), {1}), gi(Gate::t(), {1}),
            gi(Gate::iswap(), {0, 1}), gi(Gate::iswap_dg(), {0, 1}), gi(Gate::sdg(), {0}), gi(Gate::sdg(), {0})});
    EXPECT_EQ(run(c), (PassStats{8, 2, 3}));
}

TEST(CancelInversePairs, PairsNest) {
    Circuit c = make_circuit(1, {gi(Gate::h(), {0}), gi(Gate::x(), {0}), gi(Gate::x(), {0}), gi(Gate::h(), {0})});
    EXPECT_EQ(run(c), (PassStats{4, 0, 2}));
    Circuit two =
        make_circuit(2, {gi(Gate::cnot(), {0, 1}), gi(Gate::h(), {1}), gi(Gate::h(), {1}), gi(Gate::cnot(), {0, 1})});
    EXPECT_EQ(run(two), (PassStats{4, 0, 2}));
}

TEST(CancelInversePairs, BlockersAndPartialOverlap) {
    Circuit measured = make_circuit(2, {gi(Gate::cnot(), {0, 1}), Measure{1, 0}, gi(Gate::cnot(), {0, 1})}, 1);
    EXPECT_EQ(run(measured), (PassStats{3, 3, 0}));
    Circuit hidden = make_circuit(2, {gi(Gate::cnot(), {0, 1}), gi(Gate::x(), {0}), gi(Gate::cnot(), {0, 1})});
    EXPECT_EQ(run(hidden), (PassStats{3, 3, 0}));
    Circuit reversed = make_circuit(2, {gi(Gate::cnot(), {0, 1}), gi(Gate::cnot(), {1, 0})});
    EXPECT_EQ(run(reversed), (PassStats{2, 2, 0}));
    Circuit swapped = make_circuit(2, {gi(Gate::cz(), {0, 1}), gi(Gate::cz(), {1, 0})});
    EXPECT_EQ(run(swapped), (PassStats{2, 2, 0}));
    Circuit barrier = make_circuit(2, {gi(Gate::h(), {0}), Barrier{{0, 1}}, gi(Gate::h(), {0})});
    EXPECT_EQ(run(barrier), (PassStats{3, 3, 0}));
    // The X on qubit 1 lies under the Cnot, not between the two Hs on qubit 0.
    Circuit partial = make_circuit(2, {gi(Gate::x(), {1}), gi(Gate::h(), {0}), gi(Gate::h(), {0}), gi(Gate::x(), {1})});
    EXPECT_EQ(run(partial), (PassStats{4, 0, 2}));
}

TEST(CancelInversePairs, ControlsCompareAsSets) {
    Circuit c = make_circuit(4, {gi(Gate::rz(0.3), {0}, {1, 2}), gi(Gate::rz(-0.3), {0}, {2, 1})});
    EXPECT_EQ(run(c), (PassStats{2, 0, 1}));
    Circuit d = make_circuit(4, {gi(Gate::x(), {0}, {1}), gi(Gate::x(), {0}, {2})});
    EXPECT_EQ(run(d), (PassStats{2, 2, 0}));
    Circuit e = make_circuit(4, {gi(Gate::x(), {0}, {1}), gi(Gate::x(), {0})});
    EXPECT_EQ(run(e), (PassStats{2, 2, 0}));
}

TEST(CancelInversePairs, GatesWithoutMatrixNeverCancel) {
    // Rx(inf) and Rx(-inf) compare as inverses; removing them would turn a
    // run that must fail into one that succeeds.
    Circuit inf = make_circuit(1, {gi(Gate::rx(INFINITY), {0}), gi(Gate::rx(-INFINITY), {0})});
    EXPECT_EQ(run(inf), (PassStats{2, 2, 0}));
    Circuit sym = make_circuit(1, {gi(Gate::rz(Param::symbolic(1)), {0}), gi(Gate::rz(Param::symbolic(1)), {0})});
    EXPECT_EQ(run(sym), (PassStats{2, 2, 0}));
    // User matrices have inverses of their own.
    Circuit kq = make_circuit(
        2, {gi(Gate::unitary_kq(1, {0, 1, 1, 0}), {1}), gi(Gate::unitary_kq(1, {0, 1, 1, 0}), {1}),
            gi(Gate::unitary1q({0, Complex(0, 1), 1, 0}), {0}), gi(Gate::unitary1q({0, 1, Complex(0, -1), 0}), {0})});
    EXPECT_EQ(run(kq), (PassStats{4, 0, 2}));
}

}  // namespace
}  // namespace nivra::ir
