#include "nivra/qec/bp/bp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "nivra/core/rng.h"
#include "nivra/qec/test_models.h"

namespace nivra::qec {
namespace {

using testing::BitMatrix;

using testing::parse_dem;

BpDecoder make_bp(const DetectorErrorModel& dem, std::uint32_t max_iter, double alpha) {
    auto bp = BpDecoder::with_params(dem, max_iter, alpha);
    if (!bp) ADD_FAILURE() << bp.error().message();
    return std::move(*bp);
}

Syndrome syndrome_of(std::vector<std::uint32_t> fired) { return Syndrome{std::move(fired), 0}; }

// H[c][v] = 1 when mechanism v names detector c (< D) an odd number of times.
BitMatrix dense_parity_checks(const DetectorErrorModel& dem) {
    BitMatrix h = testing::zero_matrix(dem.num_detectors, dem.errors.size());
    for (std::size_t v = 0; v < dem.errors.size(); ++v) {
        for (DemIndex c : dem.errors[v].detectors) {
            if (c < dem.num_detectors) h[c][v] ^= 1;
        }
    }
    return h;
}

TEST(BpTannerGraph, MatchesDenseParityCheckMatrixInBothDirections) {
    StdRng rng = StdRng::seed_from_u64(7);
    for (int trial = 0; trial < 20; ++trial) {
        // Repeated detectors and detectors past D exercise the reduction.
        DetectorErrorModel dem;
        const std::size_t num_checks = 1 + rng.next_u64() % 12;
        for (int v = 0; v < 25; ++v) {
            std::vector<DemIndex> detectors;
            const std::size_t count = rng.next_u64() % 6;
            for (std::size_t i = 0; i < count; ++i)
                detectors.push_back(static_cast<DemIndex>(rng.next_u64() % (num_checks + 3)));
            dem.errors.push_back(DemError::make(std::move(detectors), {}, 0.1));
        }
        dem.num_detectors = num_checks;
        const BitMatrix h = dense_parity_checks(dem);
        const BpDecoder bp = make_bp(dem, 10, 1.0);

        std::size_t edges = 0;
        for (std::size_t v = 0; v < dem.errors.size(); ++v) {
            std::vector<GraphIndex> expected;
            for (std::size_t c = 0; c < num_checks; ++c) {
                if (h[c][v]) expected.push_back(static_cast<GraphIndex>(c));
            }
            const auto checks = bp.checks_of(v);
            EXPECT_EQ(std::vector<GraphIndex>(checks.begin(), checks.end()), expected);
            EXPECT_EQ(bp.var_offsets()[v], edges);
            for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(bp.edge_var()[edges + i], v);
            edges += expected.size();
        }
        ASSERT_EQ(bp.num_edges(), edges);
        ASSERT_EQ(bp.check_offsets().size(), num_checks + 1);
        for (std::size_t c = 0; c < num_checks; ++c) {
            std::vector<GraphIndex> vars;
            for (GraphIndex i = bp.check_offsets()[c]; i < bp.check_offsets()[c + 1]; ++i) {
                const GraphIndex e = bp.check_edges()[i];
                EXPECT_EQ(bp.edge_check()[e], c);
                if (i > bp.check_offsets()[c]) {
                    EXPECT_LT(bp.check_edges()[i - 1], e);
                }
                vars.push_back(bp.edge_var()[e]);
            }
            std::vector<GraphIndex> expected;
            for (std::size_t v = 0; v < dem.errors.size(); ++v) {
                if (h[c][v]) expected.push_back(static_cast<GraphIndex>(v));
            }
            EXPECT_EQ(vars, expected);
        }
    }
}

TEST(BpTannerGraph, RepeatedDetectorHasNoEdge) {
    const BpDecoder bp = make_bp(parse_dem("error(0.1) D0 D0 D1\n"), 10, 1.0);
    ASSERT_EQ(bp.num_edges(), 1u);
    EXPECT_EQ(bp.edge_check()[0], 1u);
    EXPECT_EQ(bp.check_offsets()[1] - bp.check_offsets()[0], 0u);
}

TEST(BpParams, PriorsClampProbabilityAndAlphaIsClamped) {
    const DetectorErrorModel dem = parse_dem("error(0) D0\nerror(0.1) D0\nerror(0.7) D0\nerror(1) D0\n");
    const BpDecoder bp = make_bp(dem, 10, 0.0);
    EXPECT_EQ(bp.priors()[0], std::log((1.0 - 1e-12) / 1e-12));
    EXPECT_NEAR(bp.priors()[0], 27.631, 1e-3);
    EXPECT_EQ(bp.priors()[1], std::log(0.9 / 0.1));
    EXPECT_EQ(bp.priors()[2], 0.0);
    EXPECT_EQ(bp.priors()[3], 0.0);
    EXPECT_EQ(bp.alpha(), 1e-6);
    EXPECT_EQ(make_bp(dem, 10, 2.0).alpha(), 1.0);
    EXPECT_EQ(make_bp(dem, 10, 0.5).alpha(), 0.5);
}

TEST(BpParams, RefusesNonFiniteAlphaAndTooManyObservables) {
    const DetectorErrorModel dem = parse_dem("error(0.1) D0\n");
    EXPECT_EQ(BpDecoder::with_params(dem, 10, std::nan("")).error().message(),
              "parameter `alpha` must be finite, got NaN");
    EXPECT_EQ(BpDecoder::with_params(dem, 10, -std::numeric_limits<double>::infinity()).error().message(),
              "parameter `alpha` must be finite, got -inf");
    DetectorErrorModel wide = dem;
    wide.num_observables = 65;
    EXPECT_EQ(BpDecoder::with_params(wide, 10, 1.0).error().message(),
              "nivra decoders support at most 64 logical observables, got 65");
    wide.num_observables = 64;
    EXPECT_TRUE(BpDecoder::with_params(wide, 10, 1.0).has_value());
}

TEST(BpParams, ErrorMessagesOfSizeLimits) {
    EXPECT_EQ(ParamError::graph_too_large("edges", 4294967296u).message(),
              "detector error model too large for belief propagation: 4294967296 edges exceed the 32-bit index "
              "range");
    EXPECT_EQ(ParamError::table_too_large(4294967295u, 8589934592u).message(),
              "relay-BP strength table of 4294967295 legs x 8589934592 mechanisms does not fit in memory");
}

TEST(BpObservables, RepeatedObservableCancels) {
    // L0 is flipped twice (not at all); L1 once.
    const BpDecoder bp = make_bp(parse_dem("error(0.1) D0 L0 L0 L1\n"), 10, 1.0);
    EXPECT_EQ(bp.obs_masks()[0], 0b10u);
    auto [correction, converged] = bp.decode_bp(syndrome_of({0}));
    EXPECT_TRUE(converged);
    EXPECT_EQ(correction.flips, (std::vector<std::uint8_t>{0, 1}));
}

TEST(BpDecode, DegreeOneCheckSendsInfiniteMessage) {
    const BpDecoder bp = make_bp(parse_dem("error(0.1) D0\n"), 10, 0.5);
    const BpSoft fired = bp.decode_bp_soft(syndrome_of({0}));
    EXPECT_TRUE(fired.converged);
    EXPECT_EQ(fired.hard, std::vector<std::uint8_t>{1});
    EXPECT_EQ(fired.posteriors[0], -std::numeric_limits<double>::infinity());
    const BpSoft quiet = bp.decode_bp_soft(syndrome_of({}));
    EXPECT_TRUE(quiet.converged);
    EXPECT_EQ(quiet.hard, std::vector<std::uint8_t>{0});
    EXPECT_EQ(quiet.posteriors[0], std::numeric_limits<double>::infinity());
}

TEST(BpDecode, ZeroIterationsReturnPriors) {
    const DetectorErrorModel dem = parse_dem("error(0.1) D0 D1\nerror(0.2) D1\n");
    const BpDecoder bp = make_bp(dem, 0, 1.0);
    for (const auto& fired : {std::vector<std::uint32_t>{}, std::vector<std::uint32_t>{0, 1}}) {
        const BpSoft soft = bp.decode_bp_soft(syndrome_of(fired));
        EXPECT_FALSE(soft.converged);
        EXPECT_EQ(soft.hard, (std::vector<std::uint8_t>{0, 0}));
        EXPECT_EQ(soft.posteriors, std::vector<double>(bp.priors().begin(), bp.priors().end()));
    }
}

TEST(BpDecode, FiredIndicesPastTheModelAreIgnored) {
    const BpDecoder bp = make_bp(parse_dem("error(0.1) D0 D1 L0\nerror(0.1) D1\n"), 20, 1.0);
    const BpSoft with_extra = bp.decode_bp_soft(syndrome_of({0, 2, 9, 4000000000u}));
    const BpSoft without = bp.decode_bp_soft(syndrome_of({0}));
    EXPECT_EQ(with_extra.hard, without.hard);
    EXPECT_EQ(with_extra.posteriors, without.posteriors);
    EXPECT_EQ(with_extra.converged, without.converged);
}

// Min-sum on a dense parity-check matrix, independent of the flat graph: checks
// visit mechanisms in ascending order, mechanisms visit checks in ascending order.
BpSoft dense_min_sum(const BitMatrix& h, const std::vector<double>& priors, const std::vector<std::uint8_t>& s,
                     std::uint32_t max_iter, double alpha) {
    const std::size_t m = h.size();
    const std::size_t n = priors.size();
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<std::vector<double>> q(m, std::vector<double>(n, 0.0));
    std::vector<std::vector<double>> r(m, std::vector<double>(n, 0.0));
    for (std::size_t c = 0; c < m; ++c) {
        for (std::size_t v = 0; v < n; ++v) q[c][v] = priors[v];
    }
    BpSoft soft{std::vector<std::uint8_t>(n, 0), std::vector<double>(n, 0.0), false};
    const auto posterior = [&](std::size_t v) {
        double sum = priors[v];
        for (std::size_t c = 0; c < m; ++c) {
            if (h[c][v]) sum += r[c][v];
        }
        return sum;
    };
    for (std::uint32_t t = 0; t < max_iter && !soft.converged; ++t) {
        for (std::size_t c = 0; c < m; ++c) {
            for (std::size_t v = 0; v < n; ++v) {
                if (!h[c][v]) continue;
                double smallest = inf;
                unsigned parity = s[c];
                for (std::size_t u = 0; u < n; ++u) {
                    if (u == v || !h[c][u]) continue;
                    smallest = std::min(smallest, std::fabs(q[c][u]));
                    parity ^= q[c][u] < 0.0 ? 1u : 0u;
                }
                r[c][v] = parity ? -alpha * smallest : alpha * smallest;
            }
        }
        for (std::size_t v = 0; v < n; ++v) {
            const double post = posterior(v);
            soft.hard[v] = post < 0.0;
            for (std::size_t c = 0; c < m; ++c) {
                if (h[c][v]) q[c][v] = post - r[c][v];
            }
        }
        soft.converged = true;
        for (std::size_t c = 0; c < m; ++c) {
            unsigned parity = 0;
            for (std::size_t v = 0; v < n; ++v) parity ^= h[c][v] & soft.hard[v];
            soft.converged = soft.converged && parity == s[c];
        }
    }
    for (std::size_t v = 0; v < n; ++v) {
        soft.posteriors[v] = posterior(v);
        soft.hard[v] = soft.posteriors[v] < 0.0;
    }
    return soft;
}

TEST(BpDecode, MatchesDenseMinSumReferenceBitForBit) {
    StdRng rng = StdRng::seed_from_u64(11);
    for (int trial = 0; trial < 30; ++trial) {
        DetectorErrorModel dem = testing::random_sparse_dem(rng, 8, 14, 3, 2, 0.1);
        for (auto& mechanism : dem.errors) mechanism.p = 0.01 + 0.3 * rng.next_unit_f64();
        const BitMatrix h = dense_parity_checks(dem);
        const double alpha = 0.5 + 0.5 * rng.next_unit_f64();
        const auto max_iter = static_cast<std::uint32_t>(1 + rng.next_u64() % 12);
        const BpDecoder bp = make_bp(dem, max_iter, alpha);
        const testing::Shot shot = testing::sample_shot(dem, rng);
        std::vector<std::uint8_t> s(dem.num_detectors, 0);
        for (std::uint32_t c : shot.syndrome.fired) s[c] = 1;

        const BpSoft expected =
            dense_min_sum(h, std::vector<double>(bp.priors().begin(), bp.priors().end()), s, max_iter, alpha);
        const BpSoft got = bp.decode_bp_soft(shot.syndrome);
        EXPECT_EQ(got.converged, expected.converged);
        EXPECT_EQ(got.hard, expected.hard);
        EXPECT_EQ(got.posteriors, expected.posteriors);
        // Converged means the hard decision reproduces the syndrome.
        if (got.converged) {
            EXPECT_EQ(testing::shot_of(dem, got.hard).syndrome.fired, shot.syndrome.fired);
        }
    }
}

// A single error whose column no other mechanism shares is its syndrome's
// unique minimum-weight explanation in these codes (distance 3 or more); BP
// finds it. (Twins, such as two boundary qubits of the surface code, are
// equally likely explanations that BP cannot tell apart.)
void expect_single_errors_decoded(const DetectorErrorModel& dem, double alpha) {
    SCOPED_TRACE(alpha);
    const BpDecoder bp = make_bp(dem, 50, alpha);
    std::size_t decoded = 0;
    for (std::size_t v = 0; v < dem.errors.size(); ++v) {
        bool twin = false;
        for (std::size_t u = 0; u < dem.errors.size(); ++u) {
            twin = twin || (u != v && dem.errors[u].detectors == dem.errors[v].detectors);
        }
        if (twin) continue;
        std::vector<std::uint8_t> error(dem.errors.size(), 0);
        error[v] = 1;
        const testing::Shot shot = testing::shot_of(dem, error);
        const BpSoft soft = bp.decode_bp_soft(shot.syndrome);
        EXPECT_TRUE(soft.converged) << "mechanism " << v;
        EXPECT_EQ(soft.hard, error) << "mechanism " << v;
        EXPECT_EQ(bp.decode(shot.syndrome), correction_from_mask(shot.observables, dem.num_observables));
        ++decoded;
    }
    EXPECT_GT(decoded, dem.errors.size() / 2);
}

TEST(BpDecode, SingleErrorsOfSmallCodesAreFound) {
    // The hypergraph product of two distance-5 repetition codes, a bivariate
    // bicycle code and a surface-code memory experiment.
    const BitMatrix repetition = {{1, 1, 0, 0, 0}, {0, 1, 1, 0, 0}, {0, 0, 1, 1, 0}, {0, 0, 0, 1, 1}};
    const std::pair<const char*, DetectorErrorModel> models[] = {
        {"hypergraph product",
         testing::code_capacity_dem(testing::hypergraph_product(repetition, 5, repetition, 5), 0.05)},
        {"bivariate bicycle", testing::code_capacity_dem(testing::bivariate_bicycle(6, 6), 0.05)},
        {"surface code", testing::surface_code_phenomenological(3, 3, 0.01)},
    };
    for (const auto& [name, dem] : models) {
        SCOPED_TRACE(name);
        for (double alpha : {1.0, 0.875}) expect_single_errors_decoded(dem, alpha);
    }
}

TEST(TestModels, CodesAreValidCssCodesWithTheirLogicalCounts) {
    const auto check = [](const testing::CssCode& code, std::size_t expected_logicals) {
        for (const auto& x_row : code.h_x) {
            for (const auto& z_row : code.h_z) {
                unsigned overlap = 0;
                for (std::size_t q = 0; q < code.num_qubits; ++q) overlap ^= x_row[q] & z_row[q];
                EXPECT_EQ(overlap, 0u);
            }
        }
        EXPECT_EQ(testing::z_logicals(code.h_x, code.h_z, code.num_qubits).size(), expected_logicals);
    };
    const BitMatrix hamming = {{1, 0, 1, 0, 1, 0, 1}, {0, 1, 1, 0, 0, 1, 1}, {0, 0, 0, 1, 1, 1, 1}};
    check(testing::hypergraph_product(hamming, 7, hamming, 7), 16);
    const BitMatrix repetition = {{1, 1, 0}, {0, 1, 1}};
    check(testing::hypergraph_product(repetition, 3, repetition, 3), 1);
    check(testing::bivariate_bicycle(6, 6), 12);
    check(testing::bivariate_bicycle(12, 6), 12);
    const DetectorErrorModel surface = testing::surface_code_phenomenological(5, 4, 0.01);
    EXPECT_EQ(surface.num_detectors, 5u * 12u);
    EXPECT_EQ(surface.errors.size(), 5u * 25u + 4u * 12u);
}

}  // namespace
}  // namespace nivra::qec
