#include "nivra/stab/tableau.h"

#include <gtest/gtest.h>

#include <random>

#include "nivra/core/error.h"
#include "nivra/stab/dense_reference.test.h"
#include "nivra/stab/dispatch.h"

namespace nivra::stab {
namespace {

using testing::DenseState;
using testing::expect_same_state;
using testing::random_clifford;

TEST(Tableau, NewIsAllZeroState) {
    const Tableau empty(0);
    EXPECT_EQ(empty.num_generators(), 1u);
    EXPECT_EQ(empty.x().rows(), 1u);
    EXPECT_EQ(empty.x().cols(), 1u);
    EXPECT_EQ(empty.z().rows(), 1u);
    EXPECT_EQ(empty.signs().size(), 1u);
    EXPECT_EQ(empty.layout(), Layout::GeneratorMajor);

    const Tableau t(70);
    EXPECT_EQ(t.num_generators(), 141u);
    EXPECT_EQ(t.signs().size(), 3u);  // floor(140 / 64) + 1
    EXPECT_EQ(t.x().words_per_row(), 2u);
    for (std::size_t g = 0; g < 141; ++g) {
        for (std::size_t q = 0; q < 70; ++q) {
            ASSERT_EQ(t.x_bit(g, q), g < 70 && g == q);
            ASSERT_EQ(t.z_bit(g, q), g >= 70 && g < 140 && g - 70 == q);
        }
        ASSERT_FALSE(t.sign(g));
    }
}

TEST(Tableau, SelfInverseSequencesRestoreBits) {
    std::mt19937_64 gen(5);
    Tableau t(67);
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(apply_gate(t, random_clifford(67, gen)).has_value());
    }
    t.to_qubit_major();
    const Tableau before = t;
    ASSERT_TRUE(t.h(3) && t.h(3));
    EXPECT_EQ(t, before);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(t.s(66));
    }
    EXPECT_EQ(t, before);
    ASSERT_TRUE(t.sdg(64) && t.s(64));
    EXPECT_EQ(t, before);
    ASSERT_TRUE(t.iswap(2, 65) && t.iswap_dg(2, 65));
    EXPECT_EQ(t, before);
    ASSERT_TRUE(t.cnot(9, 0) && t.cnot(9, 0));
    EXPECT_EQ(t, before);

    // Sdg is S three times, bit for bit.
    Tableau a = before, b = before;
    ASSERT_TRUE(a.sdg(10));
    ASSERT_TRUE(b.s(10) && b.s(10) && b.s(10));
    EXPECT_EQ(a, b);
}

TEST(Tableau, CircuitThenInverseRestoresBits) {
    std::mt19937_64 gen(17);
    Tableau t(20);
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(apply_gate(t, random_clifford(20, gen)));
    }
    t.to_qubit_major();
    const Tableau before = t;
    std::vector<GateInstance> gates;
    for (int i = 0; i < 200; ++i) {
        gates.push_back(random_clifford(20, gen));
        ASSERT_TRUE(apply_gate(t, gates.back()));
    }
    for (auto it = gates.rbegin(); it != gates.rend(); ++it) {
        GateInstance inverse = *it;
        inverse.gate = it->gate.inverse();
        ASSERT_TRUE(apply_gate(t, inverse));
    }
    EXPECT_EQ(t, before);
}

TEST(Tableau, GateErrorsLeaveTheStateUnchanged) {
    Tableau t(3);
    ASSERT_TRUE(t.h(0));
    const Tableau before = t;
    EXPECT_EQ(t.cnot(1, 1).error(), StabError::duplicate_qubit(1));
    EXPECT_EQ(t.cnot(0, 3).error(), StabError::qubit_out_of_range(3, 3));
    EXPECT_EQ(t.cnot(7, 9).error(), StabError::qubit_out_of_range(7, 3));
    EXPECT_EQ(t.cnot(7, 7).error(), StabError::qubit_out_of_range(7, 3));
    EXPECT_EQ(t.iswap(2, 2).error(), StabError::duplicate_qubit(2));
    EXPECT_EQ(t.iswap_dg(0, 4).error(), StabError::qubit_out_of_range(4, 3));
    EXPECT_EQ(t.h(3).error(), StabError::qubit_out_of_range(3, 3));
    EXPECT_EQ(t.sdg(100).error(), StabError::qubit_out_of_range(100, 3));
    StdRng rng = StdRng::seed_from_u64(1);
    EXPECT_EQ(t.measure(3, rng).error(), StabError::qubit_out_of_range(3, 3));
    EXPECT_EQ(t, before);
    EXPECT_EQ(t.cnot(1, 1).error().message(), "duplicate qubit 1 in gate or query");
    EXPECT_EQ(t.h(3).error().message(), "qubit 3 out of range for 3-qubit state");
}

TEST(Tableau, LayoutSwitchesOnlyWhenNeeded) {
    Tableau t(5);
    EXPECT_EQ(t.layout(), Layout::GeneratorMajor);
    ASSERT_TRUE(t.h(0) && t.cnot(0, 1));
    EXPECT_EQ(t.layout(), Layout::QubitMajor);
    EXPECT_EQ(t.x().rows(), 5u);
    EXPECT_EQ(t.x().cols(), 11u);
    StdRng rng = StdRng::seed_from_u64(2);
    ASSERT_TRUE(t.measure(4, rng));
    EXPECT_EQ(t.layout(), Layout::GeneratorMajor);
    ASSERT_TRUE(t.measure(0, rng));
    EXPECT_EQ(t.layout(), Layout::GeneratorMajor);
    // A failed gate may switch the layout but changes no bit of the state.
    Tableau copy = t;
    ASSERT_FALSE(t.h(9));
    t.to_generator_major();
    EXPECT_EQ(t, copy);
}

