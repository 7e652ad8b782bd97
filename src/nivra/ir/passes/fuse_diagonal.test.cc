#include "nivra/ir/passes/fuse_diagonal.h"

#include <gtest/gtest.h>

#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;
using testing::make_circuit;
using Masks = boost::container::small_vector<std::uint64_t, 2>;

TEST(FuseDiagonalRuns, RefusesMoreThan64Qubits) {
    EXPECT_EQ(FuseDiagonalRuns().name(), "FuseDiagonalRuns");
    Circuit wide = make_circuit(65, {gi(Gate::cz(), {0, 1}), gi(Gate::cz(), {0, 1})});
    const Circuit copy = wide;
    auto r = FuseDiagonalRuns().run(wide);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "internal invariant violated: DiagonalPhase mask width > 64");
    EXPECT_EQ(wide, copy);

    Circuit edge = make_circuit(64, {gi(Gate::cz(), {0, 63}), gi(Gate::rz(0.5), {63})});
    EXPECT_EQ(*FuseDiagonalRuns().run(edge), (PassStats{2, 1, 1}));
    EXPECT_EQ(edge.instructions()[0].get<DiagonalPhase>().width, 64U);
}

TEST(FuseDiagonalRuns, TwoRotationsBecomeOnePhase) {
    const double theta = 0.7;
    const double phi = -1.3;
    Circuit c = make_circuit(2, {gi(Gate::rz(theta), {0}), gi(Gate::rz(phi), {1})});
    const Circuit before = c;
    EXPECT_EQ(*FuseDiagonalRuns().run(c), (PassStats{2, 1, 1}));
    const DiagonalPhase& d = c.instructions()[0].get<DiagonalPhase>();
    EXPECT_EQ(d.width, 2U);
    ASSERT_EQ(d.terms.size(), 3U);
    EXPECT_EQ(d.terms[0].masks, Masks{});
    EXPECT_NEAR(d.terms[0].angle, -(theta + phi) / 2, 1e-15);
    EXPECT_EQ(d.terms[1].masks, Masks{1});
    EXPECT_NEAR(d.terms[1].angle, theta, 1e-15);
    EXPECT_EQ(d.terms[2].masks, Masks{2});
    EXPECT_NEAR(d.terms[2].angle, phi, 1e-15);
    testing::expect_same_unitary(before, c);
}

TEST(FuseDiagonalRuns, CancellingPhasesLeaveNoTerms) {
    Circuit c = make_circuit(2, {gi(Gate::cz(), {0, 1}), gi(Gate::cz(), {0, 1})});
    EXPECT_EQ(*FuseDiagonalRuns().run(c), (PassStats{2, 1, 1}));
    EXPECT_TRUE(c.instructions()[0].get<DiagonalPhase>().terms.empty());
}

TEST(FuseDiagonalRuns, RunsThatStay) {
    for (std::vector<Instruction> list : {
             std::vector<Instruction>{gi(Gate::t(), {0}), gi(Gate::t(), {0})},  // one qubit
             std::vector<Instruction>{gi(Gate::cnot(), {0, 1}), gi(Gate::rz(0.4), {1}), gi(Gate::cnot(), {0, 1})},
             std::vector<Instruction>{gi(Gate::cnot(), {0, 1}), gi(Gate::t(), {1}), gi(Gate::t(), {0})},  // parity
             std::vector<Instruction>{gi(Gate::t(), {0}), gi(Gate::h(), {1}), gi(Gate::t(), {1})},        // split
             std::vector<Instruction>{gi(Gate::t(), {0}), Measure{0, 0}, gi(Gate::t(), {1})},
             std::vector<Instruction>{gi(Gate::rz(0.5), {0}), gi(Gate::rz(INFINITY), {1}), gi(Gate::cz(), {0, 1})},
         }) {
        Circuit c = make_circuit(2, list, 1);
        const Circuit copy = c;
        const std::size_t n = c.size();
        EXPECT_EQ(*FuseDiagonalRuns().run(c), (PassStats{n, n, 0}));
        EXPECT_EQ(c, copy);
    }
}

TEST(FuseDiagonalRuns, CnotsMakeParityMasks) {
    Circuit c = make_circuit(
        2, {gi(Gate::cnot(), {0, 1}), gi(Gate::rz(0.4), {1}), gi(Gate::cnot(), {0, 1}), gi(Gate::rz(0.9), {0})});
    const Circuit before = c;
    EXPECT_EQ(*FuseDiagonalRuns().run(c), (PassStats{4, 1, 1}));
    const DiagonalPhase& d = c.instructions()[0].get<DiagonalPhase>();
    ASSERT_EQ(d.terms.size(), 3U);
    EXPECT_EQ(d.terms[1].masks, Masks{0b01});
    EXPECT_NEAR(d.terms[1].angle, 0.9, 1e-15);
    EXPECT_EQ(d.terms[2].masks, Masks{0b11});
    EXPECT_NEAR(d.terms[2].angle, 0.4, 1e-15);
    testing::expect_same_unitary(before, c);
}

