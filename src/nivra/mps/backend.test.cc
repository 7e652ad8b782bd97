#include "nivra/mps/backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/mps/dense_reference.test.h"
#include "nivra/mps/gate.h"

namespace nivra::mps {
namespace {

using testing::Dense;
using testing::dense_apply;
using testing::dense_zero;
using testing::instance;
using testing::max_abs_diff;
using testing::to_dense;

const double INF = std::numeric_limits<double>::infinity();
const double NaN = std::numeric_limits<double>::quiet_NaN();

std::string message_of(const std::expected<void, BackendError>& result) {
    return result ? std::string("<ok>") : result.error().message();
}

template <class T>
std::string error_text(const std::expected<T, BackendError>& result) {
    return result ? std::string("<ok>") : result.error().message();
}

MpsState fresh(MpsBackend& backend, std::uint32_t n) { return *backend.new_state(n); }

void apply_ok(MpsBackend& backend, MpsState& state, const GateInstance& gate) {
    auto applied = backend.apply_gate(state, gate);
    ASSERT_TRUE(applied.has_value()) << applied.error().message();
}

// A random circuit of one- and two-qubit gates (any pair, so routing is
// exercised), applied to the MPS through the backend and to a dense reference.
void random_circuit(MpsBackend& backend, MpsState& state, Dense& psi, std::size_t gates, std::mt19937_64& gen) {
    const auto n = static_cast<Qubit>(state.num_qubits());
    std::uniform_int_distribution<Qubit> pick(0, n - 1);
    for (std::size_t g = 0; g < gates; ++g) {
        GateInstance gate = instance(Gate::h(), {0});
        if (n == 1 || gen() % 3 == 0) {
            gate = instance(testing::random_1q_gate(gen), {pick(gen)});
        } else {
            Qubit a = pick(gen), b = pick(gen);
            while (b == a) b = pick(gen);
            gate = instance(testing::random_2q_gate(gen), {a, b});
        }
        apply_ok(backend, state, gate);
        dense_apply(psi, gate);
    }
}

// ---- Gates against the dense reference ---------------------------------------

TEST(MpsBackendGates, RandomCircuitsMatchTheDenseReference) {
    std::mt19937_64 gen(2024);
    MpsBackend backend = MpsBackend::with_seed(1);
    for (int trial = 0; trial < 60; ++trial) {
        const auto n = static_cast<std::uint32_t>(1 + trial % 10);
        MpsState state = fresh(backend, n);
        Dense psi = dense_zero(n);
        random_circuit(backend, state, psi, 20 + 6 * n, gen);
        EXPECT_LT(max_abs_diff(to_dense(state), psi), 1e-10) << "trial " << trial;
        EXPECT_LT(state.discarded_weight(), 1e-20);
        EXPECT_LE(state.max_bond_reached(), std::size_t{1} << (n / 2));
    }
}

TEST(MpsBackendGates, RunDriverExecutesCircuitsWithBarriersAndTiledBlocks) {
    std::mt19937_64 gen(77);
    ir::Circuit circuit(6);
    Dense psi = dense_zero(6);
    ir::TiledBlock block;
    block.tile = 6;
    for (int g = 0; g < 40; ++g) {
        Qubit a = static_cast<Qubit>(gen() % 6), b = static_cast<Qubit>(gen() % 6);
        while (b == a) b = static_cast<Qubit>(gen() % 6);
        GateInstance gate =
            g % 2 ? instance(testing::random_2q_gate(gen), {a, b}) : instance(testing::random_1q_gate(gen), {a});
        dense_apply(psi, gate);
        if (g >= 30) {
            block.gates.push_back(gate);
        } else {
            ASSERT_TRUE(circuit.add_gate(gate));
        }
        if (g == 10) {
            ASSERT_TRUE(circuit.add_instruction(ir::Barrier{{0, 1, 2}}));
        }
    }
    ASSERT_TRUE(circuit.add_instruction(std::move(block)));
    MpsBackend backend = MpsBackend::with_seed(3);
    auto state = backend::run(backend, circuit);
    ASSERT_TRUE(state.has_value()) << state.error().message();
    EXPECT_LT(max_abs_diff(to_dense(*state), psi), 1e-10);
}

TEST(MpsBackendGates, SwapIsARelabellingAndRoutingSwapsAreCounted) {
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState state = fresh(backend, 6);
    Dense psi = dense_zero(6);
    for (Qubit q = 0; q < 6; ++q) {
        apply_ok(backend, state, instance(Gate::ry(0.3 + q), {q}));
        dense_apply(psi, instance(Gate::ry(0.3 + q), {q}));
    }
    apply_ok(backend, state, instance(Gate::swap(), {0, 5}));
    dense_apply(psi, instance(Gate::swap(), {0, 5}));
    EXPECT_EQ(state.free_swap_count(), 1u);
    EXPECT_EQ(state.qubit_to_site()[0], 5u);
    EXPECT_EQ(state.qubit_to_site()[5], 0u);
    apply_ok(backend, state, instance(Gate::cnot(), {0, 4}));
    dense_apply(psi, instance(Gate::cnot(), {0, 4}));
    EXPECT_EQ(state.swap_count(), 0u);
    apply_ok(backend, state, instance(Gate::cz(), {5, 2}));  // sites 0 and 2: one routing swap
    dense_apply(psi, instance(Gate::cz(), {5, 2}));
    EXPECT_EQ(state.swap_count(), 1u);
    EXPECT_LT(max_abs_diff(to_dense(state), psi), 1e-12);
}

TEST(MpsBackendGates, TruncatesSilentlyToTheBondCapOf128) {
    // 16-qubit random brickwork: the middle bond would need 256.
    std::mt19937_64 gen(31);
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState state = fresh(backend, 16);
    EXPECT_EQ(state.policy(), TruncationPolicy::fixed(128));
    for (int layer = 0; layer < 12; ++layer) {
        for (Qubit q = layer % 2; q + 1 < 16; q += 2) {
            auto u = testing::random_unitary(4, gen);
            std::array<Complex, 16> m;
            std::copy(u.begin(), u.end(), m.begin());
            apply_ok(backend, state, instance(Gate::unitary2q(m), {q, static_cast<Qubit>(q + 1)}));
        }
    }
    EXPECT_EQ(state.max_bond_reached(), 128u);
    EXPECT_GT(state.discarded_weight(), 0.0);
    for (const Site& site : state.sites()) EXPECT_LE(site.chi_right, 128u);
    auto norm = backend.expectation_value(state, PauliString{{}, 1.0});
    ASSERT_TRUE(norm.has_value());
    EXPECT_NEAR(*norm, 1.0, 1e-10);
}

// ---- Exact angles, long-range gates and deep circuits against the dense reference ----

// An angle as circuits are written: mostly a multiple of π/4, whose sine or
// cosine is a rounding residue where it should be 0 (cos(π/2) = 6e-17), so
// residues meet residues in every two-site block; sometimes any angle.
double circuit_angle(std::mt19937_64& gen) {
    constexpr double PI = std::numbers::pi;
    constexpr std::array<double, 6> EXACT = {PI, PI / 2, PI / 4, -PI / 2, 3 * PI / 4, -PI};
    if (gen() % 3 != 0) return EXACT[gen() % EXACT.size()];
    return std::uniform_real_distribution<double>(-PI, PI)(gen);
}

Gate circuit_1q_gate(std::mt19937_64& gen) {
    switch (gen() % 9) {
        case 0:
            return Gate::h();
        case 1:
            return Gate::x();
        case 2:
            return Gate::s();
        case 3:
            return Gate::t();
        case 4:
            return Gate::tdg();
        case 5:
            return Gate::rx(circuit_angle(gen));
        case 6:
            return Gate::ry(circuit_angle(gen));
        case 7:
            return Gate::rz(circuit_angle(gen));
        default:
            return Gate::u3(circuit_angle(gen), circuit_angle(gen), circuit_angle(gen));
    }
}

Gate circuit_2q_gate(std::mt19937_64& gen) {
    switch (gen() % 6) {
        case 0:
        case 1:
            return Gate::cnot();
        case 2:
            return Gate::cz();
        case 3:
            return Gate::swap();
        case 4:
            return Gate::cry(circuit_angle(gen));
        default:
            return Gate::crz(circuit_angle(gen));
    }
}

// The same gates and mid-circuit measurements on an MPS and on the dense
// reference; the dense state collapses to the MPS's outcome. Records the
// first failure instead of stopping the caller's loop.
struct Differential {
    MpsBackend backend;
    MpsState state;
    Dense psi;
    std::size_t gates = 0;
    std::string failure;

