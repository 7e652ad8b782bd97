#include "nivra/qec/bp/osd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <limits>
#include <mutex>
#include <string_view>

#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/qec/test_models.h"

namespace nivra::qec {
namespace {

using testing::BitMatrix;

using testing::parse_dem;

OsdDecoder make_osd(const DetectorErrorModel& dem, std::uint32_t max_iter, std::uint64_t order, double alpha = 0.875) {
    auto osd = OsdDecoder::with_params(dem, max_iter, order, alpha);
    if (!osd) ADD_FAILURE() << osd.error().message();
    return std::move(*osd);
}

Syndrome syndrome_of(std::vector<std::uint32_t> fired) { return Syndrome{std::move(fired), 0}; }

std::vector<std::uint32_t> fired_of(const DetectorErrorModel& dem, const std::vector<std::uint8_t>& estimate) {
    return testing::shot_of(dem, estimate).syndrome.fired;
}

// The cost OSD minimises, summed in mechanism order.
double cost_of(const std::vector<std::uint8_t>& estimate, const std::vector<double>& posteriors) {
    double cost = 0.0;
    for (std::size_t v = 0; v < estimate.size(); ++v) {
        if (estimate[v]) cost += std::clamp(posteriors[v], -1e9, 1e9);
    }
    return cost;
}

// The pivot columns of elimination in `order`: a column is a pivot exactly
// when it is independent of the pivot columns before it (kept as a basis in
// echelon form, each vector with its own leading row).
std::vector<std::uint8_t> reference_pivots(const DetectorErrorModel& dem, const std::vector<std::size_t>& order) {
    std::vector<std::uint8_t> pivot(dem.errors.size(), 0);
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> basis;
    for (std::size_t v : order) {
        std::vector<std::uint8_t> column(dem.num_detectors, 0);
        for (DemIndex c : dem.errors[v].detectors) {
            if (c < dem.num_detectors) column[c] ^= 1;
        }
        for (const auto& [lead, vector] : basis) {
            if (column[lead]) {
                for (std::size_t c = 0; c < column.size(); ++c) column[c] ^= vector[c];
            }
        }
        const auto lead = std::find(column.begin(), column.end(), 1);
        if (lead == column.end()) continue;
        pivot[v] = 1;
        basis.emplace_back(static_cast<std::size_t>(lead - column.begin()), std::move(column));
    }
    return pivot;
}

// Ascending posterior, ties in index order; -0.0 before +0.0 and NaN as +infinity.
std::vector<std::size_t> ascending_posterior_order(const std::vector<double>& posteriors) {
    const auto key = [](double x) {
        if (std::isnan(x)) return std::pair{std::numeric_limits<double>::infinity(), 1};
        return std::pair{x, std::signbit(x) ? 0 : 1};
    };
    std::vector<std::size_t> order(posteriors.size());
    for (std::size_t v = 0; v < order.size(); ++v) order[v] = v;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return key(posteriors[a]) < key(posteriors[b]); });
    return order;
}

struct RandomSoft {
    std::vector<std::uint8_t> hard;
    std::vector<double> posteriors;
};

// Distinct random posteriors of both signs, and hard decisions from them.
RandomSoft random_soft(StdRng& rng, std::size_t n) {
    RandomSoft soft;
    for (std::size_t v = 0; v < n; ++v) {
        soft.posteriors.push_back(8.0 * rng.next_unit_f64() - 2.0);
        soft.hard.push_back(soft.posteriors.back() < 0.0);
    }
    return soft;
}

TEST(OsdSolve, ReproducesEverySyndromeInTheColumnSpace) {
    StdRng rng = StdRng::seed_from_u64(3);
    for (int trial = 0; trial < 40; ++trial) {
        // Fewer and more mechanisms than detectors, so some models are rank deficient.
        const std::size_t m = 6 + rng.next_u64() % 20;
        const std::size_t n = 4 + rng.next_u64() % 40;
        const DetectorErrorModel dem = testing::random_sparse_dem(rng, m, n, 1 + rng.next_u64() % 4, 3, 0.05);
        const OsdDecoder order0 = make_osd(dem, 10, 0);
        const OsdDecoder order8 = make_osd(dem, 10, 8);
        for (int shot_index = 0; shot_index < 10; ++shot_index) {
            std::vector<std::uint8_t> error(n, 0);
            for (auto& bit : error) bit = rng.next_unit_f64() < 0.2;
            const testing::Shot shot = testing::shot_of(dem, error);
            const BpSoft soft = order0.bp().decode_bp_soft(shot.syndrome);
            EXPECT_EQ(fired_of(dem, order0.osd_solve(shot.syndrome, soft.hard, soft.posteriors)), shot.syndrome.fired);
            EXPECT_EQ(fired_of(dem, order8.osd_solve(shot.syndrome, soft.hard, soft.posteriors)), shot.syndrome.fired);
            const RandomSoft random = random_soft(rng, n);
            EXPECT_EQ(fired_of(dem, order8.osd_solve(shot.syndrome, random.hard, random.posteriors)),
                      shot.syndrome.fired);
            auto [estimate, used_osd] = order8.decode_osd_ehat(shot.syndrome);
            EXPECT_EQ(fired_of(dem, estimate), shot.syndrome.fired);
            EXPECT_EQ(order8.decode(shot.syndrome), correction_from_mask(order8.bp().mask_of(estimate), 3));
        }
    }
}

