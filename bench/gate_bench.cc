// Hot paths of the core gate and observable types: the dense matrix that
// backends and passes compute per gate application, inversion, and reading a
// Pauli-sum text.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/core/pauli.h"

namespace {

void BM_GateMatrix(benchmark::State& state, nivra::Gate gate) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(gate);
        auto m = gate.matrix();
        benchmark::DoNotOptimize(m);
    }
}
BENCHMARK_CAPTURE(BM_GateMatrix, H, nivra::Gate::h());
BENCHMARK_CAPTURE(BM_GateMatrix, Rx, nivra::Gate::rx(0.37));
BENCHMARK_CAPTURE(BM_GateMatrix, U3, nivra::Gate::u3(0.37, -1.2, 2.9));
BENCHMARK_CAPTURE(BM_GateMatrix, CRy, nivra::Gate::cry(0.37));
BENCHMARK_CAPTURE(BM_GateMatrix, Toffoli, nivra::Gate::toffoli());
BENCHMARK_CAPTURE(BM_GateMatrix, Unitary2q, nivra::Gate::unitary2q({}));

void BM_GateInverse(benchmark::State& state, nivra::Gate gate) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(gate);
        nivra::Gate inv = gate.inverse();
        benchmark::DoNotOptimize(inv);
    }
}
BENCHMARK_CAPTURE(BM_GateInverse, U3, nivra::Gate::u3(0.37, -1.2, 2.9));
BENCHMARK_CAPTURE(BM_GateInverse, UnitaryKq3, nivra::Gate::unitary_kq(3, std::vector<nivra::Complex>(64)));

// A sum of `range(0)` terms over 20 qubits, one term per line.
void BM_PauliSumParse(benchmark::State& state) {
    const char letters[] = {'I', 'X', 'Y', 'Z'};
    std::string text = "# benchmark observable\n";
    for (int t = 0; t < state.range(0); ++t) {
        text += std::to_string(0.001 * t - 0.5) + " ";
        for (int q = 0; q < 20; ++q) {
            text += letters[(t * 7 + q * 3 + t / 5) % 4];
        }
        text += "\n";
    }
    for (auto _ : state) {
        auto sum = nivra::PauliSum::parse(text, 20);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_PauliSumParse)->Arg(1000);

}  // namespace
