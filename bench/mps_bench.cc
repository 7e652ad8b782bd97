// Hot paths of the MPS simulator: one two-site update at a full bond, whole
// random circuits (nearest-neighbour brickwork, gates on distant qubits that
// need routing swaps, exact-angle gates), and sampling shots from a 50-qubit
// state.
#include <benchmark/benchmark.h>

#include <Eigen/QR>
#include <array>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/ir/circuit.h"
#include "nivra/mps/backend.h"
#include "nivra/mps/mps.h"

namespace {

using nivra::Complex;
using nivra::Gate;
using nivra::GateInstance;
using nivra::Qubit;
using nivra::mps::Matrix4;
using nivra::mps::MpsBackend;
using nivra::mps::MpsState;

Matrix4 random_unitary4(std::mt19937_64& gen) {
    std::normal_distribution<double> normal;
    Eigen::Matrix4cd a;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) a(r, c) = Complex(normal(gen), normal(gen));
    Eigen::Matrix4cd q = Eigen::HouseholderQR<Eigen::Matrix4cd>(a).householderQ();
    Matrix4 m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) m[static_cast<std::size_t>(r * 4 + c)] = q(r, c);
    return m;
}

GateInstance gate_on(Gate gate, std::initializer_list<Qubit> targets) {
    GateInstance g{std::move(gate), {}, {}};
    g.targets.assign(targets.begin(), targets.end());
    return g;
}

// Depth `depth` layers on n qubits: a random U3 on every qubit, then a Haar
// two-qubit gate on every other neighbouring pair (offset alternating). With
// `max_distance` > 1 the pairs are instead random pairs at most that far apart.
nivra::ir::Circuit random_circuit(std::uint32_t n, int depth, std::uint32_t max_distance, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> angle(-3.14, 3.14);
    nivra::ir::Circuit circuit(n);
    for (int layer = 0; layer < depth; ++layer) {
        for (Qubit q = 0; q < n; ++q) {
            (void)circuit.add_gate(gate_on(Gate::u3(angle(gen), angle(gen), angle(gen)), {q}));
        }
        if (max_distance <= 1) {
            for (Qubit q = static_cast<Qubit>(layer % 2); q + 1 < n; q += 2) {
                (void)circuit.add_gate(gate_on(Gate::unitary2q(random_unitary4(gen)), {q, q + 1}));
            }
        } else {
            for (std::uint32_t g = 0; g < n / 2; ++g) {
                const auto a = static_cast<Qubit>(gen() % n);
                const auto distance = static_cast<Qubit>(1 + gen() % max_distance);
                const Qubit b = a + distance < n ? a + distance : a - distance;
                (void)circuit.add_gate(gate_on(Gate::unitary2q(random_unitary4(gen)), {a, b}));
            }
        }
    }
    return circuit;
}

// One two-site update on the middle bond of a 24-qubit chain whose bonds are
// all at the cap χ = range(0), so θ is 2χ × 2χ.
void BM_TwoSiteUpdate(benchmark::State& state) {
    const auto chi = static_cast<std::size_t>(state.range(0));
    std::mt19937_64 gen(1);
    MpsState mps = MpsState::with_policy(24, nivra::mps::TruncationPolicy::fixed(chi));
    for (int layer = 0; layer < 24; ++layer) {
        for (std::size_t q = layer % 2; q + 1 < 24; q += 2) (void)mps.apply_2q_adjacent(q, q + 1, random_unitary4(gen));
    }
    const Matrix4 u = random_unitary4(gen);
    mps.move_center_to(11);
    for (auto _ : state) {
        auto applied = mps.apply_2q_adjacent(11, 12, u);
        benchmark::DoNotOptimize(applied);
    }
    state.counters["bond"] = static_cast<double>(mps.site(11).chi_right);
}
BENCHMARK(BM_TwoSiteUpdate)->Arg(32)->Arg(64)->Arg(128)->Unit(benchmark::kMillisecond);