    Differential(std::uint64_t seed, Qubit n)
        : backend(MpsBackend::with_seed(seed)), state(*backend.new_state(n)), psi(dense_zero(n)) {}

    void apply(const GateInstance& gate) {
        if (!failure.empty()) return;
        if (auto applied = backend.apply_gate(state, gate); !applied) {
            failure = std::string(gate.gate.name()) + ": " + applied.error().message();
            return;
        }
        dense_apply(psi, gate);
        ++gates;
    }

    void measure(Qubit q) {
        if (!failure.empty()) return;
        auto outcome = backend.measure(state, q);
        if (!outcome) {
            failure = "measure: " + outcome.error().message();
            return;
        }
        const double p = testing::dense_probability(psi, q, *outcome);
        if (p < 1e-9) {
            failure = "measured an outcome of dense probability " + std::to_string(p);
            return;
        }
        testing::dense_collapse(psi, q, *outcome);
    }
};

Qubit other_qubit(Qubit n, std::initializer_list<Qubit> taken, std::mt19937_64& gen) {
    for (;;) {
        const auto q = static_cast<Qubit>(gen() % n);
        if (std::find(taken.begin(), taken.end(), q) == taken.end()) return q;
    }
}

TEST(MpsDifferential, BlockSpanningTwoHundredOrdersOfMagnitude) {
    // Rounding residues multiplied from site to site give the last CNOT's
    // block entries from 0.5 down to 1e-209.
    const Gate cx = Gate::cnot(), h = Gate::h(), x = Gate::x(), t = Gate::t(), swap = Gate::swap();
    // clang-format off
    const std::vector<GateInstance> gates = {
        instance(Gate::ry(-1.3271055340252818), {6}), instance(cx, {5, 7}), instance(cx, {8, 9}), instance(h, {6}),
        instance(x, {4}), instance(Gate::ry(std::numbers::pi), {4}), instance(cx, {6, 3}), instance(cx, {0, 8}),
        instance(swap, {1, 6}), instance(x, {8}), instance(swap, {9, 8}), instance(t, {1}), instance(x, {2}),
        instance(cx, {3, 2}), instance(h, {3}), instance(cx, {1, 9}), instance(x, {2}), instance(h, {1}),
        instance(h, {6}), instance(swap, {1, 6}), instance(t, {1}), instance(cx, {0, 1}), instance(h, {3}),
        instance(h, {9}), instance(cx, {4, 0})};
    // clang-format on
    Differential run(1, 10);
    for (const GateInstance& gate : gates) run.apply(gate);
    ASSERT_EQ(run.failure, "");
    EXPECT_EQ(run.gates, 25u);
    EXPECT_LT(max_abs_diff(to_dense(run.state), run.psi), 1e-14);
}

TEST(MpsDifferential, ExactAngleCircuitsMatchTheDenseReferenceAndNeverFail) {
    // 3 to 12 qubits, up to 60 steps: one- and two-qubit gates on any qubits
    // (so routing swaps), Toffolis lowered to CNOT, H and T, mid-circuit
    // measurements. Fewer circuits under the sanitisers, which run far slower.
#if defined(__SANITIZE_ADDRESS__)
    constexpr int CIRCUITS = 1000;
#else
    constexpr int CIRCUITS = 10000;
#endif
    std::mt19937_64 gen(23);
    int failed = 0;
    for (int trial = 0; trial < CIRCUITS; ++trial) {
        const auto n = static_cast<Qubit>(3 + gen() % 10);
        Differential run(static_cast<std::uint64_t>(trial), n);
        const std::size_t steps = 1 + gen() % 60;
        for (std::size_t step = 0; step < steps; ++step) {
            const std::uint64_t kind = gen() % 25;
            if (kind == 0) {
                run.measure(static_cast<Qubit>(gen() % n));
            } else if (kind == 1) {
                const Qubit c0 = other_qubit(n, {}, gen), c1 = other_qubit(n, {c0}, gen);
                for (const GateInstance& gate : testing::toffoli_lowered(c0, c1, other_qubit(n, {c0, c1}, gen)))
                    run.apply(gate);
            } else if (kind < 12) {
                const Qubit a = other_qubit(n, {}, gen);
                run.apply(instance(circuit_2q_gate(gen), {a, other_qubit(n, {a}, gen)}));
            } else {
                run.apply(instance(circuit_1q_gate(gen), {static_cast<Qubit>(gen() % n)}));
            }
        }
        if (!run.failure.empty()) {
            if (++failed <= 5) ADD_FAILURE() << "circuit " << trial << " on " << n << " qubits: " << run.failure;
            continue;
        }
        // Twelve qubits never reach the bond cap, so nothing but singular
        // values at the level of rounding residues is ever dropped.
        const double fidelity = testing::fidelity(to_dense(run.state), run.psi);
        if (!(std::abs(1.0 - fidelity) <= 1e-10) && ++failed <= 5) {
            ADD_FAILURE() << "circuit " << trial << " on " << n << " qubits: fidelity " << fidelity;
        }
    }
    EXPECT_EQ(failed, 0);
}

// A multi-controlled X by the V-chain: Toffolis compute the AND of the
// controls into clean ancillas (at least controls.size() - 2 of them) and
// uncompute them again, each Toffoli lowered to CNOT, H and T.
void controlled_x(Differential& run, const std::vector<Qubit>& controls, Qubit target,
                  const std::vector<Qubit>& ancillas) {
    auto toffoli = [&run](Qubit c0, Qubit c1, Qubit t) {
        for (const GateInstance& gate : testing::toffoli_lowered(c0, c1, t)) run.apply(gate);
    };
    const std::size_t k = controls.size();
    if (k == 1) {
        run.apply(instance(Gate::cnot(), {controls[0], target}));
        return;
    }
    if (k == 2) {
        toffoli(controls[0], controls[1], target);
        return;
    }
    toffoli(controls[0], controls[1], ancillas[0]);
    for (std::size_t i = 2; i + 1 < k; ++i) toffoli(controls[i], ancillas[i - 2], ancillas[i - 1]);
    toffoli(controls[k - 1], ancillas[k - 3], target);
    for (std::size_t i = k - 1; i-- > 2;) toffoli(controls[i], ancillas[i - 2], ancillas[i - 1]);
    toffoli(controls[0], controls[1], ancillas[0]);
}

TEST(MpsDifferential, DeepQuantumWalkMatchesTheDenseReference) {
    // A coined walk on a cycle of 128 positions: qubit 0 is the coin, 1..7
    // the position (1 least significant), 8..12 ancillas. Each step tosses
    // the coin, increments the position when it shows 1 and decrements it
    // when it shows 0, every carry a multi-controlled X; ten steps are
    // 10,850 gates.
    constexpr Qubit COIN = 0;
    constexpr Qubit POSITION_BITS = 7;
    const std::vector<Qubit> ancillas = {8, 9, 10, 11, 12};
    Differential run(0, 13);
    auto increment = [&](bool reverse) {
        for (Qubit step = 0; step < POSITION_BITS; ++step) {
            const Qubit bit = reverse ? step : POSITION_BITS - 1 - step;  // a decrement undoes an increment
            std::vector<Qubit> controls = {COIN};
            for (Qubit lower = 0; lower < bit; ++lower) controls.push_back(1 + lower);
            controlled_x(run, controls, 1 + bit, ancillas);
        }
    };
    for (int step = 0; step < 10; ++step) {
        run.apply(instance(Gate::h(), {COIN}));
        increment(false);
        run.apply(instance(Gate::x(), {COIN}));
        increment(true);
        run.apply(instance(Gate::x(), {COIN}));
    }
    ASSERT_EQ(run.failure, "");
    EXPECT_EQ(run.gates, 10850u);
    EXPECT_LT(run.state.max_bond_reached(), MAX_BOND);
    EXPECT_GE(run.state.swap_count(), 1000u);
    EXPECT_NEAR(testing::fidelity(to_dense(run.state), run.psi), 1.0, 1e-10);
    // Clean ancillas, and the walker within ten positions of the start.
    for (std::uint64_t x = 0; x < run.psi.size(); ++x) {
        const std::uint64_t position = (x >> 1) & 127;
        if (std::norm(run.psi[x]) > 1e-20) {
            EXPECT_EQ(x >> 8, 0u);
            EXPECT_TRUE(position <= 10 || position >= 118) << position;
        }
    }
}

// ---- Errors ------------------------------------------------------------------

TEST(MpsBackendErrors, GateChecksInOrderWithExactMessages) {
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState state = fresh(backend, 3);
    const std::array<Complex, 4> nan_matrix{Complex(NaN, 0), 0, 0, 1};
    const std::vector<std::pair<GateInstance, std::string>> cases = {
        {instance(Gate::h(), {3}), "qubit 3 out of range for 3-qubit state"},
        {instance(Gate::h(), {0}, {1}), "gate `H` is not supported by this backend"},
        {instance(Gate::rx(NaN), {0}), "gate `Rx` is not supported by this backend"},
        {instance(Gate::rx(INF), {7}), "gate `Rx` is not supported by this backend"},  // matrix before range
        {instance(Gate::rz(Param::symbolic(0)), {0}), "gate `Rz` is not supported by this backend"},
        {instance(Gate::unitary1q(nan_matrix), {0}), "gate `Unitary1q` has a non-finite (NaN or infinite) parameter"},
        {instance(Gate::unitary1q_diag(Complex(1, 0), Complex(0, INF)), {0}),
         "gate `Unitary1qDiag` has a non-finite (NaN or infinite) parameter"},
        {instance(Gate::unitary_kq(1, {1, 0, 0, 1}), {0}), "gate `UnitaryKq` is not supported by this backend"},
        {instance(Gate::toffoli(), {0, 1, 2}), "gate `Toffoli` is not supported by this backend"},
        {instance(Gate::ccz(), {0, 1, 2}), "gate `Ccz` is not supported by this backend"},
        {instance(Gate::phase(0.5), {0}, {1}), "gate `Phase` is not supported by this backend"},
        {instance(Gate::cnot(), {0, 5}), "qubit 5 out of range for 3-qubit state"},
        {instance(Gate::cnot(), {4, 1}), "qubit 4 out of range for 3-qubit state"},
        {instance(Gate::cz(), {1, 1}), "duplicate qubit 1 in gate or query"},
        {instance(Gate::cz(), {1, 1}, {9}), "duplicate qubit 1 in gate or query"},  // before controls
        {instance(Gate::swap(), {0, 2}, {1}), "gate `Swap` is not supported by this backend"},
        {instance(Gate::crx(NaN), {0, 1}), "gate `CRx` is not supported by this backend"},
        {instance(Gate::unitary2q({Complex(0, NaN)}), {0, 1}),
         "gate `Unitary2q` has a non-finite (NaN or infinite) parameter"},
        {instance(Gate::unitary_kq(2, std::vector<Complex>(16, 0)), {0, 1}),
         "gate `UnitaryKq` is not supported by this backend"},
        {instance(Gate::unitary_kq(3, std::vector<Complex>(64, 0)), {0, 1, 2}),
         "gate `UnitaryKq` is not supported by this backend"},
    };
    const Dense before = to_dense(state);
    for (const auto& [gate, message] : cases) {
        EXPECT_EQ(message_of(backend.apply_gate(state, gate)), message) << gate.gate.name();
    }
    EXPECT_EQ(to_dense(state), before);
    EXPECT_EQ(state.free_swap_count(), 0u);
    EXPECT_EQ(state.swap_count(), 0u);
}

TEST(MpsBackendErrors, GateWithTooFewTargetsIsAnInvariantFailure) {
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState state = fresh(backend, 3);
    EXPECT_THROW((void)backend.apply_gate(state, instance(Gate::cnot(), {0})), InvariantError);
    EXPECT_THROW((void)backend.apply_gate(state, instance(Gate::h(), {})), InvariantError);
}

TEST(MpsBackendErrors, MpsErrorMapping) {
    const std::vector<std::pair<MpsError, std::string>> cases = {
        {MpsError::qubit_out_of_range(4, 2), "qubit 4 out of range for 2-qubit state"},
        {MpsError::unsupported_gate("Ccz"), "gate `Ccz` is not supported by this backend"},
        {MpsError::non_adjacent(0, 2),
         "backend state is invalid: 2q gate applied to non-adjacent sites (lazy SWAP router invariant violated)"},
        {MpsError::controlled_gate("Cz"), "gate `Cz` is not supported by this backend"},
        {MpsError::non_finite_matrix("Unitary2q"), "gate `Unitary2q` has a non-finite (NaN or infinite) parameter"},
        {MpsError::degenerate_measurement(3, 0.0), "measurement of qubit 3 on degenerate branch (p = 0e0)"},
        {MpsError::svd_failed(), "backend state is invalid: SVD failed to converge during 2q-gate truncation"},
    };
    for (const auto& [error, message] : cases) EXPECT_EQ(map_mps_err(error).message(), message);
    EXPECT_EQ(map_mps_err(MpsError::non_adjacent(0, 2)), BackendError::invalid_state(NON_ADJACENT_REASON));
}

TEST(MpsBackendErrors, Matrix4x4ChecksControlsThenMatrixThenFiniteness) {
    EXPECT_EQ(matrix_4x4(instance(Gate::cnot(), {0, 1}, {2})).error(), MpsError::controlled_gate("Cnot"));
    EXPECT_EQ(matrix_4x4(instance(Gate::h(), {0})).error(), MpsError::unsupported_gate("H"));
    EXPECT_EQ(matrix_4x4(instance(Gate::toffoli(), {0, 1, 2})).error(), MpsError::unsupported_gate("Toffoli"));
    EXPECT_EQ(matrix_4x4(instance(Gate::cry(INF), {0, 1})).error(), MpsError::unsupported_gate("CRy"));
    EXPECT_EQ(matrix_4x4(instance(Gate::unitary2q({0, Complex(INF, 0)}), {0, 1})).error(),
              MpsError::non_finite_matrix("Unitary2q"));
    EXPECT_EQ(*matrix_4x4(instance(Gate::cnot(), {1, 0})), Gate::cnot().matrix()->m4());  // never reordered
}

TEST(MpsBackendErrors, NonFiniteStatesAreReportedNotPropagated) {
    // A finite but non-unitary user matrix overflows the tensors to infinity.
    const GateInstance huge = instance(Gate::unitary1q_diag(Complex(1e200, 0), Complex(1e200, 0)), {0});
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState state = fresh(backend, 2);
    apply_ok(backend, state, huge);
    apply_ok(backend, state, huge);
    EXPECT_EQ(error_text(backend.sample(state, 4)), "measurement of qubit 0 on degenerate branch (p = inf)");
    EXPECT_EQ(message_of(backend.apply_gate(state, instance(Gate::cnot(), {0, 1}))),
              "backend state is invalid: SVD failed to converge during 2q-gate truncation");
    EXPECT_EQ(error_text(backend.measure(state, 0)), "measurement of qubit 0 on degenerate branch (p = inf)");

    MpsState zero = fresh(backend, 2);
    apply_ok(backend, zero, instance(Gate::unitary1q({0, 0, 0, 0}), {1}));
    StdRng untouched = StdRng::seed_from_u64(0);
    EXPECT_EQ(error_text(backend.measure(zero, 1)), "measurement of qubit 1 on degenerate branch (p = 0e0)");
    EXPECT_EQ(error_text(backend.sample(zero, 4)), "measurement of qubit 0 on degenerate branch (p = 0e0)");
    EXPECT_EQ(backend.rng().next_u64(), untouched.next_u64());  // failed checks draw nothing
}

TEST(MpsBackendErrors, RunDriverErrors) {
    MpsBackend backend = MpsBackend::with_seed(0);
    EXPECT_EQ(error_text(backend::run(backend, ir::Circuit(0))), "cannot run an empty circuit");
    EXPECT_EQ(error_text(backend::run(backend, ir::Circuit(1025))),
              "requested 1025 qubits exceeds backend limit of 1024");
    EXPECT_EQ(error_text(backend.new_state(1025)), "requested 1025 qubits exceeds backend limit of 1024");

    ir::Circuit with_reset(2);
    ASSERT_TRUE(with_reset.add_gate(instance(Gate::h(), {0})));
    ASSERT_TRUE(with_reset.add_instruction(ir::Reset{0}));
    EXPECT_EQ(error_text(backend::run(backend, with_reset)), "IR instruction `reset` is not supported by this backend");

    ir::Circuit with_phase(2);
    ir::DiagonalPhase phase;
    phase.width = 2;
    phase.terms.push_back(ir::PhaseTerm{{0b11}, 0.5});
    ASSERT_TRUE(with_phase.add_instruction(std::move(phase)));
    EXPECT_EQ(error_text(backend::run(backend, with_phase)),
              "IR instruction `diagonal_phase` is not supported by this backend");

    // 1024 qubits are accepted; no instructions give |0…0>.
    auto big = backend::run(backend, ir::Circuit(1024));
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(big->num_qubits(), 1024u);
    auto z = backend.expectation_value(*big, *PauliString::make({{1023, Pauli::Z}}, 1.0));
    EXPECT_EQ(*z, 1.0);
}

TEST(MpsRunPath, CheckRunFindsEveryCircuitDecidedErrorFirst) {
    EXPECT_EQ(check_run(ir::Circuit(0)).error().message(), "run mps: cannot run an empty circuit");
    EXPECT_EQ(check_run(ir::Circuit(2000)).error().message(),
              "run mps: requested 2000 qubits exceeds backend limit of 1024");

    ir::Circuit wide(1000);
    for (Qubit q = 0; q + 1 < 1000; ++q) ASSERT_TRUE(wide.add_gate(instance(Gate::cnot(), {q, q + 1})));
    const auto sample_error = check_run(wide);
    ASSERT_FALSE(sample_error.has_value());
    EXPECT_EQ(sample_error.error().stage, RunStage::Sample);
    EXPECT_EQ(sample_error.error().message(), "sample: requested 1000 qubits exceeds backend limit of 64");
    // run_counts fails before simulating anything, so the generator is untouched.
    MpsBackend backend = MpsBackend::with_seed(5);
    EXPECT_EQ(run_counts(backend, wide, 10).error(), sample_error.error());
    EXPECT_EQ(backend.rng().next_u64(), StdRng::seed_from_u64(5).next_u64());

    ir::Circuit bad(3, 1);
    ASSERT_TRUE(bad.add_gate(instance(Gate::h(), {0})));
    ASSERT_TRUE(bad.add_instruction(ir::Measure{0, 0}));
    ASSERT_TRUE(bad.add_gate(instance(Gate::toffoli(), {0, 1, 2})));
    ASSERT_TRUE(bad.add_instruction(ir::Reset{1}));
    EXPECT_EQ(check_run(bad).error().message(), "run mps: gate `Toffoli` is not supported by this backend");
    ir::TiledBlock block;
    block.tile = 2;
    block.gates.push_back(instance(Gate::phase(1.0), {0}, {2}));
    ir::Circuit tiled(3);
    ASSERT_TRUE(tiled.add_instruction(std::move(block)));
    EXPECT_EQ(check_run(tiled).error().message(), "run mps: gate `Phase` is not supported by this backend");
    // The walk reports the same error check_run predicted.
    EXPECT_EQ(backend::run(backend, tiled).error(), check_run(tiled).error().error);
}

TEST(MpsRunPath, RunCountsSamplesTheFinalState) {
    ir::Circuit ghz(5, 1);
    ASSERT_TRUE(ghz.add_gate(instance(Gate::h(), {0})));
    for (Qubit q = 0; q < 4; ++q) ASSERT_TRUE(ghz.add_gate(instance(Gate::cnot(), {q, q + 1})));
    MpsBackend backend = MpsBackend::with_seed(12);
    auto counts = run_counts(backend, ghz, 2000);
    ASSERT_TRUE(counts.has_value());
    ASSERT_EQ(counts->size(), 2u);
    EXPECT_EQ(counts->begin()->first, 0u);
    EXPECT_EQ(counts->rbegin()->first, 31u);
    EXPECT_EQ(counts->begin()->second + counts->rbegin()->second, 2000u);

    MpsBackend again = MpsBackend::with_seed(12);
    EXPECT_EQ(run_counts(again, ghz, 2000), counts);
}

// ---- Measurement -------------------------------------------------------------

TEST(MpsMeasure, BasisStatesAreDeterministicAndUnchanged) {
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState state = fresh(backend, 3);
    apply_ok(backend, state, instance(Gate::x(), {1}));
    const Dense before = to_dense(state);
    EXPECT_EQ(*backend.measure(state, 1), 1);
    EXPECT_EQ(*backend.measure(state, 2), 0);
    EXPECT_LT(max_abs_diff(to_dense(state), before), 1e-15);
    EXPECT_EQ(error_text(backend.measure(state, 3)), "qubit 3 out of range for 3-qubit state");
}

TEST(MpsMeasure, OutcomeFollowsTheDrawAndCollapsesLikeTheDenseProjection) {
    std::mt19937_64 gen(8);
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
        MpsBackend backend = MpsBackend::with_seed(seed);
        MpsState state = fresh(backend, 5);
        Dense psi = dense_zero(5);
        random_circuit(backend, state, psi, 25, gen);
        const Qubit q = static_cast<Qubit>(seed % 5);
        double p0 = 0, p1 = 0;
        for (std::uint64_t x = 0; x < psi.size(); ++x) ((x >> q) & 1 ? p1 : p0) += std::norm(psi[x]);

        StdRng mirror = StdRng::seed_from_u64(seed);
        const std::uint8_t expected = mirror.next_unit_f64() >= p0 / (p0 + p1) ? 1 : 0;
        auto outcome = backend.measure(state, q);
        ASSERT_TRUE(outcome.has_value());
        EXPECT_EQ(*outcome, expected);
        EXPECT_EQ(backend.rng().next_u64(), mirror.next_u64());  // exactly one draw

        const double kept = *outcome ? p1 : p0;
        for (std::uint64_t x = 0; x < psi.size(); ++x)
            psi[x] = (((x >> q) & 1) == *outcome) ? psi[x] / std::sqrt(kept) : Complex(0, 0);
        EXPECT_LT(max_abs_diff(to_dense(state), psi), 1e-10);
        EXPECT_EQ(state.center(), state.qubit_to_site()[q]);
    }
}

TEST(MpsMeasure, PlusStateCollapsesToABasisStateWithItsNorm) {
    int ones = 0;
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
        MpsBackend backend = MpsBackend::with_seed(seed);
        MpsState state = fresh(backend, 1);
        apply_ok(backend, state, instance(Gate::h(), {0}));
        const std::uint8_t outcome = *backend.measure(state, 0);
        ones += outcome;
        const Dense psi = to_dense(state);
        EXPECT_NEAR(std::abs(psi[outcome]), 1.0, 1e-15);
        EXPECT_EQ(psi[1 - outcome], Complex(0, 0));
    }
    EXPECT_GT(ones, 70);
    EXPECT_LT(ones, 130);
}

