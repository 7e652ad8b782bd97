#include "nivra/qec/matching/union_find.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/qec/scratch.h"

namespace nivra::qec {

namespace {

using Id = UnionFindDecoder::Id;
constexpr Id NONE = UnionFindDecoder::NONE;

// Per-node state; valid only while `stamp` equals the scratch's epoch (the
// odd-root and visited stamps have their own counters / use the epoch).
struct NodeState {
    std::uint64_t stamp = 0;
    std::uint64_t odd_root_stamp = 0;
    std::uint64_t visited_stamp = 0;
    Id parent = 0;
    Id size = 0;
    // Members of the cluster, valid at roots: a singly linked list head .. tail through `next_member`.
    Id member_head = NONE;
    Id member_tail = NONE;
    Id next_member = NONE;
    Id parent_edge = NONE;  // peeling forest, valid when visited this shot
    Id parent_node = NONE;
    Id grown_degree = 0;        // incident edges grown this shot
    std::uint8_t parity = 0;    // odd number of defects in the cluster (at roots)
    std::uint8_t boundary = 0;  // the cluster holds the boundary node (at roots)
    std::uint8_t defect = 0;    // peeling flag
};

struct EdgeState {
    std::uint64_t shot_stamp = 0;   // guards half_edges / support
    std::uint64_t grown_stamp = 0;  // equals the epoch when fully grown this shot
    std::uint64_t step_stamp = 0;   // guards rate (weighted growth)
    std::uint32_t support = 0;
    std::uint8_t half_edges = 0;
    std::uint8_t rate = 0;
};

struct Scratch {
    std::uint64_t epoch = 0;
    std::uint64_t odd_root_counter = 0;
    std::uint64_t step_counter = 0;
    std::vector<NodeState> nodes;
    std::vector<EdgeState> edges;
    std::vector<Id> grown;      // this shot's grown edges, in the order they became grown
    std::vector<Id> new_edges;  // grown in the current step
    std::vector<Id> order;      // breadth-first order of the peeling forest
    std::vector<Id> odd_roots;
    std::vector<Id> frontier;
    std::vector<Id> defects;

    void ensure(Id node, Id boundary) {
        NodeState& s = nodes[node];
        if (s.stamp == epoch) return;
        s.stamp = epoch;
        s.parent = node;
        s.size = 1;
        s.parity = 0;
        s.boundary = node == boundary ? 1 : 0;
        s.member_head = node;
        s.member_tail = node;
        s.next_member = NONE;
        s.grown_degree = 0;
        s.defect = 0;
    }

    // Root of an ensured node, pointing each visited node at its grandparent.
    Id find(Id x) {
        while (nodes[x].parent != x) {
            Id grandparent = nodes[nodes[x].parent].parent;
            nodes[x].parent = grandparent;
            x = grandparent;
        }
        return x;
    }

    void unite(Id a, Id b, Id boundary) {
        ensure(a, boundary);
        ensure(b, boundary);
        Id ra = find(a);
        Id rb = find(b);
        if (ra == rb) return;
        if (nodes[rb].size > nodes[ra].size) std::swap(ra, rb);
        NodeState& root = nodes[ra];
        NodeState& other = nodes[rb];
        other.parent = ra;
        root.size += other.size;
        root.parity ^= other.parity;
        root.boundary |= other.boundary;
        nodes[root.member_tail].next_member = other.member_head;
        root.member_tail = other.member_tail;
        other.member_head = NONE;
        other.member_tail = NONE;
    }

