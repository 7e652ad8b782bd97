#pragma once
// Maximum-weight matching on a general graph: Edmonds' blossom algorithm in
// Galil's O(n^3) primal-dual formulation, in integer arithmetic (the classic
// formulation with S/T labels, blossom shrinking and expansion, least-slack
// edge tracking per vertex and per blossom, one augmentation per stage).
//
// Results are fixed by the vertex order, the edge order and these tie rules:
// the queue of S-vertices is last in, first out; a vertex scans its edges in
// input order; dual changes compare candidates of types 1..4 in that order,
// each in ascending vertex or blossom index, replacing only on a strictly
// smaller value; new blossoms take the last free slot, expanded ones are
// returned to the end of the free list.
//
// Encoding of the arrays (index type Index, -1 = none):
//   endpoint p of edge k = p / 2 (p = 2k: its first vertex i, p = 2k + 1: its second vertex j);
//   p ^ 1 is the other endpoint of the same edge.
//   vertices are 0 .. n-1, blossoms n .. 2n-1 (slots recycled through `unused_blossoms_`).
//   dualvar_[v] holds twice the dual of vertex v; dualvar_[b] the dual of blossom b.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "nivra/qec/scratch.h"

namespace nivra::qec {

struct BlossomEdge {
    std::int64_t i = 0;
    std::int64_t j = 0;
    std::int64_t weight = 0;
};

class Blossom {
public:
    // Signed so that -1 can mean "none" as the algorithm's arrays need; 64-bit
    // so that endpoints of dense edge sets (2 per edge) never truncate.
    using Index = std::int64_t;

    // Computes a maximum-weight matching (not of maximum cardinality) on the
    // vertices 0 .. num_vertices - 1. Each edge joins two different vertices
    // below num_vertices (InvariantError otherwise). Buffers keep their
    // capacity from one solve to the next. Throws InvariantError if the dual
    // arithmetic would overflow 64 bits.
    void solve(std::size_t num_vertices, std::span<const BlossomEdge> edges);

    // After solve: the vertex matched to v, or -1.
    Index mate(std::size_t v) const;
    std::size_t num_vertices() const { return static_cast<std::size_t>(n_); }

private:
    // Slack arithmetic is done in 128 bits: a vertex dual starts at the largest
    // weight, and dual(i) + dual(j) - 2w can pass 2^63 for weights near 2^62.
    using Wide = __int128;

    void reset(std::size_t num_vertices, std::span<const BlossomEdge> edges);
    // dual(i) + dual(j) - 2w of edge k: 64-bit unless that would overflow.
    Wide slack(Index k) const {
        const BlossomEdge& e = edges_[static_cast<std::size_t>(k)];
        std::int64_t sum = 0;
        std::int64_t twice = 0;
        std::int64_t out = 0;
        if (!__builtin_add_overflow(dualvar_[e.i], dualvar_[e.j], &sum) &&
            !__builtin_mul_overflow(e.weight, 2, &twice) && !__builtin_sub_overflow(sum, twice, &out)) [[likely]] {
            return out;
        }
        return static_cast<Wide>(dualvar_[e.i]) + dualvar_[e.j] - 2 * static_cast<Wide>(e.weight);
    }
    // Appends the vertices inside blossom (or vertex) b to out, in nesting order.
    void blossom_leaves(Index b, std::vector<Index>& out);
    void assign_label(Index w, int t, Index p);
    Index scan_blossom(Index v, Index w);
    void add_blossom(Index base, Index k);
    void expand_blossom(Index b, bool endstage);
    void augment_blossom(Index b, Index v);
    void augment_matching(Index k);
    void run();
    // One stage of run(): labels, best edges and allowed edges cleared; every
    // free vertex's top blossom labelled S.
    void start_stage();
    // Grows the alternating trees from the queued S vertices over tight edges;
    // true when an augmenting path was found and the matching augmented.
    bool grow_from_queue();
    // The least dual change that makes progress, applied; false when it was
    // the change that makes a vertex dual zero (the matching is optimal).
    bool change_duals();
    // Expands the top S-blossoms whose dual reached zero (end of a stage).
    void expand_zero_s_blossoms();

    Index n_ = 0;
    std::vector<BlossomEdge> edges_;
    std::vector<Index> endpoint_;
    std::vector<Index> neighbend_offsets_;  // neighbend of v: neighbend_[offsets[v] .. offsets[v+1]]
    std::vector<Index> neighbend_;
    std::vector<Index> mate_;  // remote endpoint, or -1; turned into vertices at the end of solve
    std::vector<int> label_;   // 0 free, 1 S, 2 T, 5 S with a breadcrumb, -1 recycled
    std::vector<Index> labelend_;
    std::vector<Index> inblossom_;
    std::vector<Index> blossomparent_;
    std::vector<std::vector<Index>> blossomchilds_;
    std::vector<Index> blossombase_;
    std::vector<std::vector<Index>> blossomendps_;
    std::vector<Index> bestedge_;
    std::vector<std::vector<Index>> blossombestedges_;
    std::vector<std::uint8_t> has_blossombestedges_;  // the list above is "none" where 0
    std::vector<Index> unused_blossoms_;
    std::vector<std::int64_t> dualvar_;
    std::vector<std::uint8_t> allowedge_;
    std::vector<Index> queue_;
    // Work lists reused across calls.
    std::vector<Index> leaves_;
    std::vector<std::pair<Index, std::size_t>> leaf_stack_;
    std::vector<Index> bestedgeto_;
};

// Exclusive use of the calling thread's solver for one decode. The solver is
// created on the thread's first use and lives as long as the thread. Taking it
// while the same thread already holds it throws InvariantError (decoding never
// re-enters itself, so this marks a bug rather than a user error).
class ThreadBlossom {
public:
    ThreadBlossom() : lease_("ThreadBlossom") {}

    Blossom& get() { return *lease_; }

private:
    ThreadScratch<Blossom> lease_;
};

}  // namespace nivra::qec
