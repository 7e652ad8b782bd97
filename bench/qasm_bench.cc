// Reading OpenQASM: a generated program of a million gate lines, through the
// grammar alone and through the whole front end (grammar and lowering).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "nivra/qasm/lower.h"
#include "nivra/qasm/parser.h"

namespace {

constexpr std::uint32_t QUBITS = 64;

// `lines` statements after the header, cycling through the common statement forms.
std::string generate_program(std::size_t lines, const char* separator) {
    std::string source = "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[64] q;\nbit[64] c;\n";
    source.reserve(lines * 24);
    for (std::size_t i = 0; i < lines; ++i) {
        const std::string a = std::to_string(i % QUBITS);
        const std::string b =
            std::to_string((i * 7 + 1) % QUBITS == i % QUBITS ? (i + 1) % QUBITS : (i * 7 + 1) % QUBITS);
        switch (i % 8) {
            case 0:
                source += "h q[" + a + "];";
                break;
            case 1:
                source += "cx q[" + a + "], q[" + b + "];";
                break;
            case 2:
                source += "rx(0.5) q[" + a + "];";
                break;
            case 3:
                source += "rz(-pi/4) q[" + a + "];";
                break;
            case 4:
                source += "u3(0.1, 0.2, 0.3) q[" + a + "];";
                break;
            case 5:
                source += "cz q[" + a + "], q[" + b + "];";
                break;
            case 6:
                source += "t q[" + a + "]; /* comment */";
                break;
            default:
                source += "measure q[" + a + "] -> c[" + a + "];";
                break;
        }
        source += separator;
    }
    return source;
}

void BM_ParseAndLower(benchmark::State& state) {
    const auto lines = static_cast<std::size_t>(state.range(0));
    const std::string source = generate_program(lines, "\n");
    for (auto _ : state) {
        auto circuit = nivra::qasm::parse(source);
        if (!circuit || circuit->size() != lines) state.SkipWithError("program did not lower");
        benchmark::DoNotOptimize(circuit);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lines));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_ParseAndLower)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_GrammarOnly(benchmark::State& state) {
    const auto lines = static_cast<std::size_t>(state.range(0));
    const std::string source = generate_program(lines, "\n");
    for (auto _ : state) {
        auto parsed = nivra::qasm::program(source);
        if (!parsed || parsed->program.statements.size() != lines) state.SkipWithError("program did not parse");
        benchmark::DoNotOptimize(parsed);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lines));
}
BENCHMARK(BM_GrammarOnly)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// The whole program on one line with an error at its end: the error's column is
// counted once, so the cost stays linear in the line length.
void BM_OneLineWithTrailingError(benchmark::State& state) {
    const auto lines = static_cast<std::size_t>(state.range(0));
    const std::string source = generate_program(lines, " ") + " }";
    for (auto _ : state) {
        auto circuit = nivra::qasm::parse(source);
        if (circuit) state.SkipWithError("the trailing brace was accepted");
        benchmark::DoNotOptimize(circuit);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lines));
}
BENCHMARK(BM_OneLineWithTrailingError)->Arg(100'000)->Unit(benchmark::kMillisecond);

void BM_BarrierOverWholeRegister(benchmark::State& state) {
    const std::string source = "qubit[65535] q; barrier q;";
    for (auto _ : state) {
        auto circuit = nivra::qasm::parse(source);
        if (!circuit) state.SkipWithError("barrier rejected");
        benchmark::DoNotOptimize(circuit);
    }
}
BENCHMARK(BM_BarrierOverWholeRegister)->Unit(benchmark::kMicrosecond);

}  // namespace
