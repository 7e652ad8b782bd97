#include "nivra/qec/bp/relay_bp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/qec/matching/mwpm.h"
#include "nivra/qec/test_dems.h"
#include "nivra/qec/test_models.h"

namespace nivra::qec {
namespace {

constexpr std::uint64_t DEFAULT_SEED = 1578781596;

using testing::parse_dem;

RelayBpDecoder make_relay(const DetectorErrorModel& dem, std::uint64_t legs = 4, std::uint64_t seed = DEFAULT_SEED,
                          double alpha = 0.875, double gamma_min = -0.3, double gamma_max = 0.9) {
    auto relay = RelayBpDecoder::with_params(dem, legs, seed, alpha, gamma_min, gamma_max);
    if (!relay) ADD_FAILURE() << relay.error().message();
    return std::move(*relay);
}

OsdDecoder make_osd(const DetectorErrorModel& dem, std::uint64_t order, double alpha = 0.875) {
    auto osd = OsdDecoder::with_params(dem, 100, order, alpha);
    if (!osd) ADD_FAILURE() << osd.error().message();
    return std::move(*osd);
}

std::string relay_error(const DetectorErrorModel& dem, std::uint64_t legs, double alpha, double gamma_min,
                        double gamma_max) {
    auto relay = RelayBpDecoder::with_params(dem, legs, 0, alpha, gamma_min, gamma_max);
    return relay ? "built" : relay.error().message();
}

std::size_t weight(const std::vector<std::uint8_t>& bits) {
    return static_cast<std::size_t>(std::count(bits.begin(), bits.end(), 1));
}

// Equal decisions and bit-identical posteriors (NaN included).
bool same_soft(const BpSoft& a, const BpSoft& b) {
    if (a.converged != b.converged || a.hard != b.hard || a.posteriors.size() != b.posteriors.size()) return false;
    for (std::size_t v = 0; v < a.posteriors.size(); ++v) {
        if (std::bit_cast<std::uint64_t>(a.posteriors[v]) != std::bit_cast<std::uint64_t>(b.posteriors[v]))
            return false;
    }
    return true;
}

TEST(RelayStrengths, FollowTheSeededStream) {
    EXPECT_EQ(RelayBpDecoder::strength_unit(0, 0, 0), 0.0);
    EXPECT_EQ(RelayBpDecoder::strength_unit(0, 0, 1), 0.5079605879681605);
    EXPECT_EQ(RelayBpDecoder::strength_unit(DEFAULT_SEED, 0, 0), 0.893416600944098);

    StdRng rng = StdRng::seed_from_u64(1);
    const DetectorErrorModel dem = testing::random_sparse_dem(rng, 6, 9, 2, 1, 0.1);
    const RelayBpDecoder zero_seed = make_relay(dem, 3, 0, 0.875, -0.3, 0.9);
    EXPECT_EQ(zero_seed.gamma(0, 0), -0.3);
    EXPECT_EQ(zero_seed.gamma(0, 1), -0.3 + (0.9 - -0.3) * 0.5079605879681605);
    for (std::uint64_t leg = 0; leg < 3; ++leg) {
        for (std::uint64_t v = 0; v < 9; ++v) {
            // Independent evaluation of the splitmix64-style stream.
            std::uint64_t z = leg * 0x9E3779B97F4A7C15ull + v * 0xD1B54A32D192ED03ull;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            z ^= z >> 31;
            const double u = std::ldexp(static_cast<double>(z >> 11), -53);
            EXPECT_EQ(zero_seed.gamma(leg, v), -0.3 + 1.2 * u);
        }
    }
    EXPECT_THROW(zero_seed.gamma(3, 0), InvariantError);
}

TEST(RelayParams, LegsSetTheIterationBudget) {
    const DetectorErrorModel dem = parse_dem("error(0.1) D0 D1\n");
    const auto iters = [&](std::uint64_t legs) { return make_relay(dem, legs).iters_per_leg(); };
    EXPECT_EQ(make_relay(dem, 0).legs(), 1u);
    EXPECT_EQ(iters(0), 100u);
    EXPECT_EQ(iters(1), 100u);
    EXPECT_EQ(iters(3), 33u);
    EXPECT_EQ(iters(4), 25u);
    EXPECT_EQ(iters(12), 8u);
    EXPECT_EQ(iters(13), 8u);
    EXPECT_EQ(iters(1000), 8u);
}

TEST(RelayParams, RefusesOutOfRangeParametersWithExactMessages) {
    const DetectorErrorModel dem = parse_dem("error(0.1) D0 D1\n");
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(relay_error(dem, 4, inf, nan, 0.0), "parameter `alpha` must be finite, got inf");
    EXPECT_EQ(relay_error(dem, 4, 1.0, -inf, nan), "parameter `gamma_min` must be finite, got -inf");
    EXPECT_EQ(relay_error(dem, 4, 1.0, 0.0, nan), "parameter `gamma_max` must be finite, got NaN");
    EXPECT_EQ(relay_error(dem, std::uint64_t{1} << 32, 1.0, 0.0, 1.0),
              "parameter `legs` must be below 2^32, got 4294967296");
    EXPECT_EQ(relay_error(dem, ~std::uint64_t{0}, 1.0, 0.0, 1.0),
              "parameter `legs` must be below 2^32, got 18446744073709551615");
    EXPECT_EQ(relay_error(dem, 4, 1.0, -1e308, 1e308), "gamma_max - gamma_min must be finite, got inf");
    DetectorErrorModel wide = dem;
    wide.num_observables = 65;
    EXPECT_EQ(relay_error(wide, 4, 1.0, 0.0, 1.0), "nivra decoders support at most 64 logical observables, got 65");
}

TEST(RelayParams, AlphaIsNotClamped) {
    const DetectorErrorModel dem = parse_dem("error(0.1) D0 D1\nerror(0.2) D1 D2\nerror(0.1) D0 D2\n");
    const RelayBpDecoder relay = make_relay(dem, 2, DEFAULT_SEED, 2.0);
    EXPECT_EQ(relay.alpha(), 2.0);
    EXPECT_EQ(relay.graph().alpha(), 1.0);
    const Syndrome s{{0, 1}, 3};
    EXPECT_NE(relay.decode_soft(s).posteriors, make_relay(dem, 2, DEFAULT_SEED, 1.0).decode_soft(s).posteriors);
}

struct RelayTrace {
    BpSoft soft;
    // Satisfying iterates after the first candidate with equally many flips
    // but a different decision: the cases the tie rule decides.
    int equal_weight_alternatives = 0;
};

// Relay-BP on a dense parity-check matrix, independent of the flat graph:
// checks visit mechanisms in ascending order, mechanisms visit checks in
// ascending order.
RelayTrace dense_relay(const testing::BitMatrix& h, const RelayBpDecoder& relay, const std::vector<std::uint8_t>& s) {
    const std::size_t m = h.size();
    const std::size_t n = relay.num_vars();
    const auto priors = relay.graph().priors();
    std::vector<std::vector<double>> q(m, std::vector<double>(n, 0.0));
    std::vector<std::vector<double>> r(m, std::vector<double>(n, 0.0));
    for (std::size_t c = 0; c < m; ++c) {
        for (std::size_t v = 0; v < n; ++v) q[c][v] = priors[v];
    }
    const auto posterior = [&](std::size_t v) {
        double sum = priors[v];
        for (std::size_t c = 0; c < m; ++c) {
            if (h[c][v]) sum += r[c][v];
        }
        return sum;
    };
    RelayTrace trace;
    std::vector<std::uint8_t> hard(n, 0);
    for (std::size_t leg = 0; leg < relay.legs(); ++leg) {
        for (std::uint32_t t = 0; t < relay.iters_per_leg(); ++t) {
            for (std::size_t c = 0; c < m; ++c) {
                for (std::size_t v = 0; v < n; ++v) {
                    if (!h[c][v]) continue;
                    double smallest = std::numeric_limits<double>::infinity();
                    unsigned parity = s[c];
                    for (std::size_t u = 0; u < n; ++u) {
                        if (u == v || !h[c][u]) continue;
                        smallest = std::min(smallest, std::fabs(q[c][u]));
                        parity ^= q[c][u] < 0.0 ? 1u : 0u;
                    }
                    r[c][v] = parity ? -relay.alpha() * smallest : relay.alpha() * smallest;
                }
            }
            for (std::size_t v = 0; v < n; ++v) {
                const double post = posterior(v);
                hard[v] = post < 0.0;
                const double g = relay.gamma(leg, v);
                for (std::size_t c = 0; c < m; ++c) {
                    if (h[c][v]) q[c][v] = (1.0 - g) * (post - r[c][v]) + g * q[c][v];
                }
            }
            bool satisfied = true;
            for (std::size_t c = 0; c < m; ++c) {
                unsigned parity = 0;
                for (std::size_t v = 0; v < n; ++v) parity ^= h[c][v] & hard[v];
                satisfied = satisfied && parity == s[c];
            }
            if (!satisfied) continue;
            if (!trace.soft.converged || weight(hard) < weight(trace.soft.hard)) {
                trace.soft.converged = true;
                trace.soft.hard = hard;
            } else if (weight(hard) == weight(trace.soft.hard) && hard != trace.soft.hard) {
                ++trace.equal_weight_alternatives;
            }
        }
    }
    if (!trace.soft.converged) trace.soft.hard = hard;
    for (std::size_t v = 0; v < n; ++v) trace.soft.posteriors.push_back(posterior(v));
    return trace;
}

TEST(RelayDecode, MatchesDenseReferenceIncludingTieBreaks) {
    StdRng rng = StdRng::seed_from_u64(12);
    int alternatives = 0;
    int converged = 0;
    for (int trial = 0; trial < 300; ++trial) {
        DetectorErrorModel dem = testing::random_sparse_dem(rng, 3 + rng.next_u64() % 6, 4 + rng.next_u64() % 8,
                                                            1 + rng.next_u64() % 3, 2, 0.1);
        // Twins: equally likely explanations the memory strengths tell apart over time.
        for (std::size_t i = 0; i < 2; ++i) dem.errors.push_back(dem.errors[rng.next_u64() % dem.errors.size()]);
        for (auto& mechanism : dem.errors) mechanism.p = 0.02 + 0.2 * rng.next_unit_f64();
        testing::BitMatrix h = testing::zero_matrix(dem.num_detectors, dem.errors.size());
        for (std::size_t v = 0; v < dem.errors.size(); ++v) {
            for (DemIndex c : dem.errors[v].detectors) h[c][v] ^= 1;
        }
        const RelayBpDecoder relay =
            make_relay(dem, 1 + rng.next_u64() % 6, rng.next_u64(), 0.5 + rng.next_unit_f64(), -0.3, 0.9);
        std::vector<std::uint8_t> error(dem.errors.size(), 0);
        for (auto& bit : error) bit = rng.next_unit_f64() < 0.3;
        const testing::Shot shot = testing::shot_of(dem, error);
        std::vector<std::uint8_t> s(dem.num_detectors, 0);
        for (std::uint32_t c : shot.syndrome.fired) s[c] = 1;

        const RelayTrace expected = dense_relay(h, relay, s);
        const BpSoft got = relay.decode_soft(shot.syndrome);
        EXPECT_TRUE(same_soft(got, expected.soft)) << "trial " << trial;
        alternatives += expected.equal_weight_alternatives;
        converged += got.converged;
    }
    EXPECT_GT(alternatives, 0);
    EXPECT_GT(converged, 100);
}

// The stim-written circuit-level model: detector lists joined from `^`
// components, hyperedges, many distinct priors, checks of degree up to a dozen.
DetectorErrorModel circuit_model(const char* file) {
    auto dem = DetectorErrorModel::parse(matching_testing::read_qec_data(file));
    EXPECT_TRUE(dem.has_value()) << file;
    return dem ? *dem : DetectorErrorModel{};
}

testing::BitMatrix parity_check_matrix(const DetectorErrorModel& dem) {
    testing::BitMatrix h = testing::zero_matrix(dem.num_detectors, dem.errors.size());
    for (std::size_t v = 0; v < dem.errors.size(); ++v) {
        for (DemIndex c : dem.errors[v].detectors) h[c][v] ^= 1;
    }
    return h;
}

TEST(RelayDecode, MatchesDenseReferenceOnCircuitLevelSurfaceCode) {
    const DetectorErrorModel dem = circuit_model("surface_d3_p003.dem");
    ASSERT_EQ(dem.errors.size(), 286u);
    const testing::BitMatrix h = parity_check_matrix(dem);
    const RelayBpDecoder relay = make_relay(dem);
    StdRng rng = StdRng::seed_from_u64(31);
    int converged = 0;
    const int shots = 24;
    for (int i = 0; i < shots; ++i) {
        // Ten times the model's rates, so some shots leave the relay without a candidate.
        std::vector<std::uint8_t> error(dem.errors.size(), 0);
        for (std::size_t v = 0; v < error.size(); ++v) error[v] = rng.next_unit_f64() < 10.0 * dem.errors[v].p;
        const testing::Shot shot = testing::shot_of(dem, error);
        std::vector<std::uint8_t> s(dem.num_detectors, 0);
        for (std::uint32_t c : shot.syndrome.fired) s[c] = 1;
        const BpSoft got = relay.decode_soft(shot.syndrome);
        EXPECT_TRUE(same_soft(got, dense_relay(h, relay, s).soft)) << "shot " << i;
        converged += got.converged;
    }
    EXPECT_GT(converged, 0);
    EXPECT_LT(converged, shots);
}

TEST(RelayDecode, ZeroLegsBehaveAsOneLeg) {
    StdRng rng = StdRng::seed_from_u64(2);
    const DetectorErrorModel dem = testing::code_capacity_dem(testing::bivariate_bicycle(6, 6), 0.05);
    const RelayBpDecoder zero = make_relay(dem, 0);
    const RelayBpDecoder one = make_relay(dem, 1);
    for (int i = 0; i < 20; ++i) {
        const testing::Shot shot = testing::sample_shot(dem, rng);
        EXPECT_TRUE(same_soft(zero.decode_soft(shot.syndrome), one.decode_soft(shot.syndrome)));
    }
}

TEST(RelayDecode, DeterministicAcrossCallsDecodersAndThreads) {
    StdRng rng = StdRng::seed_from_u64(4);
    const DetectorErrorModel dem = testing::code_capacity_dem(testing::bivariate_bicycle(6, 6), 0.06);
    const RelayBpDecoder first = make_relay(dem);
    const RelayBpDecoder second = make_relay(dem);
    std::vector<Syndrome> shots;
    for (int i = 0; i < 300; ++i) shots.push_back(testing::sample_shot(dem, rng).syndrome);

    std::vector<BpSoft> serial;
    for (const Syndrome& s : shots) serial.push_back(first.decode_soft(s));
    std::vector<BpSoft> parallel(shots.size());
    parallel_for_chunks(shots.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) parallel[i] = second.decode_soft(shots[i]);
    });
    for (std::size_t i = 0; i < shots.size(); ++i) {
        EXPECT_TRUE(same_soft(serial[i], first.decode_soft(shots[i])));
        EXPECT_TRUE(same_soft(serial[i], parallel[i]));
        if (serial[i].converged) {
            EXPECT_EQ(testing::shot_of(dem, serial[i].hard).syndrome.fired, shots[i].fired);
        }
    }
    // A different seed draws different strengths.
    EXPECT_NE(make_relay(dem, 4, 99).gamma(1, 5), first.gamma(1, 5));
}

