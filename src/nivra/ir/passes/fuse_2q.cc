#include "nivra/ir/passes/fuse_2q.h"

#include <limits>
#include <optional>
#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/util.h"

namespace nivra::ir {

namespace {

using detail::Mat2;
using detail::Mat4;

std::optional<Mat2> fusable_1q(const GateInstance& g) {
    if (!g.gate.is_one_qubit() || g.targets.size() != 1 || !g.controls.empty()) {
        return std::nullopt;
    }
    std::expected<GateMatrix, GateError> m = g.gate.matrix();
    if (!m || !m->is_m2()) {
        return std::nullopt;
    }
    return m->m2();
}

std::optional<Mat4> fusable_2q(const GateInstance& g) {
    if (!g.gate.is_two_qubit() || g.targets.size() != 2 || !g.controls.empty()) {
        return std::nullopt;
    }
    std::expected<GateMatrix, GateError> m = g.gate.matrix();
    if (!m || !m->is_m4()) {
        return std::nullopt;
    }
    return m->m4();
}

struct Block {
    bool pair = false;
    Mat4 matrix{};  // a single-qubit block uses the first four entries (2×2)
    Qubit x = 0;    // the qubit, or the high qubit of the pair
    Qubit y = 0;    // the low qubit of the pair
    std::size_t position = 0;
    std::size_t count = 0;
    bool all_diagonal = false;

    Mat2 m2() const { return {matrix[0], matrix[1], matrix[2], matrix[3]}; }
    void set_m2(const Mat2& m) { std::copy(m.begin(), m.end(), matrix.begin()); }
};

// Where each input position goes: absorbed into a block (dropped), copied,
// or replaced by a fused gate.
constexpr std::size_t DROPPED = std::numeric_limits<std::size_t>::max();
constexpr std::size_t COPIED = DROPPED - 1;

// One Fuse2q pass over a circuit: the open blocks, the block owning each
// qubit, and where each input position goes. Instructions are fed in order;
// finish() then writes the output list.
class BlockFuser {
public:
    BlockFuser(std::size_t num_qubits, std::size_t positions)
        : owner_(num_qubits, NO_BLOCK), placed_(positions, DROPPED) {}

    // A fusable single-qubit gate at `position`: joins the block owning its
    // qubit, or opens one.
    void add_1q(std::size_t position, Qubit q, const Mat2& g, bool diagonal);
    // A fusable two-qubit gate at `position` on (a, c): multiplies into the
    // pair block on exactly these qubits, or opens a pair block absorbing the
    // single-qubit blocks on a and c (pair blocks there are flushed first).
    std::expected<void, PassError> add_2q(std::size_t position, Qubit a, Qubit c, const Mat4& g);
    // Any other instruction: ends the blocks on the qubits it uses and is copied.
    void pass_through(std::size_t position, const Instruction& inst);
    // Flushes the blocks still open, installs the output in `circuit`, and
    // returns the number of fused gates emitted.
    std::size_t finish(Circuit& circuit);

private:
    using BlockId = detail::SlotPool<Block>::Id;
    static constexpr BlockId NO_BLOCK = detail::SlotPool<Block>::NONE;

    BlockId& owner_of(Qubit q) {
        check_index(q, owner_.size(), "Fuse2q qubit");
        return owner_[q];
    }
    Block& block_at(BlockId id) { return blocks_.at(id); }
    void flush(BlockId id);
    BlockId open(Block b);
    // A block that reached MAX_FUSED_GATES is emitted, so products stay bounded.
    void bounded(BlockId id) {
        if (block_at(id).count >= MAX_FUSED_GATES) {
            flush(id);
        }
    }

