#include "nivra/sv/backend.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <set>

#include "nivra/core/error.h"
#include "nivra/sv/test_util.h"

namespace nivra::sv {
namespace {

namespace t = nivra::sv::test;
using backend::BackendError;

GateInstance gi(Gate gate, std::initializer_list<Qubit> targets, std::initializer_list<Qubit> controls = {}) {
    GateInstance g{std::move(gate), {}, {}};
    g.targets.assign(targets.begin(), targets.end());
    g.controls.assign(controls.begin(), controls.end());
    return g;
}

std::string error_of(const std::expected<void, BackendError>& r) { return r ? "ok" : r.error().message(); }

// ---- A random gate of any kind, and its dense reference ---------------------

Gate random_gate(GateKind kind, StdRng& rng, std::size_t kq_width) {
    auto angle = [&] { return t::uniform(rng, -4, 4); };
    if (!is_matrix_kind(kind)) {
        std::vector<double> angles(gate_kind_param_count(kind));
        for (double& a : angles) a = angle();
        return Gate::with_angles(kind, angles);
    }
    if (kind == GateKind::Unitary1q) {
        return Gate::unitary1q(t::to_array<4>(t::random_unitary(2, rng)));
    }
    if (kind == GateKind::Unitary2q) {
        return Gate::unitary2q(t::to_array<16>(t::random_unitary(4, rng)));
    }
    if (kind == GateKind::UnitaryKq) {
        return Gate::unitary_kq(static_cast<std::uint8_t>(kq_width), t::random_unitary(std::size_t{1} << kq_width, rng));
    }
    if (kind == GateKind::Unitary1qDiag) {
        const double a = angle(), b = angle();
        return Gate::unitary1q_diag(Complex(std::cos(a), std::sin(a)), Complex(std::cos(b), std::sin(b)));
    }
    invariant_failure("random_gate: no random gate for matrix kind " + std::string(gate_kind_name(kind)));
}

GateInstance random_instance(std::uint32_t n, StdRng& rng, std::size_t max_controls) {
    const auto kind = static_cast<GateKind>(rng.next_u64() % GATE_KIND_COUNT);
    const std::size_t kq_width = 1 + rng.next_u64() % 3;
    Gate gate = random_gate(kind, rng, kq_width);
    const std::size_t arity = gate.arity();
    const std::size_t controls = std::min<std::size_t>(rng.next_u64() % (max_controls + 1), n - arity);
    const auto qubits = t::random_qubits(arity + controls, n, rng);
    GateInstance g{std::move(gate), {}, {}};
    g.targets.assign(qubits.begin(), qubits.begin() + arity);
    g.controls.assign(qubits.begin() + arity, qubits.end());
    return g;
}

// The gate as a full operator on the amplitude vector, from Gate::matrix (or
// the stored matrix of a UnitaryKq, over its targets sorted ascending).
std::vector<Complex> dense_gate(const std::vector<Complex>& amps, const GateInstance& g) {
    std::vector<Qubit> targets(g.targets.begin(), g.targets.end());
    const std::vector<Qubit> controls(g.controls.begin(), g.controls.end());
    if (g.gate.kind() == GateKind::UnitaryKq) {
        std::sort(targets.begin(), targets.end());
        return t::dense_apply(amps, targets, controls, g.gate.matrix_data());
    }
    const GateMatrix m = *g.gate.matrix();
    return t::dense_apply(amps, targets, controls, m.entries());
}

std::vector<Complex> dense_phase(std::vector<Complex> amps, const ir::DiagonalPhase& phase) {
    for (std::uint64_t x = 0; x < amps.size(); ++x) {
        double theta = 0;
        for (const auto& term : phase.terms) {
            bool all_odd = true;
            for (std::uint64_t m : term.masks) all_odd = all_odd && (std::popcount(m & x) % 2 == 1);
            if (all_odd) theta += term.angle;
        }
        amps[x] *= std::polar(1.0, theta);
    }
    return amps;
}

ir::DiagonalPhase random_phase(std::uint32_t n, StdRng& rng) {
    ir::DiagonalPhase p;
    p.width = n;
    const std::uint64_t all = (std::uint64_t{1} << n) - 1;
    for (int j = 0; j < 4; ++j) {
        ir::PhaseTerm term;
        for (std::uint64_t m = 0; m < rng.next_u64() % 3; ++m) term.masks.push_back((rng.next_u64() & all) | 1);
        term.angle = t::uniform(rng, -3, 3);
        p.terms.push_back(term);
    }
    return p;
}

ir::TiledBlock random_block(std::uint32_t n, std::uint8_t tile, StdRng& rng) {
    ir::TiledBlock block;
    block.tile = tile;
    const std::uint32_t low = std::min<std::uint32_t>(tile, n);
    for (int j = 0; j < 6; ++j) {
        GateInstance g = random_instance(n, rng, 0);
        while (g.gate.arity() > std::min<std::uint32_t>(2, low) || g.gate.kind() == GateKind::UnitaryKq) {
            g = random_instance(n, rng, 0);
        }
        const auto targets = t::random_qubits(g.gate.arity(), low, rng);
        g.targets.assign(targets.begin(), targets.end());
        // A control anywhere not used by the targets.
        if (rng.next_u64() % 2) {
            for (Qubit c = static_cast<Qubit>(rng.next_u64() % n);; c = (c + 1) % n) {
                if (std::find(targets.begin(), targets.end(), c) == targets.end()) {
                    g.controls.push_back(c);
                    break;
                }
            }
        }
        block.gates.push_back(std::move(g));
    }
    return block;
}

TEST(NaiveSvBackend, RandomCircuitsOfEveryKindMatchTheDenseReference) {
    StdRng rng = StdRng::seed_from_u64(101);
    for (int circuit = 0; circuit < 8; ++circuit) {
        const std::uint32_t n = 4 + circuit % 3;
        NaiveSvBackend sv = NaiveSvBackend::with_seed(1);
        CpuState state = *sv.new_state(n);
        std::vector<Complex> dense = t::to_vector(state);
        for (int step = 0; step < 60; ++step) {
            const std::uint64_t what = rng.next_u64() % 10;
            if (what == 0) {
                const ir::DiagonalPhase phase = random_phase(n, rng);
                ASSERT_TRUE(sv.apply_diagonal_phase(state, phase));
                dense = dense_phase(dense, phase);
            } else if (what == 1) {
                const ir::TiledBlock block =
                    random_block(n, static_cast<std::uint8_t>(1 + rng.next_u64() % (n + 1)), rng);
                ASSERT_EQ(error_of(sv.apply_tiled_block(state, block)), "ok");
                for (const GateInstance& g : block.gates) dense = dense_gate(dense, g);
            } else {
                const GateInstance g = random_instance(n, rng, 2);
                ASSERT_EQ(error_of(sv.apply_gate(state, g)), "ok") << g.gate.name();
                dense = dense_gate(dense, g);
            }
            ASSERT_LT(t::max_diff(t::to_vector(state), dense), 1e-12) << "circuit " << circuit << " step " << step;
        }
    }
}

TEST(NaiveSvBackend, GateErrorsInCheckOrder) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    CpuState two = *sv.new_state(2);
    CpuState five = *sv.new_state(5);
    EXPECT_EQ(error_of(sv.apply_gate(five, gi(Gate::cnot(), {3, 3}))), "duplicate qubit 3 in gate or query");
    EXPECT_EQ(error_of(sv.apply_gate(five, gi(Gate::x(), {2}, {2}))), "duplicate qubit 2 in gate or query");
    EXPECT_EQ(error_of(sv.apply_gate(two, gi(Gate::cnot(), {5, 5}))), "qubit 5 out of range for 2-qubit state");
    EXPECT_EQ(error_of(sv.apply_gate(five, gi(Gate::cnot(), {1}))), "gate `Cnot` expects 2 qubits, got 1");
    const Gate kq3 = Gate::unitary_kq(3, std::vector<Complex>(64));
    EXPECT_EQ(error_of(sv.apply_gate(five, gi(kq3, {0, 1}))), "gate `UnitaryKq` expects 3 qubits, got 2");
    EXPECT_EQ(error_of(sv.apply_gate(five, gi(Gate::rx(INFINITY), {0}))),
              "gate `Rx` has a non-finite (NaN or infinite) parameter");
    EXPECT_EQ(error_of(sv.apply_gate(five, gi(Gate::rx(Param::symbolic(3)), {0}))),
              "backend requires concrete parameters; got symbolic");
    // Range is reported before the parameter.
    EXPECT_EQ(error_of(sv.apply_gate(two, gi(Gate::rx(NAN), {9}))), "qubit 9 out of range for 2-qubit state");

