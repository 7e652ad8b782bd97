#pragma once
// CancelInversePairs: removes a gate together with an earlier gate that is its
// exact inverse on the same qubits when nothing on those qubits lies between
// them. Removals nest, so a palindrome of gates and inverses vanishes in one
// walk; per-qubit stacks of output positions give the partner directly.

#include "nivra/ir/pass.h"

namespace nivra::ir {

class CancelInversePairs final : public Pass {
public:
    std::string_view name() const override { return "CancelInversePairs"; }
    // Returns (L, kept, cancelled pairs). A pair cancels when both gates see
    // the same top on the stacks of all their qubits, the targets are equal in
    // order, the controls equal as sets, the earlier gate equals the inverse
    // of the later one, and both have a matrix (a gate with a symbolic or
    // non-finite parameter is never removed: running it must fail).
    std::expected<PassStats, PassError> run(Circuit& circuit) const override;
};

}  // namespace nivra::ir
