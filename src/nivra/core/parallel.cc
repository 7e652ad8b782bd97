#include "nivra/core/parallel.h"

#include <tbb/global_control.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "nivra/core/number.h"

namespace nivra {

namespace {

int configured_threads() {
    if (const char* env = std::getenv("RAYON_NUM_THREADS")) {
        if (auto n = parse_u64(env); n && *n > 0 && *n <= 4096) {
            return static_cast<int>(*n);
        }
    }
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : static_cast<int>(hw);
}

}  // namespace

tbb::task_arena& pool() {
    // Leaked on purpose: worker threads must not be joined during interpreter
    // shutdown, when static destructors run in an unspecified order.
    static tbb::task_arena* arena = [] {
        const int threads = configured_threads();
        // oneTBB caps every arena at the machine's CPU count unless told
        // otherwise; an explicit RAYON_NUM_THREADS above it is honoured.
        if (threads > static_cast<int>(tbb::this_task_arena::max_concurrency())) {
            new tbb::global_control(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
        }
        auto* a = new tbb::task_arena(threads);
        a->initialize();
        return a;
    }();
    return *arena;
}

std::size_t pool_threads() { return static_cast<std::size_t>(pool().max_concurrency()); }

}  // namespace nivra