TEST(MpsMeasure, MidCircuitMeasurementsOfAWideGhzStateAgree) {
    // 200 qubits: too many to sample, but measuring every qubit shows the correlation.
    for (std::uint64_t seed : {1u, 2u, 3u, 4u}) {
        ir::Circuit circuit(200, 200);
        ASSERT_TRUE(circuit.add_gate(instance(Gate::h(), {0})));
        for (Qubit q = 0; q + 1 < 200; ++q) ASSERT_TRUE(circuit.add_gate(instance(Gate::cnot(), {q, q + 1})));
        ASSERT_TRUE(circuit.add_instruction(ir::Barrier{{0}}));
        for (Qubit q = 0; q < 200; ++q) ASSERT_TRUE(circuit.add_instruction(ir::Measure{(q * 37) % 200, q}));
        MpsBackend backend = MpsBackend::with_seed(seed);
        auto out = backend::run_with_outcomes(backend, circuit);
        ASSERT_TRUE(out.has_value());
        ASSERT_EQ(out->records.size(), 200u);
        EXPECT_EQ(out->records[0].index, 201u);  // barriers count
        for (const auto& record : out->records) EXPECT_EQ(record.outcome, out->records[0].outcome);
        EXPECT_EQ(out->state.max_bond_reached(), 2u);
    }
}

