#pragma once
// The process-wide work-stealing pool (oneTBB). It is created on the first
// parallel call, never at import. Its size is RAYON_NUM_THREADS when that is
// set to a positive integer (read once per process), else the number of CPUs
// the process may use (usable_cpus). Parallel work never calls into Python.
//
// After fork: a child has none of the parent's worker threads, and oneTBB's
// shared state may be held for ever by threads that were busy in the parent
// at that moment. So a child forked (at any depth) from a process whose pool
// had started never calls into oneTBB: every helper below runs its work on
// the calling thread there. Results never depend on the number of threads,
// so the child computes what the parent would. A child forked before the
// pool started builds its own on first use.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

namespace nivra {

// Whether this process was forked from one whose pool had started, so that
// pooled work runs on the calling thread.
bool pool_lost_in_fork();

// The shared arena, started on first use. Throws InvariantError where
// pool_lost_in_fork(): use the helpers below, which handle that case.
tbb::task_arena& pool();

// Number of threads of the pool (starts it); 1 where pool_lost_in_fork().
std::size_t pool_threads();

// Runs body(begin, end) over [0, n) split into chunks of at least `grain`
// items, on the shared pool. body must not throw across threads unless every
// exception is equivalent; the first exception is rethrown in the caller.
template <class Body>
void parallel_for_chunks(std::size_t n, std::size_t grain, Body&& body) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    if (pool_lost_in_fork()) {
        body(std::size_t{0}, n);
        return;
    }
    pool().execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain),
                          [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    });
}

// parallel_for_chunks when `on_pool`, else body(0, n) once on the calling
// thread (work too small to be worth handing to the pool).
template <class Body>
void parallel_for_chunks_if(bool on_pool, std::size_t n, std::size_t grain, Body&& body) {
    if (on_pool) {
        parallel_for_chunks(n, grain, body);
    } else {
        body(std::size_t{0}, n);
    }
}

// Runs lane() `lanes` times, each call a task of its own, so that up to
// `lanes` threads run one each at once (lanes that pull work from a shared
// counter); in turn on the calling thread where pool_lost_in_fork().
template <class Lane>
void parallel_lanes(std::size_t lanes, Lane&& lane) {
    if (pool_lost_in_fork()) {
        for (std::size_t l = 0; l < lanes; ++l) lane();
        return;
    }
    pool().execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, lanes, 1),
            [&](const tbb::blocked_range<std::size_t>& range) {
                for (std::size_t l = range.begin(); l < range.end(); ++l) lane();
            },
            tbb::simple_partitioner());
    });
}

// Runs fn() so that its thread, while it waits for parallel work that fn
// started, takes no other task of the pool.
template <class Fn>
void run_isolated(Fn&& fn) {
    if (pool_lost_in_fork()) {
        fn();
        return;
    }
    tbb::this_task_arena::isolate(std::forward<Fn>(fn));
}

// Runs a() and b() potentially in parallel on the shared pool.
template <class A, class B>
void parallel_join(A&& a, B&& b) {
    if (pool_lost_in_fork()) {
        a();
        b();
        return;
    }
    pool().execute([&] { tbb::parallel_invoke(std::forward<A>(a), std::forward<B>(b)); });
}

// What bounds the pool's default size, in CPUs; absent when unknown or unset.
struct CpuSources {
    std::optional<std::uint64_t> affinity;  // CPUs in the affinity mask of the calling thread
    std::optional<std::uint64_t> quota;     // cgroup CPU quota of the process, in whole CPUs rounded up
    std::uint64_t online = 1;               // CPUs of the machine, when neither of the above is known

    // The smaller present one of affinity and quota, else online; at least 1.
    std::uint64_t usable() const;
};

// The CPUs the process may use now: CpuSources read afresh.
std::uint64_t usable_cpus();

// Parsing of the cgroup CPU files, on their contents (no file access). Each
// gives the quota in whole CPUs, quota / period rounded up and at least 1, or
// nullopt for no quota and anything unreadable.
namespace cpu_files {

// v2 cpu.max: "$MAX $PERIOD", $MAX being "max" when there is no quota.
std::optional<std::uint64_t> cpu_max(std::string_view contents);

// v1 cpu.cfs_quota_us (-1 when there is no quota) and cpu.cfs_period_us.
std::optional<std::uint64_t> cfs_quota(std::string_view quota_us, std::string_view period_us);

}  // namespace cpu_files

}  // namespace nivra
