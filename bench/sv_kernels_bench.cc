// One state-vector kernel per benchmark, driven through the backend's own
// entry points (apply_gate, apply_diagonal_phase, apply_tiled_block) so that
// the figures follow whatever kernels sit underneath.
//
// Every benchmark reports, per pass over the state:
//   items_per_second  amplitudes per second;
//   copy_amps_per_s   the rate of the copy reference (an in-place scaled copy
//                     of the state, one 16-byte read and one 16-byte write per
//                     amplitude: the traffic of a one-pass kernel), measured
//                     on the same state, with the same thread limit, on the
//                     same pool and with the kernels' default chunking, right
//                     before the benchmark's own timing;
//   copy_frac         items_per_second / copy_amps_per_s: 1.0 means the
//                     kernel runs at copy bandwidth.
// InPlaceScale is the copy reference itself (copy_frac ~ 1 by construction, a
// check on the noise between two measurements).
//
// Names: <kernel>/isa:<set>/qubits:<n>/threads:<t>, threads 0 = the whole
// pool, 1 = one thread. 20 and 26 qubits by default (a 26-qubit state is
// 1 GiB); 28 qubits (4 GiB) only with NIVRA_BENCH_28=1 in the environment.
// The kernels run on the widest instruction set the processor has; to compare
// sets, NIVRA_BENCH_ISA lists the ones to run ("portable,avx2,avx512" or
// "all": every set this processor supports), each forced in turn.
//   ./sv_kernels_bench --benchmark_filter='qubits:20'
//   NIVRA_BENCH_ISA=all ./sv_kernels_bench --benchmark_filter='Dense[45]q/.*qubits:26'
//   NIVRA_BENCH_28=1 ./sv_kernels_bench --benchmark_filter='qubits:28'

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/backend.h"
#include "nivra/sv/kernels/simd.h"

#include "circuits.h"
#include "sv_common.h"