// ---- Sampling ----------------------------------------------------------------

TEST(MpsSample, SimpleStates) {
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState zero = fresh(backend, 4);
    const auto zeros = backend.sample(zero, 100);
    for (std::uint64_t word : *zeros) EXPECT_EQ(word, 0u);

    MpsState bell = fresh(backend, 2);
    apply_ok(backend, bell, instance(Gate::h(), {0}));
    apply_ok(backend, bell, instance(Gate::cnot(), {0, 1}));
    std::map<std::uint64_t, int> counts;
    const auto bell_words = backend.sample(bell, 1000);
    for (std::uint64_t word : *bell_words) ++counts[word];
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts.begin()->first, 0u);
    EXPECT_EQ(counts.rbegin()->first, 3u);

    EXPECT_TRUE(backend.sample(bell, 0)->empty());
}

TEST(MpsSample, WidthLimitIs64Qubits) {
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState too_wide = fresh(backend, 65);
    EXPECT_EQ(error_text(backend.sample(too_wide, 1)), "requested 65 qubits exceeds backend limit of 64");

    MpsState ghz = fresh(backend, 64);
    apply_ok(backend, ghz, instance(Gate::h(), {0}));
    for (Qubit q = 0; q < 63; ++q) apply_ok(backend, ghz, instance(Gate::cnot(), {q, q + 1}));
    int all_ones = 0;
    const auto ghz_words = backend.sample(ghz, 400);
    for (std::uint64_t word : *ghz_words) {
        ASSERT_TRUE(word == 0 || word == ~std::uint64_t{0}) << word;
        all_ones += word != 0;
    }
    EXPECT_GT(all_ones, 140);
    EXPECT_LT(all_ones, 260);
}

