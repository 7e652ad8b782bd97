#pragma once
// Fuse1qRuns: multiplies consecutive single-qubit gates on one qubit into one
// Unitary1q, or Unitary1qDiag when every gate of the run is of a diagonal
// kind. A run is emitted where it ends (just before the instruction that
// touched its qubit next, or at the end), which keeps every qubit's order.

#include "nivra/ir/pass.h"

namespace nivra::ir {

class Fuse1qRuns final : public Pass {
public:
    std::string_view name() const override { return "Fuse1qRuns"; }
    // Returns (L, output length, fused gates emitted). A run of one gate comes
    // out unchanged; a run is emitted once it holds MAX_FUSED_GATES gates.
    std::expected<PassStats, PassError> run(Circuit& circuit) const override;
};

}  // namespace nivra::ir
