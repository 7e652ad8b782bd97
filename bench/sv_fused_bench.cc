// What the optimiser's output on random circuits costs the state vector, kernel
// by kernel: fused 4-qubit blocks whose matrices are half zeros (a CZ or CNOT
// inside the block), next to dense ones, and diagonal phases of a few
// single-qubit angles. Items are amplitudes per second for one pass. The whole
// optimise-and-run of such a circuit is sv_bench's OptimizeAndRunRandomPairs.
//
// Arguments: {qubits, threads}; threads 0 = the whole pool.
//   ./sv_fused_bench --benchmark_filter='/threads:1'

#include <benchmark/benchmark.h>

#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/sv/kernels/diagonal_phase.h"
#include "nivra/sv/kernels/kernels.h"

#include "sv_common.h"

namespace {

using nivra::Complex;
using nivra::Qubit;
using nivra::sv::CpuState;
namespace kernels = nivra::sv::kernels;

template <class Apply>
void run_kernel(benchmark::State& state, Apply apply) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = nivra::bench::limit_threads(state);
    CpuState s = nivra::bench::random_state(n);
    for (auto _ : state) {
        apply(s.amps.data(), s.len());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(s.len()));
}

const std::vector<Qubit> KQ_TARGETS{2, 7, 11, 15};

void Kq4Dense(benchmark::State& state) {
    const auto m = nivra::bench::random_unitary(16, 5);
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_kq_scalar_aos(a, len, KQ_TARGETS, 4, m); });
}

void Kq4HalfZeros(benchmark::State& state) {
    // Two 8 × 8 blocks on the first target's value: 128 zero entries.
    const auto a = nivra::bench::random_unitary(8, 5), b = nivra::bench::random_unitary(8, 6);
    std::vector<Complex> m(256, Complex(0.0, 0.0));
    for (std::size_t r = 0; r < 8; ++r) {
        for (std::size_t c = 0; c < 8; ++c) {
            m[r * 16 + c] = a[r * 8 + c];
            m[(r + 8) * 16 + c + 8] = b[r * 8 + c];
        }
    }
    run_kernel(state, [&](Complex* x, std::size_t len) { kernels::apply_kq_scalar_aos(x, len, KQ_TARGETS, 4, m); });
}

void PhaseTwoAngles(benchmark::State& state) {
    // A global phase and two single-qubit angles, as merged Rz gates leave them.
    std::vector<nivra::ir::PhaseTerm> terms(3);
    terms[0].angle = 0.3;
    terms[1].masks.push_back(std::uint64_t{1} << 9);
    terms[1].angle = 0.7;
    terms[2].masks.push_back(std::uint64_t{1} << 10);
    terms[2].angle = -1.1;
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_diagonal_phase_scalar_aos(a, len, terms); });
}

void Args(benchmark::internal::Benchmark* b) {
    for (int n : {20, 24}) {
        for (int threads : {1, 0}) b->Args({n, threads});
    }
    b->ArgNames({"qubits", "threads"})->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(Kq4Dense)->Apply(Args);
BENCHMARK(Kq4HalfZeros)->Apply(Args);
BENCHMARK(PhaseTwoAngles)->Apply(Args);

}  // namespace
