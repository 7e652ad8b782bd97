#include "nivra/qec/matching/mwpm.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <string>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/core/parallel.h"
#include "nivra/qec/matching/blossom.h"
#include "nivra/qec/scratch.h"

namespace nivra::qec {

namespace {

using Length = MwpmDecoder::Length;
constexpr Length NO_PATH = MwpmDecoder::NO_PATH;
constexpr Length LENGTH_MAX = std::numeric_limits<Length>::max();
constexpr Length LENGTH_MIN = std::numeric_limits<Length>::min();

Length saturating_add(Length a, Length b) {
    Length out = 0;
    if (__builtin_add_overflow(a, b, &out)) return a > 0 ? LENGTH_MAX : LENGTH_MIN;
    return out;
}

Length saturating_sub(Length a, Length b) {
    Length out = 0;
    if (__builtin_sub_overflow(a, b, &out)) return a >= 0 ? LENGTH_MAX : LENGTH_MIN;
    return out;
}

// The graph as flat per-node lists for the searches: for node x, entries
// offsets[x] .. offsets[x+1] of (other end, integer length, observable mask),
// in the node's adjacency order.
struct SearchGraph {
    std::vector<std::size_t> offsets;
    std::vector<std::size_t> other;
    std::vector<Length> length;
    std::vector<std::uint64_t> mask;
};

SearchGraph search_graph(const MatchingGraph& graph) {
    SearchGraph g;
    const std::size_t nodes = graph.num_nodes();
    std::vector<Length> edge_length(graph.edges.size());
    std::vector<std::uint64_t> edge_mask(graph.edges.size());
    for (std::size_t e = 0; e < graph.edges.size(); ++e) {
        const MatchingEdge& edge = graph.edges[e];
        Length w = MwpmDecoder::integer_weight(edge.weight);
        // A negative length between two detectors would let the search lower
        // distances forever; such an edge (merged p > 0.5) costs nothing instead.
        if (edge.v != graph.boundary() && w < 0) w = 0;
        edge_length[e] = w;
        edge_mask[e] = observable_mask(edge.observables);
    }
    g.offsets.resize(nodes + 1);
    g.offsets[0] = 0;
    for (std::size_t x = 0; x < nodes; ++x) {
        auto adjacent = graph.adjacency(x);
        g.offsets[x + 1] = g.offsets[x] + adjacent.size();
        for (std::size_t e : adjacent) {
            const MatchingEdge& edge = graph.edges[e];
            g.other.push_back(edge.u == x ? edge.v : edge.u);
            g.length.push_back(edge_length[e]);
            g.mask.push_back(edge_mask[e]);
        }
    }
    return g;
}

using HeapEntry = std::pair<Length, std::size_t>;

// Shortest paths from detector `source` into one table row. Pops the smallest
// (distance, node) pair, so equal distances settle the smaller node first.
void shortest_paths_from(const SearchGraph& g, std::size_t source, std::size_t boundary, Length* dist,
                         std::uint64_t* obs, std::vector<HeapEntry>& heap) {
    std::fill(dist, dist + boundary + 1, NO_PATH);
    std::fill(obs, obs + boundary + 1, 0);
    dist[source] = 0;
    heap.clear();
    heap.emplace_back(0, source);
    const auto later = std::greater<HeapEntry>();
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), later);
        auto [d, u] = heap.back();
        heap.pop_back();
        if (d > dist[u] || u == boundary) continue;
        for (std::size_t a = g.offsets[u]; a < g.offsets[u + 1]; ++a) {
            std::size_t x = g.other[a];
            Length candidate = std::min(saturating_add(d, g.length[a]), NO_PATH - 1);
            if (candidate < dist[x]) {
                dist[x] = candidate;
                obs[x] = obs[u] ^ g.mask[a];
                heap.emplace_back(candidate, x);
                std::push_heap(heap.begin(), heap.end(), later);
            }
        }
    }
}

// Per-thread buffers of one decode, reused across shots.
struct ShotScratch {
    std::vector<std::uint32_t> defects;
    std::vector<Length> boundary;
    std::vector<BlossomEdge> edges;
    std::vector<std::int64_t> partner;
};

}  // namespace

Length MwpmDecoder::integer_weight(double weight) {
    double scaled = std::round(weight * WEIGHT_SCALE);
    if (std::isnan(scaled)) return 0;
    if (scaled >= 9223372036854775808.0) return LENGTH_MAX;
    if (scaled < -9223372036854775808.0) return LENGTH_MIN;
    return static_cast<Length>(scaled);
}

namespace {

std::string tables_description(std::size_t detectors) {
    return "the MWPM tables of " + fmt::display(std::uint64_t{detectors}) + " detectors";
}

// Entries of one table for `detectors` detectors, or AllocationError when the
// two tables cannot be addressed at all or exceed memory_limit() (checked
// before anything is built).
std::size_t table_entries(std::size_t detectors) {
    const std::uint64_t entries = saturating_mul(detectors, detectors + 1);
    const std::uint64_t bytes = saturating_mul(entries, 2 * sizeof(Length));
    if (bytes == SIZE_BEYOND_64_BITS || entries > std::vector<Length>().max_size()) {
        throw AllocationError(allocation_message(bytes, tables_description(detectors)));
    }
    if (const std::optional<std::uint64_t> limit = exceeds_memory_limit(bytes)) {
        throw AllocationError(allocation_message(bytes, tables_description(detectors), limit));
    }
    return static_cast<std::size_t>(entries);
}

}  // namespace

