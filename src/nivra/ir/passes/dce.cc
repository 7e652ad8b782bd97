#include "nivra/ir/passes/dce.h"

#include <algorithm>
#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/util.h"

namespace nivra::ir {

std::expected<PassStats, PassError> DeadCodeElim::run(Circuit& circuit) const {
    std::vector<Instruction>& input = circuit.instructions_mut();
    const std::size_t before = input.size();
    if (liveness_ == Liveness::MeasuredOnly &&
        std::none_of(input.begin(), input.end(), [](const Instruction& i) { return i.holds<Measure>(); })) {
        return PassStats{before, before, 0};
    }

    std::vector<bool> live(circuit.num_qubits(), liveness_ == Liveness::AllQubitsAtEnd);
    auto at = [&](Qubit q) {
        check_index(q, live.size(), "DeadCodeElim qubit");
        return live[q];
    };
    auto make_live = [&](const Instruction& inst) {
        detail::for_each_used_qubit(inst, [&](Qubit q) { live[q] = true; });
    };

    std::vector<std::size_t> staying;
    staying.reserve(before);
    std::size_t changes = 0;
    for (std::size_t i = before; i-- > 0;) {
        const Instruction& inst = input[i];
        if (const GateInstance* g = inst.gate()) {
            bool any_live = false;
            detail::for_each_used_qubit(inst, [&](Qubit q) { any_live = any_live || at(q); });
            // A gate without a matrix stays even when dead: running it must fail.
            if (any_live || !detail::is_executable(g->gate)) {
                staying.push_back(i);
                make_live(inst);
            } else {
                ++changes;
            }
        } else if (const Measure* m = inst.get_if<Measure>()) {
            at(m->qubit);
            live[m->qubit] = true;
            staying.push_back(i);
        } else if (const Reset* r = inst.get_if<Reset>()) {
            at(r->qubit);
            live[r->qubit] = false;
            staying.push_back(i);
        } else {
            detail::for_each_used_qubit(inst, [&](Qubit q) { at(q); });
            make_live(inst);
            staying.push_back(i);
        }
    }

    detail::OutputList output(staying.size());
    for (auto it = staying.rbegin(); it != staying.rend(); ++it) {
        output.copy(*it);
    }
    detail::install(circuit, output);
    return PassStats{before, circuit.size(), changes};
}

}  // namespace nivra::ir
