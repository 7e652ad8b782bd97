#include "nivra/sv/sampling.h"

#include <bit>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/core/parallel.h"
#include "nivra/sv/kernels/kernels.h"
#include "nivra/sv/measure.h"

namespace nivra::sv::sampling {

namespace {

// While the table is built, `alias` also holds the two work lists of Vose's
// method: alias[i] = LIST_LINK | j while i is on a list, j being the next index
// below i on the same list (j = i at the bottom). Both lists hold their
// indices in ascending order from the bottom, as the pushes of i = 0..N−1
// leave the stacks, so popping walks each list down from its top. Columns
// are below 2^31, so the flag bit is free; an entry still flagged when the
// pairing ends is a left-over column.
constexpr std::uint32_t LIST_LINK = std::uint32_t{1} << 31;
constexpr std::uint32_t LINK_INDEX = LIST_LINK - 1;

enum WorkList : std::size_t { SMALL = 0, LARGE = 1 };

// Two doubles in one vector register; the pairing keeps its running value in
// lane 0 so that comparing and selecting it stay in the vector unit (the
// other lane only follows along).
using Lanes = double __attribute__((vector_size(16)));
using LaneMask = std::int64_t __attribute__((vector_size(16)));

// Hides a mask from the optimiser. The pairing selects with its masks
// arithmetically; left visible, the comparison behind a mask is turned back
// into a branch (which follows the data and misses about every other step)
// or into moves through general registers on the running value's path.
inline LaneMask opaque(LaneMask mask) {
#if defined(__x86_64__)
    asm("" : "+x"(mask));
#elif defined(__aarch64__)
    asm("" : "+w"(mask));
#endif
    return mask;
}
inline std::uint64_t opaque(std::uint64_t mask) {
    asm("" : "+r"(mask));
    return mask;
}

// `a` where mask is all ones, `b` where it is zero. (A conditional move on
// x86-64: one cycle on the pairing's index chains where the arithmetic form
// takes three.)
inline std::uint64_t pick(std::uint64_t mask, std::uint64_t a, std::uint64_t b) {
#if defined(__x86_64__)
    asm("test %[mask], %[mask]\n\tcmovnz %[a], %[b]" : [b] "+r"(b) : [a] "r"(a), [mask] "r"(mask) : "cc");
    return b;
#else
    return b ^ ((a ^ b) & mask);
#endif
}
inline Lanes pick(LaneMask mask, Lanes a, Lanes b) {
    return reinterpret_cast<Lanes>(((reinterpret_cast<LaneMask>(a) ^ reinterpret_cast<LaneMask>(b)) & mask) ^
                                   reinterpret_cast<LaneMask>(b));
}

// What the scan of one SUM_BLOCK block saw of each list: its lowest and
// highest index and how many of its indices joined the list.
struct BlockLists {
    std::uint32_t lowest[2];
    std::uint32_t highest[2];
    std::uint32_t count[2];
};

struct ScanContext {
    std::uint32_t* alias;
    BlockLists* blocks;
};

// Links each index of a scanned block to the one below it on its list. The
// lowest of each list in the block is linked by join_blocks.
void link_block(void* context, std::size_t begin, std::size_t end, const double* scaled) {
    auto& scan = *static_cast<ScanContext*>(context);
    std::uint64_t highest_small = begin, highest_large = begin;
    std::uint64_t smalls = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint64_t small = opaque(std::uint64_t{0} - (scaled[i] < 1.0));
        scan.alias[i] = LIST_LINK | static_cast<std::uint32_t>(pick(small, highest_small, highest_large));
        highest_small = pick(small, i, highest_small);
        highest_large = pick(small, highest_large, i);
        smalls -= small;
    }
    const std::uint64_t larges = (end - begin) - smalls;
    auto lowest = [&](bool small) {
        std::size_t i = begin;
        while ((scaled[i] < 1.0) != small) ++i;
        return static_cast<std::uint32_t>(i);
    };
    BlockLists& lists = scan.blocks[begin / SUM_BLOCK];
    lists.count[SMALL] = static_cast<std::uint32_t>(smalls);
    lists.count[LARGE] = static_cast<std::uint32_t>(larges);
    lists.highest[SMALL] = static_cast<std::uint32_t>(highest_small);
    lists.highest[LARGE] = static_cast<std::uint32_t>(highest_large);
    lists.lowest[SMALL] = smalls != 0 ? lowest(true) : 0;
    lists.lowest[LARGE] = larges != 0 ? lowest(false) : 0;
}

// The top of each list and its length, after linking the lowest index of each
// block's part of a list to the highest index of the blocks below (the lowest
// of all to itself).
struct ListTops {
    std::uint32_t top[2] = {0, 0};
    std::size_t count[2] = {0, 0};
};

ListTops join_blocks(std::uint32_t* alias, std::span<const BlockLists> blocks) {
    ListTops tops;
    for (const BlockLists& block : blocks) {
        for (std::size_t list : {SMALL, LARGE}) {
            if (block.count[list] == 0) continue;
            const std::uint32_t lowest = block.lowest[list];
            alias[lowest] = LIST_LINK | (tops.count[list] != 0 ? tops.top[list] : lowest);
            tops.top[list] = block.highest[list];
            tops.count[list] += block.count[list];
        }
    }
    return tops;
}

// The pairing loop of Vose's method on the linked lists, both non-empty.
//
// The two stacks reduce to one running value: `top` is the index last popped
// from large and r its scaled value. While r >= 1.0, top lies on large and the
// next small index s is paired with it: alias[s] = top (prob[s] = scaled[s]
// is in place already) and r = (scaled[s] + r) − 1.0. Once r < 1.0, top lies
// on small and is itself paired with the next large index l: prob[top] = r,
// alias[top] = l, r = (r + scaled[l]) − 1.0, and l becomes top. The loop
// stops when the list it needs is empty; top and every index still on a list
// are left over, flagged.
//
// Every step reads both list heads, computes both successors of r and
// selects, so the only branch is the loop's exit. prob[top] is written with
// r at every step: only the value of the step that pairs top is kept (a
// left-over top is settled to 1.0 later). The links of the heads are read
// before any write in the step; a head of an exhausted list is stale but
// still a column, so every read stays in the table.
void pair_columns(double* prob, std::uint32_t* alias, const ListTops& lists) {
    const Lanes one = {1.0, 1.0};
    std::size_t smalls = lists.count[SMALL];
    std::size_t larges = lists.count[LARGE] - 1;
    std::uint64_t top = lists.top[LARGE];
    Lanes r = {prob[top], 0.0};
    std::uint64_t small_head = lists.top[SMALL];
    std::uint64_t large_head = alias[top] & LINK_INDEX;
    Lanes small_value = {prob[small_head], 0.0};
    Lanes large_value = {prob[large_head], 0.0};
    for (;;) {
        const LaneMask demoted_lanes = opaque(r < one);
        const std::uint64_t demoted = opaque(static_cast<std::uint64_t>(demoted_lanes[0]));
        if (pick(demoted, larges, smalls) == 0) break;
        // The heads' successors and their values, read before this step's
        // writes and whether or not the step takes them.
        const std::uint64_t small_next = alias[small_head] & LINK_INDEX;
        const std::uint64_t large_next = alias[large_head] & LINK_INDEX;
        const Lanes small_next_value = {prob[small_next], 0.0};
        const Lanes large_next_value = {prob[large_next], 0.0};
        const std::uint64_t s = pick(demoted, top, small_head);
        const std::uint64_t l = pick(demoted, large_head, top);
        alias[s] = static_cast<std::uint32_t>(l);
        prob[top] = r[0];
        r = pick(demoted_lanes, (r + large_value) - one, (small_value + r) - one);
        top = l;
        small_head = pick(demoted, small_head, small_next);
        small_value = pick(demoted_lanes, small_value, small_next_value);
        large_head = pick(demoted, large_next, large_head);
        large_value = pick(demoted_lanes, large_next_value, large_value);
        smalls -= ~demoted & 1;
        larges -= demoted & 1;
    }
}

// Every column still flagged: prob 1.0, alias itself.
void settle_left_overs(double* prob, std::uint32_t* alias, std::size_t len, std::size_t parallel_min_amps) {
    auto settle = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (alias[i] & LIST_LINK) {
                prob[i] = 1.0;
                alias[i] = static_cast<std::uint32_t>(i);
            }
        }
    };
    parallel_for_chunks_if(len >= parallel_min_amps, len, SUM_BLOCK, settle);
}

}  // namespace