// One centre step across a full bond (the QR sweep of move_center_to): each
// iteration moves the centre one site, alternately right (site 10 to 11) and
// left (back to 10), so the time is per step.
void BM_CenterStep(benchmark::State& state) {
    const auto chi = static_cast<std::size_t>(state.range(0));
    std::mt19937_64 gen(2);
    MpsState mps = MpsState::with_policy(24, nivra::mps::TruncationPolicy::fixed(chi));
    for (int layer = 0; layer < 24; ++layer) {
        for (std::size_t q = layer % 2; q + 1 < 24; q += 2) (void)mps.apply_2q_adjacent(q, q + 1, random_unitary4(gen));
    }
    mps.move_center_to(10);
    for (auto _ : state) {
        mps.move_center_to(mps.center() == 10 ? 11 : 10);
    }
    state.counters["bond"] = static_cast<double>(mps.site(10).chi_right);
}
BENCHMARK(BM_CenterStep)->Arg(64)->Arg(128)->Unit(benchmark::kMillisecond);

// A whole run of `circuit` through the generic driver with the backend's bond cap of 128.
void run_whole(benchmark::State& state, const nivra::ir::Circuit& circuit) {
    for (auto _ : state) {
        MpsBackend backend = MpsBackend::with_seed(0);
        auto final_state = nivra::backend::run(backend, circuit);
        if (!final_state) {
            state.SkipWithError(final_state.error().message().c_str());
            return;
        }
        state.counters["max_bond"] = static_cast<double>(final_state->max_bond_reached());
        state.counters["routing_swaps"] = static_cast<double>(final_state->swap_count());
        state.counters["discarded"] = final_state->discarded_weight();
    }
}

void BM_RunCircuit(benchmark::State& state, std::uint32_t n, int depth, std::uint32_t max_distance) {
    run_whole(state, random_circuit(n, depth, max_distance, 7));
}
BENCHMARK_CAPTURE(BM_RunCircuit, nn_100q_depth10, 100, 10, 1)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_RunCircuit, nn_100q_depth20, 100, 20, 1)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_RunCircuit, nonadjacent_50q_depth10, 50, 10, 6)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_CAPTURE(BM_RunCircuit, nn_50q_depth20, 50, 20, 1)->Unit(benchmark::kSecond)->Iterations(1);

// `depth` layers on n qubits of gates as circuits are written: H, T or an Ry
// of a multiple of π/4 on every qubit, then CNOTs on n/2 random pairs at any
// distance. Sines and cosines of these angles carry rounding residues
// (cos(π/2) = 6e-17), which the two-site updates multiply together.
nivra::ir::Circuit exact_angle_circuit(std::uint32_t n, int depth, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    nivra::ir::Circuit circuit(n);
    for (int layer = 0; layer < depth; ++layer) {
        for (Qubit q = 0; q < n; ++q) {
            const std::uint64_t which = gen() % 3;
            Gate gate = which == 0   ? Gate::h()
                        : which == 1 ? Gate::t()
                                     : Gate::ry(0.25 * std::numbers::pi * (gen() % 8));
            (void)circuit.add_gate(gate_on(std::move(gate), {q}));
        }
        for (std::uint32_t g = 0; g < n / 2; ++g) {
            const auto a = static_cast<Qubit>(gen() % n);
            const auto b = static_cast<Qubit>((a + 1 + gen() % (n - 1)) % n);
            (void)circuit.add_gate(gate_on(Gate::cnot(), {a, b}));
        }
    }
    return circuit;
}

void BM_RunExactAngleCircuit(benchmark::State& state, std::uint32_t n, int depth) {
    run_whole(state, exact_angle_circuit(n, depth, 11));
}
BENCHMARK_CAPTURE(BM_RunExactAngleCircuit, 12q_depth40, 12, 40)->Unit(benchmark::kMillisecond);

// range(0) shots from the final state of a 50-qubit brickwork of depth 20.
void BM_Sample(benchmark::State& state) {
    static const MpsState final_state = [] {
        MpsBackend backend = MpsBackend::with_seed(0);
        return *nivra::backend::run(backend, random_circuit(50, 20, 1, 7));
    }();
    MpsBackend backend = MpsBackend::with_seed(1);
    for (auto _ : state) {
        auto shots = backend.sample(final_state, static_cast<std::uint32_t>(state.range(0)));
        benchmark::DoNotOptimize(shots);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["max_bond"] = static_cast<double>(final_state.max_bond_reached());
}
BENCHMARK(BM_Sample)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