TEST(MpsSample, EmptyChainYieldsZerosWithoutDrawing) {
    MpsBackend backend = MpsBackend::with_seed(9);
    MpsState empty = *backend.new_state(0);
    auto words = backend.sample(empty, 5);
    ASSERT_TRUE(words.has_value());
    EXPECT_EQ(*words, std::vector<std::uint64_t>(5, 0));
    EXPECT_EQ(backend.rng().next_u64(), StdRng::seed_from_u64(9).next_u64());
}

TEST(MpsSample, DrawsOnePerChainPositionShotAfterShot) {
    // A product state with a permuted chain: bit for chain position k of shot
    // s is decided by draw s·n + k against that qubit's own P(0).
    MpsBackend backend = MpsBackend::with_seed(42);
    MpsState state = fresh(backend, 5);
    std::vector<double> p0(5);
    for (Qubit q = 0; q < 5; ++q) {
        const double theta = 0.4 + 0.5 * q;
        apply_ok(backend, state, instance(Gate::ry(theta), {q}));
        p0[q] = std::cos(theta / 2) * std::cos(theta / 2);
    }
    apply_ok(backend, state, instance(Gate::swap(), {0, 3}));
    apply_ok(backend, state, instance(Gate::swap(), {1, 4}));
    std::swap(p0[0], p0[3]);
    std::swap(p0[1], p0[4]);
    const MpsState before(state);
    auto words = backend.sample(state, 300);
    ASSERT_TRUE(words.has_value());

    StdRng mirror = StdRng::seed_from_u64(42);
    for (std::size_t s = 0; s < 300; ++s) {
        std::uint64_t expected = 0;
        for (std::size_t k = 0; k < 5; ++k) {
            const Qubit q = state.site_to_qubit()[k];
            if (mirror.next_unit_f64() >= p0[q]) expected |= std::uint64_t{1} << q;
        }
        ASSERT_EQ((*words)[s], expected) << "shot " << s;
    }
    // The state given is not changed.
    EXPECT_EQ(state.center(), before.center());
    for (std::size_t k = 0; k < 5; ++k) EXPECT_EQ(state.site(k).data, before.site(k).data);
}