    detail::SlotPool<Block> blocks_;
    std::vector<BlockId> owner_;
    // Indexed by position, so the final order is by position without a sort;
    // every position is emitted at most once.
    std::vector<std::size_t> placed_;
    std::vector<Instruction> fused_;
    std::size_t changes_ = 0;
};

void BlockFuser::flush(BlockId id) {
    if (id == NO_BLOCK || !blocks_.live(id)) {
        return;
    }
    const Block b = blocks_.take(id);
    if (owner_of(b.x) == id) {
        owner_of(b.x) = NO_BLOCK;
    }
    if (b.pair && owner_of(b.y) == id) {
        owner_of(b.y) = NO_BLOCK;
    }
    check_index(b.position, placed_.size(), "Fuse2q position");
    if (b.count == 1) {
        placed_[b.position] = COPIED;
        return;
    }
    placed_[b.position] = fused_.size();
    if (b.pair) {
        fused_.emplace_back(GateInstance{Gate::unitary2q(b.matrix), {b.x, b.y}, {}});
    } else if (b.all_diagonal) {
        fused_.emplace_back(GateInstance{Gate::unitary1q_diag(b.matrix[0], b.matrix[3]), {b.x}, {}});
    } else {
        fused_.emplace_back(GateInstance{Gate::unitary1q(b.m2()), {b.x}, {}});
    }
    ++changes_;
}

BlockFuser::BlockId BlockFuser::open(Block b) {
    const Qubit x = b.x;
    const Qubit y = b.y;
    const bool pair = b.pair;
    const BlockId id = blocks_.insert(std::move(b));
    owner_of(x) = id;
    if (pair) {
        owner_of(y) = id;
    }
    return id;
}

void BlockFuser::add_1q(std::size_t position, Qubit q, const Mat2& g, bool diagonal) {
    const BlockId id = owner_of(q);
    if (id == NO_BLOCK) {
        Block b;
        b.set_m2(g);
        b.x = q;
        b.position = position;
        b.count = 1;
        b.all_diagonal = diagonal;
        open(std::move(b));
        return;
    }
    Block& b = block_at(id);
    if (!b.pair) {
        b.set_m2(detail::mul2(g, b.m2()));
        b.all_diagonal = b.all_diagonal && diagonal;
    } else {
        const Mat4 embedded = q == b.x ? detail::kron_high(g) : detail::kron_low(g);
        b.matrix = detail::mul4(embedded, b.matrix);
    }
    ++b.count;
    bounded(id);
}

std::expected<void, PassError> BlockFuser::add_2q(std::size_t position, Qubit a, Qubit c, const Mat4& g) {
    const BlockId id_a = owner_of(a);
    const BlockId id_c = owner_of(c);
    if (id_a != NO_BLOCK && id_a == id_c) {
        Block& b = block_at(id_a);
        if (!b.pair) {
            return std::unexpected(PassError::internal_invariant(BLOCK_NOT_4X4_TEXT));
        }
        b.matrix = detail::mul4(b.x == a ? g : detail::swap_pair(g), b.matrix);
        ++b.count;
        bounded(id_a);
        return {};
    }
    if (id_a != NO_BLOCK && block_at(id_a).pair) {
        flush(id_a);
    }
    if (id_c != NO_BLOCK && blocks_.live(id_c) && block_at(id_c).pair) {
        flush(id_c);
    }
    Block b;
    b.pair = true;
    b.x = a;
    b.y = c;
    b.position = position;
    b.count = 1;
    Mat4 acc = detail::identity4();
    auto absorb = [&](Qubit q, bool high) {
        const BlockId id = owner_of(q);
        if (id == NO_BLOCK) {
            return;
        }
        check_invariant(!block_at(id).pair, "Fuse2q: pair block survived its flush");
        const Block single = blocks_.take(id);
        owner_of(q) = NO_BLOCK;
        const Mat4 embedded = high ? detail::kron_high(single.m2()) : detail::kron_low(single.m2());
        acc = detail::mul4(embedded, acc);
        b.count += single.count;
    };
    absorb(a, true);
    absorb(c, false);
    b.matrix = detail::mul4(g, acc);
    bounded(open(std::move(b)));
    return {};
}

void BlockFuser::pass_through(std::size_t position, const Instruction& inst) {
    detail::for_each_used_qubit(inst, [&](Qubit q) { flush(owner_of(q)); });
    check_index(position, placed_.size(), "Fuse2q position");
    placed_[position] = COPIED;
}

std::size_t BlockFuser::finish(Circuit& circuit) {
    // The output is ordered by position, so the order of these flushes is not observable.
    for (BlockId id = 0; id < blocks_.slot_count(); ++id) {
        flush(id);
    }
    const std::size_t before = placed_.size();
    detail::OutputList output(before);
    output.reserve_fresh(fused_.size());
    for (std::size_t i = 0; i < before; ++i) {
        if (placed_[i] == COPIED) {
            output.copy(i);
        } else if (placed_[i] != DROPPED) {
            output.add_at(i, std::move(fused_[placed_[i]]));
        }
    }
    detail::install(circuit, output);
    return changes_;
}

}  // namespace

std::expected<PassStats, PassError> Fuse2q::run(Circuit& circuit) const {
    const std::vector<Instruction>& input = circuit.instructions();
    const std::size_t before = input.size();
    BlockFuser fuser(circuit.num_qubits(), before);
    for (std::size_t i = 0; i < before; ++i) {
        const Instruction& inst = input[i];
        if (const GateInstance* gi = inst.gate(); gi != nullptr) {
            if (std::optional<Mat2> g = fusable_1q(*gi)) {
                fuser.add_1q(i, gi->targets[0], *g, detail::is_diagonal_1q(gi->gate.kind()));
                continue;
            }
            if (std::optional<Mat4> g = fusable_2q(*gi)) {
                if (std::expected<void, PassError> added = fuser.add_2q(i, gi->targets[0], gi->targets[1], *g);
                    !added) {
                    return std::unexpected(added.error());
                }
                continue;
            }
        }
        fuser.pass_through(i, inst);
    }
    const std::size_t changes = fuser.finish(circuit);
    return PassStats{before, circuit.size(), changes};
}

}  // namespace nivra::ir
