#include "nivra/core/memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "nivra/core/file.h"

namespace nivra {
namespace {

using memory_files::cgroup_limit;
using memory_files::kib_field;

TEST(MemoryFiles, KibFieldsOfMeminfoAndStatus) {
    const std::string meminfo =
        "MemTotal:       24682404 kB\n"
        "MemFree:         1203344 kB\n"
        "MemAvailable:    8040740 kB\n"
        "Buffers:          120012 kB\n";
    EXPECT_EQ(kib_field(meminfo, "MemAvailable"), std::uint64_t{8040740} * 1024);
    EXPECT_EQ(kib_field(meminfo, "MemTotal"), std::uint64_t{24682404} * 1024);
    // A key must match whole: "Mem" is a prefix of three keys and names none.
    EXPECT_EQ(kib_field(meminfo, "Mem"), std::nullopt);
    EXPECT_EQ(kib_field(meminfo, "SwapFree"), std::nullopt);
    EXPECT_EQ(kib_field("VmSize:\t    3896 kB\nVmData:\t     428 kB", "VmData"), std::uint64_t{428} * 1024);
    EXPECT_EQ(kib_field("MemAvailable: lots kB\n", "MemAvailable"), std::nullopt);
    EXPECT_EQ(kib_field("MemAvailable: 18446744073709551615 kB\n", "MemAvailable"), std::nullopt);
}

TEST(MemoryFiles, CgroupLimitValues) {
    EXPECT_EQ(cgroup_limit("25769803776\n"), std::uint64_t{25769803776});
    EXPECT_EQ(cgroup_limit("max\n"), std::nullopt);
    // v1 writes its "no limit" as a page-rounded huge number: a value like any other.
    EXPECT_EQ(cgroup_limit("9223372036854771712\n"), std::uint64_t{9223372036854771712u});
    EXPECT_EQ(cgroup_limit(""), std::nullopt);
    EXPECT_EQ(cgroup_limit("-1\n"), std::nullopt);
    EXPECT_EQ(cgroup_limit("99999999999999999999\n"), std::nullopt);
}

TEST(MemorySources, SmallestPresentValue) {
    MemorySources none;
    EXPECT_EQ(none.smallest(), UINT64_MAX);
    MemorySources sources;
    sources.physical = std::uint64_t{512} << 30;
    sources.cgroup = std::uint64_t{24} << 30;
    sources.available = std::uint64_t{30} << 30;
    EXPECT_EQ(sources.smallest(), std::uint64_t{24} << 30);
    sources.address_space = std::uint64_t{1} << 30;
    EXPECT_EQ(sources.smallest(), std::uint64_t{1} << 30);
    // Nothing is left under an exhausted resource limit.
    sources.data = 0;
    EXPECT_EQ(sources.smallest(), 0u);
}

TEST(Allocation, RefusedAndFailedRequestsSayWhatAndHowMuch) {
    EXPECT_EQ(allocation_message(std::uint64_t{1} << 32, "a 28-qubit state vector"),
              "cannot allocate 4.0 GiB for a 28-qubit state vector");
    EXPECT_EQ(allocation_message(std::uint64_t{3} << 40, "x", std::uint64_t{1536} << 20),
              "cannot allocate 3.0 TiB for x (1.5 GiB available)");

    // Beyond any machine: refused before `allocate` runs.
    bool ran = false;
    try {
        allocate_checked(UINT64_MAX, [] { return std::string("the test"); }, [&] { ran = true; return 0; });
        FAIL() << "not refused";
    } catch (const AllocationError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("cannot allocate more than 16777216.0 TiB for the test ("));
    }
    EXPECT_FALSE(ran);
    // Small requests are not checked, and the allocator's own failure gets the description.
    try {
        allocate_checked(64, [] { return std::string("a small table"); }, []() -> int { throw std::bad_alloc(); });
        FAIL() << "no exception";
    } catch (const AllocationError& e) {
        EXPECT_STREQ(e.what(), "cannot allocate 64.0 B for a small table");
    }
    EXPECT_EQ(allocate_checked(64, [] { return std::string(); }, [] { return 7; }), 7);
}

TEST(Allocation, SizesThatRoundAlikeGetDigitsUntilTheyDiffer) {
    const std::uint64_t four_gib = std::uint64_t{1} << 32;
    EXPECT_EQ(allocation_message(four_gib, "x", four_gib - (std::uint64_t{1} << 22)),
              "cannot allocate 4.000 GiB for x (3.996 GiB available)");
    EXPECT_EQ(allocation_message(four_gib, "x", four_gib - 1),
              "cannot allocate 4.000000000 GiB for x (3.999999999 GiB available)");
    EXPECT_EQ(allocation_message(std::uint64_t{1} << 41, "x", (std::uint64_t{1} << 41) - 1),
              "cannot allocate 2.000000000000 TiB for x (1.999999999999 TiB available)");
    // Across a unit boundary the digits still decide.
    EXPECT_EQ(allocation_message(std::uint64_t{1} << 20, "x", (std::uint64_t{1} << 20) - 1),
              "cannot allocate 1.000 MiB for x (1023.999 KiB available)");
    // Sizes that differ at one decimal keep it, and a failed request has no second size.
    EXPECT_EQ(allocation_message(four_gib, "x", four_gib - (std::uint64_t{1} << 27)),
              "cannot allocate 4.0 GiB for x (3.9 GiB available)");
    EXPECT_EQ(allocation_message(four_gib - 1, "x"), "cannot allocate 4.0 GiB for x");
}

TEST(Allocation, CheckedReservationsNameTheCount) {
    std::vector<std::uint64_t> items{1, 2, 3};
    const std::size_t capacity = items.capacity();
    auto what = [](std::size_t n) { return std::to_string(n) + " test entries"; };
    // Beyond any machine: refused, and the vector is unchanged.
    try {
        reserve_checked(items, std::size_t{1} << 56, what);
        FAIL() << "not refused";
    } catch (const AllocationError& e) {
        EXPECT_TRUE(
            std::string(e.what()).starts_with("cannot allocate 524288.0 TiB for 72057594037927936 test entries ("))
            << e.what();
    }
    try {
        reserve_checked(items, items.max_size() + 1, what);
        FAIL() << "not refused";
    } catch (const AllocationError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("cannot allocate more than 16777216.0 TiB for ")) << e.what();
    }
    EXPECT_EQ(items.capacity(), capacity);
    EXPECT_EQ(items, (std::vector<std::uint64_t>{1, 2, 3}));