    const CpuState before = five;
    auto off = sv.apply_gate(five, gi(Gate::unitary1q({1.0, 0.0, 0.0, 1.0000001}), {0}));
    ASSERT_FALSE(off);
    EXPECT_EQ(off.error().kind, BackendError::Kind::NonUnitaryMatrix);
    EXPECT_NEAR(off.error().value, 2e-7, 1e-9);
    EXPECT_TRUE(t::same_bits(five.amps.data(), before.amps.data(), five.len()));
    EXPECT_EQ(error_of(sv.apply_gate(five, gi(Gate::unitary1q({1.0, 0.0, 0.0, 1.0 + 5e-12}), {0}))), "ok");
    EXPECT_EQ(error_of(sv.apply_gate(five, gi(Gate::unitary1q({NAN, 0.0, 0.0, 1.0}), {0}))),
              "user-supplied matrix is not unitary (max deviation = NaN)");
}

TEST(NaiveSvBackend, UnitaryKqOfTheWrongSizeIsRefused) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    CpuState s = *sv.new_state(4);
    // The Gate constructor already refuses a list that is not 4^k long.
    EXPECT_THROW(Gate::unitary_kq(2, std::vector<Complex>(15)), InvariantError);
    // A controlled UnitaryKq acts only where the control is set.
    StdRng rng = StdRng::seed_from_u64(5);
    const std::vector<Complex> u = t::random_unitary(4, rng);
    CpuState start = t::random_state(4, rng);
    s = start;
    ASSERT_TRUE(sv.apply_gate(s, gi(Gate::unitary_kq(2, u), {2, 0}, {3})));
    const std::vector<Qubit> sorted = {0, 2}, controls = {3};
    EXPECT_LT(t::max_diff(t::to_vector(s), t::dense_apply(t::to_vector(start), sorted, controls, u)), 1e-14);
}

