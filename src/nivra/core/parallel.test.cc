#include "nivra/core/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace nivra {
namespace {

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
