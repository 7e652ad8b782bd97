#pragma once
// Helpers shared by the state-vector tests: random states and unitaries, and
// a tiny dense reference that applies a gate as a full 2^n × 2^n operator
// built from its matrix, independent of the kernels' index arithmetic.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <span>
#include <vector>

#include "nivra/core/complex.h"
#include "nivra/core/gate.h"
#include "nivra/core/rng.h"
#include "nivra/sv/kernels/simd.h"
#include "nivra/sv/state.h"

namespace nivra::sv::test {

inline double uniform(StdRng& rng, double lo, double hi) { return lo + (hi - lo) * rng.next_unit_f64(); }

inline Complex random_complex(StdRng& rng) { return {uniform(rng, -1, 1), uniform(rng, -1, 1)}; }

// A normalised random state of n qubits.
inline CpuState random_state(std::uint32_t n, StdRng& rng) {
    CpuState s = CpuState::zero_state(n);
    double norm = 0;
    for (std::size_t i = 0; i < s.len(); ++i) {
        s.amps[i] = random_complex(rng);
        norm += std::norm(s.amps[i]);
    }
    const double scale = 1.0 / std::sqrt(norm);
    for (std::size_t i = 0; i < s.len(); ++i) {
        s.amps[i] *= scale;
    }
    return s;
}

// A random dim×dim unitary (row-major): Gram–Schmidt on random rows.
inline std::vector<Complex> random_unitary(std::size_t dim, StdRng& rng) {
    std::vector<Complex> m(dim * dim);
    for (auto& z : m) {
        z = random_complex(rng);
    }
    for (std::size_t r = 0; r < dim; ++r) {
        for (std::size_t p = 0; p < r; ++p) {
            Complex dot = 0;
            for (std::size_t c = 0; c < dim; ++c) {
                dot += m[r * dim + c] * std::conj(m[p * dim + c]);
            }
            for (std::size_t c = 0; c < dim; ++c) {
                m[r * dim + c] -= dot * m[p * dim + c];
            }
        }
        double norm = 0;
        for (std::size_t c = 0; c < dim; ++c) {
            norm += std::norm(m[r * dim + c]);
        }
        for (std::size_t c = 0; c < dim; ++c) {
            m[r * dim + c] /= std::sqrt(norm);
        }
    }
    return m;
}

template <std::size_t N>
std::array<Complex, N> to_array(const std::vector<Complex>& v) {
    std::array<Complex, N> a{};
    std::copy_n(v.begin(), N, a.begin());
    return a;
}

// Applies a dim×dim matrix on `targets` (targets[0] = most significant bit of
// the local index) under `controls`, as the full operator
//   U[i][j] = M[local(i)][local(j)] if i and j agree off the targets and the
//             controls are set in j, else δ(i, j).
inline std::vector<Complex> dense_apply(const std::vector<Complex>& amps, std::span<const Qubit> targets,
                                        std::span<const Qubit> controls, std::span<const Complex> matrix) {
    const std::size_t len = amps.size();
    const std::size_t k = targets.size();
    const std::size_t dim = std::size_t{1} << k;
    std::uint64_t tmask = 0, cmask = 0;
    for (Qubit t : targets) tmask |= std::uint64_t{1} << t;
    for (Qubit c : controls) cmask |= std::uint64_t{1} << c;
    auto local = [&](std::uint64_t i) {
        std::size_t l = 0;
        for (std::size_t b = 0; b < k; ++b) {
            l = (l << 1) | ((i >> targets[b]) & 1);
        }
        return l;
    };
    std::vector<Complex> out(len);
    for (std::uint64_t i = 0; i < len; ++i) {
        Complex acc = 0;
        for (std::uint64_t j = 0; j < len; ++j) {
            Complex u = 0;
            if ((i & ~tmask) == (j & ~tmask)) {
                if ((j & cmask) == cmask) {
                    u = matrix[local(i) * dim + local(j)];
                } else {
                    u = i == j ? 1.0 : 0.0;
                }
            }
            acc += u * amps[j];
        }
        out[i] = acc;
    }
    return out;
}

inline std::vector<Complex> to_vector(const CpuState& s) { return {s.amps.data(), s.amps.data() + s.len()}; }

inline double max_diff(const std::vector<Complex>& a, const std::vector<Complex>& b) {
    double d = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        d = std::max(d, std::abs(a[i] - b[i]));
    }
    return a.size() == b.size() ? d : INFINITY;
}

// Bit-for-bit equality (distinguishes -0.0 from 0.0, and NaN payloads).
inline bool same_bits(const Complex* a, const Complex* b, std::size_t len) {
    return std::memcmp(a, b, len * sizeof(Complex)) == 0;
}

// n distinct qubits out of 0..num_qubits-1, in random order.
inline std::vector<Qubit> random_qubits(std::size_t count, std::uint32_t num_qubits, StdRng& rng) {
    std::vector<Qubit> all(num_qubits);
    for (std::uint32_t q = 0; q < num_qubits; ++q) all[q] = q;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t j = i + rng.next_u64() % (num_qubits - i);
        std::swap(all[i], all[j]);
    }
    all.resize(count);
    return all;
}

constexpr kernels::simd::Isa ALL_ISAS[] = {kernels::simd::Isa::Portable, kernels::simd::Isa::Avx2,
                                           kernels::simd::Isa::Avx512};

inline const char* isa_name(kernels::simd::Isa isa) {
    switch (isa) {
        case kernels::simd::Isa::Portable:
            return "portable";
        case kernels::simd::Isa::Avx2:
            return "avx2";
        case kernels::simd::Isa::Avx512:
            return "avx512";
    }
    return "unknown";
}

}  // namespace nivra::sv::test

namespace nivra::sv::kernels::simd {
// The set's name in test failure messages.
inline void PrintTo(Isa isa, std::ostream* os) { *os << test::isa_name(isa); }
}  // namespace nivra::sv::kernels::simd

namespace nivra::sv::test {

// Runs the kernels on one instruction set while alive.
struct ForcedIsa {
    explicit ForcedIsa(kernels::simd::Isa isa) { kernels::simd::force_isa(isa); }
    ~ForcedIsa() { kernels::simd::force_isa(std::nullopt); }
    ForcedIsa(const ForcedIsa&) = delete;
    ForcedIsa& operator=(const ForcedIsa&) = delete;
};

}  // namespace nivra::sv::test