TEST(RelayDecode, WithoutMemoryTheBestCandidateIsNoHeavierThanBp) {
    // With every strength 0 the relay's iterates are plain BP's, continued past
    // BP's stop; its candidate is the lightest of them. All checks have degree 6,
    // so no message is infinite and the two runs agree exactly.
    StdRng rng = StdRng::seed_from_u64(6);
    const DetectorErrorModel dem = testing::code_capacity_dem(testing::bivariate_bicycle(6, 6), 0.05);
    const RelayBpDecoder relay = make_relay(dem, 1, DEFAULT_SEED, 0.875, 0.0, 0.0);
    auto bp = BpDecoder::with_params(dem, 100, 0.875);
    ASSERT_TRUE(bp.has_value());
    int converged = 0;
    for (int i = 0; i < 200; ++i) {
        const testing::Shot shot = testing::sample_shot(dem, rng);
        const BpSoft plain = bp->decode_bp_soft(shot.syndrome);
        const BpSoft relayed = relay.decode_soft(shot.syndrome);
        if (!plain.converged) continue;
        ++converged;
        ASSERT_TRUE(relayed.converged);
        EXPECT_LE(weight(relayed.hard), weight(plain.hard));
        EXPECT_EQ(testing::shot_of(dem, relayed.hard).syndrome.fired, shot.syndrome.fired);
    }
    EXPECT_GT(converged, 100);
}