TEST(NaiveSvBackend, TiledBlockEqualsGateByGateForAnyTileAndSize) {
    StdRng rng = StdRng::seed_from_u64(102);
    for (auto [n, tile] : std::vector<std::pair<std::uint32_t, std::uint8_t>>{{10, 15}, {6, 3}, {9, 4}, {17, 15}}) {
        NaiveSvBackend sv = NaiveSvBackend::with_seed(2);
        const CpuState start = t::random_state(n, rng);
        for (int trial = 0; trial < 3; ++trial) {
            const ir::TiledBlock block = random_block(n, tile, rng);
            CpuState tiled = start, one_by_one = start;
            ASSERT_EQ(error_of(sv.apply_tiled_block(tiled, block)), "ok");
            for (const GateInstance& g : block.gates) ASSERT_TRUE(sv.apply_gate(one_by_one, g));
            EXPECT_LT(t::max_diff(t::to_vector(tiled), t::to_vector(one_by_one)), 1e-13) << n << "/" << int(tile);
        }
    }
}

TEST(NaiveSvBackend, TiledBlockHighControlActsOnlyInChunksWithTheBitSet) {
    // 17 qubits, tile 15: X on qubit 0 controlled by qubit 16 changes only
    // chunks 2 and 3.
    NaiveSvBackend sv = NaiveSvBackend::with_seed(3);
    StdRng rng = StdRng::seed_from_u64(103);
    const CpuState start = t::random_state(17, rng);
    CpuState s = start;
    ir::TiledBlock block{{gi(Gate::x(), {0}, {16}), gi(Gate::h(), {3}, {}), gi(Gate::h(), {3}, {})}, 15};
    ASSERT_TRUE(sv.apply_tiled_block(s, block));
    const std::size_t chunk = std::size_t{1} << 15;
    for (std::size_t i = 0; i < s.len(); ++i) {
        const Complex expected = (i / chunk >= 2) ? start.amps[i ^ 1] : start.amps[i];
        ASSERT_LT(std::abs(s.amps[i] - expected), 1e-15) << i;
    }
}

TEST(NaiveSvBackend, TiledBlockFailsBeforeTouchingTheState) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(4);
    StdRng rng = StdRng::seed_from_u64(104);
    for (std::uint32_t n : {5u, 18u}) {
        const CpuState start = t::random_state(n, rng);
        CpuState s = start;
        ir::TiledBlock toffoli{{gi(Gate::h(), {0}), gi(Gate::toffoli(), {0, 1, 2})}, 15};
        EXPECT_EQ(error_of(sv.apply_tiled_block(s, toffoli)), "gate `Toffoli` is not supported by this backend");
        ir::TiledBlock nan{{gi(Gate::h(), {0}), gi(Gate::ry(NAN), {1}), gi(Gate::toffoli(), {0, 1, 2})}, 15};
        EXPECT_EQ(error_of(sv.apply_tiled_block(s, nan)), "gate `Ry` has a non-finite (NaN or infinite) parameter");
        ir::TiledBlock kq{{gi(Gate::unitary_kq(1, {1.0, 0.0, 0.0, 1.0}), {0})}, 15};
        EXPECT_EQ(error_of(sv.apply_tiled_block(s, kq)), "gate `UnitaryKq` is not supported by this backend");
        EXPECT_TRUE(t::same_bits(s.amps.data(), start.amps.data(), s.len()));
        ir::TiledBlock high_target{{gi(Gate::h(), {16})}, 15};
        if (n > 15) {
            EXPECT_THROW(sv.apply_tiled_block(s, high_target), InvariantError);
        }
    }
}

