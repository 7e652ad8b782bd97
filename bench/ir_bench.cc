// The optimiser on large circuits: the whole default pipeline and each pass
// alone, in gates (instructions in) per second; and building a circuit one
// instruction at a time (add_gate / add_instruction with their validation and
// the list's growth), in instructions per second.
//
//   random: layers of single-qubit gates on every qubit then Cnot/Cz/CRz/Swap
//           on random disjoint pairs, 30 qubits.
//   qft:    repeated quantum Fourier transforms (H then controlled phases),
//           diagonal-heavy, 30 qubits.

#include <benchmark/benchmark.h>

#include <numbers>

#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/ir/pass.h"

namespace {

using namespace nivra;
using namespace nivra::ir;

constexpr std::uint32_t QUBITS = 30;

Circuit random_circuit(std::size_t gates) {
    StdRng rng = StdRng::seed_from_u64(12345);
    auto angle = [&] { return rng.next_unit_f64() * 2.0 * std::numbers::pi; };
    Circuit c(QUBITS);
    std::vector<Qubit> order(QUBITS);
    for (Qubit q = 0; q < QUBITS; ++q) order[q] = q;
    auto add = [&](GateInstance g) {
        if (c.size() < gates) (void)c.add_gate(std::move(g));
    };
    while (c.size() < gates) {
        for (Qubit q = 0; q < QUBITS; ++q) {
            switch (rng.next_u32() % 7) {
                case 0:
                    add({Gate::h(), {q}, {}});
                    break;
                case 1:
                    add({Gate::x(), {q}, {}});
                    break;
                case 2:
                    add({Gate::rz(angle()), {q}, {}});
                    break;
                case 3:
                    add({Gate::ry(angle()), {q}, {}});
                    break;
                case 4:
                    add({Gate::t(), {q}, {}});
                    break;
                case 5:
                    add({Gate::s(), {q}, {}});
                    break;
                default:
                    add({Gate::u3(angle(), angle(), angle()), {q}, {}});
                    break;
            }
        }
        for (std::size_t i = QUBITS - 1; i > 0; --i) std::swap(order[i], order[rng.next_u32() % (i + 1)]);
        for (std::size_t i = 0; i + 1 < QUBITS; i += 2) {
            const Qubit a = order[i];
            const Qubit b = order[i + 1];
            switch (rng.next_u32() % 4) {
                case 0:
                    add({Gate::cnot(), {a, b}, {}});
                    break;
                case 1:
                    add({Gate::cz(), {a, b}, {}});
                    break;
                case 2:
                    add({Gate::crz(angle()), {a, b}, {}});
                    break;
                default:
                    add({Gate::swap(), {a, b}, {}});
                    break;
            }
        }
    }
    return c;
}

Circuit qft_circuit(std::size_t gates) {
    Circuit c(QUBITS);
    while (c.size() < gates) {
        for (Qubit i = 0; i < QUBITS && c.size() < gates; ++i) {
            (void)c.add_gate({Gate::h(), {i}, {}});
            for (Qubit j = i + 1; j < QUBITS && c.size() < gates; ++j) {
                (void)c.add_gate({Gate::phase(std::numbers::pi / std::ldexp(1.0, static_cast<int>(j - i))), {j}, {i}});
            }
        }
    }
    return c;
}

Circuit make(int kind, std::size_t gates) { return kind == 0 ? random_circuit(gates) : qft_circuit(gates); }

void BM_Optimize(benchmark::State& state) {
    const Circuit source = make(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
    std::size_t after = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Circuit c = source;
        state.ResumeTiming();
        auto stats = c.optimize();
        benchmark::DoNotOptimize(stats);
        after = c.size();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
    state.counters["after"] = static_cast<double>(after);
}

// One pass of the default pipeline, on the circuit as the passes before it left it.
void BM_Pass(benchmark::State& state) {
    const std::size_t index = static_cast<std::size_t>(state.range(2));
    const PassPipeline pipeline = PassPipeline::default_pipeline();
    Circuit source = make(static_cast<int>(state.range(0)), static_cast<std::size_t>(state.range(1)));
    for (std::size_t i = 0; i < index; ++i) (void)pipeline.passes()[i]->run(source);
    const Pass& pass = *pipeline.passes()[index];
    state.SetLabel(std::string(pass.name()));
    for (auto _ : state) {
        state.PauseTiming();
        Circuit c = source;
        state.ResumeTiming();
        auto stats = pass.run(c);
        benchmark::DoNotOptimize(stats);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

// Alternating H, Cnot (add_gate) and Measure (add_instruction) into an empty circuit.
void BM_Build(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        Circuit c(QUBITS, QUBITS);
        for (std::size_t i = 0; i < count; ++i) {
            const auto q = static_cast<Qubit>(i % (QUBITS - 1));
            switch (i % 3) {
                case 0:
                    (void)c.add_gate({Gate::h(), {q}, {}});
                    break;
                case 1:
                    (void)c.add_gate({Gate::cnot(), {q, q + 1}, {}});
                    break;
                default:
                    (void)c.add_instruction(Measure{q, q});
                    break;
            }
        }
        benchmark::DoNotOptimize(c);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}

BENCHMARK(BM_Build)->Arg(1'000)->Arg(1'000'000)->UseRealTime();
// Args: circuit kind (0 random, 1 qft), gate count.
BENCHMARK(BM_Optimize)->ArgsProduct({{0, 1}, {100'000, 1'000'000}})->Unit(benchmark::kMillisecond)->UseRealTime();
// Args: circuit kind, gate count, pass position in the default pipeline.
BENCHMARK(BM_Pass)
    ->ArgsProduct({{0, 1}, {1'000'000}, {0, 1, 2, 3, 4, 5, 6, 7}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
