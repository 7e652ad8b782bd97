#include "nivra/qec/matching/union_find.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/rng.h"
#include "nivra/qec/test_dems.h"

namespace nivra::qec {
namespace {

using matching_testing::mask_of;
using matching_testing::syndrome_of;

UnionFindDecoder decoder_of(const DetectorErrorModel& dem, bool weighted) {
    auto decoder = weighted ? UnionFindDecoder::create_weighted(dem) : UnionFindDecoder::create(dem);
    EXPECT_TRUE(decoder.has_value()) << decoder.error().message();
    EXPECT_EQ(decoder->weighted(), weighted);
    return std::move(*decoder);
}

UnionFindDecoder decoder_of(std::string_view text, bool weighted) {
    auto dem = DetectorErrorModel::parse(text);
    EXPECT_TRUE(dem.has_value());
    return decoder_of(*dem, weighted);
}

// The detectors flipped by a set of edges (boundary excluded), ascending.
std::vector<std::uint32_t> syndrome_of_edges(const UnionFindDecoder& decoder, const std::vector<std::size_t>& edges) {
    std::vector<std::uint8_t> parity(decoder.num_nodes(), 0);
    for (std::size_t e : edges) {
        parity[decoder.eu()[e]] ^= 1;
        parity[decoder.ev()[e]] ^= 1;
    }
    std::vector<std::uint32_t> fired;
    for (std::size_t d = 0; d < decoder.num_detectors(); ++d) {
        if (parity[d]) fired.push_back(static_cast<std::uint32_t>(d));
    }
    return fired;
}

// Probability whose edge weight ln((1 - p) / p) is w.
std::string p_for_weight(double w) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", 1.0 / (1.0 + std::exp(w)));
    return buffer;
}

TEST(UnionFind, EdgeLengths) {
    EXPECT_EQ(UnionFindDecoder::edge_length(0.3), 2u);
    EXPECT_EQ(UnionFindDecoder::edge_length(100.0), 256u);
    EXPECT_EQ(UnionFindDecoder::edge_length(-3.0), 2u);
    EXPECT_EQ(UnionFindDecoder::edge_length(std::numeric_limits<double>::infinity()), 256u);
    EXPECT_EQ(UnionFindDecoder::edge_length(1.0), 4u);
    EXPECT_EQ(UnionFindDecoder::edge_length(0.625), 3u);  // 2.5 rounds away from zero
    EXPECT_EQ(UnionFindDecoder::edge_length(1.375), 6u);  // 5.5
    EXPECT_EQ(UnionFindDecoder::edge_length(63.9), 256u);
}

TEST(UnionFind, FlatArrays) {
    UnionFindDecoder decoder = decoder_of("error(0.1) D0 D1 L1\nerror(0.2) D1 L0\nerror(0.1) D1 D0 L1", false);
    EXPECT_EQ(decoder.num_nodes(), 3u);
    ASSERT_EQ(decoder.eu().size(), 2u);
    EXPECT_EQ(decoder.eu()[1], 1u);
    EXPECT_EQ(decoder.ev()[1], 2u);
    EXPECT_EQ(decoder.emask()[0], 2u);
    EXPECT_EQ(decoder.emask()[1], 1u);
    EXPECT_EQ(decoder.elen()[1], UnionFindDecoder::edge_length(std::log(4.0)));
}

TEST(UnionFind, NoDefects) {
    for (bool weighted : {false, true}) {
        UnionFindDecoder decoder = decoder_of("error(0.1) D0 D1 L0\nerror(0.1) D1", weighted);
        auto [correction, edges] = decoder.decode_edges(syndrome_of({}, 2));
        EXPECT_EQ(correction.flips, (std::vector<std::uint8_t>{0}));
        EXPECT_TRUE(edges.empty());
        auto ignored = decoder.decode_edges(syndrome_of({2, 9, 4000000000u}, 3));
        EXPECT_EQ(ignored.first.flips, (std::vector<std::uint8_t>{0}));
        EXPECT_TRUE(ignored.second.empty());
    }
}

TEST(UnionFind, SingleDefectNextToTheBoundary) {
    for (bool weighted : {false, true}) {
        UnionFindDecoder decoder = decoder_of("error(0.1) D0 D1 L1\nerror(0.1) D1 L0\nerror(0.1) D0 L0 L1", weighted);
        auto [correction, edges] = decoder.decode_edges(syndrome_of({1}, 2));
        EXPECT_EQ(correction.flips, (std::vector<std::uint8_t>{1, 0}));
        EXPECT_EQ(edges, (std::vector<std::size_t>{1}));
    }
}

TEST(UnionFind, EdgeGrownFromBothSidesInOneStep) {
    // D0 and D1 both fire: their shared edge gets a half from each side in the
    // first step and is grown; the boundary edges are only half grown.
    UnionFindDecoder decoder = decoder_of("error(0.1) D0 L1\nerror(0.1) D0 D1 L0\nerror(0.1) D1 L1", false);
    auto [correction, edges] = decoder.decode_edges(syndrome_of({0, 1}, 2));
    EXPECT_EQ(edges, (std::vector<std::size_t>{1}));
    EXPECT_EQ(correction.flips, (std::vector<std::uint8_t>{1, 0}));
}

TEST(UnionFind, UnitAndWeightedGrowthDiffer) {
    // D0 fires. A: D0-boundary (length 8, L0); C: D0-D1 (length 2); E: D1-boundary (length 2, L1).
    // Unit growth grows A and C together and peels A; weighted growth grows C,
    // then E (A reaching support 4 of 8), and peels E and C.
    const std::string text = "error(" + p_for_weight(2.0) + ") D0 L0\nerror(" + p_for_weight(0.5) + ") D0 D1\nerror(" +
                             p_for_weight(0.5) + ") D1 L1\n";
    UnionFindDecoder unit = decoder_of(text, false);
    ASSERT_EQ(unit.elen()[0], 8u);
    ASSERT_EQ(unit.elen()[1], 2u);
    auto [unit_correction, unit_edges] = unit.decode_edges(syndrome_of({0}, 2));
    EXPECT_EQ(unit_correction.flips, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(unit_edges, (std::vector<std::size_t>{0}));
    UnionFindDecoder weighted = decoder_of(text, true);
    auto [weighted_correction, weighted_edges] = weighted.decode_edges(syndrome_of({0}, 2));
    EXPECT_EQ(weighted_correction.flips, (std::vector<std::uint8_t>{0, 1}));
    EXPECT_EQ(weighted_edges, (std::vector<std::size_t>{1, 2}));
}

TEST(UnionFind, WeightedStepAdvancesEveryFrontierEdge) {
    // Lengths 4 (D0-boundary, L0) and 6 (D0-D1, L1): delta = 4 grows the first;
    // the second holds support 4, which a later shot must not see.
    const std::string text = "error(" + p_for_weight(1.0) + ") D0 L0\nerror(" + p_for_weight(1.5) +
                             ") D0 D1 L1\nerror(" + p_for_weight(20.0) + ") D1\n";
    UnionFindDecoder decoder = decoder_of(text, true);
    ASSERT_EQ(decoder.elen()[0], 4u);
    ASSERT_EQ(decoder.elen()[1], 6u);
    auto first = decoder.decode_edges(syndrome_of({0}, 2));
    EXPECT_EQ(first.second, (std::vector<std::size_t>{0}));
    EXPECT_EQ(first.first.flips, (std::vector<std::uint8_t>{1, 0}));
    // D1 alone: edge 1 (length 6) is grown first, then edge 0 (its support is
    // fresh this shot) before D1's boundary edge (length 80).
    auto second = decoder.decode_edges(syndrome_of({1}, 2));
    EXPECT_EQ(second.first.flips, (std::vector<std::uint8_t>{1, 1}));
    EXPECT_EQ(second.second, (std::vector<std::size_t>{1, 0}));
}

TEST(UnionFind, RepeatedShotsAndInterleavedDecodersAgree) {
    DetectorErrorModel big = matching_testing::surface_code_capacity(7, 0.05);
    DetectorErrorModel small = matching_testing::repetition_code(5, 2, 0.05, 0.05);
    for (bool weighted : {false, true}) {
        UnionFindDecoder a = decoder_of(big, weighted);
        UnionFindDecoder b = decoder_of(small, weighted);
        StdRng rng = StdRng::seed_from_u64(3);
        for (int i = 0; i < 200; ++i) {
            matching_testing::Shot x = matching_testing::sample_shot(big, rng);
            matching_testing::Shot y = matching_testing::sample_shot(small, rng);
            auto first = a.decode_edges(x.syndrome);
            auto other = b.decode_edges(y.syndrome);
            auto again = a.decode_edges(x.syndrome);
            EXPECT_EQ(first, again);
            EXPECT_EQ(other, b.decode_edges(y.syndrome));
        }
    }
}

// H * e = s: the peeled edges reproduce the shot's syndrome whenever every
// cluster could be neutralised (always, on graphs whose clusters reach a boundary).
void expect_corrections_reproduce_syndromes(const DetectorErrorModel& dem, std::size_t shots, std::uint64_t seed) {
    for (bool weighted : {false, true}) {
        UnionFindDecoder decoder = decoder_of(dem, weighted);
        StdRng rng = StdRng::seed_from_u64(seed);
        for (std::size_t i = 0; i < shots; ++i) {
            matching_testing::Shot shot = matching_testing::sample_shot(dem, rng);
            auto [correction, edges] = decoder.decode_edges(shot.syndrome);
            ASSERT_EQ(syndrome_of_edges(decoder, edges), shot.syndrome.fired) << "shot " << i;
            std::uint64_t mask = 0;
            for (std::size_t e : edges) mask ^= decoder.emask()[e];
            EXPECT_EQ(mask_of(correction), mask);
        }
    }
}

TEST(UnionFind, CorrectionsReproduceSyndromes) {
    expect_corrections_reproduce_syndromes(matching_testing::repetition_code(9, 9, 0.05, 0.05), 500, 1);
    expect_corrections_reproduce_syndromes(matching_testing::surface_code_capacity(9, 0.08), 500, 2);
    expect_corrections_reproduce_syndromes(
        *DetectorErrorModel::parse(matching_testing::read_qec_data("surface_d5_p003.dem")), 500, 3);
}

TEST(UnionFind, CorrectsEverySingleError) {
    const DetectorErrorModel models[] = {matching_testing::repetition_code(7, 5, 0.01, 0.02),
                                         matching_testing::surface_code_capacity(5, 0.01),
                                         matching_testing::surface_code_capacity(9, 0.01)};
    for (const DetectorErrorModel& dem : models) {
        for (bool weighted : {false, true}) {
            UnionFindDecoder decoder = decoder_of(dem, weighted);
            for (const DemError& error : dem.errors) {
                Syndrome s = syndrome_of(std::vector<std::uint32_t>(error.detectors.begin(), error.detectors.end()),
                                         dem.num_detectors);
                EXPECT_EQ(mask_of(decoder.decode(s)), observable_mask(error.observables));
            }
        }
    }
}

TEST(UnionFind, OddClusterWithoutBoundaryStaysUnpaired) {
    // A lone defect in a component with no boundary edge contributes nothing.
    UnionFindDecoder decoder = decoder_of("error(0.1) D0 D1 L0\nerror(0.1) D1 D2 L0\ndetector D3", false);
    auto [correction, edges] = decoder.decode_edges(syndrome_of({1}, 4));
    EXPECT_EQ(correction.flips, (std::vector<std::uint8_t>{0}));
    EXPECT_TRUE(edges.empty());
}

TEST(UnionFind, LogicalErrorRateFallsWithDistance) {
    const char* files[] = {"surface_d3_p003.dem", "surface_d5_p003.dem", "surface_d7_p003.dem"};
    for (bool weighted : {false, true}) {
        std::vector<double> rates;
        for (const char* file : files) {
            auto dem = DetectorErrorModel::parse(matching_testing::read_qec_data(file));
            ASSERT_TRUE(dem.has_value()) << file;
            UnionFindDecoder decoder = decoder_of(*dem, weighted);
            rates.push_back(matching_testing::logical_error_rate(*dem, decoder, 20000));
        }
        EXPECT_GT(rates[0], rates[1]) << weighted;
        EXPECT_GT(rates[1], rates[2]) << weighted;
        std::printf("union-find%s logical error rates d=3,5,7: %g %g %g\n", weighted ? "-weighted" : "", rates[0],
                    rates[1], rates[2]);
    }
}

}  // namespace
}  // namespace nivra::qec