TEST(OsdSolve, OrderZeroKeepsBpDecisionOnFreeColumns) {
    StdRng rng = StdRng::seed_from_u64(5);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t m = 4 + rng.next_u64() % 10;
        const std::size_t n = 4 + rng.next_u64() % 20;
        const DetectorErrorModel dem = testing::random_sparse_dem(rng, m, n, 2, 1, 0.05);
        const OsdDecoder osd = make_osd(dem, 10, 0);
        std::vector<std::uint8_t> error(n, 0);
        for (auto& bit : error) bit = rng.next_unit_f64() < 0.3;
        const testing::Shot shot = testing::shot_of(dem, error);
        const RandomSoft soft = random_soft(rng, n);
        const std::vector<std::uint8_t> e0 = osd.osd_solve(shot.syndrome, soft.hard, soft.posteriors);
        // Free values and the syndrome fix the pivot values uniquely.
        const std::vector<std::uint8_t> pivot = reference_pivots(dem, ascending_posterior_order(soft.posteriors));
        for (std::size_t v = 0; v < n; ++v) {
            if (!pivot[v]) {
                EXPECT_EQ(e0[v], soft.hard[v]) << "free column " << v;
            }
        }
        EXPECT_EQ(fired_of(dem, e0), shot.syndrome.fired);
    }
}

TEST(OsdSolve, LargeModelsOrderTiesSignedZerosAndNanLikeSmallOnes) {
    // Enough columns for the radix sort, with posteriors from a small set so
    // that ties, signed zeros and NaN decide the order.
    StdRng rng = StdRng::seed_from_u64(15);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Two value sets whose keys differ in an even and an odd number of bytes,
    // so every radix pass (or every other one) decides some ties.
    const std::vector<double> value_sets[] = {
        {-1.5, -0.0, 0.0, 0.25, nan, inf, -inf, std::bit_cast<double>(std::uint64_t{0x3FB9999999999999})},
        {0.0, 0.0625, 0.25, 1.0, 3.0, nan, inf, std::bit_cast<double>(std::uint64_t{0x3FB0000001000000})},
    };
    for (int trial = 0; trial < 6; ++trial) {
        const std::vector<double>& values = value_sets[trial % 2];
        const DetectorErrorModel dem = testing::random_sparse_dem(rng, 60, 700, 2, 1, 0.05);
        const OsdDecoder osd = make_osd(dem, 10, 0);
        std::vector<double> posteriors;
        std::vector<std::uint8_t> hard;
        for (std::size_t v = 0; v < 700; ++v) {
            posteriors.push_back(values[rng.next_u64() % values.size()]);
            hard.push_back(rng.next_u32() & 1u);
        }
        std::vector<std::uint8_t> error(700, 0);
        for (auto& bit : error) bit = rng.next_unit_f64() < 0.05;
        const testing::Shot shot = testing::shot_of(dem, error);
        const std::vector<std::uint8_t> e0 = osd.osd_solve(shot.syndrome, hard, posteriors);
        const std::vector<std::uint8_t> pivot = reference_pivots(dem, ascending_posterior_order(posteriors));
        std::size_t mismatches = 0;
        for (std::size_t v = 0; v < 700; ++v) mismatches += !pivot[v] && e0[v] != hard[v];
        EXPECT_EQ(mismatches, 0u);
        EXPECT_EQ(fired_of(dem, e0), shot.syndrome.fired);
    }
}