TEST(NaiveSvBackend, DiagonalPhaseMatchesDenseReference) {
    StdRng rng = StdRng::seed_from_u64(105);
    NaiveSvBackend sv = NaiveSvBackend::with_seed(5);
    for (std::uint32_t n : {1u, 3u, 7u}) {
        const CpuState start = t::random_state(n, rng);
        CpuState s = start;
        const ir::DiagonalPhase phase = random_phase(n, rng);
        ASSERT_TRUE(sv.apply_diagonal_phase(s, phase));
        EXPECT_LT(t::max_diff(t::to_vector(s), dense_phase(t::to_vector(start), phase)), 1e-14);
    }
}

TEST(NaiveSvBackend, UnpermuteState) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(6);
    StdRng rng = StdRng::seed_from_u64(106);
    const CpuState start = t::random_state(2, rng);
    CpuState s = start;
    const std::vector<Qubit> identity = {0, 1}, flip = {1, 0};
    ASSERT_TRUE(sv.unpermute_state(s, identity));
    EXPECT_TRUE(t::same_bits(s.amps.data(), start.amps.data(), 4));
    ASSERT_TRUE(sv.unpermute_state(s, flip));
    EXPECT_EQ(s.amps[0], start.amps[0]);
    EXPECT_EQ(s.amps[1], start.amps[2]);
    EXPECT_EQ(s.amps[2], start.amps[1]);
    EXPECT_EQ(s.amps[3], start.amps[3]);

    // A random permutation against the definition, at a size that runs in parallel.
    const std::uint32_t n = 19;
    const CpuState big = t::random_state(n, rng);
    const auto perm = t::random_qubits(n, n, rng);
    CpuState moved = big;
    ASSERT_TRUE(sv.unpermute_state(moved, perm));
    for (std::uint64_t j = 0; j < moved.len(); j += 977) {
        std::uint64_t src = 0;
        for (std::uint32_t q = 0; q < n; ++q) src |= ((j >> q) & 1) << perm[q];
        ASSERT_EQ(moved.amps[j], big.amps[src]) << j;
    }

    const std::vector<Qubit> short_perm = {0}, repeat = {1, 1}, out_of_range = {0, 2};
    EXPECT_THROW(sv.unpermute_state(s, short_perm), InvariantError);
    EXPECT_THROW(sv.unpermute_state(s, repeat), InvariantError);
    EXPECT_THROW(sv.unpermute_state(s, out_of_range), InvariantError);
}

// ---- The drivers on the state vector -----------------------------------------

TEST(RunDrivers, LimitsAndEmptyCircuits) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(7);
    auto empty = backend::run_with_outcomes(sv, ir::Circuit(0));
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().message(), "cannot run an empty circuit");
    auto too_big = backend::run(sv, ir::Circuit(29));
    ASSERT_FALSE(too_big);
    EXPECT_EQ(too_big.error().message(), "requested 29 qubits exceeds backend limit of 28");
    EXPECT_EQ(too_big.error().debug(), "TooManyQubits { requested: 29, limit: 28 }");

    NaiveSvBackend small(StdRng::seed_from_u64(7), 5);
    EXPECT_TRUE(backend::run(small, ir::Circuit(5)));
    EXPECT_EQ(backend::run(small, ir::Circuit(6)).error().message(), "requested 6 qubits exceeds backend limit of 5");

    auto zero = backend::run_with_outcomes(sv, ir::Circuit(3));
    ASSERT_TRUE(zero);
    EXPECT_TRUE(zero->records.empty());
    EXPECT_EQ(zero->state.amps[0], Complex(1, 0));
    for (std::size_t i = 1; i < 8; ++i) EXPECT_EQ(zero->state.amps[i], Complex(0, 0));
    EXPECT_THROW(NaiveSvBackend(StdRng::seed_from_u64(0), 29), InvariantError);
}

