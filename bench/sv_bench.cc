// State-vector throughput. Every kernel benchmark reports amplitudes per
// second (items/s) for one pass over the state; MemCopy gives the machine's
// copy bandwidth in the same units (one read and one write of 16 bytes per
// amplitude, the traffic of an in-place kernel), so kernel / MemCopy is the
// fraction of the bandwidth limit reached.
//
// Arguments: {qubits, threads}; threads 0 = the whole pool.
//   ./sv_bench --benchmark_filter='/20/|/24/'      the usual sizes
//   ./sv_bench --benchmark_filter='/28/'           4 GiB states

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include "nivra/backend/backend.h"
#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/backend.h"
#include "nivra/sv/kernels/diagonal_phase.h"
#include "nivra/sv/kernels/kernels.h"

#include "circuits.h"

namespace {

using nivra::Complex;
using nivra::Gate;
using nivra::GateInstance;
using nivra::Qubit;
using nivra::StdRng;
using nivra::sv::CpuState;
using nivra::sv::NaiveSvBackend;
namespace kernels = nivra::sv::kernels;

// Limits the pool to one thread while alive when asked to.
std::optional<tbb::global_control> limit_threads(const benchmark::State& state) {
    if (state.range(1) == 1) {
        return std::optional<tbb::global_control>(std::in_place, tbb::global_control::max_allowed_parallelism, 1);
    }
    return std::nullopt;
}

CpuState random_state(std::uint32_t n) {
    CpuState s = CpuState::zero_state(n);
    const double scale = 1.0 / std::sqrt(static_cast<double>(s.len()));
    nivra::parallel_for_chunks(s.len(), 1 << 14, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            s.amps[i] = Complex(scale * std::cos(0.37 * i), scale * std::sin(0.37 * i));
        }
    });
    return s;
}

std::vector<Complex> unitary(std::size_t dim, std::uint64_t seed) {
    StdRng rng = StdRng::seed_from_u64(seed);
    std::vector<Complex> m(dim * dim);
    for (auto& z : m) z = Complex(rng.next_unit_f64() - 0.5, rng.next_unit_f64() - 0.5);
    for (std::size_t r = 0; r < dim; ++r) {
        for (std::size_t p = 0; p < r; ++p) {
            Complex dot = 0;
            for (std::size_t c = 0; c < dim; ++c) dot += m[r * dim + c] * std::conj(m[p * dim + c]);
            for (std::size_t c = 0; c < dim; ++c) m[r * dim + c] -= dot * m[p * dim + c];
        }
        double norm = 0;
        for (std::size_t c = 0; c < dim; ++c) norm += std::norm(m[r * dim + c]);
        for (std::size_t c = 0; c < dim; ++c) m[r * dim + c] /= std::sqrt(norm);
    }
    return m;
}

template <class Apply>
void run_kernel(benchmark::State& state, Apply apply) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = limit_threads(state);
    CpuState s = random_state(n);
    for (auto _ : state) {
        apply(s.amps.data(), s.len());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(s.len()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(s.len()) * 32);
}

void MemCopy(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = limit_threads(state);
    CpuState a = random_state(n), b = random_state(n);
    for (auto _ : state) {
        nivra::parallel_for_chunks(a.len(), 1 << 14, [&](std::size_t begin, std::size_t end) {
            std::memcpy(b.amps.data() + begin, a.amps.data() + begin, (end - begin) * sizeof(Complex));
        });
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(a.len()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(a.len()) * 32);
}

void Dense1q(benchmark::State& state) {
    const auto m = Gate::u3(0.3, 0.7, -1.1).matrix()->m2();
    const Qubit target = static_cast<Qubit>(state.range(0) / 2);
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_1q(a, len, target, {}, m); });
}

void Dense1qLow(benchmark::State& state) {
    const auto m = Gate::u3(0.3, 0.7, -1.1).matrix()->m2();
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_1q(a, len, 0, {}, m); });
}

void Cnot(benchmark::State& state) {
    const Qubit c = 1, t = static_cast<Qubit>(state.range(0) - 2);
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::dispatch_cnot(a, len, c, t, {}); });
}

void Dense2q(benchmark::State& state) {
    const auto u = unitary(4, 1);
    std::array<Complex, 16> m{};
    std::copy(u.begin(), u.end(), m.begin());
    const Qubit q0 = 2, q1 = static_cast<Qubit>(state.range(0) - 3);
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_2q(a, len, q0, q1, {}, m); });
}