namespace {

using nivra::Complex;
using nivra::Gate;
using nivra::GateInstance;
using nivra::Qubit;
using nivra::bench::gate_on;
using nivra::sv::CpuState;
using nivra::sv::NaiveSvBackend;
namespace simd = nivra::sv::kernels::simd;

// Times `apply` (one pass over the state per call) and reports amplitudes per
// second and the fraction of the copy rate measured just before.
template <class Apply>
void run_pass(benchmark::State& state, Apply apply) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = nivra::bench::limit_threads(state);
    CpuState s = nivra::bench::random_state(n);
    const double copy = nivra::bench::copy_rate(s);
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

// k targets, ascending, one near the middle of each of k equal slices of the
// qubits 3 .. n-2 (no target in the lowest three bits, whose strides stay
// inside one vector); with `low`, the first target moves to bit 0 (the
// gathered walk).
std::vector<Qubit> spread_targets(const benchmark::State& state, unsigned k, bool low) {
    const auto n = static_cast<unsigned>(state.range(0));
    std::vector<Qubit> targets;
    for (unsigned j = 0; j < k; ++j) targets.push_back(static_cast<Qubit>(3 + (2 * j + 1) * (n - 4) / (2 * k)));
    if (low) targets[0] = 0;
    return targets;
}

GateInstance on_targets(Gate gate, std::vector<Qubit> targets) {
    GateInstance g{std::move(gate), {}, {}};
    g.targets.assign(targets.begin(), targets.end());
    return g;
}

void InPlaceScale(benchmark::State& state) {
    double factor = 1.0;
    benchmark::DoNotOptimize(factor);
    run_pass(state, [&](CpuState& s) { nivra::bench::scale_in_place(s, factor); });
}

// A general 2×2 matrix (the 1-qubit dense kernel).
void Dense1q(benchmark::State& state, bool low) {
    run_gate(state, on_targets(Gate::u3(0.3, 0.7, -1.1), spread_targets(state, 1, low)));
}

// A random 4×4 unitary (the 2-qubit dense kernel).
void Dense2q(benchmark::State& state) {
    const auto u = nivra::bench::random_unitary(4, 1);
    std::array<Complex, 16> m{};
    std::copy(u.begin(), u.end(), m.begin());
    run_gate(state, on_targets(Gate::unitary2q(m), spread_targets(state, 2, false)));
}

// A random 2^k × 2^k unitary (the k-qubit path, as fusion emits it).
void DenseKq(benchmark::State& state, std::uint8_t k, bool low) {
    run_gate(state, on_targets(Gate::unitary_kq(k, nivra::bench::random_unitary(std::size_t{1} << k, k)),
                               spread_targets(state, k, low)));
}

// Rz: the 1-qubit diagonal kernel (one complex product per amplitude).
void Diagonal1q(benchmark::State& state) { run_gate(state, gate_on(Gate::rz(0.4), {mid(state)})); }

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

// The phase of a few qubits (8 terms over 8 qubits): one (cos, sin) pair per
// bit pattern, looked up per amplitude.
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

void PauliY(benchmark::State& state) { run_gate(state, gate_on(Gate::y(), {mid(state)})); }

void Antidiagonal(benchmark::State& state) {
    const std::array<Complex, 4> m = {Complex(0, 0), Complex(0.6, 0.8), Complex(0.8, -0.6), Complex(0, 0)};
    run_gate(state, gate_on(Gate::unitary1q(m), {mid(state)}));
}

void PauliX(benchmark::State& state) { run_gate(state, gate_on(Gate::x(), {mid(state)})); }

void Cnot(benchmark::State& state) {
    run_gate(state, gate_on(Gate::cnot(), {1, static_cast<Qubit>(top(state) - 1)}));
}

// 16 gates on the qubits below the default tile of 15, one pass over the
// state per block. Items are amplitudes per block; the gates_per_s counter
// gives gate applications per second.
void TiledBlock16(benchmark::State& state) {
    nivra::ir::TiledBlock block;
    block.tile = 15;
    for (Qubit q = 0; q < 8; ++q) {
        block.gates.push_back(gate_on(Gate::u3(0.1 * q, 0.2, 0.3), {q}));
        block.gates.push_back(gate_on(Gate::cnot(), {q, static_cast<Qubit>(q + 6)}));
    }
    NaiveSvBackend sv = NaiveSvBackend::with_seed(0);
    run_pass(state, [&](CpuState& s) {
        if (!sv.apply_tiled_block(s, block)) state.SkipWithError("tiled block failed");
    });
    state.counters["gates_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * block.gates.size()), benchmark::Counter::kIsRate);
}

// ---- Registration -----------------------------------------------------------

constexpr simd::Isa ALL_ISAS[] = {simd::Isa::Portable, simd::Isa::Avx2, simd::Isa::Avx512};

std::string_view isa_name(simd::Isa isa) {
    switch (isa) {
        case simd::Isa::Portable:
            return "portable";
        case simd::Isa::Avx2:
            return "avx2";
        case simd::Isa::Avx512:
            return "avx512";
    }
    return "unknown";
}

// The sets named by NIVRA_BENCH_ISA (comma-separated; "all" for every
// supported one), the detected set when it is unset. A named set this
// processor lacks is still listed, and its benchmarks report the skip; an
// unknown name is reported on stderr.
std::vector<simd::Isa> selected_isas() {
    const char* env = std::getenv("NIVRA_BENCH_ISA");
    if (env == nullptr || *env == '\0') return {simd::detected_isa()};
    const std::string_view list(env);
    std::vector<simd::Isa> out;
    for (std::size_t begin = 0; begin <= list.size();) {
        const std::size_t end = std::min(list.find(',', begin), list.size());
        const std::string_view word = list.substr(begin, end - begin);
        begin = end + 1;
        if (word == "all") {
            for (simd::Isa isa : ALL_ISAS) {
                if (simd::isa_supported(isa)) out.push_back(isa);
            }
            continue;
        }
        const auto* named = std::find_if(std::begin(ALL_ISAS), std::end(ALL_ISAS),
                                         [&](simd::Isa isa) { return isa_name(isa) == word; });
        if (named == std::end(ALL_ISAS)) {
            std::fprintf(stderr, "NIVRA_BENCH_ISA: unknown instruction set '%.*s' (portable, avx2, avx512, all)\n",
                         static_cast<int>(word.size()), word.data());
            continue;
        }
        out.push_back(*named);
    }
    return out;
}

void Sizes(benchmark::internal::Benchmark* b) {
    std::vector<int> sizes = {20, 26};
    if (nivra::bench::large_sizes_enabled()) sizes.push_back(28);
    for (int n : sizes) {
        for (int threads : {1, 0}) b->Args({n, threads});
    }
    b->ArgNames({"qubits", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

// Runs `body` with the kernels forced onto `isa`, back to the default after.
template <class Body>
void on_isa(benchmark::State& state, simd::Isa isa, const Body& body) {
    if (!simd::isa_supported(isa)) {
        state.SkipWithError("instruction set not supported on this processor");
        return;
    }
    simd::force_isa(isa);
    struct Reset {
        ~Reset() { simd::force_isa(std::nullopt); }
    } reset;
    body(state);
}

struct KernelBench {
    const char* name;
    void (*body)(benchmark::State&);
};

// Every kernel once; Low variants put a target on bit 0.
constexpr KernelBench KERNELS[] = {
    {"Dense1q", [](benchmark::State& s) { Dense1q(s, false); }},
    {"Dense1qLow", [](benchmark::State& s) { Dense1q(s, true); }},
    {"Dense2q", Dense2q},
    {"Dense3q", [](benchmark::State& s) { DenseKq(s, 3, false); }},
    {"Dense4q", [](benchmark::State& s) { DenseKq(s, 4, false); }},
    {"Dense5q", [](benchmark::State& s) { DenseKq(s, 5, false); }},
    {"Dense5qLow", [](benchmark::State& s) { DenseKq(s, 5, true); }},
    {"Diagonal1q", Diagonal1q},
    {"DiagonalPhase", DiagonalPhase},
    {"DiagonalPhase8", DiagonalPhase8},
    {"PauliY", PauliY},
    {"Antidiagonal", Antidiagonal},
    {"PauliX", PauliX},
    {"Cnot", Cnot},
    {"TiledBlock16", TiledBlock16},
};

bool register_all() {
    // The copy reference does not go through the kernels: once, whatever the sets.
    benchmark::RegisterBenchmark("InPlaceScale", InPlaceScale)->Apply(Sizes);
    const std::vector<simd::Isa> isas = selected_isas();
    for (const KernelBench& k : KERNELS) {
        for (simd::Isa isa : isas) {
            const std::string name = std::string(k.name) + "/isa:" + std::string(isa_name(isa));
            benchmark::RegisterBenchmark(name.c_str(), [isa, body = k.body](benchmark::State& state) {
                on_isa(state, isa, body);
            })->Apply(Sizes);
        }
    }
    return true;
}

[[maybe_unused]] const bool REGISTERED = register_all();

}  // namespace