TEST(RunDrivers, MeasurementsResetsAndBarriers) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(8);
    ir::Circuit c(2, 2);
    ASSERT_TRUE(c.add_gate(gi(Gate::x(), {1})));
    ASSERT_TRUE(c.add_instruction(ir::Barrier{{0, 1}}));
    ASSERT_TRUE(c.add_instruction(ir::Measure{1, 0}));
    auto out = backend::run_with_outcomes(sv, c);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->records.size(), 1u);
    EXPECT_EQ(out->records[0], (backend::MeasurementRecord{2, 1, 0, 1}));

    ASSERT_TRUE(c.add_instruction(ir::Reset{0}));
    auto reset = backend::run(sv, c);
    ASSERT_FALSE(reset);
    EXPECT_EQ(reset.error().message(), "IR instruction `reset` is not supported by this backend");
}

TEST(RunDrivers, UndoPermutationMapsRecordsAndState) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(9);
    CpuState s = CpuState::zero_state(3);
    s.amps[0] = 0;
    s.amps[1] = 1;  // physical qubit 0 set
    std::vector<backend::MeasurementRecord> records = {{0, 0, 0, 1}, {1, 2, 1, 0}};
    const std::vector<Qubit> perm = {2, 0, 1};  // logical 1 sits at physical 0
    ASSERT_TRUE(backend::undo_permutation(sv, s, std::span(records), perm));
    EXPECT_EQ(records[0].qubit, 1u);
    EXPECT_EQ(records[1].qubit, 0u);
    EXPECT_EQ(s.amps[2], Complex(1, 0));  // logical qubit 1 set
}

TEST(RunDrivers, SameSeedSameOutcomes) {
    ir::Circuit c(3, 3);
    for (Qubit q = 0; q < 3; ++q) ASSERT_TRUE(c.add_gate(gi(Gate::h(), {q})));
    for (Qubit q = 0; q < 3; ++q) ASSERT_TRUE(c.add_instruction(ir::Measure{q, q}));
    ASSERT_TRUE(c.add_gate(gi(Gate::ry(0.7), {0})));
    auto run_once = [&](std::uint64_t seed) {
        NaiveSvBackend sv = NaiveSvBackend::with_seed(seed);
        auto out = backend::run_with_outcomes(sv, c);
        auto shots = sv.sample(out->state, 100);
        return std::make_pair(out->records, *shots);
    };
    EXPECT_EQ(run_once(42), run_once(42));
    EXPECT_NE(run_once(42).second, run_once(43).second);
}

TEST(RunDrivers, OptimisedRunEqualsPlainRunAfterUndoingThePermutation) {
    // Gates crowd the high qubits so that relabelling, diagonal fusion, block
    // fusion and tiling all apply.
    StdRng rng = StdRng::seed_from_u64(107);
    for (int trial = 0; trial < 3; ++trial) {
        const std::uint32_t n = 17;
        ir::Circuit c(n);
        for (int j = 0; j < 120; ++j) {
            GateInstance g = random_instance(n, rng, 1);
            if (rng.next_u64() % 4 != 0) {
                // Move the gate onto qubits 12..16.
                const auto qubits = t::random_qubits(g.targets.size() + g.controls.size(), 5, rng);
                for (std::size_t i = 0; i < g.targets.size(); ++i) g.targets[i] = 12 + qubits[i];
                for (std::size_t i = 0; i < g.controls.size(); ++i) g.controls[i] = 12 + qubits[g.targets.size() + i];
            }
            ASSERT_TRUE(c.add_gate(std::move(g)));
        }
        NaiveSvBackend plain_sv = NaiveSvBackend::with_seed(1);
        auto plain = backend::run(plain_sv, c);
        ASSERT_TRUE(plain);

        ir::Circuit optimised = c;
        ASSERT_TRUE(optimised.optimize());
        std::set<int> kinds;
        for (const ir::Instruction& inst : optimised.instructions()) {
            kinds.insert(inst.is_gate() ? 100 + static_cast<int>(inst.gate()->gate.kind())
                                        : static_cast<int>(inst.kind()));
        }
        EXPECT_TRUE(kinds.count(static_cast<int>(ir::Instruction::Kind::TiledBlock)));
        EXPECT_TRUE(optimised.permutation().has_value());
        NaiveSvBackend sv = NaiveSvBackend::with_seed(1);
        auto out = backend::run_with_outcomes(sv, optimised);
        ASSERT_TRUE(out) << out.error().message();
        if (optimised.permutation()) {
            ASSERT_TRUE(backend::undo_permutation(sv, out->state, std::span(out->records), *optimised.permutation()));
        }
        EXPECT_LT(t::max_diff(t::to_vector(out->state), t::to_vector(*plain)), 1e-10) << "trial " << trial;
    }
}

}  // namespace
}  // namespace nivra::sv
