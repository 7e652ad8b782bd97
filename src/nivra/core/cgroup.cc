#include "nivra/core/cgroup.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nivra {

std::optional<std::string> read_small_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text(16384, '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(used);
    return text;
}

namespace {

std::optional<std::uint64_t> min_of(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// The smallest limit of the cgroup at `path` under `mount` and of its ancestors.
std::optional<std::uint64_t> hierarchy_limit(const std::string& mount, std::string_view path,
                                             const CgroupLimitReader& read) {
    std::optional<std::uint64_t> smallest;
    for (std::optional<std::string_view> at = path; at; at = cgroup_files::parent_cgroup(*at)) {
        std::string dir = mount;
        if (*at != "/") dir += *at;
        smallest = min_of(smallest, read(dir));
    }
    return smallest;
}

}  // namespace

std::optional<std::uint64_t> smallest_cgroup_limit(std::string_view controller, const CgroupLimitReader& v2,
                                                   const CgroupLimitReader& v1) {
    const std::optional<std::string> self = read_small_file("/proc/self/cgroup");
    if (!self) return std::nullopt;
    std::optional<std::uint64_t> limit;
    if (auto path = cgroup_files::cgroup_path(*self, "")) {
        limit = min_of(limit, hierarchy_limit("/sys/fs/cgroup", *path, v2));
    }
    if (auto path = cgroup_files::cgroup_path(*self, controller)) {
        limit = min_of(limit, hierarchy_limit("/sys/fs/cgroup/" + std::string(controller), *path, v1));
    }
    return limit;
}

std::string_view next_line(std::string_view text, std::size_t& pos) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    return line;
}

std::string_view trim_spaces(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    return s.substr(first, last - first + 1);
}

namespace cgroup_files {

std::optional<std::string> cgroup_path(std::string_view proc_self_cgroup, std::string_view controller) {
    std::size_t pos = 0;
    while (pos < proc_self_cgroup.size()) {
        const std::string_view line = next_line(proc_self_cgroup, pos);
        // hierarchy-id:controller-list:path (the path may itself hold ':').
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (path.empty() || path.front() != '/') continue;
        if (controller.empty()) {
            if (id == "0" && controllers.empty()) return std::string(path);
            continue;
        }
        for (std::size_t at = 0; at <= controllers.size();) {
            std::size_t comma = controllers.find(',', at);
            if (comma == std::string_view::npos) comma = controllers.size();
            if (controllers.substr(at, comma - at) == controller) return std::string(path);
            at = comma + 1;
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> parent_cgroup(std::string_view path) {
    if (path.size() <= 1) return std::nullopt;
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return std::nullopt;
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

}  // namespace cgroup_files

}  // namespace nivra