TEST(RelayDecode, UnsatisfiableSyndromeKeepsLastIterateAndRelayOsdRunsOsd) {
    // Detector 2 is named by no mechanism, so no iterate can reproduce it.
    const DetectorErrorModel dem = parse_dem("error(0.1) D0 D1 L0\nerror(0.1) D1\ndetector D2\n");
    const RelayBpDecoder relay = make_relay(dem);
    const Syndrome s{{0, 1, 2}, 3};
    const BpSoft soft = relay.decode_soft(s);
    EXPECT_FALSE(soft.converged);
    std::vector<std::uint8_t> last(2);
    for (std::size_t v = 0; v < 2; ++v) last[v] = soft.posteriors[v] < 0.0;
    EXPECT_EQ(soft.hard, last);

    const OsdDecoder osd = make_osd(dem, 0);
    const RelayBpOsdDecoder combined(make_relay(dem), make_osd(dem, 0));
    const auto estimate = osd.osd_solve(s, soft.hard, soft.posteriors);
    EXPECT_EQ(combined.decode(s), correction_from_mask(osd.bp().mask_of(estimate), 1));
    // OSD explains the reachable part of the syndrome: mechanism 0 alone.
    EXPECT_EQ(estimate, (std::vector<std::uint8_t>{1, 0}));
}

