#include "nivra/ir/passes/relabel.h"

#include <gtest/gtest.h>

#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;
using testing::make_circuit;

TEST(RelabelQubits, LeavesSmallOrAlreadyRelabelledCircuits) {
    RelabelQubits pass(15);
    EXPECT_EQ(pass.name(), "RelabelQubits");
    Circuit one = make_circuit(1, {gi(Gate::h(), {0}), gi(Gate::x(), {0})});
    EXPECT_EQ(pass.run(one), (PassStats{2, 2, 0}));
    EXPECT_FALSE(one.permutation());

    Circuit done = make_circuit(20, {gi(Gate::h(), {19}), gi(Gate::h(), {19})});
    done.set_permutation([] {
        std::vector<Qubit> p(20);
        for (Qubit q = 0; q < 20; ++q) p[q] = 19 - q;
        return p;
    }());
    const Circuit copy = done;
    EXPECT_EQ(pass.run(done), (PassStats{2, 2, 0}));
    EXPECT_EQ(done, copy);
}

TEST(RelabelQubits, EqualScoresKeepLabels) {
    // The heavy qubits are already the low ones: nothing to gain.
    Circuit c = make_circuit(20, {gi(Gate::h(), {0}), gi(Gate::cnot(), {0, 1}), gi(Gate::x(), {5})});
    const Circuit copy = c;
    EXPECT_EQ(RelabelQubits(15).run(c), (PassStats{3, 3, 0}));
    EXPECT_EQ(c, copy);
}

TEST(RelabelQubits, HighQubitsMoveIntoTheTile) {
    // Use counts: 18 four times, 16 and 19 three times, 17 once.
    std::vector<Instruction> list;
    for (int i = 0; i < 4; ++i) list.emplace_back(gi(Gate::h(), {18}));
    for (int i = 0; i < 3; ++i) list.emplace_back(gi(Gate::t(), {19}));
    for (int i = 0; i < 3; ++i) list.emplace_back(gi(Gate::s(), {16}));
    list.emplace_back(gi(Gate::x(), {17}));
    Circuit c = make_circuit(20, std::move(list));
    EXPECT_EQ(RelabelQubits(15).run(c), (PassStats{11, 11, 1}));
    std::vector<Qubit> expected(20);
    expected[18] = 0;
    expected[16] = 1;  // ties go to the lower index
    expected[19] = 2;
    expected[17] = 3;
    for (Qubit q = 0; q < 16; ++q) expected[q] = q + 4;
    EXPECT_EQ(c.permutation(), expected);
    EXPECT_EQ(c.instructions()[0].gate()->targets[0], 0U);
    EXPECT_EQ(c.instructions()[4].gate()->targets[0], 2U);
    EXPECT_EQ(c.instructions()[10].gate()->targets[0], 3U);
}

TEST(RelabelQubits, RewritesEveryOperandKind) {
    Circuit c =
        make_circuit(20,
                     {gi(Gate::cnot(), {17, 16}, {2}), gi(Gate::cnot(), {17, 16}), Measure{17, 1}, Reset{16},
                      Barrier{{16, 0}}, DiagonalPhase{{PhaseTerm{{(1ULL << 17) | 1ULL, 1ULL << 16}, 0.25}}, 20}},
                     2);
    ASSERT_EQ(RelabelQubits(2).run(c), (PassStats{6, 6, 1}));
    // Uses: 16 five, 17 four, 0 two, 2 one.
    const auto& p = *c.permutation();
    EXPECT_EQ(p[16], 0U);
    EXPECT_EQ(p[17], 1U);
    EXPECT_EQ(p[0], 2U);
    EXPECT_EQ(p[2], 3U);
    const auto& list = c.instructions();
    EXPECT_EQ(list[0], Instruction(gi(Gate::cnot(), {1, 0}, {3})));
    EXPECT_EQ(list[2], Instruction(Measure{1, 1}));
    EXPECT_EQ(list[3], Instruction(Reset{0}));
    EXPECT_EQ(list[4], Instruction(Barrier{{0, 2}}));
    EXPECT_EQ(list[5].get<DiagonalPhase>().terms[0].masks,
              (boost::container::small_vector<std::uint64_t, 2>{0b110, 0b001}));
}

TEST(RelabelQubits, GatesWithoutMatrixNeverScore) {
    std::vector<Instruction> list;
    for (Qubit q = 16; q < 20; ++q) {
        list.emplace_back(gi(Gate::rx(std::nan("")), {q}));
        list.emplace_back(gi(Gate::rz(Param::symbolic(3)), {q}));
        list.emplace_back(gi(Gate::unitary_kq(1, {1, 0, 0, 1}), {q}));
    }
    Circuit c = make_circuit(20, std::move(list));
    EXPECT_EQ(RelabelQubits(15).run(c), (PassStats{12, 12, 0}));
    EXPECT_FALSE(c.permutation());
}

TEST(RelabelQubits, TiledBlockIsRefusedOnlyWhenRelabelling) {
    Circuit keep = make_circuit(4, {TiledBlock{{gi(Gate::h(), {0}), gi(Gate::h(), {1})}, 15}});
    EXPECT_EQ(RelabelQubits(15).run(keep), (PassStats{1, 1, 0}));

    Circuit c = make_circuit(
        20, {gi(Gate::h(), {19}), gi(Gate::h(), {19}), TiledBlock{{gi(Gate::h(), {0}), gi(Gate::h(), {1})}, 2}});
    const Circuit copy = c;
    try {
        (void)RelabelQubits(2).run(c);
        FAIL() << "no throw";
    } catch (const InvariantError& e) {
        EXPECT_STREQ(e.what(),
                     "internal error: entered unreachable code: RelabelQubits runs before TileBlock; no TiledBlock "
                     "present");
    }
    EXPECT_EQ(c, copy);
}

TEST(RelabelQubits, UnitaryKqMatricesFollowTheirQubits) {
    // Targets (0, 3) become (1, 0): the ascending order the matrix is indexed
    // by flips, so the matrix must be re-indexed.
    std::vector<Complex> m(16);
    for (std::size_t i = 0; i < 16; ++i) m[i] = Complex(static_cast<double>(i), 0.5 * static_cast<double>(i % 5));
    Circuit c = make_circuit(
        4, {gi(Gate::unitary_kq(2, m), {0, 3}), gi(Gate::h(), {3}), gi(Gate::h(), {3}), gi(Gate::cnot(), {3, 2}, {0})});
    const Circuit before = c;
    ASSERT_EQ(RelabelQubits(1).run(c), (PassStats{4, 4, 1}));
    EXPECT_EQ(c.instructions()[0].gate()->targets, (boost::container::small_vector<Qubit, 4>{1, 0}));
    EXPECT_NE(c.instructions()[0].gate()->gate, before.instructions()[0].gate()->gate);
    testing::expect_same_unitary(before, c, 0.0);
}

TEST(RelabelQubits, PhaseMasksNeverLeaveTheWord) {
    // Qubit 0 of this phase would be renamed past bit 63: the labels stay.
    std::vector<Instruction> list{DiagonalPhase{{PhaseTerm{{1}, 0.5}}, 64}};
    for (Qubit q = 30; q < 100; ++q) {
        list.emplace_back(gi(Gate::h(), {q}));
        list.emplace_back(gi(Gate::h(), {q}));
    }
    Circuit c = make_circuit(100, std::move(list));
    const Circuit copy = c;
    EXPECT_EQ(RelabelQubits(15).run(c), (PassStats{141, 141, 0}));
    EXPECT_EQ(c, copy);
}

}  // namespace
}  // namespace nivra::ir
