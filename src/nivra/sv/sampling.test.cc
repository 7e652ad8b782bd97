#include "nivra/sv/sampling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>

#include "nivra/sv/backend.h"
#include "nivra/sv/test_util.h"

namespace nivra::sv::sampling {
namespace {

namespace t = nivra::sv::test;

// Vose's method written out step by step with two std::vector stacks, as a
// second implementation to compare the table and the draws against.
struct PlainAlias {
    std::vector<double> prob;
    std::vector<std::uint32_t> alias;

    explicit PlainAlias(const std::vector<Complex>& amps) {
        const std::size_t n = amps.size();
        prob.assign(n, 0.0);
        alias.assign(n, 0);
        if (n == 1) {
            prob[0] = 1.0;
            return;
        }
        std::vector<double> scaled(n);
        std::vector<std::uint32_t> small, large;
        for (std::size_t i = 0; i < n; ++i) {
            scaled[i] = (amps[i].real() * amps[i].real() + amps[i].imag() * amps[i].imag()) * static_cast<double>(n);
            (scaled[i] < 1.0 ? small : large).push_back(static_cast<std::uint32_t>(i));
        }
        while (!small.empty() && !large.empty()) {
            const std::uint32_t s = small.back();
            small.pop_back();
            const std::uint32_t l = large.back();
            large.pop_back();
            prob[s] = scaled[s];
            alias[s] = l;
            scaled[l] = (scaled[s] + scaled[l]) - 1.0;
            (scaled[l] < 1.0 ? small : large).push_back(l);
        }
        for (std::uint32_t i : large) prob[i] = 1.0, alias[i] = i;
        for (std::uint32_t i : small) prob[i] = 1.0, alias[i] = i;
    }

