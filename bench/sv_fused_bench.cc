// What the optimiser's output costs the state vector on random circuits:
// fused 4-qubit blocks whose matrices are half zeros (a CZ or CNOT inside the
// block), next to dense ones; diagonal phases of a few single-qubit angles;
// and the whole optimise-and-run of a random circuit. Items are amplitudes
// per second for one pass (gates per second for the circuit).
//
// Arguments: {qubits, threads}; threads 0 = the whole pool.
//   ./sv_fused_bench --benchmark_filter='/threads:1'

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <cmath>
#include <optional>
#include <span>
#include <vector>

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
using nivra::Qubit;
using nivra::StdRng;
using nivra::sv::CpuState;
namespace kernels = nivra::sv::kernels;

std::optional<tbb::global_control> limit_threads(const benchmark::State& state) {
    if (state.range(1) == 1) {
        return std::optional<tbb::global_control>(std::in_place, tbb::global_control::max_allowed_parallelism, 1);
    }
    return std::nullopt;
}

CpuState spread_state(std::uint32_t n) {
    CpuState s = CpuState::zero_state(n);
    const double scale = 1.0 / std::sqrt(static_cast<double>(s.len()));
    nivra::parallel_for_chunks(s.len(), 1 << 14, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            s.amps[i] = Complex(scale * std::cos(0.37 * i), scale * std::sin(0.37 * i));
        }
    });
    return s;
}

// Gram-Schmidt on random entries.
std::vector<Complex> unitary(std::size_t dim, StdRng& rng) {
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
    CpuState s = spread_state(n);
    for (auto _ : state) {
        apply(s.amps.data(), s.len());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(s.len()));
}

const std::vector<Qubit> KQ_TARGETS{2, 7, 11, 15};

void Kq4Dense(benchmark::State& state) {
    StdRng rng = StdRng::seed_from_u64(5);
    const auto m = unitary(16, rng);
    run_kernel(state, [&](Complex* a, std::size_t len) { kernels::apply_kq_scalar_aos(a, len, KQ_TARGETS, 4, m); });
}

void Kq4HalfZeros(benchmark::State& state) {
    // Two 8 × 8 blocks on the first target's value: 128 zero entries.
    StdRng rng = StdRng::seed_from_u64(5);
    const auto a = unitary(8, rng), b = unitary(8, rng);
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

// Depth 20 of a random H, Rx, Ry or Rz on every qubit, then CNOT or CZ on a
// random pairing of all qubits; seeded by the qubit count.
nivra::ir::Circuit random_circuit(std::uint32_t n) {
    StdRng rng = StdRng::seed_from_u64(n);
    nivra::ir::Circuit c(n);
    for (int layer = 0; layer < 20; ++layer) {
        for (Qubit q = 0; q < n; ++q) {
            const double angle = 6.28 * rng.next_unit_f64();
            const std::uint64_t which = rng.next_u64() % 4;
            Gate g = which == 0   ? Gate::h()
                     : which == 1 ? Gate::rx(angle)
                     : which == 2 ? Gate::ry(angle)
                                  : Gate::rz(angle);
            (void)c.add_gate(nivra::bench::gate_on(std::move(g), {q}));
        }
        std::vector<Qubit> order(n);
        for (Qubit q = 0; q < n; ++q) order[q] = q;
        for (std::size_t i = n; i > 1; --i) std::swap(order[i - 1], order[rng.next_u64() % i]);
        for (std::size_t i = 0; i + 1 < n; i += 2) {
            Gate g = rng.next_u64() % 2 ? Gate::cnot() : Gate::cz();
            (void)c.add_gate(nivra::bench::gate_on(std::move(g), {order[i], order[i + 1]}));
        }
    }
    return c;
}

void RandomCircuit(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = limit_threads(state);
    const nivra::ir::Circuit circuit = random_circuit(n);
    for (auto _ : state) {
        nivra::ir::Circuit copy = circuit;
        if (!copy.optimize()) state.SkipWithError("optimize failed");
        auto sv = nivra::sv::NaiveSvBackend::with_seed(3);
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
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(circuit.size()));
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
BENCHMARK(RandomCircuit)->Apply(Args);

}  // namespace
