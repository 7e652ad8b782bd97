#include "nivra/ir/passes/tile_block.h"

#include <algorithm>
#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/util.h"

namespace nivra::ir {

std::expected<PassStats, PassError> TileBlock::run(Circuit& circuit) const {
    std::vector<Instruction>& list = circuit.instructions_mut();
    const std::size_t before = list.size();
    // Rewritten in place: every emitted instruction consumes at least one
    // input, so the write slot never passes the read position.
    std::size_t write = 0;
    auto emit = [&](Instruction inst) { list[write++] = std::move(inst); };
    std::vector<GateInstance> pending;
    std::size_t changes = 0;

    auto is_tile_gate = [this](const GateInstance& g) {
        return g.targets.size() <= 2 &&
               std::all_of(g.targets.begin(), g.targets.end(), [this](Qubit q) { return q < tile_; }) &&
               detail::has_concrete_matrix(g.gate);
    };
    auto flush = [&] {
        if (pending.size() == 1) {
            emit(std::move(pending.front()));
        } else if (pending.size() >= 2) {
            emit(TiledBlock{std::move(pending), tile_});
            ++changes;
        }
        pending.clear();
    };

    // Only moves: nothing here can fail once the walk starts.
    for (std::size_t read = 0; read < before; ++read) {
        GateInstance* g = list[read].gate();
        if (g != nullptr && is_tile_gate(*g)) {
            pending.push_back(std::move(*g));
            continue;
        }
        flush();
        if (write != read) {
            list[write] = std::move(list[read]);
        }
        ++write;
    }
    flush();
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(write), list.end());
    return PassStats{before, list.size(), changes};
}

}  // namespace nivra::ir
