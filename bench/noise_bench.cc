// Noisy-trajectory throughput: shots per second (items/s) of run_noisy on a
// brick circuit of depth 10 (a random rotation on every qubit, then CNOTs on
// alternating neighbour pairs) with depolarizing noise after every gate
// (p = 0.01 after one-qubit gates, 0.02 after CNOTs) and a readout error on
// every qubit.
//
// Arguments: {qubits, threads}; threads 0 = the whole pool.
//   ./noise_bench --benchmark_filter='/16/'

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <optional>
#include <string>
#include <vector>

#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/noise/apply.h"

#include "circuits.h"

namespace {

using nivra::Gate;
using nivra::GateInstance;
using nivra::Qubit;
using nivra::StdRng;
namespace noise = nivra::sv::noise;

std::optional<tbb::global_control> limit_threads(const benchmark::State& state) {
    if (state.range(1) == 1) {
        return std::optional<tbb::global_control>(std::in_place, tbb::global_control::max_allowed_parallelism, 1);
    }
    return std::nullopt;
}

noise::NoiseModel depolarizing_model(std::uint32_t n) {
    noise::NoiseModel m;
    m.add_all_qubit_quantum_error(noise::depolarizing_error(0.01, 1), std::vector<std::string>{"Rx", "Ry", "Rz"});
    m.add_all_qubit_quantum_error(noise::depolarizing_error(0.02, 2), std::vector<std::string>{"Cnot"});
    for (Qubit q = 0; q < n; ++q) {
        m.add_readout_error(q, noise::ReadoutError{{0.98, 0.02, 0.03, 0.97}});
    }
    return m;
}

void NoisyShots(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    const auto shots = static_cast<std::uint32_t>(state.range(2));
    auto limit = limit_threads(state);
    const nivra::ir::Circuit circuit = nivra::bench::brickwork_circuit(n, 10);
    const noise::NoiseModel model = depolarizing_model(n);
    std::uint64_t seed = 0;
    for (auto _ : state) {
        auto counts = noise::run_noisy(circuit, model, shots, seed++);
        if (!counts) {
            state.SkipWithError(counts.error().message().c_str());
            break;
        }
        benchmark::DoNotOptimize(counts->data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * shots);
    state.counters["pool_threads"] = state.range(1) == 1 ? 1.0 : static_cast<double>(nivra::pool_threads());
    state.counters["gates"] = static_cast<double>(circuit.size());
}

void Args(benchmark::internal::Benchmark* b) {
    // 10,000 shots per run at 10 and 16 qubits; the 20-qubit runs show a state
    // beyond the kernels' parallel threshold of 2^18 amplitudes.
    for (int threads : {1, 0}) {
        b->Args({10, threads, 10000});
        b->Args({16, threads, 10000});
        b->Args({20, threads, 200});
    }
    b->ArgNames({"qubits", "threads", "shots"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(NoisyShots)->Apply(Args);

}  // namespace
