#include "nivra/ir/pass.h"

#include <gtest/gtest.h>

#include <limits>
#include <numbers>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/cancel.h"
#include "nivra/ir/passes/dce.h"
#include "nivra/ir/passes/fuse_1q.h"
#include "nivra/ir/passes/fuse_2q.h"
#include "nivra/ir/passes/fuse_diagonal.h"
#include "nivra/ir/passes/fuse_kq.h"
#include "nivra/ir/passes/relabel.h"
#include "nivra/ir/passes/tile_block.h"
#include "nivra/ir/test_reference.h"

namespace nivra::ir {
namespace {

using testing::gi;
using testing::make_circuit;

TEST(PassPipeline, DefaultOrder) {
    const PassPipeline p = PassPipeline::default_pipeline();
    std::vector<std::string_view> names;
    for (const auto& pass : p.passes()) names.push_back(pass->name());
    EXPECT_EQ(names,
              (std::vector<std::string_view>{"RelabelQubits", "CancelInversePairs", "DeadCodeElim", "FuseDiagonalRuns",
                                             "Fuse1qRuns", "Fuse2q", "FuseKq", "TileBlock"}));
    EXPECT_EQ(dynamic_cast<const RelabelQubits&>(*p.passes()[0]).tile(), 15);
    EXPECT_EQ(dynamic_cast<const DeadCodeElim&>(*p.passes()[2]).liveness(), DeadCodeElim::Liveness::AllQubitsAtEnd);
    EXPECT_EQ(dynamic_cast<const FuseKq&>(*p.passes()[6]).max_k(), 4U);
    EXPECT_EQ(dynamic_cast<const TileBlock&>(*p.passes()[7]).tile(), 15);
}

TEST(Optimize, Statistics) {
    Circuit empty(5);
    EXPECT_EQ(empty.optimize(), (PassStats{0, 0, 0}));

    Circuit quiet = make_circuit(1, {gi(Gate::h(), {0}), Measure{0, 0}}, 1);
    EXPECT_EQ(quiet.optimize(), (PassStats{2, 2, 0}));

    // Relabelling moves the two gates into the tile, which then holds one block.
    Circuit relabelled = make_circuit(20, {gi(Gate::h(), {19}), gi(Gate::x(), {18})});
    EXPECT_EQ(relabelled.optimize(), (PassStats{2, 1, 2}));
    EXPECT_TRUE(relabelled.permutation());
    EXPECT_TRUE(relabelled.instructions()[0].holds<TiledBlock>());
    // A second run never relabels again.
    const Circuit once = relabelled;
    EXPECT_EQ(relabelled.optimize(), (PassStats{1, 1, 0}));
    EXPECT_EQ(relabelled, once);

    Circuit c = make_circuit(
        2, {gi(Gate::h(), {0}), gi(Gate::h(), {0}), gi(Gate::t(), {1}), gi(Gate::s(), {1}), gi(Gate::cnot(), {0, 1})});
    auto stats = c.optimize();
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->before, 5U);
    EXPECT_EQ(stats->after, c.size());
    EXPECT_EQ(stats->after, 1U);
}

TEST(Optimize, WideCircuitsFailAfterThreePasses) {
    // 65 qubits, no diagonal gate: the fourth pass still refuses; the first
    // three passes' rewrites stay.
    Circuit c = make_circuit(65, {gi(Gate::h(), {64}), gi(Gate::h(), {64}), gi(Gate::x(), {3})});
    auto r = c.optimize();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "internal invariant violated: DiagonalPhase mask width > 64");
    EXPECT_EQ(c.size(), 1U);
    EXPECT_TRUE(c.permutation());
}

class FakePass final : public Pass {
public:
    FakePass(std::expected<PassStats, PassError> result, int* calls) : result_(result), calls_(calls) {}
    std::string_view name() const override { return "FakePass"; }
    std::expected<PassStats, PassError> run(Circuit&) const override {
        ++*calls_;
        return result_;
    }

private:
    std::expected<PassStats, PassError> result_;
    int* calls_;
};

