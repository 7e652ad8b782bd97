#pragma once
// The graph-like view of a detector error model that the matching and
// union-find decoders work on: one node per detector plus a boundary node
// (index num_detectors), one edge per distinct (ends, observables) key with
// the probabilities of its mechanisms merged.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "nivra/qec/dem/dem.h"
#include "nivra/qec/error.h"

namespace nivra::qec {

struct MatchingEdge {
    std::vector<std::uint32_t> observables;  // ascending, each once; may be empty
    std::size_t u = 0;                       // the smaller end: a detector
    std::size_t v = 0;                       // the larger end: a detector, or the boundary node
    double p = 0.0;                          // merged flip probability, in (0, 1)
    double weight = 0.0;                     // ln((1 - p) / p); negative when p > 0.5, not clamped
};

struct MatchingGraph {
    // Edges in the order their keys first appeared in the model.
    std::vector<MatchingEdge> edges;
    std::size_t num_detectors = 0;
    std::size_t num_observables = 0;

    // The boundary node's index.
    std::size_t boundary() const { return num_detectors; }
    std::size_t num_nodes() const { return num_detectors + 1; }

    // Indices of the edges with `node` as an end, in edge order (node <= num_detectors).
    std::span<const std::size_t> adjacency(std::size_t node) const;

    // Builds the graph. Mechanisms with p outside (0, 1) (NaN included) and
    // components that flip no detector after cancelling repeated indices are
    // dropped. Each component of a mechanism written with `^` is an edge of
    // its own. Two mechanisms with the same ends and observables merge into
    // one edge with q + p - 2qp.
    // Errors: NonGraphlike (a component flips more than two detectors; the
    // first in model order decides), GraphTooLarge (the node count, detectors
    // plus the boundary, does not fit 32 bits: decoders keep 32-bit node ids
    // with all ones meaning none).
    // Throws AllocationError "cannot allocate {size} for the matching graph of
    // {n} detectors" when its node and edge tables exceed memory_limit() or
    // cannot be allocated.
    static std::expected<MatchingGraph, Error> from_dem(const DetectorErrorModel& dem);

private:
    // adjacency(x) = adjacency_edges_[adjacency_offsets_[x] .. adjacency_offsets_[x + 1]]
    std::vector<std::size_t> adjacency_offsets_;
    std::vector<std::size_t> adjacency_edges_;
};

}  // namespace nivra::qec
