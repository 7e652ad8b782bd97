#include "nivra/ir/pass.h"

#include <limits>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/cancel.h"
#include "nivra/ir/passes/dce.h"
#include "nivra/ir/passes/fuse_1q.h"
#include "nivra/ir/passes/fuse_2q.h"
#include "nivra/ir/passes/fuse_diagonal.h"
#include "nivra/ir/passes/fuse_kq.h"
#include "nivra/ir/passes/relabel.h"
#include "nivra/ir/passes/tile_block.h"

namespace nivra::ir {

std::string PassError::message() const { return "internal invariant violated: " + std::string(text); }

PassPipeline PassPipeline::default_pipeline() {
    PassPipeline p;
    p.push(std::make_unique<RelabelQubits>(15));
    p.push(std::make_unique<CancelInversePairs>());
    // Every qubit of the final state is sampled, so every qubit is live at the
    // end; liveness from measurements alone would drop gates whose effect the
    // caller reads.
    p.push(std::make_unique<DeadCodeElim>(DeadCodeElim::Liveness::AllQubitsAtEnd));
    p.push(std::make_unique<FuseDiagonalRuns>());
    p.push(std::make_unique<Fuse1qRuns>());
    p.push(std::make_unique<Fuse2q>());
    p.push(std::make_unique<FuseKq>(4));
    p.push(std::make_unique<TileBlock>(15));
    return p;
}

std::expected<PassStats, PassError> PassPipeline::run(Circuit& circuit) const {
    PassStats total{circuit.size(), circuit.size(), 0};
    bool first = true;
    for (const std::unique_ptr<Pass>& pass : passes_) {
        std::expected<PassStats, PassError> stats = pass->run(circuit);
        if (!stats) {
            return std::unexpected(stats.error());
        }
        if (first) {
            total.before = stats->before;
            first = false;
        }
        total.after = stats->after;
        if (!checked_add(total.changes, stats->changes, total.changes)) {
            total.changes = std::numeric_limits<std::size_t>::max();
        }
    }
    return total;
}

}  // namespace nivra::ir
