// One state-vector kernel per benchmark, driven through the backend's own
// entry points (apply_gate, apply_diagonal_phase, apply_tiled_block) so that
// the figures follow whatever kernels sit underneath.
//
// Every benchmark reports, per pass over the state:
//   items_per_second  amplitudes per second;
//   copy_amps_per_s   the rate of an in-place scaled copy of the state
//                     (a[i] = a[i] * s, s = 1 hidden from the compiler: one
//                     16-byte read and one 16-byte write per amplitude, the
//                     traffic of a one-pass kernel), measured on the same
//                     state, with the same thread limit, on the same pool
//                     and with the kernels' default chunking, right before
//                     the benchmark's own timing;
//   copy_frac         items_per_second / copy_amps_per_s: 1.0 means the
//                     kernel runs at copy bandwidth.
// InPlaceScale itself is listed as well (copy_frac ~ 1 by construction, a
// check on the noise between two measurements).
//
// Arguments: {qubits, threads}; threads 0 = the whole pool, 1 = one thread.
// 20 and 26 qubits by default (a 26-qubit state is 1 GiB); 28 qubits (4 GiB)
// only with NIVRA_BENCH_28=1 in the environment.
//   ./sv_kernels_bench --benchmark_filter='qubits:20'
//   NIVRA_BENCH_28=1 ./sv_kernels_bench --benchmark_filter='qubits:28'

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/backend.h"

#include "circuits.h"

namespace {

using nivra::Complex;
using nivra::Gate;
using nivra::GateInstance;
using nivra::Qubit;
using nivra::StdRng;
using nivra::sv::CpuState;
using nivra::sv::NaiveSvBackend;

// The kernels' default smallest task (NIVRA_PAR_GRAIN unset), in amplitudes.
constexpr std::size_t COPY_GRAIN = 64;

std::optional<tbb::global_control> limit_threads(const benchmark::State& state) {
    if (state.range(1) == 1) {
        return std::optional<tbb::global_control>(std::in_place, tbb::global_control::max_allowed_parallelism, 1);
    }
    return std::nullopt;
}

// A normalised state with every amplitude non-zero, so no kernel meets
// special values.
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

// A Haar-ish random unitary (Gram-Schmidt on random rows): no entry is zero,
// so the dispatch never finds a special matrix.
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

// One in-place scaled copy of the whole state.
void scale_in_place(CpuState& s, double factor) {
    Complex* a = s.amps.data();
    nivra::parallel_for_chunks(s.len(), COPY_GRAIN, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) a[i] = a[i] * factor;
    });
}

// Copy rate in amplitudes per second: the best of a few passes.
double copy_rate(CpuState& s) {
    double factor = 1.0;
    benchmark::DoNotOptimize(factor);
    scale_in_place(s, factor);  // warm: pages, pool threads
    double best = 1e300;
    for (int rep = 0; rep < 3; ++rep) {
        const auto t0 = std::chrono::steady_clock::now();
        scale_in_place(s, factor);
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    benchmark::ClobberMemory();
    return static_cast<double>(s.len()) / best;
}

// Times `apply` (one pass over the state per call) and reports amplitudes per
// second and the fraction of the copy rate measured just before.
template <class Apply>
void run_pass(benchmark::State& state, Apply apply) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = limit_threads(state);
    CpuState s = random_state(n);
    const double copy = copy_rate(s);
    apply(s);  // warm
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        apply(s);
        benchmark::ClobberMemory();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double amps = static_cast<double>(state.iterations()) * static_cast<double>(s.len());
    state.SetItemsProcessed(static_cast<std::int64_t>(amps));
    state.counters["copy_amps_per_s"] = copy;
    state.counters["copy_frac"] = seconds > 0 ? amps / seconds / copy : 0.0;
}

// apply_gate on `gate`, failing the benchmark if the backend refuses it.
void run_gate(benchmark::State& state, const GateInstance& gate) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    run_pass(state, [&](CpuState& s) {
        if (!sv.apply_gate(s, gate)) state.SkipWithError("apply_gate failed");
    });
}

Qubit mid(const benchmark::State& state) { return static_cast<Qubit>(state.range(0) / 2); }
Qubit top(const benchmark::State& state) { return static_cast<Qubit>(state.range(0) - 1); }

void InPlaceScale(benchmark::State& state) {
    double factor = 1.0;
    benchmark::DoNotOptimize(factor);
    run_pass(state, [&](CpuState& s) { scale_in_place(s, factor); });
}

void Dense1q(benchmark::State& state) {
    run_gate(state, nivra::bench::gate_on(Gate::u3(0.3, 0.7, -1.1), {mid(state)}));
}

void Dense1qLow(benchmark::State& state) {
    run_gate(state, nivra::bench::gate_on(Gate::u3(0.3, 0.7, -1.1), {0}));
}

void Dense2q(benchmark::State& state) {
    const auto u = unitary(4, 1);
    std::array<Complex, 16> m{};
    std::copy(u.begin(), u.end(), m.begin());
    run_gate(state, nivra::bench::gate_on(Gate::unitary2q(m), {1, static_cast<Qubit>(top(state) - 1)}));
}

