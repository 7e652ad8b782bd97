#include "nivra/core/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "nivra/core/number.h"

namespace nivra {
namespace {

// CTest also runs this with RAYON_NUM_THREADS set below and above the CPU
// count: the pool must have exactly that many threads, and use them.
TEST(Pool, SizeFollowsRayonNumThreads) {
    const char* env = std::getenv("RAYON_NUM_THREADS");
    const std::optional<std::uint64_t> requested = env != nullptr ? parse_u64(env) : std::nullopt;
    if (!requested || *requested == 0) {
        GTEST_SKIP() << "RAYON_NUM_THREADS is not set to a positive integer";
    }
    ASSERT_EQ(pool_threads(), *requested);
    // One task per thread, each waiting until all of them have started: only a
    // pool that really has that many threads runs them all at once.
    std::atomic<std::size_t> arrived{0};
    std::atomic<std::size_t> running{0};
    std::atomic<std::size_t> most{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    parallel_for_chunks(*requested, 1, [&](std::size_t, std::size_t) {
        const std::size_t now = running.fetch_add(1) + 1;
        std::size_t seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        arrived.fetch_add(1);
        while (arrived.load() < *requested && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        running.fetch_sub(1);
    });
    EXPECT_EQ(most.load(), *requested);
}

TEST(Pool, ParallelForChunksCoversEveryIndexOnce) {
    for (std::size_t n : {0u, 1u, 7u, 1000u, 100003u}) {
        for (std::size_t grain : {0u, 1u, 64u, 5000u}) {
            std::vector<std::atomic<int>> hits(n);
            parallel_for_chunks(n, grain, [&](std::size_t begin, std::size_t end) {
                ASSERT_LT(begin, end);
                ASSERT_LE(end, n);
                for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1, std::memory_order_relaxed);
            });
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n " << n << " index " << i;
        }
    }
    EXPECT_GE(pool_threads(), 1u);
}

TEST(Pool, ParallelJoinRunsBothAndRethrows) {
    std::atomic<int> ran{0};
    parallel_join([&] { ran += 1; }, [&] { ran += 10; });
    EXPECT_EQ(ran.load(), 11);
    EXPECT_THROW(parallel_for_chunks(100, 1,
                                     [](std::size_t begin, std::size_t) {
                                         if (begin == 0) throw std::runtime_error("chunk failed");
                                     }),
                 std::runtime_error);
}

}  // namespace
}  // namespace nivra