std::expected<MwpmDecoder, Error> MwpmDecoder::create(const DetectorErrorModel& dem) {
    if (dem.num_detectors < std::numeric_limits<std::uint32_t>::max()) table_entries(dem.num_detectors);
    auto graph = MatchingGraph::from_dem(dem);
    if (!graph) return std::unexpected(graph.error());
    return from_graph(*graph);
}

MwpmDecoder MwpmDecoder::from_graph(const MatchingGraph& graph) {
    check_invariant(graph.num_observables <= MAX_OBSERVABLES, "MwpmDecoder: more than 64 observables");
    MwpmDecoder decoder;
    const std::size_t detectors = graph.num_detectors;
    decoder.num_detectors_ = detectors;
    decoder.num_observables_ = graph.num_observables;
    decoder.stride_ = detectors + 1;
    if (detectors == 0) return decoder;
    const std::size_t entries = table_entries(detectors);
    allocate_checked(
        std::uint64_t{entries} * 2 * sizeof(Length), [&] { return tables_description(detectors); },
        [&] {
            decoder.dist_.resize(entries);
            decoder.obs_.resize(entries);
        });

    const SearchGraph g = search_graph(graph);
    const std::size_t stride = decoder.stride_;
    Length* dist = decoder.dist_.data();
    std::uint64_t* obs = decoder.obs_.data();
    parallel_for_chunks(detectors, 8, [&](std::size_t begin, std::size_t end) {
        std::vector<HeapEntry> heap;
        for (std::size_t s = begin; s < end; ++s) {
            shortest_paths_from(g, s, detectors, dist + s * stride, obs + s * stride, heap);
        }
    });
    return decoder;
}

MwpmDecoder::Length MwpmDecoder::distance(std::size_t detector, std::size_t node) const {
    check_index(detector, num_detectors_, "MwpmDecoder::distance: detector");
    check_index(node, stride_, "MwpmDecoder::distance: node");
    return dist_[detector * stride_ + node];
}

std::uint64_t MwpmDecoder::path_mask(std::size_t detector, std::size_t node) const {
    check_index(detector, num_detectors_, "MwpmDecoder::path_mask: detector");
    check_index(node, stride_, "MwpmDecoder::path_mask: node");
    return obs_[detector * stride_ + node];
}

std::uint64_t MwpmDecoder::decode_mask(const Syndrome& syndrome, Matching* matching) const {
    bool any_defect = false;
    for (std::uint32_t d : syndrome.fired) any_defect |= d < num_detectors_;
    if (!any_defect) return 0;

    const ThreadScratch<ShotScratch> lease("MwpmDecoder");
    ShotScratch& scratch = *lease;
    std::vector<std::uint32_t>& defects = scratch.defects;
    defects.clear();
    for (std::uint32_t d : syndrome.fired) {
        if (d < num_detectors_) defects.push_back(d);
    }
    const std::size_t k = defects.size();
    const std::size_t boundary = num_detectors_;
    scratch.boundary.resize(k);
    for (std::size_t i = 0; i < k; ++i) scratch.boundary[i] = dist_[defects[i] * stride_ + boundary];

    // Candidate pairs in ascending (first, second) order: pairing saves length
    // only when the pair's path is shorter than both boundary paths together.
    // Distances between detectors are symmetric (undirected graph, lengths >= 0,
    // the boundary never expanded), so testing (i, j) also tests (j, i).
    scratch.edges.clear();
    for (std::size_t i = 0; i < k; ++i) {
        const Length bi = scratch.boundary[i];
        const Length* row_i = dist_.data() + defects[i] * stride_;
        for (std::size_t j = i + 1; j < k; ++j) {
            const Length both = saturating_add(bi, scratch.boundary[j]);
            const Length dij = row_i[defects[j]];
            if (dij < NO_PATH && dij < both) {
                scratch.edges.push_back(
                    BlossomEdge{static_cast<std::int64_t>(i), static_cast<std::int64_t>(j), saturating_sub(both, dij)});
            }
        }
    }
    scratch.partner.assign(k, -1);
    if (!scratch.edges.empty()) {
        ThreadBlossom solver;
        solver.get().solve(k, scratch.edges);
        for (std::size_t i = 0; i < k; ++i) scratch.partner[i] = solver.get().mate(i);
    }
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const std::int64_t j = scratch.partner[i];
        if (j < 0) {
            mask ^= obs_[defects[i] * stride_ + boundary];
        } else if (static_cast<std::size_t>(j) > i) {
            mask ^= obs_[defects[i] * stride_ + defects[static_cast<std::size_t>(j)]];
        }
    }
    if (matching) {
        matching->defects = defects;
        matching->partner = scratch.partner;
        matching->mask = mask;
    }
    return mask;
}

MwpmDecoder::Matching MwpmDecoder::match(const Syndrome& syndrome) const {
    Matching matching;  // stays empty for a shot without defects
    decode_mask(syndrome, &matching);
    return matching;
}

Correction MwpmDecoder::decode(const Syndrome& syndrome) const {
    return correction_from_mask(decode_mask(syndrome, nullptr), num_observables_);
}

}  // namespace nivra::qec
