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

namespace {

// The arena and, when RAYON_NUM_THREADS asks for more threads than the machine
// has CPUs, the raised limit without which oneTBB would cap the arena at the
// CPU count. The limit must outlive the arena, hence one object for both.
struct Pool {
    explicit Pool(int threads)
        : raised_limit(threads > static_cast<int>(tbb::this_task_arena::max_concurrency())
                           ? std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                                   static_cast<std::size_t>(threads))
                           : nullptr),
          arena(threads) {
        arena.initialize();
    }

    std::unique_ptr<tbb::global_control> raised_limit;
    tbb::task_arena arena;
};

}  // namespace

tbb::task_arena& pool() {
    // Leaked on purpose: worker threads must not be joined during interpreter
    // shutdown, when static destructors run in an unspecified order.
    static Pool* const shared = new Pool(configured_threads());
    return shared->arena;
}

std::size_t pool_threads() { return static_cast<std::size_t>(pool().max_concurrency()); }

}  // namespace nivra
