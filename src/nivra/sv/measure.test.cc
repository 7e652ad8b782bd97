#include "nivra/sv/measure.h"

#include <gtest/gtest.h>

#include <cmath>

#include "nivra/sv/backend.h"
#include "nivra/sv/test_util.h"

namespace nivra::sv {
namespace {

namespace t = nivra::sv::test;

std::string reason(const std::expected<std::vector<double>, BackendError>& r) { return r ? "ok" : r.error().message(); }

CpuState plus_state(std::uint32_t n, Qubit q) {
    CpuState s = CpuState::zero_state(n);
    s.amps[0] = 0.7071067811865476;
    s.amps[std::size_t{1} << q] = 0.7071067811865476;
    return s;
}

TEST(ValidateState, ReasonsInCheckOrder) {
    CpuState empty;
    EXPECT_EQ(reason(validate_state(empty)), "backend state is invalid: empty state vector");
    CpuState wide = CpuState::zero_state(1);
    wide.num_qubits = 64;
    EXPECT_EQ(reason(validate_state(wide)), "backend state is invalid: num_qubits exceeds platform usize::BITS");
    wide.num_qubits = 2;
    EXPECT_EQ(reason(validate_state(wide)), "backend state is invalid: amps.len() != 2^num_qubits");
    CpuState nan = CpuState::zero_state(2);
    nan.amps[3] = Complex(NAN, 0);
    EXPECT_EQ(reason(validate_state(nan)), "backend state is invalid: non-finite amplitude norm²");
    CpuState drift = CpuState::zero_state(2);
    drift.amps[0] = std::sqrt(1 + 1e-6);
    EXPECT_EQ(reason(validate_state(drift)),
              "backend state is invalid: state norm² deviates from 1 beyond drift budget");
}

TEST(ValidateState, DriftBudgetGrowsWithTheSquareRootOfTheSize) {
    CpuState s = CpuState::zero_state(20);
    s.amps[0] = std::sqrt(1 + 5e-8);  // budget 1e-10 · 1024 ≈ 1.02e-7
    auto p = validate_state(s);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->size(), s.len());
    EXPECT_EQ((*p)[0], s.amps[0].real() * s.amps[0].real());
    s.amps[0] = std::sqrt(1 + 2e-7);
    EXPECT_FALSE(validate_state(s));
}

TEST(Measure, PlusStateCollapsesExactly) {
    int ones = 0;
    for (std::uint64_t seed = 0; seed < 400; ++seed) {
        NaiveSvBackend sv = NaiveSvBackend::with_seed(seed);
        CpuState s = plus_state(3, 1);
        auto outcome = sv.measure(s, 1);
        ASSERT_TRUE(outcome);
        ones += *outcome;
        for (std::size_t i = 0; i < s.len(); ++i) {
            const Complex expected = i == (*outcome == 1 ? 2u : 0u) ? Complex(1, 0) : Complex(0, 0);
            ASSERT_EQ(s.amps[i], expected);
        }
    }
    EXPECT_GT(ones, 160);
    EXPECT_LT(ones, 240);
}

TEST(Measure, OutcomeFollowsTheFirstDraw) {
    // u < p1 gives 1: with p1 = cos²(0.3), the outcome is fixed by the seed's first draw.
    for (std::uint64_t seed = 0; seed < 50; ++seed) {
        NaiveSvBackend sv = NaiveSvBackend::with_seed(seed);
        CpuState s = CpuState::zero_state(1);
        s.amps[0] = std::sin(0.3);
        s.amps[1] = std::cos(0.3);
        StdRng twin = StdRng::seed_from_u64(seed);
        const double u = twin.next_unit_f64();
        const double p1 = std::cos(0.3) * std::cos(0.3);
        EXPECT_EQ(*sv.measure(s, 0), u < p1 ? 1 : 0);
        EXPECT_EQ(sv.rng().next_u64(), twin.next_u64());
    }
}

TEST(Measure, ForcedOutcomeDrawsNothing) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(9);
    CpuState s = CpuState::zero_state(2);
    s.amps[0] = 0;
    s.amps[2] = 1;  // qubit 1 is 1 with certainty
    EXPECT_EQ(*sv.measure(s, 1), 1);
    EXPECT_EQ(*sv.measure(s, 0), 0);
    StdRng fresh = StdRng::seed_from_u64(9);
    EXPECT_EQ(sv.rng().next_u64(), fresh.next_u64());
}