// The decoders return the all-zero correction for an empty syndrome without
// iterating when the first iteration provably settles there. Each decode entry
// point must agree with the full path (the soft decoders, which never take the
// shortcut) on every input: odd priors (p = 0, 0.5, above 0.5, 1), mechanisms
// flipping no detector, fired indices past the model, no or one iteration,
// and alpha at and below zero, where the premise fails.
TEST(ZeroSyndromeShortcut, EveryDecodeEntryPointMatchesTheFullPath) {
    StdRng rng = StdRng::seed_from_u64(17);
    const double probabilities[] = {0.0, 1e-3, 0.05, 0.3, 0.5, 0.7, 1.0};
    int shortcut_cases = 0;
    int nonzero_empty_syndrome_answers = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t checks = 1 + rng.next_u64() % 12;
        DetectorErrorModel dem =
            testing::random_sparse_dem(rng, checks, 1 + rng.next_u64() % 16, 1 + rng.next_u64() % checks, 2, 0.1);
        for (DemError& mechanism : dem.errors) {
            const std::uint64_t pick = rng.next_u64() % 10;
            mechanism.p = pick < 7 ? probabilities[pick] : rng.next_unit_f64();
            if (rng.next_u64() % 6 == 0) mechanism.detectors.clear();
        }
        const std::uint32_t max_iter = std::array<std::uint32_t, 3>{0, 1, 100}[trial % 3];
        const double alphas[] = {0.875, 1.0, 0.0, -0.0, -0.5, 2.0};
        const double alpha = alphas[rng.next_u64() % 6];
        const auto bp = BpDecoder::with_params(dem, max_iter, alpha);
        const auto osd = OsdDecoder::with_params(dem, max_iter, trial % 2 == 0 ? 0 : 3, alpha);
        const RelayBpDecoder relay = make_relay(dem, 1 + rng.next_u64() % 4, rng.next_u64(), alpha, -0.3, 0.9);
        const RelayBpOsdDecoder relay_osd(make_relay(dem, relay.legs(), DEFAULT_SEED, alpha, -0.3, 0.9),
                                          make_osd(dem, trial % 2 == 0 ? 0 : 3, alpha));
        ASSERT_TRUE(bp && osd);
        const std::size_t observables = dem.num_observables;

        std::vector<Syndrome> syndromes{{{}, checks}, {{static_cast<std::uint32_t>(checks)}, checks},
                                        {{static_cast<std::uint32_t>(checks), 1000}, checks}, {{0}, checks}};
        for (int i = 0; i < 4; ++i) syndromes.push_back(testing::sample_shot(dem, rng).syndrome);
        for (const Syndrome& s : syndromes) {
            shortcut_cases += bp->zero_syndrome_converges_at_once(s, bp->alpha()) ? 1 : 0;

            const BpSoft bp_soft = bp->decode_bp_soft(s);
            const std::pair<Correction, bool> bp_full{correction_from_mask(bp->mask_of(bp_soft.hard), observables),
                                                      bp_soft.converged};
            EXPECT_EQ(bp->decode_bp(s), bp_full);
            EXPECT_EQ(bp->decode(s), bp_full.first);

            const BpSoft osd_soft = osd->bp().decode_bp_soft(s);
            const std::vector<std::uint8_t> estimate =
                osd_soft.converged ? osd_soft.hard : osd->osd_solve(s, osd_soft.hard, osd_soft.posteriors);
            const std::pair<Correction, bool> osd_full{correction_from_mask(bp->mask_of(estimate), observables),
                                                       !osd_soft.converged};
            EXPECT_EQ(osd->decode_osd_ehat(s), std::make_pair(estimate, !osd_soft.converged));
            EXPECT_EQ(osd->decode_osd(s), osd_full);
            EXPECT_EQ(osd->decode(s), osd_full.first);

            const BpSoft relay_soft = relay.decode_soft(s);
            const std::pair<Correction, bool> relay_full{
                correction_from_mask(relay.graph().mask_of(relay_soft.hard), observables), relay_soft.converged};
            EXPECT_EQ(relay.decode_relay(s), relay_full);
            EXPECT_EQ(relay.decode(s), relay_full.first);
            const Correction combined = relay_osd.osd().correction_from_soft(s, relay_osd.relay().decode_soft(s));
            EXPECT_EQ(relay_osd.decode(s), combined);

            if (s.fired.empty() && relay_full.first != correction_from_mask(0, observables)) {
                ++nonzero_empty_syndrome_answers;
            }
        }
    }
    EXPECT_GT(shortcut_cases, 20);
    // Negative alpha makes relay-BP answer an empty syndrome with flips: the case the shortcut must leave alone.
    EXPECT_GT(nonzero_empty_syndrome_answers, 0);
}

