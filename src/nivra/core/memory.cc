#include "nivra/core/memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <limits>

#include "nivra/core/cgroup.h"
#include "nivra/core/error.h"
#include "nivra/core/format.h"

namespace nivra {

namespace {

constexpr std::uint64_t NO_LIMIT = std::numeric_limits<std::uint64_t>::max();

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> physical_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return std::nullopt;
    std::uint64_t bytes = 0;
    if (!checked_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size), bytes)) return NO_LIMIT;
    return bytes;
}

// The memory limit of the process's cgroup: v2 memory.max, v1 memory.limit_in_bytes.
std::optional<std::uint64_t> cgroup_memory_limit() {
    auto file_limit = [](const char* file) {
        return [file](const std::string& dir) -> std::optional<std::uint64_t> {
            const std::optional<std::string> contents = read_small_file(dir + "/" + file);
            return contents ? memory_files::cgroup_limit(*contents) : std::nullopt;
        };
    };
    return smallest_cgroup_limit("memory", file_limit("memory.max"), file_limit("memory.limit_in_bytes"));
}

// The soft limit of `resource`, absent when unset.
std::optional<std::uint64_t> soft_rlimit(int resource) {
    struct rlimit limit{};
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

// What is left under `cap` once the usage in `field` of /proc/self/status is counted.
std::optional<std::uint64_t> headroom(std::optional<std::uint64_t> cap, const std::optional<std::string>& status,
                                      std::string_view field) {
    if (!cap) return std::nullopt;
    const std::uint64_t used = status ? memory_files::kib_field(*status, field).value_or(0) : 0;
    return *cap > used ? *cap - used : 0;
}

}  // namespace

std::string allocation_message(std::uint64_t bytes, std::string_view what, std::optional<std::uint64_t> limit) {
    // One decimal unless the two sizes then read alike: digits are added until
    // they differ (13 tell apart any two counts below 2^64).
    int decimals = 1;
    while (limit && *limit != bytes && decimals < fmt::MAX_BYTE_DECIMALS &&
           fmt::bytes(bytes, decimals) == fmt::bytes(*limit, decimals)) {
        ++decimals;
    }
    std::string message = "cannot allocate ";
    if (bytes == SIZE_BEYOND_64_BITS) message += "more than ";
    message += fmt::bytes(bytes, decimals) + " for ";
    message += what;
    if (limit) message += " (" + fmt::bytes(*limit, decimals) + " available)";
    return message;
}

std::uint64_t MemorySources::smallest() const {
    std::uint64_t out = NO_LIMIT;
    for (const std::optional<std::uint64_t>& value : {physical, cgroup, available, address_space, data}) {
        if (value) out = std::min(out, *value);
    }
    return out;
}

std::uint64_t memory_limit() {
    // Installed memory and the cgroup's limits are read once; they do not
    // change under a running process in any setting this library targets.
    static const std::optional<std::uint64_t> physical = physical_memory();
    static const std::optional<std::uint64_t> cgroup = cgroup_memory_limit();
    MemorySources sources;
    sources.physical = physical;
    sources.cgroup = cgroup;
    if (auto meminfo = read_small_file("/proc/meminfo")) {
        sources.available = memory_files::kib_field(*meminfo, "MemAvailable");
    }
    // Address space and data segment limits count what the process already maps.
    const std::optional<std::uint64_t> address_space = soft_rlimit(RLIMIT_AS);
    const std::optional<std::uint64_t> data = soft_rlimit(RLIMIT_DATA);
    if (address_space || data) {
        const std::optional<std::string> status = read_small_file("/proc/self/status");
        sources.address_space = headroom(address_space, status, "VmSize");
        sources.data = headroom(data, status, "VmData");
    }
    return sources.smallest();
}

std::optional<std::uint64_t> exceeds_memory_limit(std::uint64_t bytes) {
    if (bytes < LIMIT_CHECK_MIN_BYTES) return std::nullopt;
    const std::uint64_t limit = memory_limit();
    if (bytes <= limit) return std::nullopt;
    return limit;
}

namespace memory_files {

std::optional<std::uint64_t> kib_field(std::string_view text, std::string_view key) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::string_view line = next_line(text, pos);
        if (line.size() <= key.size() || !line.starts_with(key) || line[key.size()] != ':') continue;
        std::string_view rest = trim_spaces(line.substr(key.size() + 1));
        if (!rest.ends_with("kB")) return std::nullopt;
        const std::optional<std::uint64_t> kib = parse_decimal(trim_spaces(rest.substr(0, rest.size() - 2)));
        std::uint64_t bytes = 0;
        if (!kib || !checked_mul<std::uint64_t>(*kib, 1024, bytes)) return std::nullopt;
        return bytes;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> cgroup_limit(std::string_view contents) {
    const std::string_view value = trim_spaces(contents);
    if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    return parse_decimal(value);
}

}  // namespace memory_files

}  // namespace nivra
