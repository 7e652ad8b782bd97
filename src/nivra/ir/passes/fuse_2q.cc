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

}  // namespace

std::expected<PassStats, PassError> Fuse2q::run(Circuit& circuit) const {
    const std::vector<Instruction>& input = circuit.instructions();
    const std::size_t before = input.size();
    detail::SlotPool<Block> blocks;
    using BlockId = detail::SlotPool<Block>::Id;
    constexpr BlockId NO_BLOCK = detail::SlotPool<Block>::NONE;
    std::vector<BlockId> owner(circuit.num_qubits(), NO_BLOCK);
    // Indexed by position, so the final order is by position without a sort;
    // every position is emitted at most once.
    std::vector<std::size_t> placed(before, DROPPED);
    std::vector<Instruction> fused;
    std::size_t changes = 0;

    auto owner_of = [&](Qubit q) -> BlockId& {
        check_index(q, owner.size(), "Fuse2q qubit");
        return owner[q];
    };
    auto flush_block = [&](BlockId id) {
        if (id == NO_BLOCK || !blocks.live(id)) {
            return;
        }
        const Block b = blocks.take(id);
        if (owner_of(b.x) == id) {
            owner_of(b.x) = NO_BLOCK;
        }
        if (b.pair && owner_of(b.y) == id) {
            owner_of(b.y) = NO_BLOCK;
        }
        check_index(b.position, placed.size(), "Fuse2q position");
        if (b.count == 1) {
            placed[b.position] = COPIED;
            return;
        }
        placed[b.position] = fused.size();
        if (b.pair) {
            fused.emplace_back(GateInstance{Gate::unitary2q(b.matrix), {b.x, b.y}, {}});
        } else if (b.all_diagonal) {
            fused.emplace_back(GateInstance{Gate::unitary1q_diag(b.matrix[0], b.matrix[3]), {b.x}, {}});
        } else {
            fused.emplace_back(GateInstance{Gate::unitary1q(b.m2()), {b.x}, {}});
        }
        ++changes;
    };
    auto block_at = [&](BlockId id) -> Block& { return blocks.at(id); };
    auto open = [&](Block b) {
        const Qubit x = b.x;
        const Qubit y = b.y;
        const bool pair = b.pair;
        const BlockId id = blocks.insert(std::move(b));
        owner_of(x) = id;
        if (pair) {
            owner_of(y) = id;
        }
        return id;
    };
    auto bounded = [&](BlockId id) {
        if (block_at(id).count >= MAX_FUSED_GATES) {
            flush_block(id);
        }
    };

    for (std::size_t i = 0; i < before; ++i) {
        const Instruction& inst = input[i];
        const GateInstance* gi = inst.gate();
        if (gi != nullptr) {
            if (std::optional<Mat2> g = fusable_1q(*gi)) {
                const Qubit q = gi->targets[0];
                const bool diagonal = detail::is_diagonal_1q(gi->gate.kind());
                const BlockId id = owner_of(q);
                if (id == NO_BLOCK) {
                    Block b;
                    b.set_m2(*g);
                    b.x = q;
                    b.position = i;
                    b.count = 1;
                    b.all_diagonal = diagonal;
                    open(std::move(b));
                    continue;
                }
                Block& b = block_at(id);
                if (!b.pair) {
                    b.set_m2(detail::mul2(*g, b.m2()));
                    b.all_diagonal = b.all_diagonal && diagonal;
                } else {
                    const Mat4 embedded = q == b.x ? detail::kron_high(*g) : detail::kron_low(*g);
                    b.matrix = detail::mul4(embedded, b.matrix);
                }
                ++b.count;
                bounded(id);
                continue;
            }
            if (std::optional<Mat4> g = fusable_2q(*gi)) {
                const Qubit a = gi->targets[0];
                const Qubit c = gi->targets[1];
                const BlockId id_a = owner_of(a);
                const BlockId id_c = owner_of(c);
                if (id_a != NO_BLOCK && id_a == id_c) {
                    Block& b = block_at(id_a);
                    if (!b.pair) {
                        return std::unexpected(PassError::internal_invariant(BLOCK_NOT_4X4_TEXT));
                    }
                    b.matrix = detail::mul4(b.x == a ? *g : detail::swap_pair(*g), b.matrix);
                    ++b.count;
                    bounded(id_a);
                    continue;
                }
                if (id_a != NO_BLOCK && block_at(id_a).pair) {
                    flush_block(id_a);
                }
                if (id_c != NO_BLOCK && blocks.live(id_c) && block_at(id_c).pair) {
                    flush_block(id_c);
                }
                Block b;
                b.pair = true;
                b.x = a;
                b.y = c;
                b.position = i;
                b.count = 1;
                Mat4 acc = detail::identity4();
                auto absorb = [&](Qubit q, bool high) {
                    const BlockId id = owner_of(q);
                    if (id == NO_BLOCK) {
                        return;
                    }
                    check_invariant(!block_at(id).pair, "Fuse2q: pair block survived its flush");
                    const Block single = blocks.take(id);
                    owner_of(q) = NO_BLOCK;
                    const Mat4 embedded = high ? detail::kron_high(single.m2()) : detail::kron_low(single.m2());
                    acc = detail::mul4(embedded, acc);
                    b.count += single.count;
                };
                absorb(a, true);
                absorb(c, false);
                b.matrix = detail::mul4(*g, acc);
                bounded(open(std::move(b)));
                continue;
            }
        }
        detail::for_each_used_qubit(inst, [&](Qubit q) { flush_block(owner_of(q)); });
        placed[i] = COPIED;
    }
    // Blocks still open; the output is ordered by position, so the order of
    // these flushes is not observable.
    for (BlockId id = 0; id < blocks.slot_count(); ++id) {
        flush_block(id);
    }

    detail::OutputList output(before);
    output.reserve_fresh(fused.size());
    for (std::size_t i = 0; i < before; ++i) {
        if (placed[i] == COPIED) {
            output.copy(i);
        } else if (placed[i] != DROPPED) {
            output.add_at(i, std::move(fused[placed[i]]));
        }
    }
    detail::install(circuit, output);
    return PassStats{before, circuit.size(), changes};
}

}  // namespace nivra::ir