TEST(RelayBpOsd, ReproducesSyndromesAndMatchesItsParts) {
    StdRng rng = StdRng::seed_from_u64(8);
    const DetectorErrorModel dem = testing::code_capacity_dem(testing::bivariate_bicycle(6, 6), 0.08);
    const RelayBpDecoder relay = make_relay(dem);
    const OsdDecoder osd = make_osd(dem, 6);
    const RelayBpOsdDecoder combined(make_relay(dem), make_osd(dem, 6));
    for (int i = 0; i < 100; ++i) {
        const testing::Shot shot = testing::sample_shot(dem, rng);
        const BpSoft soft = relay.decode_soft(shot.syndrome);
        const std::vector<std::uint8_t> estimate =
            soft.converged ? soft.hard : osd.osd_solve(shot.syndrome, soft.hard, soft.posteriors);
        EXPECT_EQ(testing::shot_of(dem, estimate).syndrome.fired, shot.syndrome.fired);
        EXPECT_EQ(combined.decode(shot.syndrome), correction_from_mask(relay.graph().mask_of(estimate), 12));
        EXPECT_EQ(relay.decode(shot.syndrome), correction_from_mask(relay.graph().mask_of(soft.hard), 12));
    }
}

TEST(RelayBpOsd, RefusesPartsOfDifferentModels) {
    const DetectorErrorModel a = parse_dem("error(0.1) D0 D1\n");
    const DetectorErrorModel b = parse_dem("error(0.1) D0 D1\nerror(0.1) D1\n");
    EXPECT_THROW(RelayBpOsdDecoder(make_relay(a), make_osd(b, 0)), InvariantError);
}

