#pragma once
// RelabelQubits: renames qubits so that the most used ones get the lowest
// indices, when that puts more small gates inside the low tile of qubits the
// state-vector kernels work on. The renaming (old index -> new index) is
// stored as the circuit's permutation so results can be mapped back.

#include <cstdint>

#include "nivra/ir/pass.h"

namespace nivra::ir {

class RelabelQubits final : public Pass {
public:
    explicit RelabelQubits(std::uint8_t tile) : tile_(tile) {}
    std::uint8_t tile() const { return tile_; }

    std::string_view name() const override { return "RelabelQubits"; }
    // Leaves the circuit untouched, with (L, L, 0), when it has fewer than two
    // qubits, already carries a permutation, the new labelling does not put
    // strictly more tile gates inside the tile, or it would move a
    // DiagonalPhase mask bit beyond bit 63. Otherwise rewrites every operand
    // and returns (L, L, 1). Must run before TileBlock: a TiledBlock met when
    // relabelling applies throws InvariantError.
    std::expected<PassStats, PassError> run(Circuit& circuit) const override;

private:
    std::uint8_t tile_;
};

}  // namespace nivra::ir