TEST(MpsSample, StatisticsMatchTheDenseProbabilities) {
    std::mt19937_64 gen(99);
    MpsBackend backend = MpsBackend::with_seed(7);
    MpsState state = fresh(backend, 5);
    Dense psi = dense_zero(5);
    random_circuit(backend, state, psi, 40, gen);
    const std::uint32_t shots = 40000;
    std::map<std::uint64_t, double> counts;
    const auto words = backend.sample(state, shots);
    for (std::uint64_t word : *words) counts[word] += 1;
    for (std::uint64_t x = 0; x < psi.size(); ++x) {
        const double p = std::norm(psi[x]);
        const double sigma = std::sqrt(p * (1 - p) / shots);
        EXPECT_NEAR(counts[x] / shots, p, 5 * sigma + 1e-4) << x;
    }
}

TEST(MpsSample, SeededAndChunkedSamplingReproduce) {
    std::mt19937_64 gen(3);
    MpsBackend builder = MpsBackend::with_seed(0);
    MpsState state = fresh(builder, 8);
    Dense psi = dense_zero(8);
    random_circuit(builder, state, psi, 60, gen);

    const std::uint32_t shots = 10000;  // three chunks
    MpsBackend a = MpsBackend::with_seed(0), b = MpsBackend::with_seed(0), c = MpsBackend::with_seed(0);
    const std::vector<std::uint64_t> first = *a.sample(state, shots);
    EXPECT_EQ(*b.sample(state, shots), first);

    std::vector<std::uint64_t> chunked;
    std::size_t calls = 0;
    struct Sink {
        std::vector<std::uint64_t>* out;
        std::size_t* calls;
    } sink{&chunked, &calls};
    auto push = [](void* context, std::span<const std::uint64_t> words) {
        auto* s = static_cast<Sink*>(context);
        EXPECT_LE(words.size(), SAMPLE_CHUNK_SHOTS);
        s->out->insert(s->out->end(), words.begin(), words.end());
        ++*s->calls;
    };
    ASSERT_TRUE(c.sample_chunked(state, shots, push, &sink));
    EXPECT_EQ(chunked, first);
    EXPECT_EQ(calls, 3u);
    EXPECT_EQ(a.rng().next_u64(), c.rng().next_u64());

    // A shorter run takes the same leading draws.
    MpsBackend d = MpsBackend::with_seed(0);
    const std::vector<std::uint64_t> few = *d.sample(state, 10);
    EXPECT_EQ(few, std::vector<std::uint64_t>(first.begin(), first.begin() + 10));

    MpsBackend other = MpsBackend::with_seed(1);
    EXPECT_NE(*other.sample(state, shots), first);
}

