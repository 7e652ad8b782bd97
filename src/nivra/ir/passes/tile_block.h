#pragma once
// TileBlock: groups consecutive tile gates (plain gates with at most two
// targets, all below the tile width, with a concrete matrix; controls may lie
// anywhere) into one TiledBlock that the state-vector backend applies chunk
// by chunk.

#include <cstdint>

#include "nivra/ir/pass.h"

namespace nivra::ir {

class TileBlock final : public Pass {
public:
    explicit TileBlock(std::uint8_t tile) : tile_(tile) {}
    std::uint8_t tile() const { return tile_; }

    std::string_view name() const override { return "TileBlock"; }
    // Returns (L, output length, number of TiledBlocks emitted); a lone tile
    // gate stays an ordinary gate.
    std::expected<PassStats, PassError> run(Circuit& circuit) const override;

private:
    std::uint8_t tile_;
};

}  // namespace nivra::ir