    // Roots of the given nodes' clusters that hold an odd number of defects and
    // not the boundary, each once, in the order of the nodes.
    void collect_odd_roots(const std::vector<Id>& from, Id boundary) {
        ++odd_root_counter;
        odd_roots.clear();
        for (Id node : from) {
            ensure(node, boundary);
            Id root = find(node);
            NodeState& r = nodes[root];
            if (r.parity == 1 && r.boundary == 0 && r.odd_root_stamp != odd_root_counter) {
                r.odd_root_stamp = odd_root_counter;
                odd_roots.push_back(root);
            }
        }
    }
};

// One shot's growth and peeling over the decoder's flat graph arrays, with
// the thread's scratch (already holding the shot's defects, ensured and odd).
struct ShotClusters {
    Scratch& s;
    std::span<const Id> offsets;
    std::span<const Id> adj;
    std::span<const Id> eu;
    std::span<const Id> ev;
    std::span<const std::uint32_t> elen;
    std::span<const std::uint64_t> emask;
    Id boundary;
    bool boundary_edge_grown = false;

    // Both ends are ensured: one lies in the growing cluster, the other was
    // ensured when the edge was found on its frontier.
    void mark_grown(Id e) {
        s.edges[e].grown_stamp = s.epoch;
        ++s.nodes[eu[e]].grown_degree;
        ++s.nodes[ev[e]].grown_degree;
        s.new_edges.push_back(e);
        s.grown.push_back(e);
        boundary_edge_grown |= ev[e] == boundary;
    }

    void union_new_edges() {
        for (Id e : s.new_edges) s.unite(eu[e], ev[e], boundary);
    }

    // Calls visit(edge) for each edge leaving an odd cluster, in the fixed order:
    // odd roots in defect order, members in member-list order, edges in adj order.
    template <class Visit>
    void for_each_frontier_edge(Visit&& visit) {
        for (Id r : s.odd_roots) {
            for (Id x = s.nodes[r].member_head; x != NONE; x = s.nodes[x].next_member) {
                for (Id a = offsets[x]; a < offsets[x + 1]; ++a) {
                    Id e = adj[a];
                    Id y = eu[e] == x ? ev[e] : eu[e];
                    s.ensure(y, boundary);
                    if (s.find(y) == r) continue;
                    visit(e);
                }
            }
        }
    }

    // Unit growth: every frontier edge gains a half edge per step.
    void grow_unweighted() {
        while (true) {
            s.collect_odd_roots(s.defects, boundary);
            if (s.odd_roots.empty()) break;
            s.new_edges.clear();
            bool progress = false;
            for_each_frontier_edge([&](Id e) {
                EdgeState& es = s.edges[e];
                if (es.shot_stamp != s.epoch) {
                    es.shot_stamp = s.epoch;
                    es.half_edges = 0;
                    es.support = 0;
                }
                if (es.half_edges == 2) return;
                ++es.half_edges;
                progress = true;
                if (es.half_edges == 2) mark_grown(e);
            });
            union_new_edges();
            if (!progress) break;
        }
    }

    // Growth by edge length: each step grows every frontier edge by the same
    // time, just enough to complete the first of them.
    void grow_weighted() {
        while (true) {
            s.collect_odd_roots(s.defects, boundary);
            if (s.odd_roots.empty()) break;
            ++s.step_counter;
            s.frontier.clear();
            for_each_frontier_edge([&](Id e) {
                EdgeState& es = s.edges[e];
                if (es.step_stamp != s.step_counter) {
                    es.step_stamp = s.step_counter;
                    es.rate = 0;
                    s.frontier.push_back(e);
                    if (es.shot_stamp != s.epoch) {
                        es.shot_stamp = s.epoch;
                        es.support = 0;
                        es.half_edges = 0;
                    }
                }
                ++es.rate;
            });
            if (s.frontier.empty()) break;
            std::uint32_t delta = std::numeric_limits<std::uint32_t>::max();
            for (Id e : s.frontier) {
                const EdgeState& es = s.edges[e];
                std::uint32_t remaining = elen[e] - es.support;
                delta = std::min(delta, (remaining + es.rate - 1) / es.rate);
            }
            s.new_edges.clear();
            for (Id e : s.frontier) {
                EdgeState& es = s.edges[e];
                es.support += delta * es.rate;
                if (es.support >= elen[e]) mark_grown(e);
            }
            union_new_edges();
        }
    }

