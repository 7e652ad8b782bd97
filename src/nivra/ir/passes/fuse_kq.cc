#include "nivra/ir/passes/fuse_kq.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/util.h"

namespace nivra::ir {

namespace {

constexpr std::size_t MIN_K = 2;
constexpr std::size_t MAX_K = 5;

// Ordered sets of at most a few qubits: sorted small vectors.
using QubitSet = boost::container::small_vector<Qubit, 8>;

void insert_sorted(QubitSet& set, Qubit q) {
    auto it = std::lower_bound(set.begin(), set.end(), q);
    if (it == set.end() || *it != q) {
        set.insert(it, q);
    }
}

struct Block {
    std::vector<std::size_t> gates;  // input positions
    QubitSet qubits;
    std::size_t first = 0;
};

// Block numbers only name open blocks: a merged block's gates are sorted by
// position when it closes, so no output depends on them.
using BlockId = detail::SlotPool<Block>::Id;
constexpr BlockId NO_BLOCK = detail::SlotPool<Block>::NONE;

bool is_fusable(const Instruction& inst) {
    const GateInstance* g = inst.gate();
    return g != nullptr && g->controls.empty() && g->gate.kind() != GateKind::UnitaryKq &&
           detail::has_concrete_matrix(g->gate);
}

bool nonzero(Complex c) { return c.real() != 0.0 || c.imag() != 0.0; }

// lift_dense into a buffer the caller reuses.
void lift_dense_into(std::vector<Complex>& out, std::span<const Complex> matrix, std::span<const Qubit> gate_qubits,
                     std::span<const Qubit> block_qubits);

class KqFuser {
public:
    KqFuser(const std::vector<Instruction>& input, std::uint32_t num_qubits, std::size_t k)
        : input_(input), owner_(num_qubits, NO_BLOCK), output_(input.size()), k_(k) {}

    void walk() {
        for (std::size_t i = 0; i < input_.size(); ++i) {
            if (is_fusable(input_[i])) {
                add_gate(i);
                continue;
            }
            QubitSet used;
            detail::for_each_used_qubit(input_[i], [&](Qubit q) { used.push_back(q); });
            close_touching(used);
            output_.copy(i);
        }
        std::vector<BlockId> live;
        for (BlockId id = 0; id < blocks_.slot_count(); ++id) {
            if (blocks_.live(id)) {
                live.push_back(id);
            }
        }
        std::stable_sort(live.begin(), live.end(),
                         [&](BlockId a, BlockId b) { return blocks_.at(a).first < blocks_.at(b).first; });
        for (BlockId id : live) {
            take_and_close(id);
        }
    }

    detail::OutputList& output() { return output_; }
    std::size_t changes() const { return changes_; }

private:
    BlockId& owner_of(Qubit q) {
        check_index(q, owner_.size(), "FuseKq qubit");
        return owner_[q];
    }

    void add_gate(std::size_t i) {
        const GateInstance& g = *input_[i].gate();
        QubitSet touching;  // block numbers, ascending
        for (Qubit q : g.targets) {
            const BlockId id = owner_of(q);
            if (id != NO_BLOCK) {
                insert_sorted(touching, id);
            }
        }
        QubitSet targets;
        for (Qubit q : g.targets) {
            insert_sorted(targets, q);
        }
        QubitSet united = targets;
        for (BlockId id : touching) {
            for (Qubit q : live_block(id).qubits) {
                insert_sorted(united, q);
            }
        }

        Block block;
        if (united.size() > k_) {
            QubitSet touched_qubits;
            for (BlockId id : touching) {
                const QubitSet& qs = live_block(id).qubits;
                touched_qubits.insert(touched_qubits.end(), qs.begin(), qs.end());
            }
            close_touching(touched_qubits);
            block.qubits = std::move(targets);
            block.first = i;
        } else {
            block.first = i;
            for (BlockId id : touching) {
                Block merged = blocks_.take(id);
                block.gates.insert(block.gates.end(), merged.gates.begin(), merged.gates.end());
                block.first = std::min(block.first, merged.first);
            }
            block.qubits = std::move(united);
        }
        block.gates.push_back(i);
        const bool full = block.gates.size() >= MAX_FUSED_GATES;
        const QubitSet qubits = block.qubits;
        const BlockId id = blocks_.insert(std::move(block));
        for (Qubit q : qubits) {
            owner_of(q) = id;
        }
        if (full) {
            close_touching(qubits);
        }
    }

    Block& live_block(BlockId id) { return blocks_.at(id); }

    // Closes every live block that owns one of `qubits`, in order of first position.
    void close_touching(const QubitSet& qubits) {
        QubitSet ids;
        for (Qubit q : qubits) {
            const BlockId id = owner_of(q);
            if (id != NO_BLOCK) {
                insert_sorted(ids, id);
            }
        }
        std::stable_sort(ids.begin(), ids.end(),
                         [&](BlockId a, BlockId b) { return live_block(a).first < live_block(b).first; });
        for (BlockId id : ids) {
            take_and_close(id);
        }
    }

    void take_and_close(BlockId id) {
        Block block = blocks_.take(id);
        for (Qubit q : block.qubits) {
            owner_of(q) = NO_BLOCK;
        }
        close_block(block);
    }