TEST(PassPipeline, SaturatesAndStopsAtTheFirstError) {
    int calls = 0;
    constexpr std::size_t MAX = std::numeric_limits<std::size_t>::max();
    PassPipeline p;
    p.push(std::make_unique<FakePass>(PassStats{7, 5, MAX - 1}, &calls));
    p.push(std::make_unique<FakePass>(PassStats{5, 3, 2}, &calls));
    Circuit c(1);
    EXPECT_EQ(p.run(c), (PassStats{7, 3, MAX}));

    p.push(std::make_unique<FakePass>(std::unexpected(PassError::internal_invariant(BLOCK_NOT_4X4_TEXT)), &calls));
    p.push(std::make_unique<FakePass>(PassStats{3, 3, 0}, &calls));
    calls = 0;
    auto r = p.run(c);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "internal invariant violated: 2q block did not hold a 4×4");
    EXPECT_EQ(calls, 3);
}

// ---- Optimising never changes what a circuit computes. ----

class RandomCircuits {
public:
    explicit RandomCircuits(std::uint64_t seed) : rng_(StdRng::seed_from_u64(seed)) {}

    std::uint32_t below(std::uint32_t n) { return rng_.next_u32() % n; }
    double angle() {
        switch (below(6)) {
            case 0:
                return 0.0;
            case 1:
                return std::numbers::pi * static_cast<double>(below(5));
            default:
                return (rng_.next_unit_f64() - 0.5) * 4.0 * std::numbers::pi;
        }
    }

    // `count` distinct qubits below n.
    std::vector<Qubit> qubits(std::uint32_t n, std::size_t count) {
        std::vector<Qubit> all(n);
        for (Qubit q = 0; q < n; ++q) all[q] = q;
        for (std::size_t i = 0; i < count; ++i) std::swap(all[i], all[i + below(n - i)]);
        all.resize(count);
        return all;
    }

    // A random unitary on k qubits (gate-matrix order), from a short circuit.
    std::vector<Complex> unitary(std::uint32_t k) {
        Circuit c(k);
        for (int i = 0; i < 6; ++i) {
            std::vector<Qubit> q = qubits(k, std::min<std::uint32_t>(k, 2));
            EXPECT_TRUE(c.add_gate(gi(Gate::u3(angle(), angle(), angle()), {q[0]})));
            if (k >= 2) {
                EXPECT_TRUE(c.add_gate(gi(below(2) ? Gate::cnot() : Gate::iswap(), {q[0], q[1]})));
            }
        }
        return testing::gate_order_matrix(c);
    }

    Gate gate_of_kind(GateKind kind, std::uint32_t n) {
        if (!is_matrix_kind(kind)) {
            std::vector<double> angles(gate_kind_param_count(kind));
            for (double& a : angles) a = angle();
            return Gate::with_angles(kind, angles);
        }
        if (kind == GateKind::Unitary1q) {
            auto m = unitary(1);
            return Gate::unitary1q({m[0], m[1], m[2], m[3]});
        }
        if (kind == GateKind::Unitary2q) {
            auto m = unitary(2);
            std::array<Complex, 16> a;
            std::copy(m.begin(), m.end(), a.begin());
            return Gate::unitary2q(a);
        }
        if (kind == GateKind::UnitaryKq) {
            const auto k = static_cast<std::uint8_t>(1 + below(std::min<std::uint32_t>(n, 3)));
            return Gate::unitary_kq(k, unitary(k));
        }
        if (kind == GateKind::Unitary1qDiag) {
            const double a = angle();
            const double b = angle();
            return Gate::unitary1q_diag(Complex(std::cos(a), std::sin(a)), Complex(std::cos(b), std::sin(b)));
        }
        ADD_FAILURE() << "no random gate for matrix kind " << gate_kind_name(kind);
        return Gate::h();
    }

    GateInstance random_gate(std::uint32_t n) {
        for (;;) {
            Gate g = gate_of_kind(static_cast<GateKind>(below(GATE_KIND_COUNT)), n);
            const std::size_t arity = g.arity();
            if (arity > n) continue;
            const std::size_t controls =
                arity < n && below(5) == 0 ? 1 + below(std::min<std::uint32_t>(2, n - arity)) : 0;
            std::vector<Qubit> q = qubits(n, arity + controls);
            GateInstance inst{std::move(g), {}, {}};
            inst.targets.assign(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(arity));
            inst.controls.assign(q.begin() + static_cast<std::ptrdiff_t>(arity), q.end());
            return inst;
        }
    }

