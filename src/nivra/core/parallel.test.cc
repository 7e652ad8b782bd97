#include "nivra/core/parallel.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// CTest also runs the Pool tests under an affinity of one CPU.
TEST(Pool, DefaultSizeIsTheCpusTheProcessMayUse) {
    if (std::getenv("RAYON_NUM_THREADS") != nullptr) GTEST_SKIP() << "RAYON_NUM_THREADS sets the size";
    cpu_set_t mask;
    CPU_ZERO(&mask);
    ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
    EXPECT_LE(usable_cpus(), static_cast<std::uint64_t>(CPU_COUNT(&mask)));
    EXPECT_GE(usable_cpus(), 1u);
    EXPECT_EQ(pool_threads(), usable_cpus());
}

TEST(CpuFiles, QuotasInWholeCpusRoundedUp) {
    using cpu_files::cfs_quota;
    using cpu_files::cpu_max;
    EXPECT_EQ(cpu_max("max 100000\n"), std::nullopt);
    EXPECT_EQ(cpu_max("200000 100000\n"), 2u);
    EXPECT_EQ(cpu_max("150000 100000\n"), 2u);
    EXPECT_EQ(cpu_max("100001 100000"), 2u);
    EXPECT_EQ(cpu_max("50000 100000\n"), 1u);
    EXPECT_EQ(cpu_max("1000 1000000\n"), 1u);
    EXPECT_EQ(cpu_max("400000\t100000\n"), 4u);
    for (const char* broken : {"", "max", "100000", "100000 0", "x 100000", "100000 y", "-1 100000"}) {
        EXPECT_EQ(cpu_max(broken), std::nullopt) << broken;
    }
    EXPECT_EQ(cfs_quota("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cfs_quota("300000\n", "100000\n"), 3u);
    EXPECT_EQ(cfs_quota("250000\n", "100000\n"), 3u);
    EXPECT_EQ(cfs_quota("20000\n", "100000\n"), 1u);
    EXPECT_EQ(cfs_quota("100000", "0"), std::nullopt);
    EXPECT_EQ(cfs_quota("", "100000"), std::nullopt);
    EXPECT_EQ(cfs_quota("99999999999999999999", "100000"), std::nullopt);
}

TEST(CpuSources, SmallerOfAffinityAndQuota) {
    CpuSources sources;
    sources.online = 64;
    EXPECT_EQ(sources.usable(), 64u);
    sources.affinity = 8;
    EXPECT_EQ(sources.usable(), 8u);
    sources.quota = 3;
    EXPECT_EQ(sources.usable(), 3u);
    sources.quota = 16;
    EXPECT_EQ(sources.usable(), 8u);
    sources.affinity.reset();
    EXPECT_EQ(sources.usable(), 16u);
    sources.quota.reset();
    sources.online = 0;
    EXPECT_EQ(sources.usable(), 1u);
}

// Every helper's work, as a child checks it: each index covered once.
bool helpers_cover_their_work() {
    std::vector<int> hits(100000, 0);
    parallel_for_chunks(hits.size(), 64, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ++hits[i];
    });
    int lanes = 0;
    std::atomic<int> joined{0};
    parallel_lanes(4, [&] { ++lanes; });
    parallel_join([&] { joined += 1; }, [&] { joined += 10; });
    int isolated = 0;
    run_isolated([&] { isolated = 1; });
    return std::count(hits.begin(), hits.end(), 1) == 100000 && lanes == 4 && joined == 11 && isolated == 1;
}

// A child forked while another thread of the parent keeps the pool busy must
// still get its pooled work done (the parent's workers do not exist there).
TEST(Pool, ChildForkedWhileThePoolIsBusyRunsItsWork) {
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> rounds{0};
    std::thread busy([&] {
        while (!stop.load()) {
            parallel_for_chunks(1 << 16, 1, [&](std::size_t begin, std::size_t end) {
                volatile std::size_t sink = 0;
                for (std::size_t i = begin; i < end; ++i) sink = sink + i;
            });
            rounds.fetch_add(1);
        }
    });
    while (rounds.load() < 20) std::this_thread::yield();
    const pid_t child = fork();
    if (child == 0) {
        const bool lost = pool_lost_in_fork() && pool_threads() == 1;
        _exit(lost && helpers_cover_their_work() ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((done = waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    stop.store(true);
    busy.join();
    ASSERT_NE(done, 0) << "the child hung";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent keeps its pool.
    EXPECT_FALSE(pool_lost_in_fork());
    EXPECT_TRUE(helpers_cover_their_work());
}

}  // namespace
}  // namespace nivra
