#pragma once
// A fused diagonal: amplitude x is multiplied by e^(iθ(x)), θ(x) the sum of
// the angles of the terms whose every mask has odd overlap with x (terms in
// order, from 0.0; an empty mask list applies everywhere).

#include <cstddef>
#include <cstdint>
#include <span>

#include "nivra/core/complex.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/kernels/kernels.h"

namespace nivra::sv::kernels {

// θ(x) exactly as the phase defines it.
double phase_angle(std::uint64_t x, std::span<const ir::PhaseTerm> terms);

// amps[x] ← (re·cos θ − im·sin θ, re·sin θ + im·cos θ) for every x < len,
// each product rounded on its own, as simd.h fixes.
// Bit-identical to evaluating θ, cos θ and sin θ afresh for each index: θ
// depends only on the bits of x that some mask names, so when those are few
// the (cos, sin) pairs are computed once per bit pattern and looked up.
// Parallel from 2^18 amplitudes in tasks of at least 64 (fixed values).
void apply_diagonal_phase_scalar_aos(Complex* amps, std::size_t len, std::span<const ir::PhaseTerm> terms,
                                     const ParPolicy& policy = FIXED_POLICY);

}  // namespace nivra::sv::kernels