std::expected<AliasTable, BackendError> build_alias_table(const CpuState& state, std::size_t parallel_min_amps) {
    if (auto shape = check_shape(state); !shape) {
        return std::unexpected(shape.error());
    }
    check_invariant(state.amps.size() <= LIST_LINK, "build_alias_table: state too wide for an alias table");
    const std::size_t len = state.amps.size();
    AliasTable table = allocate_checked(
        std::uint64_t{len} * TABLE_BYTES_PER_AMP,
        [&] { return "the sampling tables of a " + fmt::display(state.num_qubits) + "-qubit state"; },
        [&] {
            AliasTable made;
            made.prob_ = ScratchVec<double>(len);
            made.alias_ = ScratchVec<std::uint32_t>(len);
            return made;
        });
    table.mask_ = len - 1;
    double* prob = table.prob_.data();
    std::uint32_t* alias = table.alias_.data();
    std::vector<BlockLists> blocks((len + SUM_BLOCK - 1) / SUM_BLOCK);
    ScanContext scan{alias, blocks.data()};
    if (auto ok = validate_state_into(state, static_cast<double>(len), prob, parallel_min_amps, link_block, &scan);
        !ok) {
        return std::unexpected(ok.error());
    }
    if (len == 1) {
        prob[0] = 1.0;
        alias[0] = 0;
        return table;
    }
    const ListTops lists = join_blocks(alias, blocks);
    if (lists.count[SMALL] != 0 && lists.count[LARGE] != 0) {
        pair_columns(prob, alias, lists);
    }
    settle_left_overs(prob, alias, len, parallel_min_amps);
    return table;
}

