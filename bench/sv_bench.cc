// State-vector paths beyond one kernel: sampling a state and a whole circuit
// optimised and run. The kernels one at a time, against the copy bandwidth,
// are in sv_kernels_bench.
//
// Arguments: {qubits, threads}; threads 0 = the whole pool, 1 = one thread.
// OptimizeAndRun at 28 qubits (4 GiB) only with NIVRA_BENCH_28=1.
//   ./sv_bench --benchmark_filter='qubits:20'

#include <benchmark/benchmark.h>

#include <span>

#include "nivra/backend/backend.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/backend.h"

#include "circuits.h"
#include "sv_common.h"

namespace {

using nivra::sv::CpuState;
using nivra::sv::NaiveSvBackend;

constexpr std::int64_t SHOTS = 1000000;

// 10^6 draws from a random state per iteration, by `draw(backend, state)`.
template <class Draw>
void run_sampling(benchmark::State& state, Draw draw) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = nivra::bench::limit_threads(state);
    CpuState s = nivra::bench::random_state(n);
    NaiveSvBackend sv = NaiveSvBackend::with_seed(1);
    for (auto _ : state) {
        auto drawn = draw(sv, s);
        benchmark::DoNotOptimize(drawn);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * SHOTS);
}

// Counted into the ordered histogram, as a run hands them to Python.
void Sample1M(benchmark::State& state) {
    run_sampling(state, [](NaiveSvBackend& sv, CpuState& s) { return nivra::backend::sample_counts(sv, s, SHOTS); });
}

// The draws alone: validation, alias table and 10^6 outcomes in a vector.
void Sample1MVector(benchmark::State& state) {
    run_sampling(state, [](NaiveSvBackend& sv, CpuState& s) { return sv.sample(s, SHOTS); });
}

// Optimise (fusion, tiling), run and undo the qubit permutation the optimiser
// left, as the state-vector path of a run does.
void optimize_and_run(benchmark::State& state, const nivra::ir::Circuit& circuit) {
    auto limit = nivra::bench::limit_threads(state);
    for (auto _ : state) {
        nivra::ir::Circuit copy = circuit;
        if (!copy.optimize()) state.SkipWithError("optimize failed");
        NaiveSvBackend sv = NaiveSvBackend::with_seed(3);
        auto out = nivra::backend::run_with_outcomes(sv, copy);
        if (!out) {
            state.SkipWithError("run failed");
            break;
        }
        if (copy.permutation()) {
            (void)nivra::backend::undo_permutation(sv, out->state, std::span(out->records), *copy.permutation());
        }
        benchmark::DoNotOptimize(out->state.amps.data());
    }
    state.counters["gates"] = static_cast<double>(circuit.size());
    state.counters["gates_per_s"] =
        benchmark::Counter(static_cast<double>(circuit.size()) * state.iterations(), benchmark::Counter::kIsRate);
}

// A 20-layer brickwork circuit (rotations, CNOTs on neighbours).
void OptimizeAndRun(benchmark::State& state) {
    optimize_and_run(state, nivra::bench::brickwork_circuit(static_cast<std::uint32_t>(state.range(0)), 20));
}

// Depth 20 of random rotations and CNOT/CZ on random pairs: fused 4-qubit
// blocks whose matrices are often half zeros, and few-angle phases.
void OptimizeAndRunRandomPairs(benchmark::State& state) {
    optimize_and_run(state, nivra::bench::random_pairing_circuit(static_cast<std::uint32_t>(state.range(0)), 20));
}

void SamplingArgs(benchmark::internal::Benchmark* b) {
    b->Args({20, 1})->Args({20, 0})->ArgNames({"qubits", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

void CircuitArgs(benchmark::internal::Benchmark* b) {
    b->Args({20, 1})->Args({20, 0})->Args({24, 1})->Args({24, 0});
    if (nivra::bench::large_sizes_enabled()) b->Args({28, 0});
    b->ArgNames({"qubits", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
}

BENCHMARK(Sample1MVector)->Apply(SamplingArgs);
BENCHMARK(Sample1M)->Apply(SamplingArgs);
BENCHMARK(OptimizeAndRun)->Apply(CircuitArgs);
BENCHMARK(OptimizeAndRunRandomPairs)->Apply(CircuitArgs);

}  // namespace
