#pragma once
// The process-wide work-stealing pool (oneTBB). It is created on the first
// parallel call, never at import. Its size is RAYON_NUM_THREADS when that is
// set to a positive integer (read once per process), else the number of CPUs.
// Parallel work never calls into Python.

#include <cstddef>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/task_arena.h>

namespace nivra {

// The shared arena, started on first use.
tbb::task_arena& pool();

// Number of threads of the pool (starts it).
std::size_t pool_threads();

// Runs body(begin, end) over [0, n) split into chunks of at least `grain`
// items, on the shared pool. body must not throw across threads unless every
// exception is equivalent; the first exception is rethrown in the caller.
template <class Body>
void parallel_for_chunks(std::size_t n, std::size_t grain, Body&& body) {
    if (n == 0) return;
    if (grain == 0) grain = 1;
    pool().execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, grain),
                          [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
    });
}

// Runs a() and b() potentially in parallel on the shared pool.
template <class A, class B>
void parallel_join(A&& a, B&& b) {
    pool().execute([&] { tbb::parallel_invoke(std::forward<A>(a), std::forward<B>(b)); });
}

}  // namespace nivra