    std::uint64_t draw(StdRng& rng) const {
        const std::uint64_t x = rng.next_u64();
        const std::uint64_t column = (x >> 32) & (prob.size() - 1);
        const double coin = static_cast<double>(x & 0xFFFFFFFFu) / 4294967296.0;
        return coin < prob[column] ? column : alias[column];
    }
};

// Amplitudes √p[i] (real) for a list of weights, scaled so that Σp = total.
CpuState state_of_weights(const std::vector<double>& weights, double total) {
    const auto n = static_cast<std::uint32_t>(std::countr_zero(weights.size()));
    CpuState s = CpuState::zero_state(n);
    double sum = 0;
    for (double w : weights) sum += w;
    for (std::size_t i = 0; i < weights.size(); ++i) s.amps[i] = Complex(std::sqrt(weights[i] * total / sum), 0.0);
    return s;
}

// Probability lists of the shapes that steer the construction differently:
// Porter-Thomas weights as deep random circuits give (large and small mixed),
// the same with exact zeros, exactly equal weights (every scaled value 1.0
// for even qubit counts, so nothing is small), scaled values of exactly 1.0
// beside zeros and twos (the tie goes to the large list), nearly equal weights
// on both sides of 1, and a single basis state.
std::vector<std::vector<double>> weight_shapes(std::uint32_t n, StdRng& rng) {
    const std::size_t len = std::size_t{1} << n;
    std::vector<std::vector<double>> shapes;
    std::vector<double> porter_thomas(len);
    for (double& w : porter_thomas) w = -std::log(1.0 - rng.next_unit_f64());
    shapes.push_back(porter_thomas);
    std::vector<double> zeros = porter_thomas;
    for (double& w : zeros) {
        if (rng.next_u64() % 3 == 0) w = 0.0;
    }
    zeros[rng.next_u64() % len] = 1.0;  // at least one weight
    shapes.push_back(zeros);
    shapes.push_back(std::vector<double>(len, 1.0));
    std::vector<double> ties(len);
    for (std::size_t i = 0; i < len; ++i) ties[i] = std::array{1.0, 0.0, 2.0, 1.0}[i % 4];
    shapes.push_back(ties);
    std::vector<double> near_equal(len);
    for (double& w : near_equal) w = 1.0 + 1e-9 * (t::uniform(rng, -1, 1));
    shapes.push_back(near_equal);
    std::vector<double> one_hot(len, 0.0);
    one_hot[rng.next_u64() % len] = 1.0;
    shapes.push_back(one_hot);
    return shapes;
}

TEST(AliasTable, EqualsThePlainConstructionBitForBit) {
    StdRng rng = StdRng::seed_from_u64(301);
    constexpr std::size_t SERIAL = SIZE_MAX;
    for (std::uint32_t n = 0; n <= 16; ++n) {
        for (const auto& weights : weight_shapes(n, rng)) {
            // Norms a little off 1 either way, within the drift budget, move
            // the balance between the two work lists.
            for (double total : {1.0, 1.0 + 1e-12, 1.0 - 1e-12}) {
                const CpuState s = state_of_weights(weights, total);
                const PlainAlias plain(t::to_vector(s));
                for (std::size_t parallel_min_amps : {SERIAL, std::size_t{0}}) {
                    auto table = build_alias_table(s, parallel_min_amps);
                    ASSERT_TRUE(table) << n;
                    ASSERT_TRUE(std::ranges::equal(table->alias(), plain.alias)) << n << " " << total;
                    ASSERT_EQ(std::memcmp(table->prob().data(), plain.prob.data(), plain.prob.size() * sizeof(double)),
                              0)
                        << n << " " << total;
                }
            }
        }
    }
}

TEST(AliasTable, EqualsThePlainConstructionOnRandomStates) {
    StdRng rng = StdRng::seed_from_u64(306);
    for (std::uint32_t n : {1u, 3u, 8u, 12u, 17u}) {
        CpuState s = t::random_state(n, rng);
        // Some amplitudes exactly zero (outcomes that are never drawn).
        if (s.len() > 4) {
            const double kept = 1.0 - std::norm(s.amps[1]) - std::norm(s.amps[3]);
            s.amps[1] = 0;
            s.amps[3] = 0;
            for (std::size_t i = 0; i < s.len(); ++i) s.amps[i] /= std::sqrt(kept);
        }
        auto table = build_alias_table(s);
        ASSERT_TRUE(table);
        const PlainAlias plain(t::to_vector(s));
        EXPECT_TRUE(std::ranges::equal(table->alias(), plain.alias)) << n;
        EXPECT_EQ(std::memcmp(table->prob().data(), plain.prob.data(), plain.prob.size() * sizeof(double)), 0) << n;
    }
}

TEST(Sample, DrawsFollowTheSeedInDrawOrder) {
    StdRng rng = StdRng::seed_from_u64(302);
    for (std::uint32_t n : {1u, 5u, 10u}) {
        const CpuState s = t::random_state(n, rng);
        NaiveSvBackend sv = NaiveSvBackend::with_seed(77);
        auto got = sv.sample(s, 5000);
        ASSERT_TRUE(got);
        const PlainAlias plain(t::to_vector(s));
        StdRng twin = StdRng::seed_from_u64(77);
        ASSERT_EQ(got->size(), 5000u);
        for (std::size_t i = 0; i < got->size(); ++i) ASSERT_EQ((*got)[i], plain.draw(twin)) << i;
        EXPECT_EQ(sv.rng().next_u64(), twin.next_u64());  // exactly one draw per shot
    }
}

TEST(Sample, EdgeCases) {
    NaiveSvBackend sv = NaiveSvBackend::with_seed(5);
    CpuState basis = CpuState::zero_state(3);
    basis.amps[0] = 0;
    basis.amps[5] = 1;
    EXPECT_EQ(*sv.sample(basis, 100), std::vector<std::uint64_t>(100, 5));

    CpuState scalar = CpuState::zero_state(0);
    EXPECT_EQ(*sv.sample(scalar, 10), std::vector<std::uint64_t>(10, 0));

    NaiveSvBackend fresh = NaiveSvBackend::with_seed(6);
    EXPECT_TRUE(fresh.sample(basis, 0)->empty());
    EXPECT_EQ(fresh.rng().next_u64(), StdRng::seed_from_u64(6).next_u64());

    CpuState bad = CpuState::zero_state(2);
    bad.amps[0] = 1.001;
    EXPECT_EQ(fresh.sample(bad, 0).error().message(),
              "backend state is invalid: state norm² deviates from 1 beyond drift budget");
    EXPECT_FALSE(fresh.sample(bad, 3));
}

TEST(Sample, ChunkedCountsEqualTheFullVector) {
    StdRng rng = StdRng::seed_from_u64(303);
    const CpuState s = t::random_state(6, rng);
    const std::uint32_t shots = 3 * SAMPLE_CHUNK + 17;
    NaiveSvBackend a = NaiveSvBackend::with_seed(8), b = NaiveSvBackend::with_seed(8);
    auto all = a.sample(s, shots);
    auto counts = backend::sample_counts(b, s, shots);
    ASSERT_TRUE(all && counts);
    std::map<std::uint64_t, std::uint64_t> expected;
    for (std::uint64_t o : *all) ++expected[o];
    EXPECT_EQ(*counts, expected);
    EXPECT_EQ(a.rng().next_u64(), b.rng().next_u64());
}

TEST(Sample, CountsOnALargeStateWithFewShotsEqualTheFullVector) {
    // 2^21 outcomes and few shots: counted by sorting instead of a dense array.
    StdRng rng = StdRng::seed_from_u64(305);
    const CpuState s = t::random_state(21, rng);
    NaiveSvBackend a = NaiveSvBackend::with_seed(10), b = NaiveSvBackend::with_seed(10);
    auto all = a.sample(s, 150000);
    auto counts = backend::sample_counts(b, s, 150000);
    ASSERT_TRUE(all && counts);
    std::map<std::uint64_t, std::uint64_t> expected;
    for (std::uint64_t o : *all) ++expected[o];
    EXPECT_EQ(*counts, expected);
    EXPECT_EQ(a.rng().next_u64(), b.rng().next_u64());
}

TEST(Sample, FrequenciesFollowTheProbabilities) {
    StdRng rng = StdRng::seed_from_u64(304);
    const CpuState s = t::random_state(3, rng);
    NaiveSvBackend sv = NaiveSvBackend::with_seed(9);
    const std::uint32_t shots = 200000;
    auto counts = backend::sample_counts(sv, s, shots);
    ASSERT_TRUE(counts);
    for (std::size_t i = 0; i < s.len(); ++i) {
        const double p = std::norm(s.amps[i]);
        const double sigma = std::sqrt(p * (1 - p) / shots);
        const double freq = static_cast<double>((*counts)[i]) / shots;
        EXPECT_NEAR(freq, p, 5 * sigma + 1e-9) << i;
    }
}

}  // namespace
}  // namespace nivra::sv::sampling
