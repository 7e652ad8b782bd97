#include "nivra/sv/kernels/permute.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/parallel.h"
#include "nivra/sv/kernels/tiled.h"

namespace nivra::sv::kernels {

namespace {

using Index = std::uint64_t;

// Beyond this a tile no longer fits a cache, and its offset table grows with it.
constexpr unsigned MAX_TILE_BITS = 20;
// How much narrower than the default a tile may be chosen: 2^6 times smaller
// tiles still copy in runs of kilobytes.
constexpr unsigned NARROWER_TILES = 6;
// The exchange takes pairs of tiles in square blocks of 2^4 by 2^4.
constexpr std::size_t EXCHANGE_BLOCK_BITS = 4;

// The two passes of permute.h for one permutation.
struct Plan {
    unsigned n = 0;
    unsigned k = 0;  // tile width: positions below k are low
    // Pass 1: pairs (low position, high position) whose bits trade places.
    std::vector<std::pair<unsigned, unsigned>> exchange;
    // Pass 2: from[q] is the position, after pass 1, of the bit that ends at
    // position q; from[q] < k exactly when q < k.
    std::vector<unsigned> from;

    // Whether pass 2 moves a low bit (so it reorders inside tiles) or a high
    // one (so it moves tiles).
    bool low_moves() const { return moves(0, k); }
    bool high_moves() const { return moves(k, n); }

private:
    bool moves(unsigned begin, unsigned end) const {
        for (unsigned q = begin; q < end; ++q) {
            if (from[q] != q) return true;
        }
        return false;
    }
};

Plan plan_permutation(std::span<const Qubit> perm, unsigned n, unsigned k) {
    Plan plan;
    plan.n = n;
    plan.k = k;
    // at[p]: the position (qubit of the result) that the bit now at p belongs to.
    std::vector<unsigned> at(n);
    for (unsigned q = 0; q < n; ++q) at[perm[q]] = q;
    std::vector<bool> leaves_low(n, false);   // sits low, belongs high
    std::vector<bool> leaves_high(n, false);  // sits high, belongs low
    for (unsigned p = 0; p < n; ++p) {
        leaves_low[p] = p < k && at[p] >= k;
        leaves_high[p] = p >= k && at[p] < k;
    }
    auto pair = [&](unsigned low, unsigned high) {
        plan.exchange.emplace_back(low, high);
        leaves_low[low] = false;
        leaves_high[high] = false;
    };
    // A bit traded with the one sitting at its destination lands in place,
    // which can leave the second pass less (or nothing) to do.
    for (unsigned a = 0; a < k; ++a) {
        if (leaves_low[a] && leaves_high[at[a]]) pair(a, at[a]);
    }
    for (unsigned b = k; b < n; ++b) {
        if (leaves_high[b] && leaves_low[at[b]]) pair(at[b], b);
    }
    // As many bits leave each side, so every remaining low one finds a partner.
    unsigned b = k;
    for (unsigned a = 0; a < k; ++a) {
        if (!leaves_low[a]) continue;
        while (b < n && !leaves_high[b]) ++b;
        check_invariant(b < n, "permute_qubits: unequal bit exchange");
        pair(a, b);
    }
    for (const auto& [low, high] : plan.exchange) std::swap(at[low], at[high]);
    plan.from.resize(n);
    for (unsigned p = 0; p < n; ++p) plan.from[at[p]] = p;
    return plan;
}

// offsets[x] = OR of 2^positions[i] over the set bits i of x, for x < 2^positions.size().
std::vector<Index> offsets_of(std::span<const unsigned> positions) {
    std::vector<Index> offsets(Index{1} << positions.size(), 0);
    for (std::size_t x = 1; x < offsets.size(); ++x) {
        offsets[x] = offsets[x & (x - 1)] | (Index{1} << positions[std::countr_zero(x)]);
    }
    return offsets;
}

// gather(v) = OR of 2^from[i] over the set bits i of v, one byte of v at a time.
class BitGather {
public:
    explicit BitGather(std::span<const unsigned> from) : bytes_((from.size() + 7) / 8), table_(bytes_ * 256, 0) {
        for (std::size_t i = 0; i < from.size(); ++i) {
            for (unsigned v = 0; v < 256; ++v) {
                if ((v >> (i % 8)) & 1) table_[(i / 8) * 256 + v] |= Index{1} << from[i];
            }
        }
    }