    // Gates of every kind, with runs the passes look for: inverse pairs,
    // diagonal runs closed by CNOTs, and single-qubit chains.
    Circuit circuit(std::uint32_t n, std::size_t length, bool with_non_unitary) {
        Circuit c(n, n);
        while (c.size() < length) {
            const std::uint32_t pick = below(12);
            if (pick < 6) {
                add(c, random_gate(n));
            } else if (pick == 6) {
                GateInstance g = random_gate(n);
                GateInstance inv = g;
                inv.gate = g.gate.inverse();
                if (!inv.controls.empty()) std::reverse(inv.controls.begin(), inv.controls.end());
                add(c, std::move(g));
                if (below(2)) add(c, random_gate(n));
                add(c, std::move(inv));
            } else if (pick == 7 && n >= 2) {
                std::vector<Qubit> q = qubits(n, 2);
                add(c, gi(Gate::cnot(), {q[0], q[1]}));
                add(c, gi(Gate::rz(angle()), {q[1]}));
                if (below(2)) {
                    add(c, gi(Gate::t(), {q[0]}));
                } else {
                    add(c, gi(Gate::cz(), {q[0], q[1]}));
                }
                add(c, gi(Gate::cnot(), {q[0], q[1]}));
                add(c, gi(Gate::phase(angle()), {q[0]}, {q[1]}));
            } else if (pick == 8) {
                const Qubit q = below(n);
                for (std::uint32_t i = 0, len = 2 + below(4); i < len; ++i) {
                    add(c, gi(below(2) ? Gate::ry(angle()) : Gate::s(), {q}));
                }
            } else if (pick == 9) {
                std::vector<Qubit> q = qubits(n, 1 + below(n));
                Barrier b;
                b.qubits.assign(q.begin(), q.end());
                add(c, std::move(b));
            } else if (pick >= 10 && with_non_unitary) {
                const Qubit q = below(n);
                if (pick == 10) {
                    add(c, Measure{q, below(n)});
                } else {
                    add(c, Reset{q});
                }
            }
        }
        return c;
    }

private:
    static void add(Circuit& c, Instruction inst) {
        auto r = c.add_instruction(std::move(inst));
        EXPECT_TRUE(r.has_value()) << r.error().message();
    }

    StdRng rng_;
};

// The optimised circuit must still pass every insertion check.
void expect_valid(const Circuit& c) {
    Circuit fresh(c.num_qubits(), c.num_clbits());
    for (const Instruction& inst : c.instructions()) {
        auto r = fresh.add_instruction(inst);
        EXPECT_TRUE(r.has_value()) << r.error().message();
    }
}

// The default passes with tiles small enough that relabelling and tiling
// apply to circuits of a few qubits.
PassPipeline small_tile_pipeline() {
    PassPipeline p;
    p.push(std::make_unique<RelabelQubits>(2));
    p.push(std::make_unique<CancelInversePairs>());
    p.push(std::make_unique<DeadCodeElim>(DeadCodeElim::Liveness::AllQubitsAtEnd));
    p.push(std::make_unique<FuseDiagonalRuns>());
    p.push(std::make_unique<Fuse1qRuns>());
    p.push(std::make_unique<Fuse2q>());
    p.push(std::make_unique<FuseKq>(3));
    p.push(std::make_unique<TileBlock>(3));
    return p;
}

TEST(OptimizeEquivalence, UnitaryCircuits) {
    RandomCircuits gen(2024);
    std::size_t changed = 0;
    for (int trial = 0; trial < 150; ++trial) {
        const std::uint32_t n = 1 + gen.below(5);
        Circuit c = gen.circuit(n, 10 + gen.below(50), false);
        Circuit opt = c;
        auto stats = opt.optimize();
        ASSERT_TRUE(stats);
        EXPECT_EQ(stats->before, c.size());
        EXPECT_EQ(stats->after, opt.size());
        changed += stats->changes > 0 ? 1 : 0;
        expect_valid(opt);
        testing::expect_same_unitary(c, opt);
    }
    EXPECT_GT(changed, 100U);
}

