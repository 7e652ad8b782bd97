#include "nivra/core/parallel.h"

#include <pthread.h>
#include <sched.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "nivra/core/cgroup.h"
#include "nivra/core/error.h"
#include "nivra/core/number.h"

namespace nivra {

namespace {

// Set before the pool is built, so that a fork in the middle of building it
// also leaves the child without it.
std::atomic<bool> pool_started{false};
std::atomic<bool> lost_in_fork{false};

void on_fork_in_child() {
    if (pool_started.load(std::memory_order_relaxed)) lost_in_fork.store(true, std::memory_order_relaxed);
}

// Registered when the library is loaded, before any pool can exist, so that
// no fork can come between the pool's start and the handler.
[[maybe_unused]] const int fork_handler = ::pthread_atfork(nullptr, nullptr, on_fork_in_child);

// The CPUs in the calling thread's affinity mask, with a mask as large as the
// kernel's.
std::optional<std::uint64_t> affinity_cpus() {
    for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return std::nullopt;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        const int failed = ::sched_getaffinity(0, size, set);
        const int error = errno;
        const int count = failed == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (failed == 0) return count > 0 ? std::optional<std::uint64_t>(count) : std::nullopt;
        if (error != EINVAL) return std::nullopt;  // EINVAL: the mask is smaller than the kernel's
    }
    return std::nullopt;
}

// The CPU quota of the process's cgroup: v2 cpu.max, v1 cpu.cfs_quota_us over cpu.cfs_period_us.
std::optional<std::uint64_t> cgroup_cpu_quota() {
    auto v2 = [](const std::string& dir) -> std::optional<std::uint64_t> {
        const std::optional<std::string> max = read_small_file(dir + "/cpu.max");
        return max ? cpu_files::cpu_max(*max) : std::nullopt;
    };
    auto v1 = [](const std::string& dir) -> std::optional<std::uint64_t> {
        const std::optional<std::string> quota = read_small_file(dir + "/cpu.cfs_quota_us");
        const std::optional<std::string> period = read_small_file(dir + "/cpu.cfs_period_us");
        return quota && period ? cpu_files::cfs_quota(*quota, *period) : std::nullopt;
    };
    return smallest_cgroup_limit("cpu", v2, v1);
}

std::optional<std::uint64_t> quota_cpus(std::string_view quota, std::string_view period) {
    const std::optional<std::uint64_t> q = parse_u64(trim_spaces(quota));
    const std::optional<std::uint64_t> p = parse_u64(trim_spaces(period));
    if (!q || !p || *p == 0) return std::nullopt;
    return std::max<std::uint64_t>(1, *q / *p + (*q % *p != 0 ? 1 : 0));
}

int configured_threads() {
    if (const char* env = std::getenv("RAYON_NUM_THREADS")) {
        if (auto n = parse_u64(env); n && *n > 0 && *n <= 4096) {
            return static_cast<int>(*n);
        }
    }
    return static_cast<int>(std::min<std::uint64_t>(usable_cpus(), 4096));
}

// The arena and, when RAYON_NUM_THREADS asks for more threads than oneTBB
// would allow by default, the raised limit without which oneTBB would cap the
// arena. The limit must outlive the arena, hence one object for both.
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

bool pool_lost_in_fork() { return lost_in_fork.load(std::memory_order_relaxed); }

tbb::task_arena& pool() {
    check_invariant(!pool_lost_in_fork(), "pool: a process forked after the pool started has no pool");
    // Leaked on purpose: worker threads must not be joined during interpreter
    // shutdown, when static destructors run in an unspecified order.
    static Pool* const shared = [] {
        pool_started.store(true, std::memory_order_relaxed);
        return new Pool(configured_threads());
    }();
    return shared->arena;
}

std::size_t pool_threads() {
    if (pool_lost_in_fork()) return 1;
    return static_cast<std::size_t>(pool().max_concurrency());
}

std::uint64_t CpuSources::usable() const {
    std::optional<std::uint64_t> bound = affinity;
    if (quota) bound = bound ? std::min(*bound, *quota) : *quota;
    return std::max<std::uint64_t>(1, bound.value_or(online));
}

std::uint64_t usable_cpus() {
    CpuSources sources;
    sources.affinity = affinity_cpus();
    sources.quota = cgroup_cpu_quota();
    sources.online = std::thread::hardware_concurrency();
    return sources.usable();
}

namespace cpu_files {

std::optional<std::uint64_t> cpu_max(std::string_view contents) {
    const std::string_view fields = trim_spaces(contents);
    const std::size_t space = fields.find_first_of(" \t");
    if (space == std::string_view::npos) return std::nullopt;
    const std::string_view max = fields.substr(0, space);
    if (max == "max") return std::nullopt;
    return quota_cpus(max, fields.substr(space + 1));
}

std::optional<std::uint64_t> cfs_quota(std::string_view quota_us, std::string_view period_us) {
    // -1 (no quota) does not read as an unsigned number.
    return quota_cpus(quota_us, period_us);
}

}  // namespace cpu_files

}  // namespace nivra