    Index operator()(Index v) const {
        Index out = 0;
        for (std::size_t b = 0; b < bytes_; ++b) out |= table_[b * 256 + ((v >> (8 * b)) & 0xFF)];
        return out;
    }

private:
    std::size_t bytes_;
    std::vector<Index> table_;
};

// Pass 1. Trading bit a_i with b_i for every pair sends index (exchanged
// high bits t, exchanged low bits x, other bits) to (x, t, same) and back, so
// each such pair of amplitudes is swapped once, from the side with t < x.
// The low bits below every a_i stay together: runs of contiguous amplitudes.
// For each setting of the high bits that stay (a group), the pairs are taken
// a square block of (t, x) at a time: the tiles of one block of t against
// those of one block of x, so that the amplitudes of a block come from a few
// pages even when the exchanged high bits lie far apart.
void exchange_bits(Complex* amps, std::size_t len, const Plan& plan, const ParPolicy& policy) {
    if (plan.exchange.empty()) return;
    std::vector<unsigned> low, high, rest, other_high;
    Index low_mask = 0;
    Index high_mask = 0;
    for (const auto& [a, b] : plan.exchange) {
        low.push_back(a);
        high.push_back(b);
        low_mask |= Index{1} << a;
        high_mask |= Index{1} << b;
    }
    const unsigned run_bits = static_cast<unsigned>(std::countr_zero(low_mask));
    for (unsigned p = run_bits; p < plan.k; ++p) {
        if (((low_mask >> p) & 1) == 0) rest.push_back(p);
    }
    for (unsigned p = plan.k; p < plan.n; ++p) {
        if (((high_mask >> p) & 1) == 0) other_high.push_back(p);
    }
    const std::vector<Index> low_offsets = offsets_of(low);
    const std::vector<Index> high_offsets = offsets_of(high);
    const std::vector<Index> rest_offsets = offsets_of(rest);
    const std::size_t run = std::size_t{1} << run_bits;
    const std::size_t values = low_offsets.size();
    const std::size_t block = std::size_t{1} << std::min<std::size_t>(low.size(), EXCHANGE_BLOCK_BITS);
    const std::size_t blocks = values / block;
    const std::size_t groups = std::size_t{1} << other_high.size();
    const std::size_t items = groups * blocks;
    parallel_for_chunks_if(len >= policy.min_amps && items > 1, items, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t item = begin; item < end; ++item) {
            Index group = 0;
            for (std::size_t i = 0; i < other_high.size(); ++i) group |= Index{(item / blocks) >> i & 1} << other_high[i];
            const std::size_t first_t = item % blocks * block;
            for (std::size_t first_x = first_t; first_x < values; first_x += block) {
                for (std::size_t t = first_t; t < first_t + block; ++t) {
                    for (std::size_t x = std::max(first_x, t + 1); x < first_x + block; ++x) {
                        Complex* mine = amps + (group | high_offsets[t] | low_offsets[x]);
                        Complex* theirs = amps + (group | high_offsets[x] | low_offsets[t]);
                        for (const Index r : rest_offsets) std::swap_ranges(mine + r, mine + r + run, theirs + r);
                    }
                }
            }
        }
    });
}

