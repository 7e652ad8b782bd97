// Stabilizer simulator hot paths: Clifford gates on large tableaux, the layout
// switch, measurement, and bit-sliced sampling.

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/stab/backend.h"
#include "nivra/stab/dispatch.h"
#include "nivra/stab/rowsum.h"
#include "nivra/stab/tableau.h"

namespace {

using namespace nivra;
using namespace nivra::stab;

GateInstance gate_on(Gate gate, Qubit a) { return GateInstance{std::move(gate), {a}, {}}; }
GateInstance gate_on(Gate gate, Qubit a, Qubit b) { return GateInstance{std::move(gate), {a, b}, {}}; }

// Half one-qubit gates (H, S, Sdg, X, Y, Z), half two-qubit (Cnot, Cz, Swap, Iswap).
std::vector<GateInstance> random_clifford_circuit(std::size_t n, std::size_t count, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::vector<GateInstance> gates;
    gates.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const Qubit a = static_cast<Qubit>(gen() % n);
        Qubit b = static_cast<Qubit>(gen() % (n - 1));
        b += b >= a;
        switch (gen() % 10) {
            case 0:
                gates.push_back(gate_on(Gate::h(), a));
                break;
            case 1:
                gates.push_back(gate_on(Gate::s(), a));
                break;
            case 2:
                gates.push_back(gate_on(Gate::sdg(), a));
                break;
            case 3:
                gates.push_back(gate_on(Gate::x(), a));
                break;
            case 4:
                gates.push_back(gate_on(Gate::y(), a));
                break;
            case 5:
                gates.push_back(gate_on(Gate::z(), a));
                break;
            case 6:
                gates.push_back(gate_on(Gate::cnot(), a, b));
                break;
            case 7:
                gates.push_back(gate_on(Gate::cz(), a, b));
                break;
            case 8:
                gates.push_back(gate_on(Gate::swap(), a, b));
                break;
            default:
                gates.push_back(gate_on(Gate::iswap(), a, b));
                break;
        }
    }
    return gates;
}

Tableau random_state(std::size_t n, std::uint64_t seed) {
    Tableau t(n);
    for (const GateInstance& g : random_clifford_circuit(n, 20 * n, seed)) {
        (void)apply_gate(t, g);
    }
    return t;
}

Tableau ghz_state(std::size_t n) {
    Tableau t(n);
    (void)t.h(0);
    for (Qubit q = 1; q < n; ++q) {
        (void)t.cnot(q - 1, q);
    }
    return t;
}

// Gates per second on an n-qubit tableau already in the gate layout.
void BM_CliffordGates(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const auto gates = random_clifford_circuit(n, 4096, 1);
    Tableau t(n);
    t.to_qubit_major();
    for (auto _ : state) {
        for (const GateInstance& g : gates) {
            benchmark::DoNotOptimize(apply_gate(t, g));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * gates.size()));
}
BENCHMARK(BM_CliffordGates)->Arg(100)->Arg(1000)->Arg(5000);

// One layout switch: both grids transposed.
void BM_LayoutSwitch(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    Tableau t = random_state(n, 2);
    for (auto _ : state) {
        t.to_generator_major();
        t.to_qubit_major();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(2 * state.iterations()));
}
BENCHMARK(BM_LayoutSwitch)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

// Measuring every qubit of a random n-qubit state (mostly random outcomes,
// each O(n²/64) word operations), after the one switch to generator-major.
void BM_MeasureAll(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const Tableau prepared = random_state(n, 3);
    StdRng rng = StdRng::seed_from_u64(4);
    for (auto _ : state) {
        state.PauseTiming();
        Tableau t = prepared;
        t.to_generator_major();
        state.ResumeTiming();
        for (Qubit q = 0; q < n; ++q) {
            benchmark::DoNotOptimize(t.measure(q, rng));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
}
BENCHMARK(BM_MeasureAll)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

// Shots per second, random Clifford state or GHZ state.
void BM_Sample(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::uint32_t shots = static_cast<std::uint32_t>(state.range(1));
    const Tableau t = state.range(2) != 0 ? ghz_state(n) : random_state(n, 5);
    StabilizerBackend backend = StabilizerBackend::with_seed(6);
    for (auto _ : state) {
        auto outcomes = backend.sample(t, shots);
        benchmark::DoNotOptimize(outcomes);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * shots));
}
BENCHMARK(BM_Sample)
    ->ArgNames({"qubits", "shots", "ghz"})
    ->Args({50, 100000, 0})
    ->Args({64, 100000, 0})
    ->Args({64, 100000, 1})
    ->Args({64, 10000, 0})
    ->Unit(benchmark::kMillisecond);

// The word-parallel row product against its plain reference, 1000 qubits a row.
template <bool Reference>
void BM_Rowsum(benchmark::State& state) {
    std::mt19937_64 gen(7);
    const std::size_t words = 16;
    std::vector<Word> xh(words), zh(words), xi(words), zi(words);
    for (std::size_t w = 0; w < words; ++w) {
        xh[w] = gen(), zh[w] = gen(), xi[w] = gen(), zi[w] = gen();
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(Reference ? rowsum_words_reference(xh, zh, xi, zi) : rowsum_words(xh, zh, xi, zi));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_Rowsum<false>)->Name("BM_RowsumWords1000");
BENCHMARK(BM_Rowsum<true>)->Name("BM_RowsumReference1000");

}  // namespace