// The k-qubit path: targets spread from the lowest qubits to the top.
void DenseKq(benchmark::State& state, std::uint8_t k) {
    GateInstance g{Gate::unitary_kq(k, unitary(std::size_t{1} << k, k)), {}, {}};
    const std::vector<Qubit> spread = {0, 3, mid(state), static_cast<Qubit>(top(state) - 2), top(state)};
    g.targets.assign(spread.begin(), spread.begin() + k);
    run_gate(state, g);
}
void Dense3q(benchmark::State& state) { DenseKq(state, 3); }
void Dense4q(benchmark::State& state) { DenseKq(state, 4); }
void Dense5q(benchmark::State& state) { DenseKq(state, 5); }

// Rz: the 1-qubit diagonal kernel (one complex product per amplitude).
void Diagonal1q(benchmark::State& state) { run_gate(state, nivra::bench::gate_on(Gate::rz(0.4), {mid(state)})); }

// A fused run of Rz on every qubit and ZZ-like pairs: one sine and cosine per
// amplitude.
void DiagonalPhase(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    nivra::ir::DiagonalPhase phase;
    phase.width = n;
    for (std::uint32_t q = 0; q < n; ++q) {
        nivra::ir::PhaseTerm single;
        single.masks.push_back(std::uint64_t{1} << q);
        single.angle = 0.1 * (q + 1);
        phase.terms.push_back(single);
        nivra::ir::PhaseTerm pair;
        pair.masks.push_back((std::uint64_t{1} << q) | (std::uint64_t{1} << ((q + 1) % n)));
        pair.angle = 0.05 * (q + 1);
        phase.terms.push_back(pair);
    }
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    run_pass(state, [&](CpuState& s) { (void)sv.apply_diagonal_phase(s, phase); });
}

// The phase of a few qubits (8 terms over 8 qubits).
void DiagonalPhase8(benchmark::State& state) {
    nivra::ir::DiagonalPhase phase;
    phase.width = static_cast<std::uint32_t>(state.range(0));
    for (std::uint32_t q = 0; q < 8; ++q) {
        nivra::ir::PhaseTerm t;
        t.masks.push_back((std::uint64_t{1} << q) | (std::uint64_t{1} << ((q + 1) % 8)));
        t.angle = 0.1 * (q + 1);
        phase.terms.push_back(t);
    }
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    run_pass(state, [&](CpuState& s) { (void)sv.apply_diagonal_phase(s, phase); });
}

void PauliY(benchmark::State& state) { run_gate(state, nivra::bench::gate_on(Gate::y(), {mid(state)})); }

void Antidiagonal(benchmark::State& state) {
    const std::array<Complex, 4> m = {Complex(0, 0), Complex(0.6, 0.8), Complex(0.8, -0.6), Complex(0, 0)};
    run_gate(state, nivra::bench::gate_on(Gate::unitary1q(m), {mid(state)}));
}

void PauliX(benchmark::State& state) { run_gate(state, nivra::bench::gate_on(Gate::x(), {mid(state)})); }

void Cnot(benchmark::State& state) {
    run_gate(state, nivra::bench::gate_on(Gate::cnot(), {1, static_cast<Qubit>(top(state) - 1)}));
}

// 16 gates on the qubits below the default tile of 15, one pass over the
// state per block. Items are amplitudes per block; the gates_per_s counter
// gives gate applications per second.
void TiledBlock16(benchmark::State& state) {
    nivra::ir::TiledBlock block;
    block.tile = 15;
    for (Qubit q = 0; q < 8; ++q) {
        block.gates.push_back(nivra::bench::gate_on(Gate::u3(0.1 * q, 0.2, 0.3), {q}));
        block.gates.push_back(nivra::bench::gate_on(Gate::cnot(), {q, static_cast<Qubit>(q + 6)}));
    }
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    run_pass(state, [&](CpuState& s) {
        if (!sv.apply_tiled_block(s, block)) state.SkipWithError("tiled block failed");
    });
    state.counters["gates_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * block.gates.size()), benchmark::Counter::kIsRate);
}

void Sizes(benchmark::internal::Benchmark* b) {
    std::vector<int> sizes = {20, 26};
    if (const char* big = std::getenv("NIVRA_BENCH_28"); big != nullptr && std::strcmp(big, "1") == 0) {
        sizes.push_back(28);
    }
    for (int n : sizes) {
        for (int threads : {1, 0}) b->Args({n, threads});
    }
    b->ArgNames({"qubits", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(InPlaceScale)->Apply(Sizes);
BENCHMARK(Dense1q)->Apply(Sizes);
BENCHMARK(Dense1qLow)->Apply(Sizes);
BENCHMARK(Dense2q)->Apply(Sizes);
BENCHMARK(Dense3q)->Apply(Sizes);
BENCHMARK(Dense4q)->Apply(Sizes);
BENCHMARK(Dense5q)->Apply(Sizes);
BENCHMARK(Diagonal1q)->Apply(Sizes);
BENCHMARK(DiagonalPhase)->Apply(Sizes);
BENCHMARK(DiagonalPhase8)->Apply(Sizes);
BENCHMARK(PauliY)->Apply(Sizes);
BENCHMARK(Antidiagonal)->Apply(Sizes);
BENCHMARK(PauliX)->Apply(Sizes);
BENCHMARK(Cnot)->Apply(Sizes);
BENCHMARK(TiledBlock16)->Apply(Sizes);

}  // namespace
