#pragma once
// FuseDiagonalRuns: replaces a stretch of consecutive diagonal gates and
// CNOTs whose CNOTs cancel out overall by one DiagonalPhase, a sum of phase
// terms over parities of qubits. Global phase is kept exactly.
//
// Inside a run, CNOT(c, t) turns the parity mask of t into m[t] XOR m[c]; a
// diagonal gate then sees bit t as the parity of its mask. Its phase table
// φ(x) over its k targets is split into products of target bits,
//     angle_S = Σ_{x ⊆ S} (-1)^{|S|-|x|} φ(x),
// each becoming one term over the masks of the targets in S (and of the
// external controls).

#include <string_view>

#include "nivra/ir/pass.h"

namespace nivra::ir {

class FuseDiagonalRuns final : public Pass {
public:
    std::string_view name() const override { return "FuseDiagonalRuns"; }
    // Refuses circuits of more than 64 qubits (masks are one word) with
    // DIAGONAL_WIDTH_TEXT, before changing anything. Returns (L, output
    // length, DiagonalPhases emitted).
    std::expected<PassStats, PassError> run(Circuit& circuit) const override;
};

// An angle whose reduction into [0, 2π) lies within 1e-12 of 0 or 2π. NaN never is.
bool is_negligible_angle(double angle);

}  // namespace nivra::ir
