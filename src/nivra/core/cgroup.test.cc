#include "nivra/core/cgroup.h"

#include <gtest/gtest.h>

#include <string>

namespace nivra {
namespace {

using cgroup_files::cgroup_path;
using cgroup_files::parent_cgroup;

TEST(CgroupFiles, PathsOfV1AndV2) {
    const std::string hybrid =
        "9:name=systemd:/\n"
        "4:memory:/process_api/f36f\n"
        "2:cpu,cpuacct:/\n"
        "0::/user.slice/session-3.scope\n";
    EXPECT_EQ(cgroup_path(hybrid, "memory"), "/process_api/f36f");
    EXPECT_EQ(cgroup_path(hybrid, ""), "/user.slice/session-3.scope");
    EXPECT_EQ(cgroup_path(hybrid, "cpuacct"), "/");
    EXPECT_EQ(cgroup_path("3:cpu,memory:/a:b\n", "memory"), "/a:b");
    EXPECT_EQ(cgroup_path("0::/\n", "memory"), std::nullopt);
    EXPECT_EQ(cgroup_path("4:memory:/x\n", ""), std::nullopt);
    EXPECT_EQ(cgroup_path("", ""), std::nullopt);

    EXPECT_EQ(parent_cgroup("/a/b"), "/a");
    EXPECT_EQ(parent_cgroup("/a"), "/");
    EXPECT_EQ(parent_cgroup("/"), std::nullopt);
}

}  // namespace
}  // namespace nivra
