#pragma once
// Helpers shared by the state-vector benchmarks: states, matrices, the thread
// limit, the copy reference and the opt-in large sizes.

#include <benchmark/benchmark.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/sv/backend.h"

namespace nivra::bench {

// Benchmark arguments are {qubits, threads}; threads 1 limits the pool to one
// thread while the returned guard lives, 0 leaves the whole pool.
inline std::optional<tbb::global_control> limit_threads(const benchmark::State& state) {
    if (state.range(1) == 1) {
        return std::optional<tbb::global_control>(std::in_place, tbb::global_control::max_allowed_parallelism, 1);
    }
    return std::nullopt;
}

// Whether the 28-qubit (4 GiB) sizes run: only with NIVRA_BENCH_28=1 in the
// environment.
inline bool large_sizes_enabled() {
    const char* flag = std::getenv("NIVRA_BENCH_28");
    return flag != nullptr && std::strcmp(flag, "1") == 0;
}

// A normalised state with every amplitude non-zero, so no kernel meets
// special values.
inline sv::CpuState random_state(std::uint32_t n) {
    sv::CpuState s = sv::CpuState::zero_state(n);
    const double scale = 1.0 / std::sqrt(static_cast<double>(s.len()));
    parallel_for_chunks(s.len(), 1 << 14, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            s.amps[i] = Complex(scale * std::cos(0.37 * i), scale * std::sin(0.37 * i));
        }
    });
    return s;
}

// A random dim × dim unitary, row-major (Gram-Schmidt on random rows): no
// entry is zero, so the dispatch never finds a special matrix.
inline std::vector<Complex> random_unitary(std::size_t dim, std::uint64_t seed) {
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

// The kernels' default smallest task (NIVRA_PAR_GRAIN unset), in amplitudes.
constexpr std::size_t COPY_GRAIN = 64;

// The copy reference: a[i] = a[i] · factor over the whole state, one 16-byte
// read and one 16-byte write per amplitude (the traffic of a one-pass kernel),
// on the pool with the kernels' default chunking. Pass a factor of 1 hidden
// from the compiler.
inline void scale_in_place(sv::CpuState& s, double factor) {
    Complex* a = s.amps.data();
    parallel_for_chunks(s.len(), COPY_GRAIN, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) a[i] = a[i] * factor;
    });
}

// The copy reference's rate on `s` in amplitudes per second: the best of a
// few passes after a warming one (pages, pool threads).
inline double copy_rate(sv::CpuState& s) {
    double factor = 1.0;
    benchmark::DoNotOptimize(factor);
    scale_in_place(s, factor);
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

}  // namespace nivra::bench