TEST(OsdSolve, ExhaustiveSearchFindsTheMinimumCostSolution) {
    StdRng rng = StdRng::seed_from_u64(9);
    for (int trial = 0; trial < 30; ++trial) {
        const std::size_t m = 3 + rng.next_u64() % 6;
        const std::size_t n = 6 + rng.next_u64() % 9;
        const DetectorErrorModel dem = testing::random_sparse_dem(rng, m, n, 1 + rng.next_u64() % 3, 1, 0.05);
        std::vector<std::uint8_t> error(n, 0);
        for (auto& bit : error) bit = rng.next_unit_f64() < 0.3;
        const testing::Shot shot = testing::shot_of(dem, error);
        const RandomSoft soft = random_soft(rng, n);

        double brute_force = std::numeric_limits<double>::infinity();
        for (std::uint32_t bits = 0; bits < (1u << n); ++bits) {
            std::vector<std::uint8_t> candidate(n, 0);
            for (std::size_t v = 0; v < n; ++v) candidate[v] = (bits >> v) & 1u;
            if (fired_of(dem, candidate) == shot.syndrome.fired) {
                brute_force = std::min(brute_force, cost_of(candidate, soft.posteriors));
            }
        }
        const auto e0 = make_osd(dem, 10, 0).osd_solve(shot.syndrome, soft.hard, soft.posteriors);
        const auto partial = make_osd(dem, 10, 2).osd_solve(shot.syndrome, soft.hard, soft.posteriors);
        // n <= 14 free columns, all searched.
        const auto full = make_osd(dem, 10, 20).osd_solve(shot.syndrome, soft.hard, soft.posteriors);
        EXPECT_EQ(fired_of(dem, full), shot.syndrome.fired);
        EXPECT_LE(cost_of(partial, soft.posteriors), cost_of(e0, soft.posteriors));
        EXPECT_LE(cost_of(full, soft.posteriors), cost_of(partial, soft.posteriors));
        EXPECT_EQ(cost_of(full, soft.posteriors), brute_force);
    }
}

TEST(OsdSolve, SearchCoversOnlyTheFirstTwentyFreeColumns) {
    // 30 mechanisms on 5 detectors: 25 free columns.
    StdRng rng = StdRng::seed_from_u64(21);
    DetectorErrorModel dem = testing::random_sparse_dem(rng, 5, 30, 2, 1, 0.05);
    for (std::size_t c = 0; c < 5; ++c) dem.errors[c] = DemError::make({static_cast<DemIndex>(c)}, {}, 0.05);
    const testing::Shot shot = testing::shot_of(dem, std::vector<std::uint8_t>(30, 1));
    RandomSoft soft = random_soft(rng, 30);
    // The last free columns in posterior order are believed fired but costly to keep.
    const std::vector<std::size_t> order = ascending_posterior_order(soft.posteriors);
    const std::vector<std::uint8_t> pivot = reference_pivots(dem, order);
    std::vector<std::size_t> free_columns;
    for (std::size_t v : order) {
        if (!pivot[v]) free_columns.push_back(v);
    }
    ASSERT_EQ(free_columns.size(), 25u);
    for (std::size_t t = 20; t < 25; ++t) soft.hard[free_columns[t]] = 1;

    const auto capped = make_osd(dem, 10, 30).osd_solve(shot.syndrome, soft.hard, soft.posteriors);
    for (std::size_t t = 20; t < 25; ++t) EXPECT_EQ(capped[free_columns[t]], 1) << "unsearched free column";
    EXPECT_EQ(make_osd(dem, 10, 20).osd_solve(shot.syndrome, soft.hard, soft.posteriors), capped);
    EXPECT_EQ(fired_of(dem, capped), shot.syndrome.fired);
}

