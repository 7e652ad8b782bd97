#include "nivra/qec/matching/matching.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/qec/decoder.h"

namespace nivra::qec {
namespace {

MatchingGraph graph_of(std::string_view text) {
    auto dem = DetectorErrorModel::parse(text);
    EXPECT_TRUE(dem.has_value());
    auto graph = MatchingGraph::from_dem(*dem);
    EXPECT_TRUE(graph.has_value()) << graph.error().message();
    return *graph;
}

std::vector<std::size_t> adjacency_of(const MatchingGraph& graph, std::size_t node) {
    auto span = graph.adjacency(node);
    return {span.begin(), span.end()};
}

TEST(MatchingGraph, EmptyModelsGiveNoEdges) {
    for (std::string_view text : {"detector D3", "error(0) D0 D1\nerror(1) D2\ndetector D3"}) {
        MatchingGraph graph = graph_of(text);
        EXPECT_TRUE(graph.edges.empty());
        EXPECT_EQ(graph.num_detectors, 4u);
        EXPECT_EQ(graph.num_nodes(), 5u);
        for (std::size_t x = 0; x < graph.num_nodes(); ++x) EXPECT_TRUE(graph.adjacency(x).empty());
    }
}

TEST(MatchingGraph, RepeatedDetectorsCancel) {
    EXPECT_TRUE(graph_of("error(0.1) D0 D0\ndetector D1").edges.empty());
    MatchingGraph graph = graph_of("error(0.1) D0 D0 D1");
    ASSERT_EQ(graph.edges.size(), 1u);
    EXPECT_EQ(graph.edges[0].u, 1u);
    EXPECT_EQ(graph.edges[0].v, graph.boundary());
    // Observables cancel in pairs too.
    MatchingGraph obs = graph_of("error(0.1) D0 L1 L1 L0");
    EXPECT_EQ(obs.edges[0].observables, (std::vector<std::uint32_t>{0}));
}

TEST(MatchingGraph, MergingAndFirstAppearanceOrder) {
    MatchingGraph graph = graph_of(
        "error(0.1) D0 D1\n"
        "error(0.1) D2\n"
        "error(0.2) D1 D0\n"
        "error(0.1) D0 D1 L0\n"
        "error(0.3) D2\n");
    ASSERT_EQ(graph.edges.size(), 3u);
    EXPECT_EQ(graph.edges[0].u, 0u);
    EXPECT_EQ(graph.edges[0].v, 1u);
    EXPECT_DOUBLE_EQ(graph.edges[0].p, 0.1 + 0.2 - 2 * 0.1 * 0.2);
    EXPECT_EQ(graph.edges[0].p, 0.1 + 0.2 - 2.0 * 0.1 * 0.2);
    EXPECT_EQ(graph.edges[0].weight, std::log((1.0 - graph.edges[0].p) / graph.edges[0].p));
    EXPECT_EQ(graph.edges[1].u, 2u);
    EXPECT_EQ(graph.edges[1].v, 3u);
    EXPECT_EQ(graph.edges[1].p, 0.1 + 0.3 - 2.0 * 0.1 * 0.3);
    EXPECT_EQ(graph.edges[2].observables, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(graph.edges[2].p, 0.1);
    EXPECT_EQ(adjacency_of(graph, 0), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(adjacency_of(graph, 1), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(adjacency_of(graph, 2), (std::vector<std::size_t>{1}));
    EXPECT_EQ(adjacency_of(graph, 3), (std::vector<std::size_t>{1}));
}

TEST(MatchingGraph, ComponentsAreSeparateEdges) {
    MatchingGraph graph = graph_of("error(0.1) D0 D1 ^ D2 L0");
    ASSERT_EQ(graph.edges.size(), 2u);
    EXPECT_EQ(graph.edges[0].u, 0u);
    EXPECT_EQ(graph.edges[0].v, 1u);
    EXPECT_TRUE(graph.edges[0].observables.empty());
    EXPECT_EQ(graph.edges[1].u, 2u);
    EXPECT_EQ(graph.edges[1].v, 3u);
    EXPECT_EQ(graph.edges[1].observables, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(graph.edges[0].p, 0.1);
    EXPECT_EQ(graph.edges[1].p, 0.1);
    // The combined list (D0 D1 D2 here) plays no part: a component of three is refused.
    auto dem = DetectorErrorModel::parse("error(0.1) D0 ^ D0 D1 D2");
    EXPECT_EQ(MatchingGraph::from_dem(*dem).error(), Error::non_graphlike(3));
}

TEST(MatchingGraph, NonGraphlikeModels) {
    auto three = DetectorErrorModel::parse("error(0.1) D0 D1\nerror(0.1) D0 D1 D2 D3\nerror(0.1) D0 D1 D2");
    auto error = MatchingGraph::from_dem(*three);
    ASSERT_FALSE(error.has_value());
    EXPECT_EQ(error.error().message(),
              "non-graphlike DEM: an error mechanism flips 4 detectors (>2); matching needs a graph-like DEM");
    EXPECT_TRUE(MatchingGraph::from_dem(*DetectorErrorModel::parse("error(0.1) D0 D1 D2 D2")).has_value());
    // Mechanisms that are skipped for their probability are never checked.
    EXPECT_TRUE(MatchingGraph::from_dem(*DetectorErrorModel::parse("error(0) D0 D1 D2")).has_value());
}

TEST(MatchingGraph, NegativeWeightAboveOneHalf) {
    MatchingGraph graph = graph_of("error(0.7) D0 D1");
    EXPECT_EQ(graph.edges[0].weight, std::log((1.0 - 0.7) / 0.7));
    EXPECT_LT(graph.edges[0].weight, 0.0);
}

TEST(MatchingGraph, NodeIdsMustFit32Bits) {
    auto huge = DetectorErrorModel::parse("detector D4294967295");
    ASSERT_TRUE(huge.has_value());
    EXPECT_EQ(huge->num_detectors, 4294967296u);
    auto graph = MatchingGraph::from_dem(*huge);
    ASSERT_FALSE(graph.has_value());
    EXPECT_EQ(graph.error().message(),
              "matching graph too large: 4294967297 nodes (detectors and the boundary) exceed 32-bit node ids");
    auto edge = MatchingGraph::from_dem(*DetectorErrorModel::parse("detector D4294967294"));
    EXPECT_EQ(edge.error(), Error::graph_too_large(4294967296u));
}

TEST(Correction, FromMaskAndBatch) {
    EXPECT_EQ(correction_from_mask(0b101, 3).flips, (std::vector<std::uint8_t>{1, 0, 1}));
    EXPECT_TRUE(correction_from_mask(0b101, 0).flips.empty());
    EXPECT_EQ(correction_from_mask(std::uint64_t{1} << 63, 64).flips[63], 1);
    EXPECT_THROW(correction_from_mask(0, 65), InvariantError);
    const std::uint32_t obs[] = {3, 0, 3};
    EXPECT_EQ(observable_mask(obs), 0b1001u);
    const std::uint32_t bad[] = {64};
    EXPECT_THROW(observable_mask(bad), InvariantError);

    struct Echo final : Decoder {
        Correction decode(const Syndrome& s) const override { return correction_from_mask(s.fired.size(), 4); }
    } echo;
    EXPECT_TRUE(echo.decode_batch({})->empty());
    std::vector<Syndrome> shots{{{1, 2}, 5}, {{}, 5}, {{4}, 5}};
    auto out = echo.decode_batch(shots);
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->size(), 3u);
    EXPECT_EQ((*out)[0].flips, (std::vector<std::uint8_t>{0, 1, 0, 0}));
    EXPECT_EQ((*out)[1].flips, (std::vector<std::uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ((*out)[2].flips, (std::vector<std::uint8_t>{1, 0, 0, 0}));
}

}  // namespace
}  // namespace nivra::qec
