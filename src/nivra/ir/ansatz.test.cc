#include "nivra/ir/ansatz.h"

#include <gtest/gtest.h>

#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;

TEST(BuildHea, LayersAndParameters) {
    std::vector<double> params{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9};
    auto c = build_hea(3, 2, params);
    ASSERT_TRUE(c);
    ASSERT_EQ(c->size(), 13U);
    const auto& list = c->instructions();
    EXPECT_EQ(list[0], Instruction(gi(Gate::ry(0.1), {0})));
    EXPECT_EQ(list[2], Instruction(gi(Gate::ry(0.3), {2})));
    EXPECT_EQ(list[3], Instruction(gi(Gate::cnot(), {0, 1})));
    EXPECT_EQ(list[4], Instruction(gi(Gate::cnot(), {1, 2})));
    EXPECT_EQ(list[5], Instruction(gi(Gate::ry(0.4), {0})));
    EXPECT_EQ(list[10], Instruction(gi(Gate::ry(0.7), {0})));
    EXPECT_EQ(list[12], Instruction(gi(Gate::ry(0.9), {2})));

    params.pop_back();
    EXPECT_EQ(build_hea(3, 2, params).error().message(), "expected 9 params (n_qubits*(depth+1)), got 8");
}

TEST(BuildHea, SmallShapes) {
    std::vector<double> p{1.0, 2.0};
    auto depth0 = build_hea(2, 0, p);
    ASSERT_TRUE(depth0);
    EXPECT_EQ(depth0->size(), 2U);
    auto single = build_hea(1, 1, p);
    ASSERT_TRUE(single);
    EXPECT_EQ(single->size(), 2U);  // no Cnot on one qubit
    // No qubits: no layers walked, even for a huge depth.
    auto none = build_hea(0, 4'000'000'000U, {});
    ASSERT_TRUE(none);
    EXPECT_EQ(none->num_qubits(), 0U);
    EXPECT_TRUE(none->empty());
}

TEST(BuildHea, TooManyQubitsIsAnError) {
    std::vector<double> p(70000, 0.0);
    EXPECT_EQ(build_hea(70000, 0, p).error().message(), "too many qubits: requested 70000, max 65535");
}

TEST(BuildQaoa, Structure) {
    std::vector<Edge> edges{{0, 1}, {1, 2}};
    std::vector<double> gammas{0.5};
    std::vector<double> betas{0.25};
    auto c = build_qaoa(3, edges, gammas, betas);
    ASSERT_TRUE(c);
    ASSERT_EQ(c->size(), 3U + 6U + 3U);
    const auto& list = c->instructions();
    EXPECT_EQ(list[3], Instruction(gi(Gate::cnot(), {0, 1})));
    EXPECT_EQ(list[4], Instruction(gi(Gate::rz(1.0), {1})));
    EXPECT_EQ(list[5], Instruction(gi(Gate::cnot(), {0, 1})));
    EXPECT_EQ(list[9], Instruction(gi(Gate::rx(0.5), {0})));
}

TEST(BuildQaoa, Errors) {
    std::vector<Edge> bad{{0, 7}};
    std::vector<double> none;
    auto only_h = build_qaoa(2, bad, none, none);  // edges never looked at
    ASSERT_TRUE(only_h);
    EXPECT_EQ(only_h->size(), 2U);
    std::vector<double> two{1, 2};
    std::vector<double> three{1, 2, 3};
    EXPECT_EQ(build_qaoa(2, {}, two, three).error().message(),
              "gammas has 2 angles but betas has 3 (must match = QAOA depth p)");
    EXPECT_EQ(build_qaoa(2, bad, two, two).error().message(), "qubit 7 out of range (circuit has 2 qubits)");
    std::vector<Edge> loop{{1, 1}};
    EXPECT_EQ(build_qaoa(2, loop, two, two).error().message(), "duplicate qubit index 1 in instruction");
    EXPECT_EQ(build_qaoa(65536, {}, two, two).error().message(), "too many qubits: requested 65536, max 65535");
    auto no_edges = build_qaoa(2, {}, two, two);
    ASSERT_TRUE(no_edges);
    EXPECT_EQ(no_edges->size(), 2U + 2U * 2U);
}

TEST(MaxcutPauliSum, Terms) {
    auto empty = maxcut_pauli_sum(3, {});
    ASSERT_TRUE(empty);
    ASSERT_EQ(empty->terms.size(), 1U);
    EXPECT_EQ(empty->terms[0].coeff, 0.0);
    EXPECT_TRUE(empty->terms[0].ops.empty());

    std::vector<Edge> edges{{2, 0}, {1, 2}, {0, 1}};
    auto sum = maxcut_pauli_sum(3, edges);
    ASSERT_TRUE(sum);
    ASSERT_EQ(sum->terms.size(), 4U);
    EXPECT_EQ(sum->terms[0].coeff, 1.5);
    EXPECT_EQ(sum->terms[1].ops, (std::vector<PauliOp>{{0, Pauli::Z}, {2, Pauli::Z}}));
    EXPECT_EQ(sum->terms[1].coeff, -0.5);

    std::vector<Edge> out{{0, 2}};
    EXPECT_EQ(maxcut_pauli_sum(2, out).error().message(), "edge (0,2) out of range for 2 qubits");
    std::vector<Edge> loop{{1, 1}};
    EXPECT_EQ(maxcut_pauli_sum(2, loop).error().message(), "duplicate qubit 1 in Pauli string");
}

}  // namespace
}  // namespace nivra::ir
