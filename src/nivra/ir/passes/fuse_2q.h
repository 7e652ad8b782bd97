#pragma once
// Fuse2q: grows blocks around two-qubit gates. A two-qubit gate absorbs the
// pending single-qubit blocks on its qubits; later single-qubit gates on
// either qubit and later two-qubit gates on the same pair multiply into it.
// Each block is emitted at the position of the instruction that opened it.
//
// Pair-block bit order over (x, y): index = 2·bit(x) + bit(y). A gate on
// (y, x) enters as S·g·S, S exchanging basis indices 1 and 2.

#include "nivra/ir/pass.h"

namespace nivra::ir {

class Fuse2q final : public Pass {
public:
    std::string_view name() const override { return "Fuse2q"; }
    // Returns (L, output length, fused gates emitted), or BLOCK_NOT_4X4_TEXT
    // (circuit unchanged) should a single-qubit block ever own both targets.
    std::expected<PassStats, PassError> run(Circuit& circuit) const override;
};

}  // namespace nivra::ir