// Logical error rate of `decoder` on the code-capacity model at p: the share of
// shots whose predicted observables differ from the true ones.
double logical_error_rate(const Decoder& decoder, const DetectorErrorModel& dem, std::uint64_t seed, int shots) {
    StdRng rng = StdRng::seed_from_u64(seed);
    int failures = 0;
    for (int i = 0; i < shots; ++i) {
        const testing::Shot shot = testing::sample_shot(dem, rng);
        failures += testing::mask_of_correction(decoder.decode(shot.syndrome)) != shot.observables;
    }
    return static_cast<double>(failures) / shots;
}

TEST(LogicalErrorRates, BivariateBicycleCodeBeatsUnencodedQubitsAndGrowsWithNoise) {
    const testing::CssCode code = testing::bivariate_bicycle(6, 6);
    const int shots = 1500;
    for (const char* name : {"bp-osd", "relay-bp", "relay-bp-osd"}) {
        double previous = -1.0;
        for (double p : {0.01, 0.04, 0.08}) {
            const DetectorErrorModel dem = testing::code_capacity_dem(code, p);
            double rate = 0.0;
            if (std::string_view(name) == "bp-osd") {
                rate = logical_error_rate(make_osd(dem, 10), dem, 17, shots);
            } else if (std::string_view(name) == "relay-bp") {
                rate = logical_error_rate(make_relay(dem), dem, 17, shots);
            } else {
                rate = logical_error_rate(RelayBpOsdDecoder(make_relay(dem), make_osd(dem, 0)), dem, 17, shots);
            }
            // Twelve unencoded qubits fail when any one of them flips.
            const double unencoded = 1.0 - std::pow(1.0 - p, 12);
            EXPECT_LT(rate, unencoded) << name << " at p = " << p;
            EXPECT_GT(rate, previous) << name << " at p = " << p;
            previous = rate;
        }
    }
}