// ---- Expectation values ------------------------------------------------------

TEST(MpsExpectation, SimpleCases) {
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState state = fresh(backend, 3);
    EXPECT_EQ(*backend.expectation_value(state, *PauliString::make({{0, Pauli::Z}}, 0.5)), 0.5);
    EXPECT_EQ(*backend.expectation_value(state, *PauliString::make({{0, Pauli::X}}, 0.5)), 0.0);
    EXPECT_EQ(*backend.expectation_value(state, PauliString{{}, -2.5}), -2.5);
    EXPECT_EQ(error_text(backend.expectation_value(state, PauliString{{{1, Pauli::X}, {3, Pauli::Z}}, 1.0})),
              "qubit 3 out of range for 3-qubit state");
    MpsState empty = *backend.new_state(0);
    EXPECT_EQ(*backend.expectation_value(empty, PauliString{{}, 0.25}), 0.25);
    EXPECT_EQ(*backend::expectation_pauli_sum(backend, state, std::span<const PauliString>{}), 0.0);
}

TEST(MpsExpectation, RandomPauliStringsMatchTheDenseReference) {
    std::mt19937_64 gen(5);
    MpsBackend backend = MpsBackend::with_seed(0);
    for (int trial = 0; trial < 20; ++trial) {
        const auto n = static_cast<std::uint32_t>(2 + trial % 8);
        MpsState state = fresh(backend, n);
        Dense psi = dense_zero(n);
        random_circuit(backend, state, psi, 10 + 5 * n, gen);
        std::vector<PauliString> terms;
        for (int t = 0; t < 6; ++t) {
            std::vector<PauliOp> ops;
            for (Qubit q = 0; q < n; ++q) {
                const auto pauli = static_cast<Pauli>(gen() % 4);
                if (gen() % 2) ops.emplace_back(q, pauli);
            }
            terms.push_back(*PauliString::make(ops, std::uniform_real_distribution<double>(-2, 2)(gen)));
        }
        terms.push_back(PauliString{{{0, Pauli::X}, {0, Pauli::Y}}, 1.0});  // a qubit named twice: X then Y
        double sum = 0;
        for (const PauliString& term : terms) {
            const double expected = testing::dense_expectation(psi, term);
            auto got = backend.expectation_value(state, term);
            ASSERT_TRUE(got.has_value());
            EXPECT_NEAR(*got, expected, 1e-10);
            sum += expected;
        }
        EXPECT_NEAR(*backend::expectation_pauli_sum(backend, state, terms), sum, 1e-9);
    }
}

TEST(MpsUnpermute, RenamesQubits) {
    MpsBackend backend = MpsBackend::with_seed(0);
    MpsState state = fresh(backend, 3);
    apply_ok(backend, state, instance(Gate::x(), {0}));
    ASSERT_TRUE(backend.unpermute_state(state, std::vector<Qubit>{2, 0, 1}));
    // New qubit 1 is old qubit 0.
    EXPECT_EQ(*backend.expectation_value(state, *PauliString::make({{1, Pauli::Z}}, 1.0)), -1.0);
    EXPECT_THROW((void)backend.unpermute_state(state, std::vector<Qubit>{0, 0, 1}), InvariantError);
}

}  // namespace
}  // namespace nivra::mps