TEST(OsdSolve, OrderUsesTotalOrderWithNanLast) {
    // Two identical columns: the first in posterior order becomes the pivot and fires.
    const OsdDecoder osd = make_osd(parse_dem("error(0.1) D0\nerror(0.1) D0\n"), 10, 0);
    const std::vector<std::uint8_t> none = {0, 0};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const auto solve = [&](double a, double b) { return osd.osd_solve(syndrome_of({0}), none, std::vector{a, b}); };
    EXPECT_EQ(solve(0.0, -0.0), (std::vector<std::uint8_t>{0, 1}));
    EXPECT_EQ(solve(-0.0, 0.0), (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(solve(nan, 5.0), (std::vector<std::uint8_t>{0, 1}));
    EXPECT_EQ(solve(-nan, 5.0), (std::vector<std::uint8_t>{0, 1}));
    EXPECT_EQ(solve(inf, nan), (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(solve(3.0, 3.0), (std::vector<std::uint8_t>{1, 0}));
}

TEST(OsdSolve, CostTiesKeepTheEarlierEstimate) {
    // Three identical columns: the syndrome needs an odd number of them.
    const OsdDecoder osd = make_osd(parse_dem("error(0.1) D0\nerror(0.1) D0\nerror(0.1) D0\n"), 10, 2);
    const std::vector<double> equal = {1.0, 1.0, 1.0};
    // Order 0 fires only the pivot, column 0; every single-column candidate costs as much.
    EXPECT_EQ(osd.osd_solve(syndrome_of({0}), std::vector<std::uint8_t>{0, 0, 0}, equal),
              (std::vector<std::uint8_t>{1, 0, 0}));
    // Order 0 fires all three; candidates 1, 2 and 3 each fire one column at
    // equal cost, and the first of them (free column 1 cleared) wins.
    EXPECT_EQ(osd.osd_solve(syndrome_of({0}), std::vector<std::uint8_t>{0, 1, 1}, equal),
              (std::vector<std::uint8_t>{0, 0, 1}));
}

TEST(OsdSolve, FiredIndicesPastTheModelAreIgnored) {
    const DetectorErrorModel dem = parse_dem("error(0.1) D0 D1\nerror(0.1) D1 D2\n");
    const OsdDecoder osd = make_osd(dem, 10, 4);
    const std::vector<std::uint8_t> hard = {0, 0};
    const std::vector<double> posteriors = {1.0, 2.0};
    EXPECT_EQ(osd.osd_solve(syndrome_of({0, 2, 3, 70}), hard, posteriors),
              osd.osd_solve(syndrome_of({0, 2}), hard, posteriors));
}

TEST(OsdSolve, ColumnsUseTheParityReducedDetectors) {
    // Mechanism 0 names D0 twice: it touches only D1, so it cannot explain D0.
    const DetectorErrorModel dem = parse_dem("error(0.1) D0 D0 D1\nerror(0.2) D0 D1\n");
    const OsdDecoder osd = make_osd(dem, 10, 0);
    const auto estimate = osd.osd_solve(syndrome_of({0, 1}), std::vector<std::uint8_t>{0, 0}, std::vector{-5.0, 5.0});
    EXPECT_EQ(estimate, (std::vector<std::uint8_t>{0, 1}));
}

TEST(OsdDecode, ConvergedBpSkipsOsd) {
    const OsdDecoder osd = make_osd(parse_dem("error(0.1) D0 D1 L0\nerror(0.1) D1 D2\n"), 10, 4);
    auto [correction, used_osd] = osd.decode_osd(syndrome_of({0, 1}));
    EXPECT_FALSE(used_osd);
    EXPECT_EQ(correction.flips, std::vector<std::uint8_t>{1});
}

TEST(OsdDecode, SymmetricModelNeedsOsd) {
    // BP treats the two identical mechanisms alike and never reproduces the syndrome.
    const OsdDecoder osd = make_osd(parse_dem("error(0.1) D0 D1 L0\nerror(0.1) D0 D1\n"), 20, 0);
    auto [estimate, used_osd] = osd.decode_osd_ehat(syndrome_of({0, 1}));
    EXPECT_TRUE(used_osd);
    EXPECT_EQ(estimate, (std::vector<std::uint8_t>{1, 0}));
    EXPECT_EQ(osd.decode(syndrome_of({0, 1})).flips, std::vector<std::uint8_t>{1});
}

TEST(OsdDecode, CorrectionFromSoftTrustsConvergedFlag) {
    const OsdDecoder osd = make_osd(parse_dem("error(0.1) D0 L0\nerror(0.1) D1\n"), 10, 0);
    const Syndrome s = syndrome_of({0});
    BpSoft soft{{0, 1}, {3.0, -3.0}, true};
    EXPECT_EQ(osd.correction_from_soft(s, soft).flips, std::vector<std::uint8_t>{0});
    soft.converged = false;
    EXPECT_EQ(osd.correction_from_soft(s, soft).flips, std::vector<std::uint8_t>{1});
}

TEST(OsdDecode, ScratchReuseAcrossModelsAndThreadsGivesTheSameResults) {
    StdRng rng = StdRng::seed_from_u64(33);
    const DetectorErrorModel small = testing::random_sparse_dem(rng, 10, 30, 3, 4, 0.1);
    const DetectorErrorModel large = testing::random_sparse_dem(rng, 90, 200, 3, 4, 0.1);
    const OsdDecoder small_osd = make_osd(small, 5, 6);
    const OsdDecoder large_osd = make_osd(large, 5, 6);
    std::vector<Syndrome> shots;
    for (int i = 0; i < 200; ++i) shots.push_back(testing::sample_shot(i % 2 ? small : large, rng).syndrome);
    const auto decode = [&](std::size_t i) { return (i % 2 ? small_osd : large_osd).decode_osd_ehat(shots[i]).first; };

    std::vector<std::vector<std::uint8_t>> serial;
    for (std::size_t i = 0; i < shots.size(); ++i) serial.push_back(decode(i));
    std::vector<std::vector<std::uint8_t>> parallel(shots.size());
    parallel_for_chunks(shots.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) parallel[i] = decode(i);
    });
    EXPECT_EQ(parallel, serial);
    for (std::size_t i = 0; i < shots.size(); ++i) {
        EXPECT_EQ(fired_of(i % 2 ? small : large, serial[i]), shots[i].fired);
    }
}

TEST(OsdParams, RefusesNonFiniteAlpha) {
    EXPECT_EQ(OsdDecoder::with_params(parse_dem("error(0.1) D0\n"), 10, 0, std::numeric_limits<double>::infinity())
                  .error()
                  .message(),
              "parameter `alpha` must be finite, got inf");
}

}  // namespace
}  // namespace nivra::qec
