#pragma once
// State-vector gate kernels: apply a 1-, 2-, 3- or k-qubit matrix to a dense
// amplitude array, optionally under external control qubits.
//
// Layout ("aos"): `amps` is len = 2^n interleaved complex doubles; qubit q is
// bit q of the amplitude index. Matrices are row-major; the local index of a
// 2-qubit matrix on (q0, q1) is 2·bit(q0) + bit(q1), of a 3-qubit matrix on
// (q0, q1, q2) is 4·bit(q0) + 2·bit(q1) + bit(q2). A k-qubit matrix is indexed
// over the targets sorted ascending, the smallest target being the most
// significant bit.
//
// The entry points apply_1q / apply_2q / apply_3q inspect the matrix and pick
// a specialised kernel (diagonal, X, Y, antidiagonal, CNOT, SWAP, CZ,
// Toffoli, CCZ, identity) or the dense one. Every kernel computes each output
// from the inputs of its own base index only, so results are bit-identical for
// any thread count and any ParPolicy.
//
// Preconditions (checked, InvariantError when broken): len is a power of two;
// targets and controls lie below log2(len) and are pairwise distinct; a
// k-qubit matrix holds 4^k entries. Matrices are not tested for unitarity
// here (the backend's gate path does that).

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "nivra/core/complex.h"
#include "nivra/core/gate.h"

namespace nivra::sv::kernels {

using M2 = GateMatrix::M2;
using M4 = GateMatrix::M4;
using M8 = GateMatrix::M8;

// When a kernel runs on the pool: len >= min_amps; tasks of at least `grain`
// amplitude indices (0 is taken as 1).
struct ParPolicy {
    std::size_t min_amps = 262144;
    std::size_t grain = 64;
};

// The fixed values of the k-qubit path and of diagonal phases, which ignore
// the tuning variables.
inline constexpr ParPolicy FIXED_POLICY{262144, 64};
// Always serial on the calling thread.
inline constexpr ParPolicy SERIAL_POLICY{std::numeric_limits<std::size_t>::max(), 64};

// The policy from NIVRA_PAR_MIN_AMPS / NIVRA_PAR_GRAIN (see tuning.h), read
// once per process; also forces the NIVRA_CPU_MODEL classification.
ParPolicy tuned_policy();

// ---- Entry points with matrix inspection ------------------------------------

void apply_1q(Complex* amps, std::size_t len, Qubit target, std::span<const Qubit> controls, const M2& m,
              const ParPolicy& policy = tuned_policy());
// Does nothing for an identity (within the tolerances).
void apply_2q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::span<const Qubit> controls, const M4& m,
              const ParPolicy& policy = tuned_policy());
// Does nothing for an identity (within the tolerances).
void apply_3q(Complex* amps, std::size_t len, Qubit q0, Qubit q1, Qubit q2, std::span<const Qubit> controls,
              const M8& m, const ParPolicy& policy = tuned_policy());
// CNOT with `control` added to the external controls.
void dispatch_cnot(Complex* amps, std::size_t len, Qubit control, Qubit target, std::span<const Qubit> controls,
                   const ParPolicy& policy = tuned_policy());
// Y for sign +1.0, -Y for sign -1.0: a0, a1 -> (-i·σ·a1, i·σ·a0).
void apply_1q_y_scalar(Complex* amps, std::size_t len, Qubit target, std::span<const Qubit> controls, double sign,
                       const ParPolicy& policy = tuned_policy());

// ---- The specialised kernels (masks precomputed) ---------------------------
// `control_mask` is the OR of 2^c over the external controls. For CNOT and
// Toffoli `mask` already holds the gate's own control bits.

void apply_1q_diagonal_scalar(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask, Complex d0,
                              Complex d1, const ParPolicy& policy);
void apply_1q_x_scalar(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask,
                       const ParPolicy& policy);
void apply_1q_y_masked(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask, double sign,
                       const ParPolicy& policy);
void apply_1q_antidiag_scalar(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask, Complex m01,
                              Complex m10, const ParPolicy& policy);
void apply_1q_dense_scalar(Complex* amps, std::size_t len, Qubit target, std::uint64_t control_mask, const M2& m,
                           const ParPolicy& policy);
void apply_2q_cnot_scalar(Complex* amps, std::size_t len, std::uint64_t mask, Qubit target, const ParPolicy& policy);
void apply_2q_swap_scalar(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t control_mask,
                          const ParPolicy& policy);
void apply_2q_cz_scalar(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t control_mask,
                        const ParPolicy& policy);
void apply_2q_diagonal_scalar(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t control_mask,
                              const std::array<Complex, 4>& d, const ParPolicy& policy);
void apply_2q_dense_scalar(Complex* amps, std::size_t len, Qubit q0, Qubit q1, std::uint64_t control_mask, const M4& m,
                           const ParPolicy& policy);
void apply_toffoli_scalar(Complex* amps, std::size_t len, std::uint64_t mask, Qubit target, const ParPolicy& policy);
void apply_ccz_scalar(Complex* amps, std::size_t len, std::uint64_t mask, const ParPolicy& policy);
void apply_3q_generic(Complex* amps, std::size_t len, Qubit q0, Qubit q1, Qubit q2, std::uint64_t control_mask,
                      const M8& m, const ParPolicy& policy);

// ---- k-qubit path ------------------------------------------------------------

struct FixedBit {
    Qubit qubit = 0;
    std::uint8_t value = 0;
};

struct TargetsOffsets {
    std::uint64_t dim = 0;               // 2^k
    std::vector<std::uint64_t> offsets;  // offsets[j]: OR of 2^sorted[k-1-b] over the set bits b of j
    std::vector<FixedBit> fixed;         // the targets ascending, each held at 0 in a base index
};

// Sorts a copy of the targets. Throws InvariantError when k exceeds the number
// of targets, a target is 64 or more, or a target repeats.
TargetsOffsets targets_offsets_fixed(std::span<const Qubit> targets, std::uint8_t k);

// k-qubit gather, multiply, scatter, over the 2^(n-k) blocks. `matrix` must
// hold 4^k entries and `targets` exactly k qubits. The gate acts only where
// every bit of `control_mask` is set (0: everywhere).
void apply_kq_scalar_aos(Complex* amps, std::size_t len, std::span<const Qubit> targets, std::uint8_t k,
                         std::span<const Complex> matrix, std::uint64_t control_mask = 0,
                         const ParPolicy& policy = FIXED_POLICY);

// ---- Matrix tests ----------------------------------------------------------

// Both parts finite and re² + im² < 1e-30.
bool near_zero(Complex z);
// |re - Re v| < 1e-14 and |im - Im v| < 1e-14.
bool close_to(Complex z, Complex v);
// |(re² + im²) - 1| < 1e-14, |re - 1| < 1e-14 and |im| < 1e-14.
bool unit_entry(Complex z);
// Both parts finite and within 1e-12 (inclusive) of v: the 3-qubit tests.
bool matches_3q(Complex z, Complex v);

}  // namespace nivra::sv::kernels