TEST(Measure, ErrorsInCheckOrder) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    CpuState bad = CpuState::zero_state(2);
    bad.amps[0] = 2;
    auto out_of_range = sv.measure(bad, 2);
    ASSERT_FALSE(out_of_range);
    EXPECT_EQ(out_of_range.error().message(), "qubit 2 out of range for 2-qubit state");
    const CpuState before = bad;
    auto invalid = sv.measure(bad, 0);
    ASSERT_FALSE(invalid);
    EXPECT_EQ(invalid.error().kind, BackendError::Kind::InvalidState);
    EXPECT_TRUE(t::same_bits(bad.amps.data(), before.amps.data(), bad.len()));
}

PauliString pauli(std::vector<PauliOp> ops, double coeff) { return PauliString{std::move(ops), coeff}; }

// <ψ|P|ψ> with P built as a dense operator from single-qubit matrices.
double dense_expectation(const std::vector<Complex>& psi, const PauliString& p) {
    std::vector<Complex> phi = psi;
    for (const auto& [q, op] : p.ops) {
        std::array<Complex, 4> m{};
        if (op == Pauli::I) continue;
        if (op == Pauli::X) m = {0.0, 1.0, 1.0, 0.0};
        if (op == Pauli::Y) m = {0.0, Complex(0, -1), Complex(0, 1), 0.0};
        if (op == Pauli::Z) m = {1.0, 0.0, 0.0, -1.0};
        const std::vector<Qubit> targets = {q};
        phi = t::dense_apply(phi, targets, {}, m);
    }
    Complex acc = 0;
    for (std::size_t i = 0; i < psi.size(); ++i) acc += std::conj(psi[i]) * phi[i];
    return p.coeff * acc.real();
}

TEST(Expectation, SimpleStates) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    CpuState zero = CpuState::zero_state(1);
    CpuState one = CpuState::zero_state(1);
    one.amps[0] = 0;
    one.amps[1] = 1;
    EXPECT_EQ(*sv.expectation_value(zero, pauli({{0, Pauli::Z}}, 2.5)), 2.5);
    EXPECT_EQ(*sv.expectation_value(one, pauli({{0, Pauli::Z}}, 2.5)), -2.5);
    EXPECT_NEAR(*sv.expectation_value(plus_state(1, 0), pauli({{0, Pauli::X}}, 1.5)), 1.5, 1e-15);
    EXPECT_NEAR(*sv.expectation_value(plus_state(2, 1), pauli({}, -0.5)), -0.5, 1e-15);
}

TEST(Expectation, RandomStatesMatchTheDenseOperator) {
    StdRng rng = StdRng::seed_from_u64(201);
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    for (int trial = 0; trial < 20; ++trial) {
        const std::uint32_t n = 5;
        const CpuState s = t::random_state(n, rng);
        std::vector<PauliOp> ops;
        for (Qubit q : t::random_qubits(1 + trial % 4, n, rng)) {
            ops.push_back({q, static_cast<Pauli>(trial % 2 == 0 ? 3 : rng.next_u64() % 4)});
        }
        const PauliString p = pauli(ops, t::uniform(rng, -2, 2));
        auto got = sv.expectation_value(s, p);
        ASSERT_TRUE(got);
        EXPECT_NEAR(*got, dense_expectation(t::to_vector(s), p), 1e-14);
    }
}

TEST(Expectation, ErrorsInCheckOrder) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    CpuState s = CpuState::zero_state(2);
    auto message = [&](const PauliString& p) {
        auto r = sv.expectation_value(s, p);
        return r ? std::string("ok") : r.error().message();
    };
    EXPECT_EQ(message(pauli({{7, Pauli::X}}, INFINITY)),
              "Pauli string violates its invariants: non-finite coefficient");
    EXPECT_EQ(message(pauli({{7, Pauli::Z}}, 1.0)), "qubit 7 out of range for 2-qubit state");
    EXPECT_EQ(message(pauli({{1, Pauli::I}, {1, Pauli::Z}}, 1.0)), "duplicate qubit 1 in gate or query");
    EXPECT_EQ(message(pauli({{0, Pauli::X}, {0, Pauli::Y}}, 1.0)), "duplicate qubit 0 in gate or query");
    s.amps[0] = NAN;
    EXPECT_EQ(message(pauli({{7, Pauli::X}}, INFINITY)), "backend state is invalid: non-finite amplitude norm²");
}

}  // namespace
}  // namespace nivra::sv