TEST(OptimizeEquivalence, RelabelledAndTiledCircuits) {
    RandomCircuits gen(77);
    std::size_t relabelled = 0;
    for (int trial = 0; trial < 150; ++trial) {
        const std::uint32_t n = 3 + gen.below(3);
        Circuit c = gen.circuit(n, 10 + gen.below(40), false);
        Circuit opt = c;
        // Pass by pass, so a failure names the pass.
        const PassPipeline pipeline = small_tile_pipeline();
        for (const auto& pass : pipeline.passes()) {
            ASSERT_TRUE(pass->run(opt));
            SCOPED_TRACE(pass->name());
            expect_valid(opt);
            testing::expect_same_unitary(c, opt);
        }
        relabelled += opt.permutation() ? 1 : 0;
    }
    EXPECT_GT(relabelled, 30U);
}

TEST(OptimizeEquivalence, CircuitsWithMeasurementsAndResets) {
    RandomCircuits gen(99);
    for (int trial = 0; trial < 120; ++trial) {
        const std::uint32_t n = 2 + gen.below(3);
        Circuit c = gen.circuit(n, 10 + gen.below(40), true);
        testing::State input(std::size_t{1} << n);
        double norm = 0.0;
        for (Complex& a : input) {
            a = Complex(gen.angle(), gen.angle());
            norm += std::norm(a);
        }
        if (norm == 0.0) input[0] = 1.0;
        for (Complex& a : input) a /= std::sqrt(norm == 0.0 ? 1.0 : norm);
        const testing::Density expected = testing::run_density(c, input);
        for (bool small_tiles : {false, true}) {
            const PassPipeline pipeline = small_tiles ? small_tile_pipeline() : PassPipeline::default_pipeline();
            Circuit opt = c;
            for (const auto& pass : pipeline.passes()) {
                ASSERT_TRUE(pass->run(opt));
                SCOPED_TRACE(pass->name());
                expect_valid(opt);
                EXPECT_LE(testing::max_diff(expected.rho, testing::run_density(opt, input).rho), 1e-9);
            }
        }
    }
}

TEST(OptimizeEquivalence, FourierTransform) {
    // Controlled phases between Hadamards: diagonal-heavy runs.
    const std::uint32_t n = 5;
    Circuit c(n);
    for (Qubit i = 0; i < n; ++i) {
        ASSERT_TRUE(c.add_gate(gi(Gate::h(), {i})));
        for (Qubit j = i + 1; j < n; ++j) {
            ASSERT_TRUE(c.add_gate(gi(Gate::phase(std::numbers::pi / static_cast<double>(1U << (j - i))), {j}, {i})));
        }
    }
    for (Qubit i = 0; i < n / 2; ++i) ASSERT_TRUE(c.add_gate(gi(Gate::swap(), {i, n - 1 - i})));
    Circuit opt = c;
    auto stats = opt.optimize();
    ASSERT_TRUE(stats);
    EXPECT_GT(stats->changes, 0U);
    testing::expect_same_unitary(c, opt);
}

TEST(OptimizeEquivalence, GatesWithoutMatrixSurvive) {
    // Whatever the passes do around them, such gates stay so the run fails.
    Circuit c = make_circuit(
        2, {gi(Gate::rx(INFINITY), {0}), gi(Gate::rx(-INFINITY), {0}), gi(Gate::ry(NAN), {1}), Measure{0, 0}}, 1);
    ASSERT_TRUE(c.optimize());
    std::size_t non_finite = 0;
    for (const Instruction& inst : c.instructions()) {
        if (const GateInstance* g = inst.gate(); g && !g->gate.matrix() && g->gate.kind() != GateKind::UnitaryKq) {
            ++non_finite;
        }
    }
    EXPECT_EQ(non_finite, 3U);
}

}  // namespace
}  // namespace nivra::ir
