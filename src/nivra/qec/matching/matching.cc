#include "nivra/qec/matching/matching.h"

#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"

namespace nivra::qec {

namespace {

struct EdgeKey {
    std::size_t u = 0;
    std::size_t v = 0;
    std::vector<std::uint32_t> observables;

    friend bool operator==(const EdgeKey&, const EdgeKey&) = default;
};

struct EdgeKeyHash {
    std::size_t operator()(const EdgeKey& key) const noexcept {
        std::uint64_t h = 0x9E3779B97F4A7C15ull;
        auto mix = [&h](std::uint64_t x) { h ^= x + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2); };
        mix(key.u);
        mix(key.v);
        for (std::uint32_t k : key.observables) mix(k);
        return static_cast<std::size_t>(h);
    }
};

}  // namespace

std::span<const std::size_t> MatchingGraph::adjacency(std::size_t node) const {
    check_index(node, num_nodes(), "MatchingGraph::adjacency");
    return std::span<const std::size_t>(adjacency_edges_)
        .subspan(adjacency_offsets_[node], adjacency_offsets_[node + 1] - adjacency_offsets_[node]);
}

std::expected<MatchingGraph, Error> MatchingGraph::from_dem(const DetectorErrorModel& dem) {
    // Node ids are 32-bit in the decoders, with all ones kept for "none".
    if (dem.num_detectors >= std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(Error::graph_too_large(dem.num_detectors + 1));
    }
    std::unordered_map<EdgeKey, std::size_t, EdgeKeyHash> index_of;
    std::vector<EdgeKey> keys;
    std::vector<double> merged;

    std::vector<DemIndex> detectors;
    std::vector<DemIndex> observables;
    auto add_component = [&](const std::vector<DemIndex>& dets, const std::vector<DemIndex>& obs,
                             double p) -> std::expected<void, Error> {
        detectors = dets;
        observables = obs;
        parity_reduce(detectors);
        parity_reduce(observables);
        EdgeKey key;
        switch (detectors.size()) {
            case 0:
                return {};
            case 1:
                key.u = detectors[0];
                key.v = dem.num_detectors;
                break;
            case 2:
                key.u = detectors[0];
                key.v = detectors[1];
                break;
            default:
                return std::unexpected(Error::non_graphlike(detectors.size()));
        }
        check_invariant(key.u < key.v && key.v <= dem.num_detectors, "MatchingGraph: detector beyond the model");
        key.observables = observables;
        auto [it, inserted] = index_of.try_emplace(key, keys.size());
        if (inserted) {
            keys.push_back(std::move(key));
            merged.push_back(p);
        } else {
            double q = merged[it->second];
            merged[it->second] = q + p - 2.0 * q * p;
        }
        return {};
    };

    for (const DemError& error : dem.errors) {
        if (!(error.p > 0.0 && error.p < 1.0)) continue;
        if (error.num_components() == 0) {
            if (auto added = add_component(error.detectors, error.observables, error.p); !added) {
                return std::unexpected(added.error());
            }
        } else {
            std::expected<void, Error> added;
            error.for_each_component([&](const std::vector<DemIndex>& dets, const std::vector<DemIndex>& obs) {
                if (added) added = add_component(dets, obs, error.p);
            });
            if (!added) return std::unexpected(added.error());
        }
    }

    MatchingGraph graph;
    graph.num_detectors = dem.num_detectors;
    graph.num_observables = dem.num_observables;
    const std::size_t nodes = dem.num_detectors + 1;
    // The node side grows with the detector count, which a short model can
    // make huge ("error(0.1) D400000000"): an offset per node, and per edge
    // its record and two adjacency entries.
    const std::uint64_t bytes =
        saturating_add(saturating_mul(nodes + 1, sizeof(std::size_t)),
                       saturating_mul(keys.size(), sizeof(MatchingEdge) + 2 * sizeof(std::size_t)));
    allocate_checked(
        bytes, [&] { return "the matching graph of " + fmt::display(std::uint64_t{dem.num_detectors}) + " detectors"; },
        [&] {
            graph.adjacency_offsets_.assign(nodes + 1, 0);
            graph.adjacency_edges_.resize(2 * keys.size());
            graph.edges.reserve(keys.size());
        });
    for (const EdgeKey& key : keys) {
        ++graph.adjacency_offsets_[key.u + 1];
        ++graph.adjacency_offsets_[key.v + 1];
    }
    for (std::size_t x = 0; x < nodes; ++x) graph.adjacency_offsets_[x + 1] += graph.adjacency_offsets_[x];
    // Place each edge at its ends' cursors, kept in offsets[x + 1] while filling
    // (offsets[x + 1] then ends at the end of x's list, and offsets[0] stays 0).
    for (std::size_t x = nodes; x > 0; --x) graph.adjacency_offsets_[x] = graph.adjacency_offsets_[x - 1];
    for (std::size_t e = 0; e < keys.size(); ++e) {
        EdgeKey& key = keys[e];
        graph.adjacency_edges_[graph.adjacency_offsets_[key.u + 1]++] = e;
        graph.adjacency_edges_[graph.adjacency_offsets_[key.v + 1]++] = e;
        double p = merged[e];
        graph.edges.push_back(MatchingEdge{std::move(key.observables), key.u, key.v, p, std::log((1.0 - p) / p)});
    }
    return graph;
}

}  // namespace nivra::qec