    void close_block(Block& block) {
        std::stable_sort(block.gates.begin(), block.gates.end());
        if (block.qubits.size() < 3 || block.gates.size() < 2) {
            for (std::size_t position : block.gates) {
                output_.copy(position);
            }
            return;
        }
        const std::size_t m = block.qubits.size();
        const std::size_t dim = std::size_t{1} << m;
        std::vector<Complex> acc(dim * dim, Complex(0.0, 0.0));
        for (std::size_t d = 0; d < dim; ++d) {
            acc[d * dim + d] = Complex(1.0, 0.0);
        }
        std::vector<Complex> next(dim * dim);
        std::vector<Complex> lifted;
        for (std::size_t position : block.gates) {
            const GateInstance& g = *input_[position].gate();
            lift_gate(lifted, g, block.qubits);
            // next = lifted·acc, visiting the rows of `lifted` and skipping its exact zeros.
            std::fill(next.begin(), next.end(), Complex(0.0, 0.0));
            for (std::size_t r = 0; r < dim; ++r) {
                Complex* out_row = &next[r * dim];
                for (std::size_t c = 0; c < dim; ++c) {
                    const Complex v = lifted[r * dim + c];
                    if (!nonzero(v)) {
                        continue;
                    }
                    const Complex* in_row = &acc[c * dim];
                    for (std::size_t col = 0; col < dim; ++col) {
                        out_row[col] += v * in_row[col];
                    }
                }
            }
            acc.swap(next);
        }
        GateInstance fused{Gate::unitary_kq(static_cast<std::uint8_t>(m), std::move(acc)),
                           {block.qubits.begin(), block.qubits.end()},
                           {}};
        output_.add(std::move(fused));
        ++changes_;
    }

    static void lift_gate(std::vector<Complex>& out, const GateInstance& g, const QubitSet& block_qubits) {
        const std::span<const Qubit> gate_qubits(g.targets.data(), g.targets.size());
        const std::span<const Qubit> block(block_qubits.data(), block_qubits.size());
        if (g.gate.kind() == GateKind::UnitaryKq) {
            // A UnitaryKq matrix is indexed over its targets in ascending order.
            QubitSet sorted(g.targets.begin(), g.targets.end());
            std::sort(sorted.begin(), sorted.end());
            lift_dense_into(out, g.gate.matrix_data(), std::span<const Qubit>(sorted.data(), sorted.size()), block);
            return;
        }
        std::expected<GateMatrix, GateError> m = g.gate.matrix();
        if (!m) {
            invariant_failure(
                "FuseKq lifts only concrete GateMatrix gates (no UnitaryKq, no symbolic/non-finite params); "
                "UnitaryKq routes via lift_dense");
        }
        lift_dense_into(out, m->entries(), gate_qubits, block);
    }

    const std::vector<Instruction>& input_;
    detail::SlotPool<Block> blocks_;
    std::vector<BlockId> owner_;
    detail::OutputList output_;
    std::size_t changes_ = 0;
    std::size_t k_;
};

}  // namespace

std::size_t FuseKq::width() const { return std::clamp(max_k_, MIN_K, MAX_K); }

namespace {

void lift_dense_into(std::vector<Complex>& out, std::span<const Complex> matrix, std::span<const Qubit> gate_qubits,
                     std::span<const Qubit> block_qubits) {
    const std::size_t m = block_qubits.size();
    const std::size_t g = gate_qubits.size();
    check_invariant(m <= MAX_K, "lift_dense: a block spans at most 5 qubits");
    check_invariant(g <= m, "gate qubit must lie in block");
    const std::size_t dim = std::size_t{1} << m;
    const std::size_t local_dim = std::size_t{1} << g;
    check_invariant(matrix.size() == local_dim * local_dim, "lift_dense: matrix size differs from the gate qubits");
    // block_bit[j]: the bit of the block index that gate qubit j occupies.
    std::array<std::size_t, MAX_K> block_bit{};
    for (std::size_t j = 0; j < g; ++j) {
        auto it = std::find(block_qubits.begin(), block_qubits.end(), gate_qubits[j]);
        check_invariant(it != block_qubits.end(), "gate qubit must lie in block");
        const auto p = static_cast<std::size_t>(it - block_qubits.begin());
        block_bit[j] = m - 1 - p;
    }
    out.assign(dim * dim, Complex(0.0, 0.0));
    for (std::size_t c = 0; c < dim; ++c) {
        std::size_t local_col = 0;
        std::size_t rest = c;
        for (std::size_t j = 0; j < g; ++j) {
            local_col |= ((c >> block_bit[j]) & 1U) << (g - 1 - j);
            rest &= ~(std::size_t{1} << block_bit[j]);
        }
        for (std::size_t r = 0; r < local_dim; ++r) {
            const Complex v = matrix[r * local_dim + local_col];
            if (!nonzero(v)) {
                continue;
            }
            std::size_t row = rest;
            for (std::size_t j = 0; j < g; ++j) {
                row |= ((r >> (g - 1 - j)) & 1U) << block_bit[j];
            }
            out[row * dim + c] += v;
        }
    }
}

}  // namespace

std::vector<Complex> lift_dense(std::span<const Complex> matrix, std::span<const Qubit> gate_qubits,
                                std::span<const Qubit> block_qubits) {
    std::vector<Complex> out;
    lift_dense_into(out, matrix, gate_qubits, block_qubits);
    return out;
}

std::expected<PassStats, PassError> FuseKq::run(Circuit& circuit) const {
    const std::size_t before = circuit.size();
    KqFuser fuser(circuit.instructions(), circuit.num_qubits(), width());
    fuser.walk();
    const std::size_t changes = fuser.changes();
    detail::install(circuit, fuser.output());
    return PassStats{before, circuit.size(), changes};
}

}  // namespace nivra::ir
