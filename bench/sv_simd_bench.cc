// Throughput of every dense kernel width, the diagonals and a tiled block, in
// amplitudes per second (items/s) for one pass over the state, beside the copy
// bandwidth of the same run (MemCopy: memcpy of the state into a second one,
// one read and one write of 16 bytes per amplitude). kernel / MemCopy is the
// fraction of copy bandwidth reached; an in-place kernel at the memory limit
// can pass 1, since its writes go to lines it has just read while memcpy's
// destination lines are first read for ownership.
//
// Arguments: {qubits, threads}; threads 0 = the whole pool (RAYON_NUM_THREADS).
//   ./sv_simd_bench --benchmark_filter='/20/'      cache-resident states
//   ./sv_simd_bench --benchmark_filter='/26/'      1 GiB states

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/backend.h"
#include "nivra/sv/kernels/diagonal_phase.h"
#include "nivra/sv/kernels/kernels.h"
#include "nivra/sv/kernels/simd.h"

#include "circuits.h"

namespace {

using nivra::Complex;
using nivra::Gate;
using nivra::Qubit;
using nivra::sv::CpuState;
namespace kernels = nivra::sv::kernels;

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

// A random unitary (Gram–Schmidt over the rows of a random matrix).
std::vector<Complex> unitary(std::size_t dim, std::uint64_t seed) {
    nivra::StdRng rng = nivra::StdRng::seed_from_u64(seed);
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
}

// The k-qubit path on targets spread over the state, one of them on bit 0
// when `low` (the gathered walk) and none below bit 3 otherwise.
void Kq(benchmark::State& state, unsigned k, bool low) {
    const auto m = unitary(std::size_t{1} << k, k);
    const auto n = static_cast<Qubit>(state.range(0));
    std::vector<Qubit> targets;
    for (unsigned j = 0; j < k; ++j) targets.push_back(static_cast<Qubit>(3 + j * (n - 4) / k));
    if (low) targets[0] = 0;
    run_kernel(state, [&](Complex* a, std::size_t len) {
        kernels::apply_kq_scalar_aos(a, len, targets, static_cast<std::uint8_t>(k), m);
    });
}

void Dense1q(benchmark::State& state) { Kq(state, 1, false); }
void Dense1qLow(benchmark::State& state) { Kq(state, 1, true); }
void Dense2q(benchmark::State& state) { Kq(state, 2, false); }
void Dense3q(benchmark::State& state) { Kq(state, 3, false); }
void Dense4q(benchmark::State& state) { Kq(state, 4, false); }
void Dense5q(benchmark::State& state) { Kq(state, 5, false); }
void Dense5qLow(benchmark::State& state) { Kq(state, 5, true); }

// The 4- and 5-qubit kernels on the 256-bit path (AVX2 + FMA), for comparison
// with the widest set the processor has.
void OnAvx2(benchmark::State& state, unsigned k) {
    if (!kernels::simd::isa_supported(kernels::simd::Isa::Avx2)) {
        state.SkipWithError("no AVX2 here");
        return;
    }
    kernels::simd::force_isa(kernels::simd::Isa::Avx2);
    Kq(state, k, false);
    kernels::simd::force_isa(std::nullopt);
}
void Dense4qAvx2(benchmark::State& state) { OnAvx2(state, 4); }
void Dense5qAvx2(benchmark::State& state) { OnAvx2(state, 5); }

// The same widths through the gate entry points (the 1-, 2- and 3-qubit kernels).
void Gate1q(benchmark::State& state) {
    const auto m = Gate::u3(0.3, 0.7, -1.1).matrix()->m2();
    const Qubit target = static_cast<Qubit>(state.range(0) / 2);
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_1q(a, len, target, {}, m); });
}

void Gate3q(benchmark::State& state) {
    const auto u = unitary(8, 3);
    kernels::M8 m{};
    std::copy(u.begin(), u.end(), m.begin());
    const Qubit n = static_cast<Qubit>(state.range(0));
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_3q(a, len, 4, n / 2, n - 1, {}, m); });
}

void Diagonal1q(benchmark::State& state) {
    const auto m = Gate::rz(0.7).matrix()->m2();
    const Qubit target = static_cast<Qubit>(state.range(0) / 2);
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_1q(a, len, target, {}, m); });
}

void DiagonalPhaseTable(benchmark::State& state) {
    // Terms on 8 qubits: one (cos, sin) pair per bit pattern, looked up per amplitude.
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
    // 16 gates below the tile of 15 qubits in one pass; items count amplitudes
    // per block (×16 for amplitude-gates).
    nivra::ir::TiledBlock block;
    block.tile = 15;
    for (Qubit q = 0; q < 8; ++q) {
        block.gates.push_back(nivra::bench::gate_on(Gate::u3(0.1 * q, 0.2, 0.3), {q}));
        block.gates.push_back(nivra::bench::gate_on(Gate::cnot(), {q, static_cast<Qubit>(q + 6)}));
    }
    auto sv = nivra::sv::NaiveSvBackend::with_seed(0);
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = limit_threads(state);
    CpuState s = random_state(n);
    for (auto _ : state) {
        if (!sv.apply_tiled_block(s, block)) state.SkipWithError("tiled block failed");
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(s.len()));
}

void Args(benchmark::internal::Benchmark* b) {
    for (int n : {20, 26, 28}) {
        for (int threads : {1, 0}) b->Args({n, threads});
    }
    b->ArgNames({"qubits", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

BENCHMARK(MemCopy)->Apply(Args);
BENCHMARK(Dense1q)->Apply(Args);
BENCHMARK(Dense1qLow)->Apply(Args);
BENCHMARK(Dense2q)->Apply(Args);
BENCHMARK(Dense3q)->Apply(Args);
BENCHMARK(Dense4q)->Apply(Args);
BENCHMARK(Dense5q)->Apply(Args);
BENCHMARK(Dense5qLow)->Apply(Args);
BENCHMARK(Dense4qAvx2)->Apply(Args);
BENCHMARK(Dense5qAvx2)->Apply(Args);
BENCHMARK(Gate1q)->Apply(Args);
BENCHMARK(Gate3q)->Apply(Args);
BENCHMARK(Diagonal1q)->Apply(Args);
BENCHMARK(DiagonalPhaseTable)->Apply(Args);
BENCHMARK(TiledBlock16)->Apply(Args);