// Pass 2. Tile T receives tile src(T) with its amplitudes reordered; tiles
// move along the cycles of src, each cycle carried by its lowest tile, the
// first tile of a cycle parked in scratch until the last one is written.
void move_tiles(Complex* amps, std::size_t len, const Plan& plan, const ParPolicy& policy) {
    const std::span<const unsigned> from(plan.from);
    const unsigned k = plan.k;
    const bool low_moves = plan.low_moves();
    if (!low_moves && !plan.high_moves()) return;
    const std::size_t tile_len = std::size_t{1} << k;
    // The low bits that stay where they are at the bottom of a tile keep
    // amplitudes together in runs; the others place whole runs.
    unsigned run_bits = 0;
    while (run_bits < k && from[run_bits] == run_bits) ++run_bits;
    const std::size_t run = std::size_t{1} << run_bits;
    const std::vector<Index> run_src = offsets_of(from.subspan(run_bits, k - run_bits));
    std::vector<unsigned> high_from(plan.n - k);
    for (std::size_t i = 0; i < high_from.size(); ++i) high_from[i] = from[k + i] - k;
    const BitGather tile_src(high_from);
    auto fill = [&](Complex* dst, const Complex* src) {
        for (std::size_t r = 0; r < run_src.size(); ++r) {
            std::copy_n(src + run_src[r], run, dst + r * run);
        }
    };
    const std::size_t tiles = len >> k;
    parallel_for_chunks_if(len >= policy.min_amps && tiles > 1, tiles, 1, [&](std::size_t begin, std::size_t end) {
        std::vector<Complex> scratch;
        for (Index tile = begin; tile < end; ++tile) {
            bool lowest = true;
            for (Index t = tile_src(tile); t != tile && lowest; t = tile_src(t)) lowest = t > tile;
            if (!lowest || (!low_moves && tile_src(tile) == tile)) continue;
            scratch.resize(tile_len);
            std::memcpy(scratch.data(), amps + (tile << k), tile_len * sizeof(Complex));
            Index dst = tile;
            for (Index src = tile_src(tile); src != tile; dst = src, src = tile_src(src)) {
                fill(amps + (dst << k), amps + (src << k));
            }
            fill(amps + (dst << k), scratch.data());
        }
    });
}

// A plan's work in passes over the state: the exchange one, the tile pass one
// when it reorders amplitudes inside tiles and about half of one when it only
// copies whole tiles (contiguous memory) along their cycles.
double plan_cost(const Plan& plan) {
    return (plan.exchange.empty() ? 0.0 : 1.0) + (plan.low_moves() ? 1.0 : plan.high_moves() ? 0.5 : 0.0);
}

// Checks that perm is a permutation of 0..n-1 for len = 2^n and returns n.
unsigned checked_qubit_count(std::size_t len, std::span<const Qubit> perm) {
    check_invariant(len != 0 && std::has_single_bit(len), "permute_qubits: amplitude count is not a power of two");
    const unsigned n = static_cast<unsigned>(std::countr_zero(len));
    check_invariant(perm.size() == n, "permute_qubits: permutation length differs from the qubit count");
    std::uint64_t seen = 0;
    for (Qubit p : perm) {
        check_index(p, n, "permute_qubits: permutation entry");
        check_invariant((seen >> p & 1) == 0, "permute_qubits: permutation repeats an entry");
        seen |= std::uint64_t{1} << p;
    }
    return n;
}

void run_plan(Complex* amps, std::size_t len, const Plan& plan, const ParPolicy& policy) {
    exchange_bits(amps, len, plan, policy);
    move_tiles(amps, len, plan, policy);
}

}  // namespace

void permute_qubits(Complex* amps, std::size_t len, std::span<const Qubit> perm, const ParPolicy& policy,
                    unsigned tile_bits) {
    const unsigned n = checked_qubit_count(len, perm);
    run_plan(amps, len, plan_permutation(perm, n, std::min({tile_bits, n, MAX_TILE_BITS})), policy);
}

unsigned permute_tile_bits() {
    // A quarter of cache_tile_bits' half of L2, for the two tiles, the
    // scratch and the offset table of a tile.
    const unsigned bits = cache_tile_bits();
    return bits > 2 ? bits - 2 : 1;
}

void permute_qubits(Complex* amps, std::size_t len, std::span<const Qubit> perm, const ParPolicy& policy) {
    const unsigned n = checked_qubit_count(len, perm);
    // Narrower tiles can spare a pass: when the bits that move in are the ones
    // just above the tile, the exchange puts every low bit in place at once.
    const unsigned widest = std::min({permute_tile_bits(), n, MAX_TILE_BITS});
    Plan best = plan_permutation(perm, n, widest);
    for (unsigned k = widest; k-- > 0 && widest - k <= NARROWER_TILES;) {
        Plan plan = plan_permutation(perm, n, k);
        if (plan_cost(plan) < plan_cost(best)) best = std::move(plan);
    }
    run_plan(amps, len, best, policy);
}

}  // namespace nivra::sv::kernels
