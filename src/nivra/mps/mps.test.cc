#include "nivra/mps/mps.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "nivra/core/error.h"
#include "nivra/mps/dense_reference.test.h"
#include "nivra/mps/linalg.h"

namespace nivra::mps {
namespace {

using testing::Dense;
using testing::dense_apply;
using testing::dense_apply_matrix;
using testing::dense_zero;
using testing::instance;
using testing::max_abs_diff;
using testing::to_dense;

const TruncationPolicy EXACT = TruncationPolicy::fixed(1024);

Matrix4 m4_of(const Gate& gate) { return gate.matrix()->m4(); }
Matrix2 m2_of(const Gate& gate) { return gate.matrix()->m2(); }

// A random state on n qubits (all bonds filled up to 2^min(k, n-k)), with the
// same gates applied to a dense reference.
MpsState random_state(std::size_t n, std::uint64_t seed, Dense* dense = nullptr, int layers = 4) {
    std::mt19937_64 gen(seed);
    MpsState state = MpsState::with_policy(n, EXACT);
    Dense psi = dense_zero(n);
    for (int layer = 0; layer < layers; ++layer) {
        for (std::size_t q = 0; q < n; ++q) {
            auto u = testing::random_unitary(2, gen);
            Matrix2 m{u[0], u[1], u[2], u[3]};
            state.apply_1q(q, m);
            dense_apply_matrix(psi, u, {static_cast<Qubit>(q)});
        }
        for (std::size_t q = layer % 2; q + 1 < n; q += 2) {
            auto u = testing::random_unitary(4, gen);
            Matrix4 m;
            std::copy(u.begin(), u.end(), m.begin());
            EXPECT_TRUE(state.apply_2q_adjacent(q, q + 1, m).has_value());
            dense_apply_matrix(psi, u, {static_cast<Qubit>(q), static_cast<Qubit>(q + 1)});
        }
    }
    if (dense) *dense = psi;
    return state;
}

TEST(MpsState, WithPolicyBuildsTheZeroProductState) {
    MpsState empty = MpsState::with_policy(0, EXACT);
    EXPECT_EQ(empty.num_qubits(), 0u);
    EXPECT_TRUE(empty.sites().empty());

    MpsState state = MpsState::with_policy(3, TruncationPolicy::fixed(7));
    ASSERT_EQ(state.num_qubits(), 3u);
    for (const Site& site : state.sites()) {
        EXPECT_EQ(site.chi_left, 1u);
        EXPECT_EQ(site.chi_right, 1u);
        EXPECT_EQ(site.data, (std::vector<Complex>{Complex(1, 0), Complex(0, 0)}));
    }
    EXPECT_EQ(state.site_to_qubit(), (std::vector<Qubit>{0, 1, 2}));
    EXPECT_EQ(state.qubit_to_site(), (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(state.center(), 0u);
    EXPECT_EQ(state.discarded_weight(), 0.0);
    EXPECT_EQ(state.max_bond_reached(), 1u);
    EXPECT_EQ(state.swap_count(), 0u);
    EXPECT_EQ(state.free_swap_count(), 0u);
    EXPECT_EQ(state.workspace_entries(), 0u);
    EXPECT_EQ(state.policy(), TruncationPolicy::fixed(7));
}

TEST(Site, ViewsShareOneBufferAndCheckTheSizeInvariant) {
    Site site;
    site.chi_left = 2;
    site.chi_right = 3;
    site.data.resize(12);
    for (std::size_t i = 0; i < 12; ++i) site.data[i] = Complex(static_cast<double>(i), 0);
    EXPECT_EQ(site.at(1, 1, 2), Complex(11, 0));
    EXPECT_EQ(site.left_view()(3, 2), Complex(11, 0));   // row 2·1 + 1
    EXPECT_EQ(site.right_view()(1, 5), Complex(11, 0));  // column 1·3 + 2
    EXPECT_EQ(site.at(0, 1, 0), Complex(3, 0));
    EXPECT_THROW(site.at(2, 0, 0), InvariantError);

    site.data.pop_back();
    try {
        site.left_view();
        FAIL() << "expected InvariantError";
    } catch (const InvariantError& e) {
        EXPECT_STREQ(e.what(), "assertion failed: size == Some(len)");
    }
    EXPECT_THROW(site.right_view(), InvariantError);
}

TEST(Site, FillsFromFactorsWithConjugationAndScale) {
    CMatrix v(4, 2);
    v << Complex(1, 1), Complex(2, 0), Complex(0, 3), Complex(4, -1), Complex(5, 0), Complex(6, 6), Complex(7, 0),
        Complex(8, 0);
    const std::vector<double> scale{2.0, 0.5};
    Site site;
    site.fill_right_from_scaled_conj(v, scale, 2, 2);
    ASSERT_EQ(site.chi_left, 2u);
    ASSERT_EQ(site.chi_right, 2u);
    for (Eigen::Index i = 0; i < 2; ++i)
        for (Eigen::Index j = 0; j < 4; ++j)
            EXPECT_EQ(site.right_view()(i, j), std::conj(v(j, i)) * scale[static_cast<std::size_t>(i)]);

    Site left;
    left.fill_left_from(v, 2, 1);  // only the first column is used
    ASSERT_EQ(left.data.size(), 4u);
    for (Eigen::Index r = 0; r < 4; ++r) EXPECT_EQ(left.left_view()(r, 0), v(r, 0));
    EXPECT_THROW(left.fill_left_from(v, 3, 1), InvariantError);
}

TEST(TruncationPolicy, KeptDimensionFollowsTheRule) {
    const std::vector<double> tail{1.0, 0.5, 0.2, 0.05, 0.0};
    EXPECT_EQ(TruncationPolicy::fixed(2).kept_dimension(4, tail), 2u);
    EXPECT_EQ(TruncationPolicy::fixed(10).kept_dimension(3, tail), 3u);
    EXPECT_EQ(TruncationPolicy::fixed(0).kept_dimension(4, tail), 1u);  // max_bond 0 counts as 1
    EXPECT_EQ(TruncationPolicy::cutoff(0.2, 10).kept_dimension(4, tail), 2u);
    EXPECT_EQ(TruncationPolicy::cutoff(0.01, 10).kept_dimension(4, tail), 4u);  // none small enough: the cap
    EXPECT_EQ(TruncationPolicy::cutoff(0.6, 3).kept_dimension(4, tail), 1u);
    EXPECT_EQ(TruncationPolicy::cutoff(0.01, 2).kept_dimension(4, tail), 2u);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(TruncationPolicy::cutoff(0.3, 3).kept_dimension(3, std::vector<double>{1.0, nan, 0.2, 0.0}), 2u);
    EXPECT_EQ(TruncationPolicy::cutoff(nan, 3).kept_dimension(3, tail), 3u);
    EXPECT_THROW(TruncationPolicy::fixed(2).kept_dimension(4, std::vector<double>{1.0, 0.0}), InvariantError);
}

TEST(MoveCenter, ToTheCurrentCentreChangesNothing) {
    MpsState state = random_state(5, 1);
    const std::size_t center = state.center();
    const std::vector<Site> before = state.sites();
    state.move_center_to(center);
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(state.site(k).data, before[k].data);
    EXPECT_THROW(state.move_center_to(5), InvariantError);
}

TEST(MoveCenter, ProductStateKeepsBondOneAndAmplitudes) {
    MpsState state = MpsState::with_policy(4, EXACT);
    state.apply_1q(1, m2_of(Gate::h()));
    state.apply_1q(3, m2_of(Gate::u3(0.3, 0.2, -1.1)));
    const Dense before = to_dense(state);
    state.move_center_to(3);
    EXPECT_EQ(state.center(), 3u);
    for (const Site& site : state.sites()) {
        EXPECT_EQ(site.chi_left, 1u);
        EXPECT_EQ(site.chi_right, 1u);
    }
    state.move_center_to(0);
    EXPECT_EQ(state.center(), 0u);
    for (const Site& site : state.sites()) EXPECT_EQ(site.chi_right, 1u);
    EXPECT_LT(max_abs_diff(to_dense(state), before), 1e-14);
}

TEST(MoveCenter, LeavesLeftAndRightCanonicalSites) {
    Dense dense;
    MpsState state = random_state(7, 2, &dense);
    for (std::size_t target : {6u, 0u, 3u, 5u, 1u}) {
        state.move_center_to(target);
        ASSERT_EQ(state.center(), target);
        for (std::size_t k = 0; k < target; ++k) {
            ConstRowMap a = state.site(k).left_view();
            const auto cols = a.cols();
            EXPECT_LT((a.adjoint() * a - RowMatrix::Identity(cols, cols)).cwiseAbs().maxCoeff(), 1e-12) << k;
        }
        for (std::size_t k = target + 1; k < 7; ++k) {
            ConstRowMap b = state.site(k).right_view();
            const auto rows = b.rows();
            EXPECT_LT((b * b.adjoint() - RowMatrix::Identity(rows, rows)).cwiseAbs().maxCoeff(), 1e-12) << k;
        }
        for (std::size_t k = 0; k + 1 < 7; ++k) {
            EXPECT_EQ(state.site(k).chi_right, state.site(k + 1).chi_left);
            // QR never grows a bond beyond its rank bound.
            EXPECT_LE(state.site(k).chi_right, std::size_t{1} << std::min(k + 1, 6 - k));
        }
        // The norm is the centre site's norm.
        double norm_sq = 0;
        for (const Complex& z : state.site(target).data) norm_sq += std::norm(z);
        EXPECT_NEAR(norm_sq, 1.0, 1e-12);
        EXPECT_LT(max_abs_diff(to_dense(state), dense), 1e-12);
    }
}

TEST(Copy, IsIndependentAndStartsWithoutWorkspace) {
    MpsState state = random_state(6, 3);
    ASSERT_GT(state.workspace_entries(), 0u);
    state.swap_by_relabel(0, 4);
    MpsState copy(state);
    EXPECT_EQ(copy.workspace_entries(), 0u);
    EXPECT_EQ(copy.center(), state.center());
    EXPECT_EQ(copy.discarded_weight(), state.discarded_weight());
    EXPECT_EQ(copy.max_bond_reached(), state.max_bond_reached());
    EXPECT_EQ(copy.swap_count(), state.swap_count());
    EXPECT_EQ(copy.free_swap_count(), state.free_swap_count());
    EXPECT_EQ(copy.site_to_qubit(), state.site_to_qubit());
    EXPECT_EQ(copy.qubit_to_site(), state.qubit_to_site());
    EXPECT_EQ(copy.policy(), state.policy());

    const Dense original = to_dense(state);
    copy.apply_1q(2, m2_of(Gate::x()));
    ASSERT_TRUE(copy.apply_2q_routed(1, 5, m4_of(Gate::cry(0.7))).has_value());
    copy.move_center_to(0);
    EXPECT_EQ(to_dense(state), original);

    MpsState assigned = MpsState::with_policy(1, EXACT);
    assigned = state;
    EXPECT_EQ(assigned.workspace_entries(), 0u);
    EXPECT_EQ(to_dense(assigned), original);
}

TEST(TwoSite, BellPairHasTwoEqualSingularValues) {
    MpsState state = MpsState::with_policy(2, EXACT);
    state.apply_1q(0, m2_of(Gate::h()));
    ASSERT_TRUE(state.apply_2q_adjacent(0, 1, m4_of(Gate::cnot())).has_value());
    EXPECT_EQ(state.max_bond_reached(), 2u);
    EXPECT_EQ(state.discarded_weight(), 0.0);
    EXPECT_EQ(state.center(), 1u);
    ASSERT_EQ(state.site(1).chi_left, 2u);
    // Site 1 is diag(s)·V^H: its row norms are the singular values.
    ConstRowMap right = state.site(1).right_view();
    EXPECT_NEAR(right.row(0).norm(), 1 / std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(right.row(1).norm(), 1 / std::sqrt(2.0), 1e-15);
    const Dense psi = to_dense(state);
    EXPECT_NEAR(psi[0].real(), 1 / std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(psi[3].real(), 1 / std::sqrt(2.0), 1e-15);
    EXPECT_NEAR(std::abs(psi[1]) + std::abs(psi[2]), 0.0, 1e-15);
}

TEST(TwoSite, GateOrderFollowsTargetsNotTheChain) {
    // |q1 q0> = |01>: qubit 0 is 1.
    for (const bool control_first : {true, false}) {
        MpsState state = MpsState::with_policy(2, EXACT);
        state.apply_1q(0, m2_of(Gate::x()));
        Dense psi = dense_zero(2);
        dense_apply(psi, instance(Gate::x(), {0}));
        const Qubit control = control_first ? 0 : 1;
        const Qubit target = control_first ? 1 : 0;
        ASSERT_TRUE(state.apply_2q_routed(control, target, m4_of(Gate::cnot())).has_value());
        dense_apply(psi, instance(Gate::cnot(), {control, target}));
        EXPECT_LT(max_abs_diff(to_dense(state), psi), 1e-14);
        // Control 0 (set) flips qubit 1 -> |11>; control 1 (clear) does nothing -> |01>.
        EXPECT_NEAR(std::abs(to_dense(state)[control_first ? 3 : 1]), 1.0, 1e-14);
    }
}

TEST(TwoSite, NonAdjacentSitesAreRefusedWithoutChange) {
    MpsState state = random_state(4, 4);
    const Dense before = to_dense(state);
    const std::size_t center = state.center();
    auto result = state.apply_2q_adjacent(0, 2, m4_of(Gate::cz()));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), MpsError::non_adjacent(0, 2));
    EXPECT_EQ(state.apply_2q_adjacent(1, 1, m4_of(Gate::cz())).error(), MpsError::non_adjacent(1, 1));
    EXPECT_EQ(state.center(), center);
    EXPECT_EQ(to_dense(state), before);
}

TEST(TwoSite, AllZeroBlockKeepsOneValueWithScaleOne) {
    MpsState state = MpsState::with_policy(2, EXACT);
    ASSERT_TRUE(state.apply_2q_adjacent(0, 1, Matrix4{}).has_value());
    EXPECT_EQ(state.max_bond_reached(), 1u);
    EXPECT_EQ(state.discarded_weight(), 0.0);
    EXPECT_EQ(state.site(0).chi_right, 1u);
    for (const Complex& z : to_dense(state)) EXPECT_EQ(std::abs(z), 0.0);
}

TEST(TwoSite, PartsFarBelowTheBlocksScaleBecomeZero) {
    // (|0⟩ + ε|1⟩) ⊗ |+⟩, then CZ: the block [[1, 1], [ε, -ε]]/√2 has rank 1
    // and its singular vector carries ε, unless zeroing negligible parts
    // removed it first.
    for (const double epsilon : {1e-100, 1e-50}) {
        MpsState state = MpsState::with_policy(2, EXACT);
        state.apply_1q(0, m2_of(Gate::ry(2 * epsilon)));
        state.apply_1q(1, m2_of(Gate::h()));
        ASSERT_TRUE(state.apply_2q_adjacent(0, 1, m4_of(Gate::cz())).has_value());
        const Dense psi = to_dense(state);
        const double expected = epsilon < NEGLIGIBLE_PART_RATIO ? 0.0 : epsilon / std::sqrt(2.0);
        EXPECT_NEAR(std::abs(psi[0b01]), expected, 1e-15 * expected) << epsilon;  // qubit 0 set alone
        EXPECT_NEAR(std::abs(psi[0b11]), expected, 1e-15 * expected) << epsilon;
        EXPECT_NEAR(std::abs(psi[0b00]), std::sqrt(0.5), 1e-15);
    }
}

TEST(Routing, NonAdjacentGateMovesTheHigherQubitDown) {
    std::mt19937_64 gen(5);
    Dense psi;
    MpsState state = random_state(4, 6, &psi, 2);
    const Gate gate = testing::random_2q_gate(gen);
    const Gate g = gate.kind() == GateKind::Swap ? Gate::iswap() : gate;
    ASSERT_TRUE(state.apply_2q_routed(0, 3, m4_of(g)).has_value());
    dense_apply(psi, instance(g, {0, 3}));
    EXPECT_EQ(state.swap_count(), 2u);
    EXPECT_EQ(state.qubit_to_site(), (std::vector<std::size_t>{0, 2, 3, 1}));
    EXPECT_EQ(state.site_to_qubit(), (std::vector<Qubit>{0, 3, 1, 2}));
    EXPECT_LT(max_abs_diff(to_dense(state), psi), 1e-12);

    // Nothing is swapped back: qubits 0 and 3 are now neighbours.
    ASSERT_TRUE(state.apply_2q_routed(3, 0, m4_of(Gate::crx(0.4))).has_value());
    dense_apply(psi, instance(Gate::crx(0.4), {3, 0}));
    EXPECT_EQ(state.swap_count(), 2u);
    EXPECT_LT(max_abs_diff(to_dense(state), psi), 1e-12);
}

TEST(Routing, SwapByRelabellingTouchesOnlyTheTables) {
    MpsState state = random_state(6, 7);
    const std::vector<Site> before = state.sites();
    Dense psi = to_dense(state);
    state.swap_by_relabel(0, 5);
    dense_apply(psi, instance(Gate::swap(), {0, 5}));
    EXPECT_EQ(state.free_swap_count(), 1u);
    EXPECT_EQ(state.qubit_to_site()[0], 5u);
    EXPECT_EQ(state.qubit_to_site()[5], 0u);
    for (std::size_t k = 0; k < 6; ++k) EXPECT_EQ(state.site(k).data, before[k].data);
    EXPECT_LT(max_abs_diff(to_dense(state), psi), 1e-15);

    ASSERT_TRUE(state.apply_2q_routed(0, 4, m4_of(Gate::cnot())).has_value());
    dense_apply(psi, instance(Gate::cnot(), {0, 4}));
    EXPECT_EQ(state.swap_count(), 0u);
    EXPECT_LT(max_abs_diff(to_dense(state), psi), 1e-12);
}

TEST(Relabel, RenamesQubitsThroughThePermutation) {
    Dense psi;
    MpsState state = random_state(3, 8, &psi);
    const std::vector<Qubit> perm{2, 0, 1};
    state.relabel(perm);
    // New qubit q is old qubit perm[q].
    Dense expected(psi.size());
    for (std::uint64_t x = 0; x < psi.size(); ++x) {
        std::uint64_t old_index = 0;
        for (Qubit q = 0; q < 3; ++q)
            if ((x >> q) & 1) old_index |= std::uint64_t{1} << perm[q];
        expected[x] = psi[old_index];
    }
    EXPECT_LT(max_abs_diff(to_dense(state), expected), 1e-15);
    EXPECT_THROW(state.relabel(std::vector<Qubit>{0, 0, 1}), InvariantError);
    EXPECT_THROW(state.relabel(std::vector<Qubit>{0, 1}), InvariantError);
}

TEST(Truncation, KeepsTheLargestSchmidtWeightsAndRenormalises) {
    // Bonds 0 and 2 are exact (dimension 2); the gate on sites 1, 2 needs
    // dimension 4 at bond 1 and is cut to 2.
    std::mt19937_64 gen(9);
    MpsState state = MpsState::with_policy(4, TruncationPolicy::fixed(2));
    Dense psi = dense_zero(4);
    auto apply_random = [&](Qubit a, Qubit b) {
        auto u = testing::random_unitary(4, gen);
        Matrix4 m;
        std::copy(u.begin(), u.end(), m.begin());
        ASSERT_TRUE(state.apply_2q_adjacent(a, b, m).has_value());
        dense_apply_matrix(psi, u, {a, b});
    };
    apply_random(0, 1);
    apply_random(2, 3);
    EXPECT_EQ(state.discarded_weight(), 0.0);
    apply_random(2, 1);  // first qubit on the right-hand site

    // Reference: Schmidt decomposition across (qubits 0, 1) | (qubits 2, 3).
    Eigen::MatrixXcd split(4, 4);
    for (std::uint64_t x = 0; x < 16; ++x)
        split(static_cast<Eigen::Index>(x & 3), static_cast<Eigen::Index>(x >> 2)) = psi[x];
    Eigen::JacobiSVD<Eigen::MatrixXcd> svd(split, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::VectorXd& s = svd.singularValues();
    ASSERT_GT(s[2], 1e-3);  // really truncated
    const double dropped = s[2] * s[2] + s[3] * s[3];
    Eigen::MatrixXcd kept = svd.matrixU().leftCols(2) * s.head(2).cast<Complex>().asDiagonal() *
                            svd.matrixV().leftCols(2).adjoint() / std::sqrt(1.0 - dropped);
    Dense expected(16);
    for (std::uint64_t x = 0; x < 16; ++x)
        expected[x] = kept(static_cast<Eigen::Index>(x & 3), static_cast<Eigen::Index>(x >> 2));

    EXPECT_NEAR(state.discarded_weight(), dropped, 1e-12);
    EXPECT_EQ(state.max_bond_reached(), 2u);
    EXPECT_EQ(state.site(1).chi_right, 2u);
    const Dense got = to_dense(state);
    EXPECT_NEAR(testing::dense_norm_sq(got), 1.0, 1e-12);
    EXPECT_LT(max_abs_diff(got, expected), 1e-12);
}

TEST(Truncation, CutoffPolicyDropsASmallComponent) {
    // Unitary2q whose first column is √0.999|00> + √0.001|11>: Schmidt weights 0.999 and 0.001.
    const double a = std::sqrt(0.999), b = std::sqrt(0.001);
    Matrix4 m{};
    m[0] = a;
    m[12] = b;
    m[3] = -b;
    m[15] = a;
    m[5] = 1;
    m[10] = 1;
    for (const auto& [policy, kept] :
         {std::pair{TruncationPolicy::cutoff(0.01, 8), 1u}, std::pair{TruncationPolicy::cutoff(1e-4, 8), 2u},
          std::pair{TruncationPolicy::fixed(1), 1u}}) {
        MpsState state = MpsState::with_policy(2, policy);
        ASSERT_TRUE(state.apply_2q_adjacent(0, 1, m).has_value());
        EXPECT_EQ(state.max_bond_reached(), kept);
        const Dense psi = to_dense(state);
        if (kept == 1) {
            EXPECT_NEAR(state.discarded_weight(), 0.001, 1e-14);
            EXPECT_NEAR(std::abs(psi[0]), 1.0, 1e-14);
            EXPECT_NEAR(std::abs(psi[3]), 0.0, 1e-14);
        } else {
            EXPECT_NEAR(state.discarded_weight(), 0.0, 1e-30);
            EXPECT_NEAR(std::abs(psi[3]), b, 1e-14);
        }
    }
}

TEST(Truncation, DeepCircuitStaysNormalisedUnderASmallCap) {
    // 16 qubits, random brickwork, cap 6: every bond at most 6, norm 1.
    std::mt19937_64 gen(10);
    MpsState state = MpsState::with_policy(16, TruncationPolicy::fixed(6));
    for (int layer = 0; layer < 12; ++layer) {
        for (std::size_t q = layer % 2; q + 1 < 16; q += 2) {
            auto u = testing::random_unitary(4, gen);
            Matrix4 m;
            std::copy(u.begin(), u.end(), m.begin());
            ASSERT_TRUE(state.apply_2q_adjacent(q, q + 1, m).has_value());
        }
    }
    EXPECT_EQ(state.max_bond_reached(), 6u);
    EXPECT_GT(state.discarded_weight(), 0.0);
    for (const Site& site : state.sites()) EXPECT_LE(site.chi_right, 6u);
    EXPECT_NEAR(testing::dense_norm_sq(to_dense(state)), 1.0, 1e-10);
}

TEST(Workspace, GrowsToTheLargestBlockAndIsReused) {
    MpsState state = random_state(8, 11);
    state.move_center_to(7);
    state.move_center_to(0);
    const std::size_t grown = state.workspace_entries();
    ASSERT_GT(grown, 0u);
    // Small updates at the chain's end reuse the larger buffers.
    state.apply_1q(0, m2_of(Gate::h()));
    ASSERT_TRUE(state.apply_2q_adjacent(0, 1, m4_of(Gate::cz())).has_value());
    state.move_center_to(7);
    state.move_center_to(0);
    EXPECT_EQ(state.workspace_entries(), grown);
}

}  // namespace
}  // namespace nivra::mps
