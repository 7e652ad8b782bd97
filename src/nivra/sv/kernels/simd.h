#pragma once
// The arithmetic kernels that carry the state vector's multiplications,
// compiled once per instruction set and chosen at run time (internal to the
// kernels).
//
// Every complex product is formed from individually rounded products, and
// every row sum is added in column order. For a matrix entry m and an
// amplitude a:
//     m·a = (a.re·m.re − a.im·m.im,  a.re·m.im + a.im·m.re)
// and a row sum Σ_c m[r][c]·a[c] starts from the product of column 0 and adds
// the product of column c ≥ 1 to it (one rounding per product, per
// difference and per sum; never a fused multiply-add). Each lane of a vector
// performs exactly these operations, and so does the portable path, so every
// instruction set, every vector width and every split of the index range give
// the same bits; the scalar reference path (reference.h) spells out the same
// sequence. Rounded products are also what lets an exact cancellation end in
// an exact zero: a·r − a·r is 0, where fma(a, −r, a·r) is the rounding error
// of a·r.
//
// Instruction sets: AVX-512F (eight base indices per vector), AVX2 (four),
// portable (one). The build stays baseline x86-64: only the functions of the
// AVX2 and AVX-512 translation units carry those targets, and they run only
// where the processor reports them.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "nivra/core/complex.h"
#include "nivra/sv/kernels/index_space.h"
#include "nivra/sv/kernels/kernels.h"

namespace nivra::sv::kernels::simd {

enum class Isa : std::uint8_t { Portable = 0, Avx2 = 1, Avx512 = 2 };

// Whether this processor (and this build) can run `isa`.
bool isa_supported(Isa isa);
// The widest supported set, found once per process.
Isa detected_isa();
// The set the kernels use: detected_isa(), unless a test has forced another.
Isa active_isa();
// Test hook: runs the kernels on `isa` (which must be supported) until reset
// with std::nullopt. Not thread-safe against running kernels.
void force_isa(std::optional<Isa> isa);

// For every base index b of `space`: a[c] = amps[b + offsets[c]] for c < dim,
// then amps[b + offsets[r]] = Σ_c matrix[r·dim + c]·a[c] (row-major dim × dim,
// dim a power of two). All inputs of a base index are read before any output.
void dense(Complex* amps, const detail::IndexSpace& space, const std::uint64_t* offsets, std::size_t dim,
           const Complex* matrix, const ParPolicy& policy);

// For every base index b: amps[b + offsets[r]] = coef[r]·a[source[r]] for
// r < dim (a as above, dim ≤ 4): diagonals (source[r] = r) and antidiagonals.
void monomial(Complex* amps, const detail::IndexSpace& space, const std::uint64_t* offsets, std::size_t dim,
              const std::uint8_t* source, const Complex* coef, const ParPolicy& policy);

// amps[j] = amps[j]·(cs[2j] + i·cs[2j+1]) for j < count, serially.
void rotate(Complex* amps, const double* cs, std::size_t count);

// The product of the header comment, for scalar code.
inline Complex rounded_product(Complex m, Complex a) {
    return {a.real() * m.real() - a.imag() * m.imag(), a.real() * m.imag() + a.imag() * m.real()};
}

// ---- The per-set entry points (one translation unit each) -------------------

using DenseFn = decltype(&dense);
using MonomialFn = decltype(&monomial);
using RotateFn = decltype(&rotate);

struct Table {
    DenseFn dense_fn;
    MonomialFn monomial_fn;
    RotateFn rotate_fn;
};

namespace portable {
extern const Table TABLE;
}
#if defined(__x86_64__)
namespace avx2 {
extern const Table TABLE;
}
namespace avx512 {
extern const Table TABLE;
}
#endif

}  // namespace nivra::sv::kernels::simd