std::expected<AliasTable, BackendError> build_alias_table(const CpuState& state) {
    return build_alias_table(state, kernels::tuned_policy().min_amps);
}

std::expected<void, BackendError> sample_chunked(const CpuState& state, std::uint32_t shots, StdRng& rng,
                                                 backend::OutcomeSink sink, void* context) {
    if (shots == 0) {
        // Validation still decides whether the call fails; no table, no draw.
        return check_state(state);
    }
    auto table = build_alias_table(state);
    if (!table) {
        return std::unexpected(table.error());
    }
    std::vector<std::uint64_t> chunk;
    chunk.reserve(std::min<std::size_t>(shots, SAMPLE_CHUNK));
    std::uint64_t remaining = shots;
    while (remaining > 0) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, SAMPLE_CHUNK));
        chunk.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            chunk[i] = table->pick(rng.next_u64());
        }
        sink(context, chunk);
        remaining -= count;
    }
    return {};
}

std::expected<std::map<std::uint64_t, std::uint64_t>, BackendError> sample_counts(const CpuState& state,
                                                                                  std::uint32_t shots, StdRng& rng) {
    if (shots == 0) {
        if (auto ok = check_state(state); !ok) {
            return std::unexpected(ok.error());
        }
        return std::map<std::uint64_t, std::uint64_t>{};
    }
    auto table = build_alias_table(state);
    if (!table) {
        return std::unexpected(table.error());
    }
    const std::size_t n = table->prob().size();
    if (n <= (std::size_t{1} << 20) || n / 8 <= shots) {
        // 32-bit counters suffice: shots < 2^32.
        ScratchVec<std::uint32_t> dense = allocate_checked(
            std::uint64_t{n} * sizeof(std::uint32_t),
            [&] { return "the outcome counters of a " + fmt::display(state.num_qubits) + "-qubit state"; },
            [&] { return zeroed_large_vector<std::uint32_t>(n); });
        for (std::uint32_t s = 0; s < shots; ++s) {
            ++dense[table->pick(rng.next_u64())];
        }
        std::map<std::uint64_t, std::uint64_t> counts;
        for (std::size_t i = 0; i < n; ++i) {
            if (dense[i] != 0) {
                counts.emplace_hint(counts.end(), i, dense[i]);
            }
        }
        return counts;
    }
    backend::OutcomeCounter counter;
    std::vector<std::uint64_t> chunk;
    for (std::uint64_t remaining = shots; remaining > 0;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, SAMPLE_CHUNK));
        chunk.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            chunk[i] = table->pick(rng.next_u64());
        }
        counter.add(chunk);
        remaining -= count;
    }
    return counter.finish();
}

std::expected<std::vector<std::uint64_t>, BackendError> sample(const CpuState& state, std::uint32_t shots,
                                                               StdRng& rng) {
    std::vector<std::uint64_t> outcomes;
    outcomes.reserve(shots);
    auto append = [](void* context, std::span<const std::uint64_t> run) {
        auto* out = static_cast<std::vector<std::uint64_t>*>(context);
        out->insert(out->end(), run.begin(), run.end());
    };
    if (auto ok = sample_chunked(state, shots, rng, append, &outcomes); !ok) {
        return std::unexpected(ok.error());
    }
    return outcomes;
}

}  // namespace nivra::sv::sampling
