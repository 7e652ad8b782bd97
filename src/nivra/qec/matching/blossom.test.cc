#include "nivra/qec/matching/blossom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/rng.h"

namespace nivra::qec {
namespace {

// Largest total weight over all matchings (any cardinality), by enumeration.
std::int64_t brute_force_best(std::size_t n, const std::vector<BlossomEdge>& edges) {
    std::int64_t best = 0;
    std::vector<bool> used(n, false);
    auto search = [&](auto&& self, std::size_t from, std::int64_t total) -> void {
        best = std::max(best, total);
        for (std::size_t k = from; k < edges.size(); ++k) {
            const BlossomEdge& e = edges[k];
            if (used[e.i] || used[e.j]) continue;
            used[e.i] = used[e.j] = true;
            self(self, k + 1, total + e.weight);
            used[e.i] = used[e.j] = false;
        }
    };
    search(search, 0, 0);
    return best;
}

// Checks that the solver's mates form a matching of the given edges and returns its weight.
std::int64_t matching_weight(const Blossom& solver, std::size_t n, const std::vector<BlossomEdge>& edges) {
    std::int64_t total = 0;
    for (std::size_t v = 0; v < n; ++v) {
        const std::int64_t w = solver.mate(v);
        if (w < 0) continue;
        EXPECT_EQ(solver.mate(static_cast<std::size_t>(w)), static_cast<std::int64_t>(v));
        if (static_cast<std::int64_t>(v) > w) continue;
        // Heaviest edge between the pair (parallel edges are allowed).
        std::int64_t weight = std::numeric_limits<std::int64_t>::min();
        for (const BlossomEdge& e : edges) {
            if ((e.i == std::int64_t(v) && e.j == w) || (e.j == std::int64_t(v) && e.i == w)) {
                weight = std::max(weight, e.weight);
            }
        }
        EXPECT_NE(weight, std::numeric_limits<std::int64_t>::min()) << "mate without an edge";
        total += weight;
    }
    return total;
}

TEST(Blossom, MatchesBruteForceOnRandomGraphs) {
    StdRng rng = StdRng::seed_from_u64(7);
    Blossom solver;  // reused across solves, as the decoder does
    for (int trial = 0; trial < 3000; ++trial) {
        const std::size_t n = 1 + rng.next_u32() % 10;
        std::vector<BlossomEdge> edges;
        const std::uint32_t density = 1 + rng.next_u32() % 4;
        // Few distinct weights make ties common; wide ones exercise the duals.
        const std::int64_t span = trial % 3 == 0 ? 4 : (trial % 3 == 1 ? 100 : std::int64_t{1} << 40);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i + 1; j < n; ++j) {
                if (rng.next_u32() % 4 >= density) continue;
                std::int64_t w = 1 + static_cast<std::int64_t>(rng.next_u64() % static_cast<std::uint64_t>(span));
                if (rng.next_u32() % 2) {
                    edges.push_back({std::int64_t(i), std::int64_t(j), w});
                } else {
                    edges.push_back({std::int64_t(j), std::int64_t(i), w});
                }
            }
        }
        std::shuffle(edges.begin(), edges.end(), std::minstd_rand(trial));
        solver.solve(n, edges);
        ASSERT_EQ(matching_weight(solver, n, edges), brute_force_best(n, edges)) << "trial " << trial;
    }
}

TEST(Blossom, NotMaximumCardinality) {
    // Path 0-1-2-3 with a heavy middle edge: the single heavy edge beats two light ones.
    std::vector<BlossomEdge> edges{{0, 1, 2}, {1, 2, 5}, {2, 3, 2}};
    Blossom solver;
    solver.solve(4, edges);
    EXPECT_EQ(solver.mate(0), -1);
    EXPECT_EQ(solver.mate(1), 2);
    EXPECT_EQ(solver.mate(3), -1);
    // Isolated vertices stay unmatched; no edges at all is fine.
    solver.solve(3, {});
    for (std::size_t v = 0; v < 3; ++v) EXPECT_EQ(solver.mate(v), -1);
}

TEST(Blossom, TiesFollowTheFixedOrder) {
    // Triangle of equal weights: vertex 2 is scanned first (last queued) and
    // takes its first edge in input order.
    Blossom solver;
    std::vector<BlossomEdge> triangle{{0, 1, 5}, {1, 2, 5}, {0, 2, 5}};
    solver.solve(3, triangle);
    EXPECT_EQ(solver.mate(2), 1);
    EXPECT_EQ(solver.mate(0), -1);
    std::vector<BlossomEdge> reordered{{0, 2, 5}, {1, 2, 5}, {0, 1, 5}};
    solver.solve(3, reordered);
    EXPECT_EQ(solver.mate(2), 0);
    EXPECT_EQ(solver.mate(1), -1);
}

TEST(Blossom, HugeWeightsDoNotOverflow) {
    // Gains near 2^62 arise for defects with no boundary path.
    const std::int64_t big = (std::int64_t{1} << 62) - 3;
    std::vector<BlossomEdge> edges{{0, 1, big}, {1, 2, big - 1}, {2, 3, big}, {0, 3, 1}, {0, 2, big - 2}};
    Blossom solver;
    solver.solve(4, edges);
    EXPECT_EQ(solver.mate(0), 1);
    EXPECT_EQ(solver.mate(2), 3);
}

TEST(Blossom, RejectsBadEdgesAndReentry) {
    Blossom solver;
    std::vector<BlossomEdge> loop{{1, 1, 3}};
    EXPECT_THROW(solver.solve(2, loop), InvariantError);
    std::vector<BlossomEdge> outside{{0, 2, 3}};
    EXPECT_THROW(solver.solve(2, outside), InvariantError);
    ThreadBlossom held;
    EXPECT_THROW(ThreadBlossom{}, InvariantError);
}

}  // namespace
}  // namespace nivra::qec