TEST(Tableau, RowOperations) {
    Tableau t(2);
    ASSERT_TRUE(t.h(0) && t.h(1));  // stabilisers X0, X1; destabilisers Z0, Z1
    t.copy_row(4, 2);
    EXPECT_TRUE(t.x_bit(4, 0));
    EXPECT_FALSE(t.x_bit(4, 1));
    t.rowsum(4, 3);  // X1 · X0 = X0 X1
    EXPECT_TRUE(t.x_bit(4, 0) && t.x_bit(4, 1));
    EXPECT_FALSE(t.sign(4));
    t.rowsum(4, 0);  // Z0 · X0X1 = i Y0 X1: g = 1, sign stays 0 by the rule
    EXPECT_TRUE(t.z_bit(4, 0));
    t.zero_row(4);
    for (std::size_t q = 0; q < 2; ++q) {
        EXPECT_FALSE(t.x_bit(4, q) || t.z_bit(4, q));
    }
    EXPECT_THROW(t.rowsum(5, 0), InvariantError);
    EXPECT_THROW(t.rowsum(1, 1), InvariantError);
}

TEST(Tableau, MeasureDrawsOnlyWhenRandom) {
    Tableau t(2);
    ASSERT_TRUE(t.x_gate(0));
    StdRng rng = StdRng::seed_from_u64(9);
    StdRng untouched = StdRng::seed_from_u64(9);
    EXPECT_EQ(t.measure(0, rng).value(), 1);
    EXPECT_EQ(t.measure(1, rng).value(), 0);
    EXPECT_EQ(rng.next_u64(), untouched.next_u64());

    for (std::uint64_t seed = 0; seed < 16; ++seed) {
        Tableau h(1);
        ASSERT_TRUE(h.h(0));
        StdRng r = StdRng::seed_from_u64(seed);
        StdRng expected = StdRng::seed_from_u64(seed);
        const std::uint8_t outcome = h.measure(0, r).value();
        EXPECT_EQ(outcome, expected.next_u32() >> 31);
        // Collapsed: measuring again repeats the outcome without drawing.
        EXPECT_EQ(h.measure(0, r).value(), outcome);
        EXPECT_EQ(r.next_u32(), expected.next_u32());
    }
}

// Random Clifford circuits with mid-circuit measurements against the dense
// reference: determined outcomes are certain there, random ones have p = 1/2,
// and the final stabilisers hold on the dense state.
TEST(Tableau, RandomCircuitsMatchDenseReference) {
    std::mt19937_64 gen(2024);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t n = 2 + trial % 8;
        Tableau t(n);
        DenseState dense(n);
        StdRng rng = StdRng::seed_from_u64(static_cast<std::uint64_t>(trial));
        for (int step = 0; step < 40; ++step) {
            if (gen() % 6 == 0) {
                const Qubit q = static_cast<Qubit>(gen() % n);
                const double p1 = dense.prob_one(q);
                const int outcome = t.measure(q, rng).value();
                if (p1 < 1e-9 || p1 > 1 - 1e-9) {
                    ASSERT_EQ(outcome, p1 > 0.5 ? 1 : 0) << "trial " << trial;
                } else {
                    ASSERT_NEAR(p1, 0.5, 1e-9);
                }
                dense.project(q, outcome);
            } else {
                const GateInstance g = random_clifford(n, gen);
                ASSERT_TRUE(apply_gate(t, g));
                dense.apply(g);
            }
        }
        expect_same_state(t, dense);
    }
}

// Measuring after every gate forces a layout switch per operation; the same
// circuit with gates and measurements in long runs switches twice. Both must
// give the same outcomes, draws and final tableau.
TEST(Tableau, ForcedSwitchingGivesSameResults) {
    std::mt19937_64 gen(77);
    const std::size_t n = 70;
    std::vector<GateInstance> gates;
    for (int i = 0; i < 500; ++i) {
        gates.push_back(random_clifford(n, gen));
    }
    Tableau lazy(n), forced(n);
    StdRng rng_lazy = StdRng::seed_from_u64(4), rng_forced = StdRng::seed_from_u64(4);
    for (const GateInstance& g : gates) {
        ASSERT_TRUE(apply_gate(lazy, g));
        ASSERT_TRUE(apply_gate(forced, g));
        forced.to_generator_major();
        forced.to_qubit_major();
        forced.to_generator_major();
    }
    for (Qubit q = 0; q < n; ++q) {
        const auto a = lazy.measure(q, rng_lazy);
        forced.to_qubit_major();
        const auto b = forced.measure(q, rng_forced);
        ASSERT_EQ(a.value(), b.value()) << q;
    }
    EXPECT_EQ(lazy, forced);
    EXPECT_EQ(rng_lazy.next_u64(), rng_forced.next_u64());
}

TEST(Tableau, PermuteQubits) {
    Tableau t(3);
    ASSERT_TRUE(t.x_gate(0) && t.h(2));
    const std::vector<Qubit> perm{2, 0, 1};
    t.permute_qubits(perm);
    // Qubit 0 is old qubit 2 (|+>), qubit 1 old qubit 0 (|1>), qubit 2 old qubit 1 (|0>).
    StdRng rng = StdRng::seed_from_u64(0);
    EXPECT_EQ(t.measure(1, rng).value(), 1);
    EXPECT_EQ(t.measure(2, rng).value(), 0);
    StdRng fresh = StdRng::seed_from_u64(0);
    EXPECT_EQ(t.measure(0, rng).value(), fresh.next_u32() >> 31);
    const std::vector<Qubit> bad{0, 0, 1};
    EXPECT_THROW(t.permute_qubits(bad), InvariantError);
}

}  // namespace
}  // namespace nivra::stab
