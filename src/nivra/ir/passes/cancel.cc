#include "nivra/ir/passes/cancel.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/util.h"

namespace nivra::ir {

namespace {

bool same_control_set(const GateInstance& a, const GateInstance& b) {
    if (a.controls.size() != b.controls.size()) {
        return false;
    }
    if (a.controls.empty()) {
        return true;
    }
    boost::container::small_vector<Qubit, 8> sa(a.controls.begin(), a.controls.end());
    boost::container::small_vector<Qubit, 8> sb(b.controls.begin(), b.controls.end());
    std::sort(sa.begin(), sa.end());
    std::sort(sb.begin(), sb.end());
    return sa == sb;
}

// Whether `earlier` and `later` cancel as a pair. Gates without a matrix never
// cancel: Rx(inf) and Rx(-inf) compare as inverses, but running either must fail.
bool cancels(const GateInstance& earlier, const GateInstance& later) {
    if (!std::equal(earlier.targets.begin(), earlier.targets.end(), later.targets.begin(), later.targets.end())) {
        return false;
    }
    if (!same_control_set(earlier, later)) {
        return false;
    }
    if (!detail::is_executable(later.gate) || !detail::is_executable(earlier.gate)) {
        return false;
    }
    return earlier.gate == later.gate.inverse();
}

}  // namespace

std::expected<PassStats, PassError> CancelInversePairs::run(Circuit& circuit) const {
    std::vector<Instruction>& input = circuit.instructions_mut();
    const std::size_t before = input.size();
    // The stacks hold positions in `kept`, which in turn holds input positions.
    std::vector<std::size_t> kept;
    kept.reserve(before);
    std::vector<bool> removed;
    removed.reserve(before);
    std::vector<std::vector<std::size_t>> stacks(circuit.num_qubits());
    std::size_t changes = 0;

    auto stack_of = [&](Qubit q) -> std::vector<std::size_t>& {
        check_index(q, stacks.size(), "CancelInversePairs qubit");
        return stacks[q];
    };
    auto keep = [&](std::size_t position) {
        const std::size_t out = kept.size();
        kept.push_back(position);
        removed.push_back(false);
        detail::for_each_used_qubit(input[position], [&](Qubit q) { stack_of(q).push_back(out); });
    };

    for (std::size_t i = 0; i < before; ++i) {
        const GateInstance* g = input[i].gate();
        if (g == nullptr) {
            keep(i);
            continue;
        }
        // The partner is the common top of the stacks of every used qubit.
        bool found = true;
        bool first = true;
        std::size_t partner = 0;
        detail::for_each_used_qubit(input[i], [&](Qubit q) {
            const std::vector<std::size_t>& s = stack_of(q);
            if (s.empty()) {
                found = false;
                return;
            }
            if (first) {
                partner = s.back();
                first = false;
            } else if (s.back() != partner) {
                found = false;
            }
        });
        found = found && !first;
        const GateInstance* other = found ? input[kept[partner]].gate() : nullptr;
        if (other != nullptr && cancels(*other, *g)) {
            removed[partner] = true;
            detail::for_each_used_qubit(input[i], [&](Qubit q) {
                std::vector<std::size_t>& s = stack_of(q);
                check_invariant(!s.empty(), "support qubit has a stack");
                s.pop_back();
            });
            ++changes;
            continue;
        }
        keep(i);
    }

    detail::OutputList output(kept.size());
    for (std::size_t j = 0; j < kept.size(); ++j) {
        if (!removed[j]) {
            output.copy(kept[j]);
        }
    }
    detail::install(circuit, output);
    return PassStats{before, circuit.size(), changes};
}

}  // namespace nivra::ir
