#include "nivra/run/run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/core/error.h"
#include "nivra/stab/dense_reference.test.h"
#include "nivra/sv/backend.h"
#include "nivra/sv/test_util.h"

namespace nivra::run {
namespace {

using stab::testing::make_gate;
using stab::testing::random_clifford;

std::uint64_t total(const Histogram& histogram) {
    std::uint64_t sum = 0;
    for (const auto& [outcome, count] : histogram.entries) sum += count;
    return sum;
}

// Each path's histogram of a random Clifford circuit against the outcome
// probabilities of the state-vector path's final state: a stabilizer state's
// outcomes are uniform over an affine subspace, so every outcome with
// non-zero probability shows at these shot counts, none other does, and each
// count lies within a few standard deviations of its expectation.
TEST(Run, EveryPathSamplesTheStateVectorDistribution) {
    std::mt19937_64 gen(2024);
    const std::uint32_t n = 5, shots = 4000;
    for (int trial = 0; trial < 6; ++trial) {
        ir::Circuit circuit(n);
        for (int g = 0; g < 40; ++g) ASSERT_TRUE(circuit.add_gate(random_clifford(n, gen)));
        const PathOutcome sv = run_statevector(circuit, shots, 7 + trial);
        ASSERT_TRUE(sv.has_value()) << sv.error();
        ASSERT_TRUE(sv->state.has_value());
        std::vector<double> probability(std::size_t{1} << n);
        for (std::size_t x = 0; x < probability.size(); ++x) probability[x] = std::norm(sv->state->amps[x]);

        const PathOutcome stab = run_stabilizer(circuit, shots, 11 + trial);
        const PathOutcome mps = run_mps(circuit, shots, 13 + trial);
        for (const PathOutcome* path : {&sv, &stab, &mps}) {
            ASSERT_TRUE(path->has_value()) << path->error();
            const Histogram& histogram = (*path)->counts;
            EXPECT_EQ(histogram.num_qubits, n);
            EXPECT_EQ(total(histogram), shots);
            std::size_t support = 0;
            for (double p : probability) support += p > 1e-9 ? 1 : 0;
            EXPECT_EQ(histogram.entries.size(), support) << "trial " << trial;
            for (const auto& [outcome, count] : histogram.entries) {
                ASSERT_LT(outcome, probability.size());
                const double p = probability[outcome];
                const double sigma = std::sqrt(shots * p * (1 - p));
                EXPECT_GT(p, 1e-9);
                EXPECT_LE(std::abs(static_cast<double>(count) - shots * p), 6 * sigma + 1) << outcome;
            }
        }
        EXPECT_FALSE(stab->state.has_value());
        EXPECT_FALSE(mps->state.has_value());
    }
}

TEST(Run, SeededPathsReproduceAndLeaveTheCircuit) {
    ir::Circuit circuit(3, 1);
    ASSERT_TRUE(circuit.add_gate(make_gate(Gate::h(), {0})));
    ASSERT_TRUE(circuit.add_gate(make_gate(Gate::h(), {1})));
    ASSERT_TRUE(circuit.add_gate(make_gate(Gate::cnot(), {1, 2})));
    const ir::Circuit before = circuit;
    for (auto* path : {&run_statevector, &run_stabilizer, &run_mps}) {
        const PathOutcome a = path(circuit, 500, 99);
        const PathOutcome b = path(circuit, 500, 99);
        ASSERT_TRUE(a.has_value() && b.has_value());
        EXPECT_EQ(a->counts.entries, b->counts.entries);
        // Outcomes 000, 001, 110, 111 only.
        for (const auto& [outcome, count] : a->counts.entries) EXPECT_TRUE(outcome <= 1 || outcome >= 6) << outcome;
        const PathOutcome unseeded = path(circuit, 10, std::nullopt);
        ASSERT_TRUE(unseeded.has_value());
        EXPECT_EQ(total(unseeded->counts), 10u);
    }
    EXPECT_EQ(circuit, before);
}

TEST(Run, ErrorsCarryTheirPathPrefix) {
    EXPECT_EQ(run_statevector(ir::Circuit(0), 10, 1).error(), "run sv: cannot run an empty circuit");
    EXPECT_EQ(run_stabilizer(ir::Circuit(0), 10, 1).error(), "run stab: cannot run an empty circuit");
    ir::Circuit t_gate(2);
    ASSERT_TRUE(t_gate.add_gate(make_gate(Gate::t(), {1})));
    EXPECT_EQ(run_stabilizer(t_gate, 10, 1).error(), "run stab: gate `T` is not supported by this backend");
    ir::Circuit wide(65);
    ASSERT_TRUE(wide.add_gate(make_gate(Gate::h(), {64})));
    EXPECT_EQ(run_mps(wide, 10, 1).error(), "sample: requested 65 qubits exceeds backend limit of 64");
    const std::string too_many = run_statevector(wide, 10, 1).error();
    EXPECT_EQ(too_many.rfind("run sv: ", 0), 0u) << too_many;
}

// ---- Exact cancellations ------------------------------------------------------

// Circuits that undo themselves across a barrier (so that no pass cancels the
// gates): the state returns to |0...0>, and with rounded products every other
// amplitude is an exact zero, never the rounding error of a product.
std::vector<std::pair<std::string, ir::Circuit>> interference_circuits() {
    std::vector<std::pair<std::string, ir::Circuit>> out;
    auto circuit = [](std::uint32_t n, const std::vector<GateInstance>& before) {
        ir::Circuit c(n);
        for (const GateInstance& g : before) EXPECT_TRUE(c.add_gate(g));
        ir::Barrier barrier;
        for (Qubit q = 0; q < n; ++q) barrier.qubits.push_back(q);
        EXPECT_TRUE(c.add_instruction(barrier));
        for (auto g = before.rbegin(); g != before.rend(); ++g) {
            GateInstance inverse = *g;
            inverse.gate = g->gate.kind() == GateKind::S ? Gate::sdg() : g->gate;
            EXPECT_TRUE(c.add_gate(inverse));
        }
        return c;
    };
    out.emplace_back("H | H", circuit(1, {make_gate(Gate::h(), {0})}));
    for (std::uint32_t n : {10u, 19u}) {
        std::vector<GateInstance> layer;
        for (Qubit q = 0; q < n; ++q) layer.push_back(make_gate(Gate::h(), {q}));
        out.emplace_back("H layer | H layer, " + std::to_string(n) + " qubits", circuit(n, layer));
    }
    out.emplace_back("Bell | Bell^-1", circuit(2, {make_gate(Gate::h(), {0}), make_gate(Gate::cnot(), {0, 1})}));
    std::vector<GateInstance> ghz = {make_gate(Gate::h(), {0})};
    for (Qubit q = 0; q + 1 < 5; ++q) ghz.push_back(make_gate(Gate::cnot(), {q, q + 1}));
    out.emplace_back("GHZ | GHZ^-1", circuit(5, ghz));
    out.emplace_back("H S | Sdg H", circuit(1, {make_gate(Gate::h(), {0}), make_gate(Gate::s(), {0})}));
    return out;
}

class ExactZeros : public testing::TestWithParam<sv::kernels::simd::Isa> {};

INSTANTIATE_TEST_SUITE_P(Isa, ExactZeros, testing::ValuesIn(sv::test::ALL_ISAS),
                         [](const testing::TestParamInfo<sv::kernels::simd::Isa>& info) {
                             return sv::test::isa_name(info.param);
                         });

// Optimised as nivra.run does it, and gate by gate as built.
TEST_P(ExactZeros, UndoneCircuitsLeaveExactZerosOnThisInstructionSet) {
    if (!sv::kernels::simd::isa_supported(GetParam())) {
        GTEST_SKIP() << sv::test::isa_name(GetParam()) << " is not supported by this processor";
    }
    const sv::test::ForcedIsa forced(GetParam());
    for (const auto& [name, circuit] : interference_circuits()) {
        const PathOutcome optimised = run_statevector(circuit, 0, 1);
        ASSERT_TRUE(optimised.has_value()) << optimised.error();
        sv::NaiveSvBackend backend = sv::NaiveSvBackend::with_seed(1);
        const auto plain = backend::run(backend, circuit);
        ASSERT_TRUE(plain.has_value()) << plain.error().message();
        for (const sv::CpuState* state : {&*optimised->state, &*plain}) {
            EXPECT_NEAR(state->amps[0].real(), 1.0, 1e-15) << name;
            std::size_t residues = 0;
            for (std::size_t i = 0; i < state->len(); ++i) {
                residues += i != 0 && state->amps[i] != Complex(0.0, 0.0) ? 1 : 0;
            }
            EXPECT_EQ(state->amps[0].imag(), 0.0) << name;
            EXPECT_EQ(residues, 0u) << name << (state == &*plain ? " (gate by gate)" : " (optimised)");
        }
    }
}

TEST(Histogram, KeysAndOrder) {
    EXPECT_EQ(histogram_key(0, 0), "0");
    EXPECT_EQ(histogram_key(1, 4), "0001");
    EXPECT_EQ(histogram_key(5, 3), "101");
    EXPECT_EQ(histogram_key(~std::uint64_t{0}, 64), std::string(64, '1'));

    Histogram histogram = counts_map({{0, 2}, {3, 1}}, 2);
    EXPECT_EQ(histogram.entries, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 2}, {3, 1}}));
    EXPECT_THROW(append_count(histogram, 3, 1), InvariantError);  // not ascending
    EXPECT_THROW(append_count(histogram, 4, 1), InvariantError);  // needs a third qubit
    EXPECT_THROW(counts_map({{1, 1}}, 0), InvariantError);
    Histogram wide = counts_map({{std::uint64_t{1} << 63, 1}}, 64);
    EXPECT_EQ(wide.entries.size(), 1u);
}

}  // namespace
}  // namespace nivra::run