    // Growth for one more element doubles the capacity, and only when it is used up.
    std::vector<std::uint64_t> grown;
    std::vector<std::size_t> capacities;
    for (int i = 0; i < 9; ++i) {
        reserve_one_more(grown, what);
        capacities.push_back(grown.capacity());
        grown.push_back(i);
    }
    EXPECT_EQ(capacities, (std::vector<std::size_t>{1, 2, 4, 4, 8, 8, 8, 8, 16}));
}

TEST(ReadFile, EndlessDeviceStopsAtTheBound) {
    try {
        (void)read_file("/dev/zero", std::uint64_t{1} << 20);
        FAIL() << "no exception";
    } catch (const AllocationError& e) {
        EXPECT_STREQ(e.what(), "cannot allocate more than 1.0 MiB for the text of /dev/zero");
    }
    // A regular file is measured before it is read.
    const std::string path = ::testing::TempDir() + "nivra_read_file_bound.txt";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(std::string(100, 'x').c_str(), f);
    std::fclose(f);
    EXPECT_EQ(read_file(path, 100), std::string(100, 'x'));
    EXPECT_THROW((void)read_file(path, 99), AllocationError);
    std::remove(path.c_str());

    const auto missing = read_file("/nonexistent/nivra.dem", 100);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace nivra
