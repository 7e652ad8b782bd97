#include "nivra/ir/passes/fuse_1q.h"

#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/util.h"

namespace nivra::ir {

namespace {

// A single-qubit-kind gate on one target, without controls, whose matrix is 2×2.
std::optional<detail::Mat2> fusable_1q(const Instruction& inst) {
    const GateInstance* g = inst.gate();
    if (g == nullptr || !g->gate.is_one_qubit() || g->targets.size() != 1 || !g->controls.empty()) {
        return std::nullopt;
    }
    std::expected<GateMatrix, GateError> m = g->gate.matrix();
    if (!m || !m->is_m2()) {
        return std::nullopt;
    }
    return m->m2();
}

struct Pending {
    std::size_t first = 0;
    detail::Mat2 matrix{};
    std::size_t count = 0;  // 0: no run pending
    bool all_diagonal = true;
};

}  // namespace

std::expected<PassStats, PassError> Fuse1qRuns::run(Circuit& circuit) const {
    const std::vector<Instruction>& input = circuit.instructions();
    const std::size_t before = input.size();
    std::vector<Pending> pending(circuit.num_qubits());
    detail::OutputList output(before);
    std::size_t changes = 0;

    auto flush = [&](Qubit q) {
        check_index(q, pending.size(), "Fuse1qRuns qubit");
        Pending& p = pending[q];
        if (p.count == 0) {
            return;
        }
        if (p.count == 1) {
            output.copy(p.first);
        } else {
            const detail::Mat2& m = p.matrix;
            Gate fused = p.all_diagonal ? Gate::unitary1q_diag(m[0], m[3]) : Gate::unitary1q(m);
            output.add(GateInstance{std::move(fused), {q}, {}});
            ++changes;
        }
        p.count = 0;
    };

    for (std::size_t i = 0; i < before; ++i) {
        const Instruction& inst = input[i];
        if (std::optional<detail::Mat2> g = fusable_1q(inst)) {
            const GateInstance& gi = *inst.gate();
            const Qubit q = gi.targets[0];
            check_index(q, pending.size(), "Fuse1qRuns qubit");
            Pending& p = pending[q];
            const bool diagonal = detail::is_diagonal_1q(gi.gate.kind());
            if (p.count == 0) {
                p = Pending{i, *g, 1, diagonal};
            } else {
                p.matrix = detail::mul2(*g, p.matrix);
                ++p.count;
                p.all_diagonal = p.all_diagonal && diagonal;
            }
            if (p.count >= MAX_FUSED_GATES) {
                flush(q);
            }
            continue;
        }
        detail::for_each_used_qubit(inst, flush);
        output.copy(i);
    }
    for (Qubit q = 0; q < pending.size(); ++q) {
        flush(q);
    }
    detail::install(circuit, output);
    return PassStats{before, circuit.size(), changes};
}

}  // namespace nivra::ir
