#include "nivra/core/parallel.h"

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
        auto* a = new tbb::task_arena(configured_threads());
        a->initialize();
        return a;
    }();
    return *arena;
}

std::size_t pool_threads() { return static_cast<std::size_t>(pool().max_concurrency()); }

}  // namespace nivra
