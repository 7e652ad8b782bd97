#pragma once
// The control groups of the process (Linux): where its cgroup lies and the
// smallest limit set on it or on any ancestor. Memory limits (memory.h) and
// CPU quotas (parallel.h) are both read through here; each reader parses its
// own files.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nivra {

// The start of a small kernel-provided file (/proc, /sys: a few KiB at most),
// or nullopt when it cannot be opened.
std::optional<std::string> read_small_file(const std::string& path);

// The line of a kernel file's text that starts at `pos`, without its '\n';
// `pos` moves to the start of the next line. Call while pos < text.size().
std::string_view next_line(std::string_view text, std::size_t& pos);

// `s` without leading and trailing spaces, tabs and line ends.
std::string_view trim_spaces(std::string_view s);

// A limit read from the files of one cgroup directory, nullopt where none is set.
using CgroupLimitReader = std::function<std::optional<std::uint64_t>(const std::string& directory)>;

// The smallest limit over the process's own cgroup and all its ancestors (a
// cgroup's limits bind everything below it): in the unified (v2) hierarchy
// mounted at /sys/fs/cgroup, read by `v2`, and in the v1 hierarchy of
// `controller` mounted at /sys/fs/cgroup/<controller>, read by `v1`. nullopt
// when neither hierarchy sets one or /proc/self/cgroup cannot be read.
std::optional<std::uint64_t> smallest_cgroup_limit(std::string_view controller, const CgroupLimitReader& v2,
                                                   const CgroupLimitReader& v1);

// Parsing of /proc/self/cgroup, on its contents (no file access).
namespace cgroup_files {

// The cgroup path of the process from /proc/self/cgroup: the v2 line "0::/path"
// when `controller` is empty, else the v1 line whose controller list names it
// ("4:memory:/path", "3:cpu,memory:/path").
std::optional<std::string> cgroup_path(std::string_view proc_self_cgroup, std::string_view controller);

// "/a/b" -> "/a/b", "/a", "/": the cgroup and its ancestors, whose limits all apply.
std::optional<std::string_view> parent_cgroup(std::string_view path);

}  // namespace cgroup_files

}  // namespace nivra
