#include "nivra/ir/passes/relabel.h"

#include <algorithm>
#include <numeric>
#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/util.h"

namespace nivra::ir {

namespace {

// Plain gates with at most two targets and a concrete matrix, all of whose
// targets (after `label`) lie below the tile.
template <class Label>
std::size_t tile_score(const std::vector<Instruction>& list, std::uint8_t tile, Label label) {
    std::size_t score = 0;
    for (const Instruction& inst : list) {
        const GateInstance* g = inst.gate();
        if (g == nullptr || g->targets.size() > 2 || !detail::has_concrete_matrix(g->gate)) {
            continue;
        }
        bool inside = std::all_of(g->targets.begin(), g->targets.end(), [&](Qubit q) { return label(q) < tile; });
        score += inside ? 1 : 0;
    }
    return score;
}

// A UnitaryKq matrix is indexed over its targets in ascending order, so
// renaming them can change which target each index bit stands for: the
// matrix is re-indexed to follow its qubits.
void relabel_unitary_kq(GateInstance& g, const std::vector<Qubit>& new_label) {
    const std::size_t k = g.targets.size();
    check_invariant(k == g.gate.kq_width(), "RelabelQubits: UnitaryKq width differs from its targets");
    std::vector<Qubit> old_sorted(g.targets.begin(), g.targets.end());
    std::sort(old_sorted.begin(), old_sorted.end());
    std::vector<Qubit> new_sorted(k);
    for (std::size_t p = 0; p < k; ++p) {
        new_sorted[p] = new_label[old_sorted[p]];
    }
    std::sort(new_sorted.begin(), new_sorted.end());
    // new_bit[p]: the index bit that old bit (k-1-p) moves to.
    std::vector<std::size_t> new_bit(k);
    bool unchanged = true;
    for (std::size_t p = 0; p < k; ++p) {
        auto it = std::lower_bound(new_sorted.begin(), new_sorted.end(), new_label[old_sorted[p]]);
        const auto q = static_cast<std::size_t>(it - new_sorted.begin());
        new_bit[p] = k - 1 - q;
        unchanged = unchanged && q == p;
    }
    if (unchanged) {
        return;
    }
    const std::size_t dim = std::size_t{1} << k;
    auto move_bits = [&](std::size_t index) {
        std::size_t out = 0;
        for (std::size_t p = 0; p < k; ++p) {
            if ((index >> (k - 1 - p)) & 1U) {
                out |= std::size_t{1} << new_bit[p];
            }
        }
        return out;
    };
    std::span<const Complex> old_matrix = g.gate.matrix_data();
    check_invariant(old_matrix.size() == dim * dim, "RelabelQubits: UnitaryKq matrix size");
    std::vector<Complex> moved(dim * dim);
    for (std::size_t r = 0; r < dim; ++r) {
        for (std::size_t c = 0; c < dim; ++c) {
            moved[move_bits(r) * dim + move_bits(c)] = old_matrix[r * dim + c];
        }
    }
    g.gate = Gate::unitary_kq(static_cast<std::uint8_t>(k), std::move(moved));
}

}  // namespace

std::expected<PassStats, PassError> RelabelQubits::run(Circuit& circuit) const {
    const std::size_t count = circuit.size();
    const PassStats unchanged{count, count, 0};
    const std::uint32_t n = circuit.num_qubits();
    if (n < 2 || circuit.permutation().has_value()) {
        return unchanged;
    }
    const std::vector<Instruction>& list = circuit.instructions();

    std::vector<std::uint64_t> uses(n, 0);
    for (const Instruction& inst : list) {
        detail::for_each_used_qubit(inst, [&](Qubit q) {
            check_index(q, uses.size(), "RelabelQubits qubit");
            ++uses[q];
        });
    }
    std::vector<Qubit> order(n);
    std::iota(order.begin(), order.end(), Qubit{0});
    std::sort(order.begin(), order.end(),
              [&](Qubit a, Qubit b) { return uses[a] != uses[b] ? uses[a] > uses[b] : a < b; });
    std::vector<Qubit> new_label(n);
    for (std::size_t i = 0; i < order.size(); ++i) {
        new_label[order[i]] = static_cast<Qubit>(i);
    }

    const std::size_t old_score = tile_score(list, tile_, [](Qubit q) { return q; });
    const std::size_t new_score = tile_score(list, tile_, [&](Qubit q) { return new_label[q]; });
    if (new_score <= old_score) {
        return unchanged;
    }

    // Check before rewriting so that a refusal leaves the circuit as it was.
    for (const Instruction& inst : list) {
        if (inst.holds<TiledBlock>()) {
            invariant_failure(
                "internal error: entered unreachable code: RelabelQubits runs before TileBlock; no TiledBlock "
                "present");
        }
        if (const DiagonalPhase* d = inst.get_if<DiagonalPhase>()) {
            // A mask is one word: a phase qubit relabelled to 64 or above
            // could not be represented, so such a circuit keeps its labels.
            for (Qubit q : d->used_qubits()) {
                if (new_label[q] >= 64) {
                    return unchanged;
                }
            }
        }
    }

    auto relabel = [&](Qubit& q) { q = new_label[q]; };
    for (Instruction& inst : circuit.instructions_mut()) {
        inst.visit(overloaded{
            [&](GateInstance& g) {
                if (g.gate.kind() == GateKind::UnitaryKq) {
                    relabel_unitary_kq(g, new_label);
                }
                std::for_each(g.targets.begin(), g.targets.end(), relabel);
                std::for_each(g.controls.begin(), g.controls.end(), relabel);
            },
            [&](Measure& m) { relabel(m.qubit); },
            [&](Reset& r) { relabel(r.qubit); },
            [&](Barrier& b) { std::for_each(b.qubits.begin(), b.qubits.end(), relabel); },
            [&](DiagonalPhase& d) {
                const unsigned limit = std::min<std::uint32_t>({d.width, n, 64});
                for (PhaseTerm& term : d.terms) {
                    for (std::uint64_t& mask : term.masks) {
                        std::uint64_t moved = 0;
                        for (unsigned q = 0; q < limit; ++q) {
                            if ((mask >> q) & 1U) {
                                moved |= std::uint64_t{1} << new_label[q];
                            }
                        }
                        mask = moved;
                    }
                }
            },
            [&](TiledBlock&) {
                invariant_failure(
                    "internal error: entered unreachable code: RelabelQubits runs before TileBlock; no "
                    "TiledBlock present");
            },
        });
    }
    circuit.set_permutation(std::move(new_label));
    return PassStats{count, count, 1};
}

}  // namespace nivra::ir