// Circuit-level rotated surface code, d = 5, p = 0.003, against matching. With
// four legs of 25 iterations the relay finds no candidate in a few percent of
// shots, and those shots carry nearly all of its failures; where it finds one it
// decodes about as well as matching, and OSD on the rest brings relay-bp-osd to
// matching's rate. A candidate that does not reproduce its syndrome, or a
// memory term that loses the previous message (plain BP leaves about twice as
// many shots without a candidate), breaks one of these.
TEST(LogicalErrorRates, CircuitLevelSurfaceCodeFailsOnlyWithoutCandidate) {
    const DetectorErrorModel dem = circuit_model("surface_d5_p003.dem");
    ASSERT_EQ(dem.num_observables, 1u);
    const RelayBpDecoder relay = make_relay(dem);
    const RelayBpOsdDecoder relay_osd(make_relay(dem), make_osd(dem, 0));
    auto mwpm = MwpmDecoder::create(dem);
    ASSERT_TRUE(mwpm.has_value());

    const std::size_t shots = 1600;
    struct Outcome {
        bool converged = false;
        bool satisfies = true;
        bool relay_fails = false;
        bool relay_osd_fails = false;
        bool mwpm_fails = false;
    };
    std::vector<Outcome> outcomes(shots);
    const std::size_t block = 100;
    parallel_for_chunks(shots / block, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            StdRng rng = StdRng::seed_from_u64(7919 * b + 3);
            for (std::size_t i = b * block; i < (b + 1) * block; ++i) {
                const testing::Shot shot = testing::sample_shot(dem, rng);
                const BpSoft soft = relay.decode_soft(shot.syndrome);
                Outcome& out = outcomes[i];
                out.converged = soft.converged;
                if (soft.converged)
                    out.satisfies = testing::shot_of(dem, soft.hard).syndrome.fired == shot.syndrome.fired;
                out.relay_fails = relay.graph().mask_of(soft.hard) != shot.observables;
                out.relay_osd_fails = testing::mask_of_correction(relay_osd.decode(shot.syndrome)) != shot.observables;
                out.mwpm_fails = testing::mask_of_correction(mwpm->decode(shot.syndrome)) != shot.observables;
            }
        }
    });
    std::size_t without_candidate = 0, fails_with = 0, fails_without = 0, relay_osd_fails = 0, mwpm_fails = 0;
    for (const Outcome& out : outcomes) {
        EXPECT_TRUE(out.satisfies);
        without_candidate += !out.converged;
        fails_with += out.converged && out.relay_fails;
        fails_without += !out.converged && out.relay_fails;
        relay_osd_fails += out.relay_osd_fails;
        mwpm_fails += out.mwpm_fails;
    }
    std::printf(
        "relay-bp d=5 circuit level, %zu shots: %zu without candidate; failures %zu with, %zu without; "
        "relay-bp-osd %zu, mwpm %zu\n",
        shots, without_candidate, fails_with, fails_without, relay_osd_fails, mwpm_fails);
    EXPECT_GT(without_candidate, shots / 50);
    EXPECT_LT(without_candidate, shots / 5);
    EXPECT_GT(fails_without, 3 * fails_with);
    EXPECT_LE(fails_with, mwpm_fails + 2);
    EXPECT_LE(relay_osd_fails, mwpm_fails + 4);
}

}  // namespace
}  // namespace nivra::qec
