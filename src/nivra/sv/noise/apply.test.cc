#include "nivra/sv/noise/apply.h"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/sv/backend.h"
#include "nivra/sv/test_util.h"

namespace nivra::sv::noise {
namespace {

namespace t = nivra::sv::test;
using Names = std::vector<std::string>;
using Qubits = std::vector<Qubit>;
using Counts = std::vector<std::uint64_t>;

GateInstance gi(Gate gate, std::initializer_list<Qubit> targets, std::initializer_list<Qubit> controls = {}) {
    GateInstance g{std::move(gate), {}, {}};
    g.targets.assign(targets.begin(), targets.end());
    g.controls.assign(controls.begin(), controls.end());
    return g;
}

ir::Circuit circuit_of(std::uint32_t n, std::vector<ir::Instruction> instructions) {
    ir::Circuit c(n, n);
    for (auto& inst : instructions) {
        auto ok = c.add_instruction(std::move(inst));
        EXPECT_TRUE(ok.has_value()) << ok.error().message();
    }
    return c;
}

Counts counts_of(const ir::Circuit& c, const NoiseModel& m, std::uint32_t shots, std::uint64_t seed,
                 const TrajectoryLimits& limits = {}) {
    auto r = run_noisy(c, m, shots, seed, limits);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return r ? *r : Counts{};
}

template <class T>
std::string error_of(const std::expected<T, NoiseError>& r) {
    return r ? "ok" : r.error().message();
}

// |count − shots·p| within five binomial standard deviations (and one count of slack).
void expect_binomial(std::uint64_t count, std::uint64_t shots, double p, const std::string& what) {
    const double mean = static_cast<double>(shots) * p;
    const double sigma = std::sqrt(static_cast<double>(shots) * p * (1.0 - p));
    EXPECT_LE(std::abs(static_cast<double>(count) - mean), 5.0 * sigma + 1.0)
        << what << ": " << count << " of " << shots << ", expected p = " << p;
}

const ReadoutError SWAPPED{{0.0, 1.0, 1.0, 0.0}};

// ---- Per-shot generator ------------------------------------------------------

TEST(TrajectorySeed, IsSplitMix64OfSeedTimesGoldenPlusShot) {
    // The first outputs of the SplitMix64 generator from state 0 are the
    // finaliser of G, 2G, 3G: seeds 0, 1, 2 at shot 0.
    EXPECT_EQ(trajectory_seed(0, 0), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(trajectory_seed(1, 0), 0x6E789E6AA1B965F4ULL);
    EXPECT_EQ(trajectory_seed(2, 0), 0x06C45D188009454FULL);
    // Wrapping arithmetic: (2^64 − 1)·G + (5 + G) = 5 = 0·G + ((5 − G) + G).
    constexpr std::uint64_t G = 0x9E3779B97F4A7C15ULL;
    EXPECT_EQ(trajectory_seed(~std::uint64_t{0}, 5), trajectory_seed(0, 5 - G));
    // The seed is the multiplied operand, the shot the added one.
    EXPECT_NE(trajectory_seed(1, 2), trajectory_seed(2, 1));
}

// ---- Draw order --------------------------------------------------------------

// A two-qubit circuit that stays a basis state, so every shot's outcome can be
// predicted from the generator alone by following the documented draw order.
TEST(RunNoisy, DrawOrderPerShot) {
    const double gamma = 0.4;
    NoiseModel m;
    m.add_all_qubit_quantum_error(bit_flip_error(0.5), Names{"X"});
    m.add_all_qubit_quantum_error(amplitude_damping_error(gamma), Names{"X"});
    m.add_quantum_error(depolarizing_error(0.6, 2), Names{"Cnot"}, Qubits{0, 1});
    m.add_readout_error(1, ReadoutError{{0.8, 0.2, 0.35, 0.65}});
    m.add_readout_error(0, ReadoutError{{0.7, 0.3, 0.1, 0.9}});
    m.add_readout_error(5, SWAPPED);  // outside the circuit: no draw
    const ir::Circuit c = circuit_of(2, {gi(Gate::x(), {0}), ir::Barrier{{0, 1}}, gi(Gate::cnot(), {0, 1})});
    const QuantumError depol_error = depolarizing_error(0.6, 2);
    std::vector<double> depol;
    for (const PauliTerm& term : depol_error.as_mixture()->terms) depol.push_back(term.weight);
    const double excited_keep = std::sqrt(1.0 - gamma) * std::sqrt(1.0 - gamma);

    const std::uint64_t seed = 0xC0FFEE;
    const std::uint32_t shots = 400;
    auto prepared = NoisyCircuit::prepare(c, m);
    ASSERT_TRUE(prepared.has_value());
    Counts expected(4, 0);
    for (std::uint32_t s = 0; s < shots; ++s) {
        StdRng rng = StdRng::seed_from_u64(trajectory_seed(seed, s));
        unsigned b0 = 1, b1 = 0;                    // X(0)
        if (!(0.5 > rng.next_unit_f64())) b0 ^= 1;  // bit flip: I below 0.5, else X
        const double u_damp = rng.next_unit_f64();  // damping draws even on |0>
        if (b0 == 1 && !(excited_keep > u_damp)) b0 = 0;
        b1 ^= b0;  // Cnot(0, 1)
        const double u_depol = rng.next_unit_f64();
        std::size_t term = 15;
        for (double sum = 0.0, k = 0; k < 16; ++k) {
            sum += depol[static_cast<std::size_t>(k)];
            if (sum > u_depol) {
                term = static_cast<std::size_t>(k);
                break;
            }
        }
        const unsigned a = static_cast<unsigned>(term / 4), b = static_cast<unsigned>(term % 4);
        if (a == 1 || a == 2) b0 ^= 1;  // X or Y on the first target
        if (b == 1 || b == 2) b1 ^= 1;
        rng.next_u64();                                       // the final sample of a basis state
        if (rng.next_unit_f64() < (b0 ? 0.1 : 0.3)) b0 ^= 1;  // readout, qubit 0 first
        if (rng.next_unit_f64() < (b1 ? 0.35 : 0.2)) b1 ^= 1;
        const std::uint64_t outcome = b0 | (b1 << 1);
        auto got = prepared->run_trajectory(seed, s);
        ASSERT_TRUE(got.has_value());
        ASSERT_EQ(*got, outcome) << "shot " << s;
        ++expected[outcome];
    }
    EXPECT_EQ(counts_of(c, m, shots, seed), expected);
}

TEST(RunNoisy, CountsAreTheHistogramOfTheShotsWhateverTheShotCount) {
    NoiseModel m;
    m.add_all_qubit_quantum_error(depolarizing_error(0.3, 1), Names{"H", "Rx"});
    m.add_all_qubit_quantum_error(amplitude_damping_error(0.2), Names{"Rx"});
    m.add_readout_error(2, ReadoutError{{0.9, 0.1, 0.2, 0.8}});
    const ir::Circuit c = circuit_of(3, {gi(Gate::h(), {0}), gi(Gate::rx(1.1), {1}), gi(Gate::cnot(), {0, 2})});
    auto prepared = NoisyCircuit::prepare(c, m);
    ASSERT_TRUE(prepared.has_value());
    for (std::uint32_t shots : {1u, 57u, 200u}) {
        Counts expected(8, 0);
        for (std::uint32_t s = 0; s < shots; ++s) {
            ++expected[*prepared->run_trajectory(9, s)];
        }
        EXPECT_EQ(counts_of(c, m, shots, 9), expected) << shots;
    }
}

// ---- Thread-count independence -------------------------------------------------

NoiseModel mixed_model() {
    NoiseModel m;
    m.add_all_qubit_quantum_error(depolarizing_error(0.05, 1), Names{"H", "U3", "Rx"});
    m.add_all_qubit_quantum_error(depolarizing_error(0.08, 2), Names{"Cnot", "Toffoli"});
    m.add_all_qubit_quantum_error(amplitude_damping_error(0.1), Names{"Ry"});
    m.add_quantum_error(phase_damping_error(0.3), Names{"H"}, Qubits{2});
    m.add_quantum_error(pauli_error(std::vector<std::pair<std::string, double>>{{"Y", 1.0}, {"I", 3.0}}), Names{"Cz"},
                        Qubits{1, 3});
    m.add_readout_error(0, ReadoutError{{0.97, 0.03, 0.06, 0.94}});
    m.add_readout_error(3, ReadoutError{{0.9, 0.1, 0.15, 0.85}});
    return m;
}

ir::Circuit mixed_circuit(std::uint32_t n, std::uint64_t seed, std::size_t gates) {
    StdRng rng = StdRng::seed_from_u64(seed);
    ir::Circuit c(n, n);
    auto qubit = [&] { return static_cast<Qubit>(rng.next_u64() % n); };
    for (std::size_t i = 0; i < gates; ++i) {
        const Qubit a = qubit();
        Qubit b = qubit();
        while (b == a) b = qubit();
        Qubit d = qubit();
        while (d == a || d == b) d = qubit();
        GateInstance g = [&] {
            switch (rng.next_u64() % 8) {
                case 0:
                    return gi(Gate::h(), {a});
                case 1:
                    return gi(Gate::u3(t::uniform(rng, -3, 3), 0.4, -1.2), {a});
                case 2:
                    return gi(Gate::rx(t::uniform(rng, -3, 3)), {a}, {b});
                case 3:
                    return gi(Gate::ry(t::uniform(rng, -3, 3)), {a});
                case 4:
                    return gi(Gate::cnot(), {a, b});
                case 5:
                    return gi(Gate::cz(), {a, b});
                case 6:
                    return gi(Gate::toffoli(), {a, b, d});
                default:
                    return gi(Gate::iswap(), {a, b});
            }
        }();
        EXPECT_TRUE(c.add_gate(std::move(g)).has_value());
    }
    return c;
}

TEST(RunNoisy, CountsDoNotDependOnThreadsOrShotsInFlight) {
    const NoiseModel m = mixed_model();
    const ir::Circuit c = mixed_circuit(5, 17, 40);
    const std::uint32_t shots = 3000;
    const Counts reference = counts_of(c, m, shots, 1234);
    std::uint64_t total = 0;
    for (std::uint64_t k : reference) total += k;
    EXPECT_EQ(total, shots);
    for (std::size_t in_flight : {1u, 2u, 3u, 64u}) {
        EXPECT_EQ(counts_of(c, m, shots, 1234, TrajectoryLimits{in_flight}), reference) << in_flight;
    }
    {
        tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
        EXPECT_EQ(counts_of(c, m, shots, 1234), reference);
    }
    EXPECT_NE(counts_of(c, m, shots, 1235), reference);
}

// Above 2^18 amplitudes the kernels of a shot run on the pool themselves.
TEST(RunNoisy, NestedParallelKernelsGiveTheSameCounts) {
    const NoiseModel m = mixed_model();
    const ir::Circuit c = mixed_circuit(18, 5, 12);
    const Counts reference = counts_of(c, m, 6, 77);
    EXPECT_EQ(counts_of(c, m, 6, 77, TrajectoryLimits{1}), reference);
    tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
    EXPECT_EQ(counts_of(c, m, 6, 77), reference);
}

// ---- Statistics against exact values ------------------------------------------

constexpr std::uint32_t STAT_SHOTS = 20000;

TEST(RunNoisyStatistics, BitFlipAfterX) {
    for (double p : {0.05, 0.3, 0.5}) {
        NoiseModel m;
        m.add_all_qubit_quantum_error(bit_flip_error(p), Names{"X"});
        const Counts k = counts_of(circuit_of(1, {gi(Gate::x(), {0})}), m, STAT_SHOTS, 11);
        expect_binomial(k[0], STAT_SHOTS, p, "bit flip");
    }
}

TEST(RunNoisyStatistics, SameChannelAttachedTwiceIsAppliedTwice) {
    const double p = 0.2;
    NoiseModel m;
    m.add_all_qubit_quantum_error(bit_flip_error(p), Names{"X"});
    m.add_quantum_error(bit_flip_error(p), Names{"X"}, Qubits{0});
    const Counts k = counts_of(circuit_of(1, {gi(Gate::x(), {0})}), m, STAT_SHOTS, 12);
    expect_binomial(k[0], STAT_SHOTS, 2 * p * (1 - p), "two flips");
}

// H as a user matrix: not keyed as "H", so no channel follows it.
Gate h_matrix() {
    const double r = std::numbers::sqrt2 / 2.0;
    return Gate::unitary1q({Complex(r, 0), Complex(r, 0), Complex(r, 0), Complex(-r, 0)});
}

// ρ = |+><+| through depolarizing p is (1 − p)ρ + p·I/2; after H, P(1) = p/2.
// Only the Z and Y terms turn |+> into |->, so the phases of the Pauli
// kernels matter here.
TEST(RunNoisyStatistics, DepolarizingOneQubit) {
    for (double p : {0.1, 0.6, 1.0}) {
        NoiseModel m;
        m.add_quantum_error(depolarizing_error(p, 1), Names{"H"}, Qubits{0});
        const Counts k = counts_of(circuit_of(1, {gi(Gate::h(), {0}), gi(h_matrix(), {0})}), m, STAT_SHOTS, 13);
        expect_binomial(k[1], STAT_SHOTS, p / 2.0, "depolarizing");
    }
}

// |11> from X(0), Cnot(0, 1), then two-qubit depolarizing: a factor flips its
// bit when it is X or Y. No flip: 1 − 15p/16 + 3p/16; each other pattern 4p/16.
TEST(RunNoisyStatistics, DepolarizingTwoQubits) {
    const double p = 0.4;
    NoiseModel m;
    m.add_all_qubit_quantum_error(depolarizing_error(p, 2), Names{"Cnot"});
    const Counts k = counts_of(circuit_of(2, {gi(Gate::x(), {0}), gi(Gate::cnot(), {0, 1})}), m, STAT_SHOTS, 14);
    expect_binomial(k[3], STAT_SHOTS, 1.0 - 12.0 * p / 16.0, "no flip");
    expect_binomial(k[2], STAT_SHOTS, 4.0 * p / 16.0, "qubit 0 flipped");
    expect_binomial(k[1], STAT_SHOTS, 4.0 * p / 16.0, "qubit 1 flipped");
    expect_binomial(k[0], STAT_SHOTS, 4.0 * p / 16.0, "both flipped");
}

// Amplitude damping of |+>: populations (1 + γ)/2, (1 − γ)/2 and coherence
// √(1 − γ)/2, so after a second H, P(0) = (1 + √(1 − γ))/2. Phase damping keeps
// the populations and scales the coherence by √(1 − λ) alike.
TEST(RunNoisyStatistics, DampingChannelsOfPlus) {
    const ir::Circuit plus = circuit_of(1, {gi(Gate::h(), {0})});
    const ir::Circuit back = circuit_of(1, {gi(Gate::h(), {0}), gi(h_matrix(), {0})});
    for (double x : {0.25, 0.8}) {
        NoiseModel amp;
        amp.add_quantum_error(amplitude_damping_error(x), Names{"H"}, Qubits{0});
        expect_binomial(counts_of(plus, amp, STAT_SHOTS, 15)[1], STAT_SHOTS, (1.0 - x) / 2.0, "damped population");
        expect_binomial(counts_of(back, amp, STAT_SHOTS, 16)[0], STAT_SHOTS, (1.0 + std::sqrt(1.0 - x)) / 2.0,
                        "damped coherence");

        NoiseModel phase;
        phase.add_quantum_error(phase_damping_error(x), Names{"H"}, Qubits{0});
        expect_binomial(counts_of(plus, phase, STAT_SHOTS, 17)[1], STAT_SHOTS, 0.5, "dephased population");
        expect_binomial(counts_of(back, phase, STAT_SHOTS, 18)[0], STAT_SHOTS, (1.0 + std::sqrt(1.0 - x)) / 2.0,
                        "dephased coherence");
    }
}

TEST(RunNoisyStatistics, ReadoutErrorsPerQubitIndependently) {
    NoiseModel m;
    m.add_readout_error(0, ReadoutError{{0.9, 0.1, 0.3, 0.7}});
    m.add_readout_error(1, ReadoutError{{0.8, 0.2, 0.4, 0.6}});
    // True outcome |01>: qubit 0 is 1, qubit 1 is 0.
    const Counts k = counts_of(circuit_of(3, {gi(Gate::x(), {0})}), m, STAT_SHOTS, 19);
    expect_binomial(k[0b001], STAT_SHOTS, 0.7 * 0.8, "reported as is");
    expect_binomial(k[0b000], STAT_SHOTS, 0.3 * 0.8, "qubit 0 misread");
    expect_binomial(k[0b011], STAT_SHOTS, 0.7 * 0.2, "qubit 1 misread");
    expect_binomial(k[0b010], STAT_SHOTS, 0.3 * 0.2, "both misread");
    EXPECT_EQ(k[0b001] + k[0b000] + k[0b011] + k[0b010], STAT_SHOTS);
}

// ---- Channel placement ---------------------------------------------------------

std::uint64_t single_outcome(const ir::Circuit& c, const NoiseModel& m, std::uint32_t shots = 50) {
    const Counts k = counts_of(c, m, shots, 21);
    for (std::size_t x = 0; x < k.size(); ++x) {
        if (k[x] == shots) return x;
    }
    ADD_FAILURE() << "outcomes are not all equal";
    return ~std::uint64_t{0};
}

TEST(RunNoisy, CertainChannelsAndReadout) {
    NoiseModel m;
    m.add_all_qubit_quantum_error(bit_flip_error(1.0), Names{"X"});
    const ir::Circuit x = circuit_of(1, {gi(Gate::x(), {0})});
    EXPECT_EQ(single_outcome(x, m), 0u);
    m.add_readout_error(0, SWAPPED);
    EXPECT_EQ(single_outcome(x, m), 1u);

    NoiseModel damp;
    damp.add_all_qubit_quantum_error(amplitude_damping_error(1.0), Names{"X"});
    EXPECT_EQ(single_outcome(x, damp), 0u);
}

TEST(RunNoisy, ChannelsFollowEveryMatchingGateAndNothingElse) {
    NoiseModel m;
    m.add_all_qubit_quantum_error(bit_flip_error(1.0), Names{"X"});
    ir::DiagonalPhase phase;
    phase.terms.push_back(ir::PhaseTerm{{}, 0.5});
    phase.width = 1;
    // Each X is undone by its flip; one missed or extra flip would leave a 1.
    EXPECT_EQ(single_outcome(circuit_of(1, {gi(Gate::x(), {0}), ir::Barrier{{0}}, phase, gi(Gate::x(), {0})}), m), 0u);
}

TEST(RunNoisy, KeysUseTargetsOnlyAndChannelsActOnTargetsInOrder) {
    // A controlled X on target 1 matches (X, [1]), not (X, [1, 0]).
    NoiseModel controlled;
    controlled.add_quantum_error(bit_flip_error(1.0), Names{"X"}, Qubits{1});
    controlled.add_quantum_error(bit_flip_error(1.0), Names{"X"}, Qubits{1, 0});
    EXPECT_EQ(single_outcome(
                  circuit_of(2, {gi(Gate::h(), {0}), gi(Gate::h(), {0}), gi(Gate::x(), {0}), gi(Gate::x(), {1}, {0})}),
                  controlled),
              0b01u);

    // A one-qubit channel after a two-qubit gate acts on its first target.
    NoiseModel first;
    first.add_all_qubit_quantum_error(bit_flip_error(1.0), Names{"Cnot"});
    EXPECT_EQ(single_outcome(circuit_of(2, {gi(Gate::cnot(), {1, 0})}), first), 0b10u);

    // Factor j of a two-qubit term acts on target j.
    for (auto [a, b, expected] : {std::tuple{Pauli::X, Pauli::I, 0b10u}, std::tuple{Pauli::I, Pauli::X, 0b01u},
                                  std::tuple{Pauli::Y, Pauli::X, 0b11u}}) {
        NoiseModel m;
        m.add_all_qubit_quantum_error(QuantumError::pauli_mixture({{1.0, {a, b}}}, 2), Names{"Cnot"});
        EXPECT_EQ(single_outcome(circuit_of(2, {gi(Gate::cnot(), {1, 0})}), m), expected);
    }

    // A two-qubit channel after a three-target gate uses its first two targets.
    NoiseModel toffoli;
    toffoli.add_all_qubit_quantum_error(QuantumError::pauli_mixture({{1.0, {Pauli::X, Pauli::Z}}}, 2),
                                        Names{"Toffoli"});
    EXPECT_EQ(single_outcome(circuit_of(3, {gi(Gate::toffoli(), {2, 0, 1})}), toffoli), 0b100u);
}

TEST(RunNoisy, DrawPastTheTotalWeightSelectsTheLastTerm) {
    // The running sum never exceeds u: the last term is taken every time.
    NoiseModel zero;
    zero.add_all_qubit_quantum_error(QuantumError::pauli_mixture({{0.0, {Pauli::I}}, {0.0, {Pauli::X}}}, 1),
                                     Names{"X"});
    EXPECT_EQ(single_outcome(circuit_of(1, {gi(Gate::x(), {0})}), zero), 0u);
    NoiseModel nan;
    nan.add_all_qubit_quantum_error(QuantumError::pauli_mixture({{std::nan(""), {Pauli::I}}, {0.0, {Pauli::X}}}, 1),
                                    Names{"X"});
    EXPECT_EQ(single_outcome(circuit_of(1, {gi(Gate::x(), {0})}), nan), 0u);

    // Weights summing to 0.5: the terms below are drawn half the time, the
    // last term the other half as well.
    NoiseModel half;
    half.add_all_qubit_quantum_error(QuantumError::pauli_mixture({{0.25, {Pauli::I}}, {0.25, {Pauli::X}}}, 1),
                                     Names{"X"});
    const Counts k = counts_of(circuit_of(1, {gi(Gate::x(), {0})}), half, STAT_SHOTS, 22);
    expect_binomial(k[0], STAT_SHOTS, 0.75, "last term past the total");
}

// ---- One Kraus step against a dense reference ---------------------------------

TEST(ApplyChannel, KrausStepMatchesTheDenseBranch) {
    StdRng states = StdRng::seed_from_u64(3);
    for (int trial = 0; trial < 40; ++trial) {
        const Qubit target = static_cast<Qubit>(trial % 3);
        const double gamma = t::uniform(states, 0.0, 1.0);
        const QuantumError channel = trial % 2 ? amplitude_damping_error(gamma) : phase_damping_error(gamma);
        CpuState s = t::random_state(3, states);
        const std::vector<Complex> before = t::to_vector(s);

        // Branch weights from the reference: ||K ψ||².
        std::vector<std::vector<Complex>> branches;
        std::vector<double> weights;
        const Qubit targets[1] = {target};
        for (const KrausOp& k : channel.as_kraus()->ops) {
            branches.push_back(t::dense_apply(before, targets, {}, k));
            double w = 0;
            for (Complex a : branches.back()) w += std::norm(a);
            weights.push_back(w);
        }
        EXPECT_NEAR(weights[0] + weights[1], 1.0, 1e-12);

        StdRng rng = StdRng::seed_from_u64(100 + trial);
        StdRng replay = rng;
        apply_channel(s, channel, targets, rng);
        const std::size_t pick = weights[0] > replay.next_unit_f64() ? 0 : 1;
        std::vector<Complex> expected = branches[pick];
        for (Complex& a : expected) a /= std::sqrt(weights[pick]);
        EXPECT_LT(t::max_diff(t::to_vector(s), expected), 1e-12) << trial;
        // Exactly one draw.
        EXPECT_EQ(rng.next_u64(), replay.next_u64());
    }
}

TEST(ApplyChannel, RefusesAChannelWiderThanItsTargets) {
    CpuState s = CpuState::zero_state(2);
    StdRng rng = StdRng::seed_from_u64(1);
    const Qubit one[1] = {0};
    EXPECT_THROW(apply_channel(s, depolarizing_error(0.5, 2), one, rng), InvariantError);
    const Qubit outside[1] = {2};
    EXPECT_THROW(apply_channel(s, bit_flip_error(0.5), outside, rng), InvariantError);
}

// ---- Failures ----------------------------------------------------------------

TEST(RunNoisyErrors, QubitLimitsComeBeforeAnyAllocation) {
    const NoiseModel none;
    EXPECT_EQ(error_of(run_noisy(circuit_of(64, {gi(Gate::h(), {0})}), none, 0, 1)),
              "backend state is invalid: num_qubits exceeds platform usize::BITS");
    EXPECT_EQ(error_of(run_noisy(ir::Circuit(65535), none, 10, 1)),
              "backend state is invalid: num_qubits exceeds platform usize::BITS");
    // 2^40 counters would be 8 TiB: refused, not allocated.
    EXPECT_EQ(error_of(run_noisy(ir::Circuit(40), none, 0, 1)), "requested 40 qubits exceeds backend limit of 28");
    EXPECT_EQ(error_of(run_noisy(ir::Circuit(29), none, 0, 1)), "requested 29 qubits exceeds backend limit of 28");
    EXPECT_EQ(error_of(run_noisy(circuit_of(29, {gi(Gate::h(), {0})}), none, 3, 1)),
              "requested 29 qubits exceeds backend limit of 28");
}

TEST(RunNoisyErrors, ChannelWiderThanItsGateIsRefusedBeforeAnyShot) {
    NoiseModel all;
    all.add_all_qubit_quantum_error(depolarizing_error(0.1, 2), Names{"H"});
    // Even with no shots, and with a measurement (a per-shot error) earlier on.
    const ir::Circuit c = circuit_of(2, {ir::Measure{0, 0}, gi(Gate::cnot(), {0, 1}), gi(Gate::h(), {1})});
    EXPECT_EQ(error_of(run_noisy(c, all, 0, 1)), "noise channel acts on 2 qubits but gate `H` has 1 target");
    EXPECT_EQ(error_of(run_noisy(c, all, 100, 1)), "noise channel acts on 2 qubits but gate `H` has 1 target");

    NoiseModel local;
    local.add_quantum_error(QuantumError::pauli_mixture({{1.0, {Pauli::X, Pauli::I}}}, 2), Names{"Rz"}, Qubits{1});
    const ir::Circuit rz = circuit_of(2, {gi(Gate::rz(0.3), {0}), gi(Gate::rz(0.3), {1}, {0})});
    EXPECT_EQ(error_of(run_noisy(rz, local, 5, 1)), "noise channel acts on 2 qubits but gate `Rz` has 1 target");
    // The same channel on a two-target gate runs.
    NoiseModel fits;
    fits.add_all_qubit_quantum_error(depolarizing_error(0.1, 2), Names{"Cnot"});
    EXPECT_EQ(error_of(run_noisy(circuit_of(2, {gi(Gate::cnot(), {0, 1})}), fits, 5, 1)), "ok");
}

TEST(RunNoisyErrors, InstructionsOutsideTheNoisyPath) {
    const NoiseModel none;
    const std::string measure = "mid-circuit measure is not supported under noise in v1 (terminal measurement only)";
    EXPECT_EQ(error_of(run_noisy(circuit_of(1, {gi(Gate::h(), {0}), ir::Measure{0, 0}}), none, 5, 1)), measure);
    EXPECT_EQ(error_of(run_noisy(circuit_of(1, {ir::Reset{0}, gi(Gate::h(), {0})}), none, 5, 1)),
              "mid-circuit reset is not supported under noise in v1 (terminal measurement only)");
    ir::TiledBlock block;
    block.gates.push_back(gi(Gate::h(), {0}));
    block.tile = 1;
    EXPECT_EQ(error_of(run_noisy(circuit_of(1, {block}), none, 5, 1)),
              "instruction tiled-block is not supported under noise in v1");
    // Zero shots run no trajectory, so nothing fails.
    EXPECT_EQ(*run_noisy(circuit_of(2, {ir::Measure{0, 0}}), none, 0, 1), Counts(4, 0));
}

TEST(RunNoisyErrors, FirstFailingInstructionDecides) {
    const NoiseModel none;
    const Gate not_unitary = Gate::unitary1q({Complex(1, 0), Complex(0, 0), Complex(0, 0), Complex(1.0000001, 0)});
    // The backend's error, passed on unchanged.
    CpuState fresh = CpuState::zero_state(1);
    auto direct = NaiveSvBackend::with_seed(0).apply_gate(fresh, gi(not_unitary, {0}));
    ASSERT_FALSE(direct.has_value());
    EXPECT_TRUE(direct.error().message().starts_with("user-supplied matrix is not unitary (max deviation = 2.0000001"));
    EXPECT_EQ(error_of(run_noisy(circuit_of(1, {gi(not_unitary, {0}), ir::Measure{0, 0}}), none, 5, 1)),
              direct.error().message());
    EXPECT_EQ(error_of(run_noisy(circuit_of(1, {ir::Measure{0, 0}, gi(not_unitary, {0})}), none, 5, 1)),
              "mid-circuit measure is not supported under noise in v1 (terminal measurement only)");
    EXPECT_EQ(error_of(run_noisy(circuit_of(1, {gi(Gate::rx(Param::symbolic(0)), {0})}), none, 5, 1)),
              "backend requires concrete parameters; got symbolic");
    EXPECT_EQ(error_of(run_noisy(circuit_of(1, {gi(Gate::rx(INFINITY), {0})}), none, 5, 1)),
              "gate `Rx` has a non-finite (NaN or infinite) parameter");
}

TEST(RunNoisyErrors, ChannelThatBreaksTheStateFailsAtSampling) {
    NoiseModel m;
    m.add_all_qubit_quantum_error(QuantumError::kraus({KrausOp{Complex(1e200, 0), 0, 0, Complex(1e200, 0)}}),
                                  Names{"H"});
    EXPECT_EQ(error_of(run_noisy(circuit_of(1, {gi(Gate::h(), {0})}), m, 5, 1)),
              "backend state is invalid: state norm² deviates from 1 beyond drift budget");
}

TEST(RunNoisy, ZeroQubitsAndZeroShots) {
    const NoiseModel none;
    EXPECT_EQ(*run_noisy(ir::Circuit(0), none, 7, 1), Counts{7});
    EXPECT_EQ(*run_noisy(circuit_of(3, {gi(Gate::h(), {0})}), none, 0, 1), Counts(8, 0));
}

// Any channel the types can hold, with any weights, entries or readout
// probabilities, runs or fails with a message.
TEST(RunNoisy, ArbitraryChannelsRunOrFailWithAMessage) {
    StdRng rng = StdRng::seed_from_u64(99);
    const double odd[] = {0.0, -1.0, 0.3, 1.0, 2.5, 1e-310, 1e200, 1e308, std::nan(""), INFINITY, -INFINITY};
    auto value = [&] { return odd[rng.next_u64() % std::size(odd)]; };
    const Names names{"H", "X", "Cnot", "Rz", "Toffoli"};
    for (int trial = 0; trial < 60; ++trial) {
        NoiseModel m;
        for (int e = 0; e < 3; ++e) {
            std::optional<QuantumError> channel;
            switch (rng.next_u64() % 3) {
                case 0: {
                    std::vector<PauliTerm> terms;
                    for (std::uint64_t k = 0; k <= rng.next_u64() % 4; ++k) {
                        terms.push_back({value(), {static_cast<Pauli>(rng.next_u64() % 4)}});
                    }
                    channel = QuantumError::pauli_mixture(std::move(terms), 1);
                    break;
                }
                case 1:
                    channel = QuantumError::pauli_mixture(
                        {{value(), {Pauli::I, Pauli::Y}}, {value(), {Pauli::Z, Pauli::X}}}, 2);
                    break;
                default: {
                    std::vector<KrausOp> ops;
                    for (std::uint64_t k = 0; k <= rng.next_u64() % 3; ++k) {
                        ops.push_back({Complex(value(), value()), Complex(value(), 0), Complex(0, value()),
                                       Complex(value(), value())});
                    }
                    channel = QuantumError::kraus(std::move(ops));
                }
            }
            const std::string& name = names[rng.next_u64() % names.size()];
            if (rng.next_u64() % 2) {
                m.add_all_qubit_quantum_error(*channel, Names{name});
            } else {
                m.add_quantum_error(*channel, Names{name}, Qubits{static_cast<Qubit>(rng.next_u64() % 3)});
            }
        }
        m.add_readout_error(static_cast<Qubit>(rng.next_u64() % 3), ReadoutError{{value(), value(), value(), value()}});
        const ir::Circuit c = circuit_of(3, {gi(Gate::h(), {0}), gi(Gate::x(), {1}), gi(Gate::cnot(), {0, 2}),
                                             gi(Gate::rz(0.7), {2}), gi(Gate::toffoli(), {2, 1, 0})});
        auto r = run_noisy(c, m, 20, trial);
        if (r) {
            std::uint64_t total = 0;
            for (std::uint64_t k : *r) total += k;
            EXPECT_EQ(total, 20u);
        } else {
            EXPECT_FALSE(r.error().message().empty());
        }
    }
}

}  // namespace
}  // namespace nivra::sv::noise
