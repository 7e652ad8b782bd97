#pragma once
// Union-find decoder: per shot, clusters grow around the fired detectors until
// each holds an even number of them or touches the boundary; a spanning forest
// of the grown edges is then peeled from its leaves to choose the edges whose
// observables flip. Unit growth adds half an edge per step from each odd
// cluster; weighted growth advances every frontier edge by the same amount
// until the nearest one (by length) is grown.
//
// Graph layout (32-bit ids; node num_detectors is the boundary):
//   adj[offsets[x] .. offsets[x+1]]   edge indices incident to node x, in graph order
//   eu[e], ev[e]                      the two ends of edge e (eu < ev)
//   emask[e]                          bit k set for each observable k of edge e
//   elen[e]                           length for weighted growth, 2..256
//
// Work space is a per-thread scratch reset lazily by epoch stamps: a shot
// costs time in proportion to the region it touches, not to the graph.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "nivra/qec/decoder.h"
#include "nivra/qec/dem/dem.h"
#include "nivra/qec/error.h"
#include "nivra/qec/matching/matching.h"

namespace nivra::qec {

class UnionFindDecoder final : public Decoder {
public:
    // 32-bit node and edge ids keep the per-node and per-edge state small;
    // all ones means none.
    using Id = std::uint32_t;
    static constexpr Id NONE = 0xFFFFFFFFu;

    // Unit growth / growth by edge length. Build the matching graph of `dem`
    // (its errors pass through unchanged). Throw InvariantError when the model
    // has more than 64 observables.
    static std::expected<UnionFindDecoder, Error> create(const DetectorErrorModel& dem);
    static std::expected<UnionFindDecoder, Error> create_weighted(const DetectorErrorModel& dem);

    // The flat arrays of `graph`, with unit growth. Throws AllocationError
    // "cannot allocate {size} for the union-find tables of {n} detectors" when
    // they exceed memory_limit() or cannot be allocated.
    static UnionFindDecoder from_graph(const MatchingGraph& graph);

    // max(weight, 0) * 4 rounded half away from zero, clamped to [2, 256]
    // (+infinity gives 256).
    static std::uint32_t edge_length(double weight);

    // The prediction, and the edges peeling chose, in the order it chose them.
    std::pair<Correction, std::vector<std::size_t>> decode_edges(const Syndrome& syndrome) const;

    Correction decode(const Syndrome& syndrome) const override;

    bool weighted() const { return weighted_; }
    std::size_t num_detectors() const { return num_detectors_; }
    std::size_t num_observables() const { return num_observables_; }
    std::size_t num_nodes() const { return num_nodes_; }
    std::span<const Id> eu() const { return eu_; }
    std::span<const Id> ev() const { return ev_; }
    std::span<const std::uint64_t> emask() const { return emask_; }
    std::span<const std::uint32_t> elen() const { return elen_; }

private:
    UnionFindDecoder() = default;
    // Decodes into the prediction mask, appending peeled edges to `edges` when given.
    std::uint64_t decode_mask(const Syndrome& syndrome, std::vector<std::size_t>* edges) const;

    std::vector<Id> offsets_;
    std::vector<Id> adj_;
    std::vector<Id> eu_;
    std::vector<Id> ev_;
    std::vector<std::uint64_t> emask_;
    std::vector<std::uint32_t> elen_;
    std::size_t num_detectors_ = 0;
    std::size_t num_observables_ = 0;
    std::size_t num_nodes_ = 1;
    bool weighted_ = false;
};

}  // namespace nivra::qec