TEST(FuseDiagonalRuns, ExternalControlsJoinTheMaskList) {
    Circuit c = make_circuit(3, {gi(Gate::rz(0.8), {0}, {2}), gi(Gate::phase(0.3), {1}, {0, 2})});
    const Circuit before = c;
    EXPECT_EQ(*FuseDiagonalRuns().run(c), (PassStats{2, 1, 1}));
    const DiagonalPhase& d = c.instructions()[0].get<DiagonalPhase>();
    // Rz on 0 controlled by 2: global part on [{2}], bit part on [{0}, {2}];
    // Phase on 1 controlled by 0 and 2: [{0}, {1}, {2}].
    ASSERT_EQ(d.terms.size(), 3U);
    EXPECT_EQ(d.terms[0].masks, (Masks{0b001, 0b010, 0b100}));
    EXPECT_EQ(d.terms[1].masks, (Masks{0b001, 0b100}));
    EXPECT_EQ(d.terms[2].masks, (Masks{0b100}));
    testing::expect_same_unitary(before, c);
}

TEST(FuseDiagonalRuns, KeepsEveryPhaseOfMixedRuns) {
    StdRng rng = StdRng::seed_from_u64(7);
    auto angle = [&] { return (rng.next_unit_f64() - 0.5) * 8.0; };
    for (int trial = 0; trial < 40; ++trial) {
        const std::uint32_t n = 4;
        Circuit c(n);
        std::vector<std::pair<Qubit, Qubit>> cnots;
        for (int g = 0; g < 12; ++g) {
            Qubit a = rng.next_u32() % n;
            Qubit b = (a + 1 + rng.next_u32() % (n - 1)) % n;
            Qubit e = rng.next_u32() % n;
            while (e == a || e == b) e = (e + 1) % n;
            switch (rng.next_u32() % 9) {
                case 0:
                    ASSERT_TRUE(c.add_gate(gi(Gate::rz(angle()), {a})));
                    break;
                case 1:
                    ASSERT_TRUE(c.add_gate(gi(Gate::phase(angle()), {a}, {b})));
                    break;
                case 2:
                    ASSERT_TRUE(c.add_gate(gi(Gate::crz(angle()), {a, b})));
                    break;
                case 3:
                    ASSERT_TRUE(c.add_gate(gi(Gate::ccz(), {a, b, e})));
                    break;
                case 4:
                    ASSERT_TRUE(c.add_gate(gi(Gate::t(), {a})));
                    break;
                case 5:
                    ASSERT_TRUE(c.add_gate(gi(Gate::unitary1q_diag(Complex(0, 1), Complex(-0.6, 0.8)), {a})));
                    break;
                case 6:
                    ASSERT_TRUE(c.add_gate(gi(Gate::cz(), {a, b}, {e})));
                    break;
                default:
                    ASSERT_TRUE(c.add_gate(gi(Gate::cnot(), {a, b})));
                    cnots.emplace_back(a, b);
            }
        }
        // Undo the CNOTs so the parities close.
        for (auto it = cnots.rbegin(); it != cnots.rend(); ++it) {
            ASSERT_TRUE(c.add_gate(gi(Gate::cnot(), {it->first, it->second})));
        }
        const Circuit before = c;
        auto stats = FuseDiagonalRuns().run(c);
        ASSERT_TRUE(stats);
        EXPECT_EQ(stats->changes, 1U);
        EXPECT_EQ(c.size(), 1U);
        testing::expect_same_unitary(before, c);
    }
}

TEST(FuseDiagonalRuns, NegligibleAngles) {
    EXPECT_TRUE(is_negligible_angle(0.0));
    EXPECT_TRUE(is_negligible_angle(-0.0));
    EXPECT_TRUE(is_negligible_angle(6.283185307179586));
    EXPECT_TRUE(is_negligible_angle(-4 * 3.141592653589793));
    EXPECT_TRUE(is_negligible_angle(5e-13));
    EXPECT_TRUE(is_negligible_angle(-5e-13));
    EXPECT_FALSE(is_negligible_angle(2e-12));
    EXPECT_FALSE(is_negligible_angle(3.141592653589793));
    EXPECT_FALSE(is_negligible_angle(NAN));
}

}  // namespace
}  // namespace nivra::ir