void UnitaryKq4(benchmark::State& state) {
    const auto m = unitary(16, 2);
    const auto n = static_cast<Qubit>(state.range(0));
    const std::vector<Qubit> targets = {1, 5, n / 2, n - 2};
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_kq_scalar_aos(a, len, targets, 4, m); });
}

void DiagonalPhase(benchmark::State& state) {
    // A fused run of Rz and CZ-like terms on every qubit (width n): the
    // per-index path, one sine and cosine per amplitude.
    const auto n = static_cast<std::uint32_t>(state.range(0));
    std::vector<nivra::ir::PhaseTerm> terms;
    for (std::uint32_t q = 0; q < n; ++q) {
        nivra::ir::PhaseTerm t;
        t.masks.push_back(std::uint64_t{1} << q);
        t.angle = 0.1 * (q + 1);
        terms.push_back(t);
    }
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_diagonal_phase_scalar_aos(a, len, terms); });
}

void DiagonalPhaseFewQubits(benchmark::State& state) {
    // Terms on 8 qubits: the pattern-table path.
    std::vector<nivra::ir::PhaseTerm> terms;
    for (std::uint32_t q = 0; q < 8; ++q) {
        nivra::ir::PhaseTerm t;
        t.masks.push_back((std::uint64_t{1} << q) | (std::uint64_t{1} << ((q + 1) % 8)));
        t.angle = 0.1 * (q + 1);
        terms.push_back(t);
    }
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_diagonal_phase_scalar_aos(a, len, terms); });
}

void TiledBlock16(benchmark::State& state) {
    // 16 gates below the tile of 15 qubits: one pass over the state. Items
    // count amplitudes per block (divide by 16 for per-gate figures).
    nivra::ir::TiledBlock block;
    block.tile = 15;
    for (Qubit q = 0; q < 8; ++q) {
        block.gates.push_back(nivra::bench::gate_on(Gate::u3(0.1 * q, 0.2, 0.3), {q}));
        block.gates.push_back(nivra::bench::gate_on(Gate::cnot(), {q, static_cast<Qubit>(q + 6)}));
    }
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = limit_threads(state);
    CpuState s = random_state(n);
    for (auto _ : state) {
        if (!sv.apply_tiled_block(s, block)) state.SkipWithError("tiled block failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(s.len()));
}

// Counted into the ordered histogram, as a run hands them to Python.
void Sample1M(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = limit_threads(state);
    CpuState s = random_state(n);
    NaiveSvBackend sv = NaiveSvBackend::with_seed(1);
    for (auto _ : state) {
        auto counts = nivra::backend::sample_counts(sv, s, 1000000);
        benchmark::DoNotOptimize(counts);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1000000);
}

// The draws alone: validation, alias table and 10^6 outcomes in a vector.
void Sample1MVector(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = limit_threads(state);
    CpuState s = random_state(n);
    NaiveSvBackend sv = NaiveSvBackend::with_seed(1);
    for (auto _ : state) {
        auto outcomes = sv.sample(s, 1000000);
        benchmark::DoNotOptimize(outcomes);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 1000000);
}

void OptimizeAndRun(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = limit_threads(state);
    const nivra::ir::Circuit circuit = nivra::bench::brickwork_circuit(n, 20);
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

void Args(benchmark::internal::Benchmark* b) {
    for (int n : {20, 24, 28}) {
        for (int threads : {1, 0}) b->Args({n, threads});
    }
    b->ArgNames({"qubits", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(MemCopy)->Apply(Args);
BENCHMARK(Dense1q)->Apply(Args);
BENCHMARK(Dense1qLow)->Apply(Args);
BENCHMARK(Cnot)->Apply(Args);
BENCHMARK(Dense2q)->Apply(Args);
BENCHMARK(UnitaryKq4)->Apply(Args);
BENCHMARK(DiagonalPhase)->Apply(Args);
BENCHMARK(DiagonalPhaseFewQubits)->Apply(Args);
BENCHMARK(TiledBlock16)->Apply(Args);
BENCHMARK(Sample1MVector)
    ->Args({20, 1})
    ->Args({20, 0})
    ->ArgNames({"qubits", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Sample1M)
    ->Args({20, 1})
    ->Args({20, 0})
    ->ArgNames({"qubits", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(OptimizeAndRun)
    ->Args({20, 1})
    ->Args({20, 0})
    ->Args({24, 1})
    ->Args({24, 0})
    ->Args({28, 0})
    ->ArgNames({"qubits", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