    // Breadth-first tree of grown edges from `root`, appended to s.order. A
    // node's scan stops at its last grown edge: most of a list lies beyond it.
    void build_tree(Id root) {
        s.ensure(root, boundary);
        NodeState& r = s.nodes[root];
        if (r.visited_stamp == s.epoch) return;
        r.visited_stamp = s.epoch;
        r.parent_edge = NONE;
        r.parent_node = NONE;
        std::size_t next = s.order.size();
        s.order.push_back(root);
        while (next < s.order.size()) {
            Id u = s.order[next++];
            Id unseen = s.nodes[u].grown_degree;
            for (Id a = offsets[u], end = offsets[u + 1]; unseen != 0 && a < end; ++a) {
                Id e = adj[a];
                if (s.edges[e].grown_stamp != s.epoch) continue;
                --unseen;
                Id y = eu[e] == u ? ev[e] : eu[e];
                s.ensure(y, boundary);
                NodeState& ys = s.nodes[y];
                if (ys.visited_stamp == s.epoch) continue;
                ys.visited_stamp = s.epoch;
                ys.parent_edge = e;
                ys.parent_node = u;
                s.order.push_back(y);
            }
        }
    }

    // Peeling forest over grown edges: from the boundary first (when it is
    // touched), then from each defect; leaves up, each defect leaf takes its
    // parent edge. Returns the mask of the taken edges.
    std::uint64_t peel(std::vector<std::size_t>* peeled) {
        s.order.clear();
        if (boundary_edge_grown) build_tree(boundary);
        for (Id d : s.defects) build_tree(d);

        for (Id d : s.defects) s.nodes[d].defect = 1;
        std::uint64_t mask = 0;
        for (std::size_t i = s.order.size(); i-- > 0;) {
            NodeState& x = s.nodes[s.order[i]];
            if (x.parent_edge == NONE || !x.defect) continue;
            s.nodes[x.parent_node].defect ^= 1;
            x.defect = 0;
            mask ^= emask[x.parent_edge];
            if (peeled) peeled->push_back(x.parent_edge);
        }
        return mask;
    }
};

}  // namespace

std::uint32_t UnionFindDecoder::edge_length(double weight) {
    double scaled = std::round(std::max(weight, 0.0) * 4.0);
    if (!(scaled >= 2.0)) return 2;  // NaN included
    if (scaled >= 256.0) return 256;
    return static_cast<std::uint32_t>(scaled);
}

std::expected<UnionFindDecoder, Error> UnionFindDecoder::create(const DetectorErrorModel& dem) {
    auto graph = MatchingGraph::from_dem(dem);
    if (!graph) return std::unexpected(graph.error());
    return from_graph(*graph);
}

std::expected<UnionFindDecoder, Error> UnionFindDecoder::create_weighted(const DetectorErrorModel& dem) {
    auto decoder = create(dem);
    if (decoder) decoder->weighted_ = true;
    return decoder;
}

UnionFindDecoder UnionFindDecoder::from_graph(const MatchingGraph& graph) {
    check_invariant(graph.num_observables <= MAX_OBSERVABLES, "UnionFindDecoder: more than 64 observables");
    check_invariant(graph.num_nodes() < NONE, "UnionFindDecoder: node ids do not fit 32 bits");
    check_invariant(graph.edges.size() <= NONE / 2, "UnionFindDecoder: edge ids do not fit 32 bits");
    UnionFindDecoder decoder;
    decoder.num_detectors_ = graph.num_detectors;
    decoder.num_observables_ = graph.num_observables;
    decoder.num_nodes_ = graph.num_nodes();
    const std::size_t m = graph.edges.size();
    // An offset per node; per edge its two ends, mask, length and two adjacency entries.
    const std::uint64_t bytes =
        saturating_add(saturating_mul(decoder.num_nodes_ + 1, sizeof(Id)),
                       saturating_mul(m, 4 * sizeof(Id) + sizeof(std::uint64_t) + sizeof(std::uint32_t)));
    allocate_checked(
        bytes,
        [&] { return "the union-find tables of " + fmt::display(std::uint64_t{graph.num_detectors}) + " detectors"; },
        [&] {
            decoder.eu_.resize(m);
            decoder.ev_.resize(m);
            decoder.emask_.resize(m);
            decoder.elen_.resize(m);
            decoder.offsets_.resize(decoder.num_nodes_ + 1);
            decoder.adj_.reserve(2 * m);
        });
    for (std::size_t e = 0; e < m; ++e) {
        const MatchingEdge& edge = graph.edges[e];
        decoder.eu_[e] = static_cast<Id>(edge.u);
        decoder.ev_[e] = static_cast<Id>(edge.v);
        decoder.emask_[e] = observable_mask(edge.observables);
        decoder.elen_[e] = edge_length(edge.weight);
    }
    decoder.offsets_[0] = 0;
    for (std::size_t x = 0; x < decoder.num_nodes_; ++x) {
        for (std::size_t e : graph.adjacency(x)) decoder.adj_.push_back(static_cast<Id>(e));
        decoder.offsets_[x + 1] = static_cast<Id>(decoder.adj_.size());
    }
    return decoder;
}

namespace {

// A thread's first shot sizes its per-node and per-edge state, as large as the
// decoder's own tables: checked like them, out of line of the shot loop.
[[gnu::noinline]] void grow_scratch(Scratch& s, std::size_t detectors, std::size_t nodes, std::size_t edges) {
    const std::uint64_t bytes = saturating_add(saturating_mul(nodes, sizeof(NodeState)),
                                               saturating_mul(edges, sizeof(EdgeState)));
    allocate_checked(
        bytes, [&] { return "the union-find scratch of " + fmt::display(std::uint64_t{detectors}) + " detectors"; },
        [&] {
            if (s.nodes.size() < nodes) s.nodes.resize(nodes);
            if (s.edges.size() < edges) s.edges.resize(edges);
        });
}

}  // namespace

std::uint64_t UnionFindDecoder::decode_mask(const Syndrome& syndrome, std::vector<std::size_t>* peeled) const {
    const Id boundary = static_cast<Id>(num_detectors_);
    bool any_defect = false;
    for (std::uint32_t d : syndrome.fired) any_defect |= d < num_detectors_;
    if (!any_defect) return 0;

    const ThreadScratch<Scratch> lease("UnionFindDecoder");
    Scratch& s = *lease;
    ++s.epoch;
    if (s.nodes.size() < num_nodes_ || s.edges.size() < eu_.size()) grow_scratch(s, num_detectors_, num_nodes_, eu_.size());
    s.defects.clear();
    for (std::uint32_t d : syndrome.fired) {
        if (d < num_detectors_) s.defects.push_back(d);
    }
    for (Id d : s.defects) {
        s.ensure(d, boundary);
        s.nodes[d].parity = 1;
    }
    s.grown.clear();
    ShotClusters shot{s, offsets_, adj_, eu_, ev_, elen_, emask_, boundary};
    if (!weighted_) {
        shot.grow_unweighted();
    } else {
        shot.grow_weighted();
    }
    return shot.peel(peeled);
}

std::pair<Correction, std::vector<std::size_t>> UnionFindDecoder::decode_edges(const Syndrome& syndrome) const {
    std::vector<std::size_t> edges;
    std::uint64_t mask = decode_mask(syndrome, &edges);
    return {correction_from_mask(mask, num_observables_), std::move(edges)};
}

Correction UnionFindDecoder::decode(const Syndrome& syndrome) const {
    return correction_from_mask(decode_mask(syndrome, nullptr), num_observables_);
}

}  // namespace nivra::qec
