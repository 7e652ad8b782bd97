// State-vector paths beyond one kernel: sampling a state and a whole circuit
// optimised and run. The kernels one at a time, against the copy bandwidth,
// are in sv_kernels_bench.
//
// Arguments: {qubits, threads}; threads 0 = the whole pool, 1 = one thread.
// OptimizeAndRun and AliasTable at 28 qubits (4 GiB, and 3 GiB more for the
// table) only with NIVRA_BENCH_28=1.
//   ./sv_bench --benchmark_filter='qubits:20'
//   ./sv_bench --benchmark_filter='AliasTable|ReadState'

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/backend.h"
#include "nivra/sv/sampling.h"

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

// Random amplitudes of a deep random circuit: Gaussian real and imaginary
// parts, normalised, so the probabilities follow the Porter-Thomas law (about
// 63% of the scaled probabilities below 1) and the alias construction meets
// the mix of small and large columns that real runs give it.
CpuState porter_thomas_state(std::uint32_t n) {
    CpuState s = CpuState::zero_state(n);
    constexpr std::size_t BLOCK = std::size_t{1} << 14;
    const std::size_t blocks = (s.len() + BLOCK - 1) / BLOCK;
    std::vector<double> norms(blocks);
    nivra::parallel_for_chunks(blocks, 1, [&](std::size_t b0, std::size_t b1) {
        for (std::size_t b = b0; b < b1; ++b) {
            nivra::StdRng rng = nivra::StdRng::seed_from_u64(b);
            double sum = 0;
            for (std::size_t i = b * BLOCK; i < std::min(s.len(), (b + 1) * BLOCK); ++i) {
                // Box-Muller from two uniform draws.
                const double u = 1.0 - rng.next_unit_f64(), v = rng.next_unit_f64();
                const double radius = std::sqrt(-2.0 * std::log(u));
                s.amps[i] =
                    nivra::Complex(radius * std::cos(6.283185307179586 * v), radius * std::sin(6.283185307179586 * v));
                sum += std::norm(s.amps[i]);
            }
            norms[b] = sum;
        }
    });
    double total = 0;
    for (double x : norms) total += x;
    const double scale = 1.0 / std::sqrt(total);
    nivra::parallel_for_chunks(s.len(), BLOCK, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) s.amps[i] *= scale;
    });
    return s;
}

// The alias table of a Porter-Thomas state (validation included), as every
// run with shots > 0 builds it; items are amplitudes. Compare with ReadState.
void AliasTable(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = nivra::bench::limit_threads(state);
    const CpuState s = porter_thomas_state(n);
    for (auto _ : state) {
        auto table = nivra::sv::sampling::build_alias_table(s);
        if (!table) state.SkipWithError("invalid state");
        benchmark::DoNotOptimize(table);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * s.len()));
}

// The floor for anything that reads the state once: the sum of every real and
// imaginary part, in blocks on the pool.
void ReadState(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = nivra::bench::limit_threads(state);
    const CpuState s = porter_thomas_state(n);
    constexpr std::size_t BLOCK = std::size_t{1} << 14;
    std::vector<double> partial((s.len() + BLOCK - 1) / BLOCK);
    for (auto _ : state) {
        nivra::parallel_for_chunks(partial.size(), 1, [&](std::size_t b0, std::size_t b1) {
            for (std::size_t b = b0; b < b1; ++b) {
                double sum = 0;
                for (std::size_t i = b * BLOCK; i < std::min(s.len(), (b + 1) * BLOCK); ++i) {
                    sum += s.amps[i].real() + s.amps[i].imag();
                }
                partial[b] = sum;
            }
        });
        benchmark::DoNotOptimize(partial.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * s.len()));
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

void TableArgs(benchmark::internal::Benchmark* b) {
    b->Args({20, 0})->Args({24, 1})->Args({24, 0});
    if (nivra::bench::large_sizes_enabled()) b->Args({28, 0});
    b->ArgNames({"qubits", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

void CircuitArgs(benchmark::internal::Benchmark* b) {
    b->Args({20, 1})->Args({20, 0})->Args({24, 1})->Args({24, 0});
    if (nivra::bench::large_sizes_enabled()) b->Args({28, 0});
    b->ArgNames({"qubits", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
}

BENCHMARK(Sample1MVector)->Apply(SamplingArgs);
BENCHMARK(Sample1M)->Apply(SamplingArgs);
BENCHMARK(AliasTable)->Apply(TableArgs);
BENCHMARK(ReadState)->Apply(TableArgs);
BENCHMARK(OptimizeAndRun)->Apply(CircuitArgs);
BENCHMARK(OptimizeAndRunRandomPairs)->Apply(CircuitArgs);

}  // namespace
