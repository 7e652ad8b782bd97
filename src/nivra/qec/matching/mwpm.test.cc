#include "nivra/qec/matching/mwpm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/memory.h"
#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/qec/test_dems.h"

namespace nivra::qec {
namespace {

using matching_testing::mask_of;
using matching_testing::sample_shot;
using matching_testing::syndrome_of;

MwpmDecoder decoder_of(std::string_view text) {
    auto dem = DetectorErrorModel::parse(text);
    EXPECT_TRUE(dem.has_value());
    auto decoder = MwpmDecoder::create(*dem);
    EXPECT_TRUE(decoder.has_value()) << decoder.error().message();
    return std::move(*decoder);
}

TEST(Mwpm, IntegerWeights) {
    EXPECT_EQ(MwpmDecoder::integer_weight(0.5 / 16777216.0), 1);
    EXPECT_EQ(MwpmDecoder::integer_weight(-0.5 / 16777216.0), -1);
    EXPECT_EQ(MwpmDecoder::integer_weight(0.49 / 16777216.0), 0);
    EXPECT_EQ(MwpmDecoder::integer_weight(std::log(9.0)), std::llround(std::log(9.0) * 16777216.0));
    EXPECT_EQ(MwpmDecoder::integer_weight(std::nan("")), 0);
    EXPECT_EQ(MwpmDecoder::integer_weight(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(MwpmDecoder::integer_weight(-1e300), std::numeric_limits<std::int64_t>::min());
}

TEST(Mwpm, ShotsWithoutDefects) {
    MwpmDecoder decoder = decoder_of("error(0.1) D0 D1 L0\nerror(0.1) D1 L1");
    EXPECT_EQ(decoder.decode(syndrome_of({}, 2)).flips, (std::vector<std::uint8_t>{0, 0}));
    EXPECT_EQ(decoder.decode(syndrome_of({2, 7, 4000000000u}, 8)).flips, (std::vector<std::uint8_t>{0, 0}));
    MwpmDecoder no_observables = decoder_of("error(0.1) D0 D1");
    EXPECT_TRUE(no_observables.decode(syndrome_of({0}, 2)).flips.empty());
}

TEST(Mwpm, OneDefectGoesToTheBoundary) {
    // D0 -(L1)- D1 -(L0)- boundary: D0's shortest boundary path is both edges.
    MwpmDecoder decoder = decoder_of("error(0.1) D0 D1 L1\nerror(0.1) D1 L0\nerror(0.001) D0");
    EXPECT_EQ(decoder.decode(syndrome_of({0}, 2)).flips, (std::vector<std::uint8_t>{1, 1}));
    EXPECT_EQ(decoder.decode(syndrome_of({1}, 2)).flips, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(decoder.distance(0, 2), 2 * MwpmDecoder::integer_weight(std::log(9.0)));
}

TEST(Mwpm, PairsOnlyWhenShorterThanBothBoundaryPaths) {
    // Boundary edges of length ln 9 each; a pair edge of length ln 89 > 2 ln 9 is no candidate.
    MwpmDecoder longer = decoder_of("error(0.1) D0 L0\nerror(0.1) D1\nerror(0.011111111111111112) D0 D1 L1\n");
    ASSERT_GE(longer.distance(0, 1), longer.distance(0, 2) + longer.distance(1, 2));
    EXPECT_EQ(longer.decode(syndrome_of({0, 1}, 2)).flips, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(longer.match(syndrome_of({0, 1}, 2)).partner, (std::vector<std::int64_t>{-1, -1}));

    // ln 49 < 2 ln 9: paired, and the prediction is the pair path's mask.
    MwpmDecoder shorter = decoder_of("error(0.1) D0 L0\nerror(0.1) D1\nerror(0.02) D0 D1 L1\n");
    EXPECT_EQ(shorter.decode(syndrome_of({0, 1}, 2)).flips, (std::vector<std::uint8_t>{0, 1}));
    EXPECT_EQ(shorter.match(syndrome_of({0, 1}, 2)).partner, (std::vector<std::int64_t>{1, 0}));
}

TEST(Mwpm, NoBoundaryLeavesAnOddDefectUnmatched) {
    // A triangle with no boundary edge: three defects, one pair matched, one left over.
    MwpmDecoder decoder = decoder_of("error(0.1) D0 D1 L0\nerror(0.2) D1 D2\nerror(0.3) D0 D2 L1");
    EXPECT_GE(decoder.distance(0, 3), MwpmDecoder::NO_PATH);
    auto m = decoder.match(syndrome_of({0, 1, 2}, 3));
    int unmatched = 0;
    for (std::int64_t partner : m.partner) unmatched += partner < 0;
    EXPECT_EQ(unmatched, 1);
    // Lengths ln 9 (D0-D1), ln 4 (D1-D2), ln(7/3) (D0-D2): the largest gain is
    // the shortest pair, D0-D2, flipping L1; D1 is left over and flips nothing.
    EXPECT_EQ(m.partner[0], 2);
    EXPECT_EQ(m.mask, 0b10u);
}

TEST(Mwpm, PathsNeverPassThroughTheBoundary) {
    MwpmDecoder decoder = decoder_of("error(0.1) D0\nerror(0.1) D1");
    EXPECT_GE(decoder.distance(0, 1), MwpmDecoder::NO_PATH);
    EXPECT_EQ(decoder.path_mask(0, 1), 0u);
    EXPECT_EQ(decoder.match(syndrome_of({0, 1}, 2)).partner, (std::vector<std::int64_t>{-1, -1}));
}

TEST(Mwpm, EqualLengthPathsSettleTheSmallerNodeFirst) {
    // Two equal paths from D0 to D3: via D1 (flipping L0) and via D2 (no flip).
    MwpmDecoder via_one = decoder_of("error(0.1) D0 D1 L0\nerror(0.1) D0 D2\nerror(0.1) D1 D3\nerror(0.1) D2 D3");
    EXPECT_EQ(via_one.path_mask(0, 3), 1u);
    MwpmDecoder via_two = decoder_of("error(0.1) D0 D2 L0\nerror(0.1) D0 D1\nerror(0.1) D2 D3\nerror(0.1) D1 D3");
    EXPECT_EQ(via_two.path_mask(0, 3), 0u);
}

TEST(Mwpm, ProbabilityAboveOneHalfBetweenDetectorsCostsNothing) {
    // The p = 0.7 edge would have negative length; it is clamped so the search settles.
    MwpmDecoder decoder = decoder_of("error(0.7) D0 D1 L0\nerror(0.1) D1 D2\nerror(0.8) D2");
    EXPECT_EQ(decoder.distance(0, 1), 0);
    EXPECT_EQ(decoder.distance(1, 0), 0);
    EXPECT_EQ(decoder.path_mask(0, 1), 1u);
    // Boundary edges keep their negative length.
    EXPECT_EQ(decoder.distance(2, 3), MwpmDecoder::integer_weight(std::log(0.2 / 0.8)));
    EXPECT_EQ(decoder.decode(syndrome_of({0, 1}, 3)).flips, (std::vector<std::uint8_t>{1}));
}

TEST(Mwpm, TablesThatCannotFitAreRefused) {
    auto graph = MatchingGraph::from_dem(*DetectorErrorModel::parse("error(0.1) D0 D1"));
    ASSERT_TRUE(graph.has_value());
    MatchingGraph huge = *graph;
    huge.num_detectors = 4294967294u;  // D * (D + 1) * 8 bytes overflows 64 bits
    EXPECT_THROW(MwpmDecoder::from_graph(huge), std::bad_alloc);
    // Checked before the graph is built: 2^31 detectors need 2^65 bytes of tables.
    try {
        (void)MwpmDecoder::create(*DetectorErrorModel::parse("detector D2147483647"));
        FAIL() << "not refused";
    } catch (const AllocationError& e) {
        EXPECT_STREQ(e.what(), "cannot allocate more than 16777216.0 TiB for the MWPM tables of 2147483648 detectors");
    }
    // Addressable but beyond this machine's memory: refused before allocating.
    try {
        (void)MwpmDecoder::create(*DetectorErrorModel::parse("detector D1048575"));
        FAIL() << "not refused";
    } catch (const AllocationError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with(
            "cannot allocate 16.0 TiB for the MWPM tables of 1048576 detectors ("))
            << e.what();
    }
    EXPECT_EQ(MwpmDecoder::create(*DetectorErrorModel::parse("detector D4294967295")).error(),
              Error::graph_too_large(4294967297u));
    EXPECT_EQ(MwpmDecoder::create(*DetectorErrorModel::parse("error(0.1) D0 D1 D2")).error(), Error::non_graphlike(3));
}

// Random graph-like models: the matching's weight equals the least weight of
// any set of edges with the shot's syndrome, and its prediction is the
// observable mask of one such set.
TEST(Mwpm, MatchesBruteForceMinimumWeight) {
    StdRng rng = StdRng::seed_from_u64(99);
    int checked = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t detectors = 2 + rng.next_u32() % 7;
        DetectorErrorModel dem;
        const std::size_t mechanisms = 3 + rng.next_u32() % 11;
        for (std::size_t m = 0; m < mechanisms; ++m) {
            DemIndex u = rng.next_u32() % detectors;
            std::vector<DemIndex> dets{u};
            if (rng.next_u32() % 4 != 0) {
                DemIndex v = rng.next_u32() % detectors;
                if (v != u) dets.push_back(v);
            }
            std::vector<DemIndex> obs;
            if (rng.next_u32() % 2) obs.push_back(0);
            if (rng.next_u32() % 3 == 0) obs.push_back(1);
            double p = 0.02 + 0.4 * rng.next_unit_f64();
            dem.errors.push_back(DemError::make(dets, obs, p));
        }
        dem.num_detectors = detectors;
        dem.num_observables = 2;
        auto graph = MatchingGraph::from_dem(dem);
        ASSERT_TRUE(graph.has_value());
        MwpmDecoder decoder = MwpmDecoder::from_graph(*graph);
        const std::size_t m = graph->edges.size();
        ASSERT_LE(m, 16u);

        for (int shot = 0; shot < 8; ++shot) {
            // Fire a random set of graph edges; its syndrome is always solvable.
            std::vector<std::uint8_t> fired(detectors + 1, 0);
            for (const MatchingEdge& e : graph->edges) {
                if (rng.next_u32() % 3 == 0) {
                    fired[e.u] ^= 1;
                    fired[e.v] ^= 1;
                }
            }
            std::vector<std::uint32_t> defects;
            for (std::size_t d = 0; d < detectors; ++d) {
                if (fired[d]) defects.push_back(static_cast<std::uint32_t>(d));
            }
            // Brute force over every subset of edges.
            std::int64_t best = std::numeric_limits<std::int64_t>::max();
            std::vector<std::uint64_t> best_masks;
            for (std::uint32_t subset = 0; subset < (1u << m); ++subset) {
                std::vector<std::uint8_t> parity(detectors + 1, 0);
                std::int64_t weight = 0;
                std::uint64_t mask = 0;
                for (std::size_t e = 0; e < m; ++e) {
                    if (!(subset >> e & 1)) continue;
                    const MatchingEdge& edge = graph->edges[e];
                    parity[edge.u] ^= 1;
                    parity[edge.v] ^= 1;
                    weight += MwpmDecoder::integer_weight(edge.weight);
                    mask ^= observable_mask(edge.observables);
                }
                bool same = true;
                for (std::size_t d = 0; d < detectors; ++d) same &= parity[d] == fired[d];
                if (!same || weight > best) continue;
                if (weight < best) best_masks.clear();
                best = weight;
                best_masks.push_back(mask);
            }
            ASSERT_FALSE(best_masks.empty());

            auto result = decoder.match(syndrome_of(defects, detectors));
            std::int64_t weight = 0;
            for (std::size_t i = 0; i < result.defects.size(); ++i) {
                const std::int64_t j = result.partner[i];
                if (j < 0) {
                    ASSERT_LT(decoder.distance(result.defects[i], detectors), MwpmDecoder::NO_PATH);
                    weight += decoder.distance(result.defects[i], detectors);
                } else if (j > static_cast<std::int64_t>(i)) {
                    weight += decoder.distance(result.defects[i], result.defects[j]);
                }
            }
            ASSERT_EQ(weight, best) << "trial " << trial << " shot " << shot;
            EXPECT_NE(std::find(best_masks.begin(), best_masks.end(), result.mask), best_masks.end());
            EXPECT_EQ(mask_of(decoder.decode(syndrome_of(defects, detectors))), result.mask);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 400 * 8);
}

TEST(Mwpm, CorrectsEverySingleErrorOfARepetitionCode) {
    DetectorErrorModel dem = matching_testing::repetition_code(7, 4, 0.01, 0.01);
    auto decoder = MwpmDecoder::create(dem);
    ASSERT_TRUE(decoder.has_value());
    for (const DemError& error : dem.errors) {
        Syndrome s =
            syndrome_of(std::vector<std::uint32_t>(error.detectors.begin(), error.detectors.end()), dem.num_detectors);
        EXPECT_EQ(mask_of(decoder->decode(s)), observable_mask(error.observables));
    }
}

TEST(Mwpm, ConcurrentDecodesAgreeWithSequentialOnes) {
    DetectorErrorModel dem = *DetectorErrorModel::parse(matching_testing::read_qec_data("surface_d5_p003.dem"));
    auto decoder = MwpmDecoder::create(dem);
    ASSERT_TRUE(decoder.has_value());
    StdRng rng = StdRng::seed_from_u64(5);
    std::vector<matching_testing::Shot> shots;
    for (int i = 0; i < 2000; ++i) shots.push_back(sample_shot(dem, rng));
    std::vector<std::uint64_t> sequential;
    for (const auto& shot : shots) sequential.push_back(mask_of(decoder->decode(shot.syndrome)));
    std::vector<std::uint64_t> parallel(shots.size());
    parallel_for_chunks(shots.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) parallel[i] = mask_of(decoder->decode(shots[i].syndrome));
    });
    EXPECT_EQ(parallel, sequential);
}

// Circuit-level surface-code memory experiments written by stim: sampling
// errors from each model, the logical error rate falls as the distance grows.
TEST(Mwpm, LogicalErrorRateFallsWithDistance) {
    const char* files[] = {"surface_d3_p003.dem", "surface_d5_p003.dem", "surface_d7_p003.dem"};
    const std::size_t shots = 20000;
    std::vector<double> rates;
    for (const char* file : files) {
        auto dem = DetectorErrorModel::parse(matching_testing::read_qec_data(file));
        ASSERT_TRUE(dem.has_value()) << file;
        auto decoder = MwpmDecoder::create(*dem);
        ASSERT_TRUE(decoder.has_value()) << file;
        rates.push_back(matching_testing::logical_error_rate(*dem, *decoder, shots));
    }
    EXPECT_GT(rates[0], rates[1]);
    EXPECT_GT(rates[1], rates[2]);
    EXPECT_LT(rates[0], 0.05);
    std::printf("MWPM logical error rates d=3,5,7: %g %g %g\n", rates[0], rates[1], rates[2]);
}

}  // namespace
}  // namespace nivra::qec
