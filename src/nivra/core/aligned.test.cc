#include "nivra/core/aligned.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace nivra {
namespace {

bool is_aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % AlignedBuf::ALIGNMENT == 0; }

bool all_zero_bytes(const AlignedBuf& buf) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(buf.data());
    for (std::size_t i = 0; i < buf.size() * sizeof(Complex); ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(AlignedBuf, AlignedAndZeroFilledForManyLengths) {
    // Odd lengths make the byte size a non-multiple of the alignment.
    for (std::size_t len : {1u, 2u, 3u, 5u, 7u, 64u, 1000u, 4097u}) {
        AlignedBuf buf(len);
        ASSERT_EQ(buf.size(), len);
        EXPECT_TRUE(is_aligned(buf.data())) << len;
        EXPECT_TRUE(all_zero_bytes(buf)) << len;
        EXPECT_EQ(buf.span().size(), len);
    }
}

TEST(AlignedBuf, EmptyBuffers) {
    AlignedBuf made(0);
    EXPECT_EQ(made.size(), 0u);
    EXPECT_TRUE(made.span().empty());
    AlignedBuf copy(made);
    EXPECT_EQ(copy.size(), 0u);
    AlignedBuf defaulted;
    EXPECT_EQ(defaulted.size(), 0u);
}

TEST(AlignedBuf, CopyIsDeepAndAligned) {
    AlignedBuf a(9);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = Complex(static_cast<double>(i), -static_cast<double>(i));
    }
    AlignedBuf b(a);
    ASSERT_EQ(b.size(), a.size());
    EXPECT_NE(b.data(), a.data());
    EXPECT_TRUE(is_aligned(b.data()));
    b[3] = Complex(42.0, 0.0);
    EXPECT_EQ(a[3], Complex(3.0, -3.0));
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i != 3) {
            EXPECT_EQ(b[i], a[i]);
        }
    }

    AlignedBuf c(2);
    c = a;
    ASSERT_EQ(c.size(), a.size());
    EXPECT_NE(c.data(), a.data());
    EXPECT_EQ(c[8], Complex(8.0, -8.0));
    c = c;  // self-assignment keeps the contents
    EXPECT_EQ(c[8], Complex(8.0, -8.0));
}

TEST(AlignedBuf, MoveTransfersOwnership) {
    AlignedBuf a(4);
    a[1] = Complex(1.0, 2.0);
    const Complex* p = a.data();
    AlignedBuf b(std::move(a));
    EXPECT_EQ(b.data(), p);
    EXPECT_EQ(b[1], Complex(1.0, 2.0));
}

TEST(AlignedBuf, MappedBuffersAreZeroedWritableToTheEndAndCopyDeeply) {
    // Large enough to be mapped; the odd length leaves the last huge page
    // partly used, so a mapping cut short would fault on the last element.
    const std::size_t len = AlignedBuf::MAPPED_MIN_BYTES / sizeof(Complex) + 3;
    AlignedBuf a(len);
    ASSERT_EQ(a.size(), len);
    EXPECT_TRUE(is_aligned(a.data()));
    EXPECT_TRUE(all_zero_bytes(a));
    a[len - 1] = Complex(5.0, -5.0);
    AlignedBuf b(a);
    EXPECT_NE(b.data(), a.data());
    EXPECT_EQ(b[len - 1], Complex(5.0, -5.0));
    EXPECT_EQ(b[len - 2], Complex(0.0, 0.0));
    b = AlignedBuf(3);  // a mapped buffer replaced by a heap one
    EXPECT_EQ(b.size(), 3u);
    // Fits a size_t but no address space.
    EXPECT_THROW(AlignedBuf(std::size_t{1} << 58), std::bad_alloc);
}

TEST(LargeAllocator, VectorsGrowAcrossTheMappedThresholdAndKeepTheirContents) {
    using Vec = std::vector<std::uint32_t, LargeAllocator<std::uint32_t>>;
    const std::size_t large = AlignedBuf::MAPPED_MIN_BYTES / sizeof(std::uint32_t) + 5;
    Vec v(16, 7);
    v.resize(large, 0);  // heap block to mapping
    EXPECT_EQ(v[15], 7u);
    EXPECT_EQ(v[16], 0u);
    v.back() = 9;
    Vec w = v;  // mapping to mapping
    EXPECT_EQ(w.back(), 9u);
    w.resize(3);
    w.shrink_to_fit();  // mapping to heap block
    EXPECT_EQ(w, Vec({7, 7, 7}));
    EXPECT_THROW(v.reserve(std::size_t{1} << 60), std::bad_alloc);
}

TEST(AlignedBuf, ImpossibleSizeThrowsInsteadOfOverflowing) {
    // len · sizeof(Complex) does not fit a size_t.
    EXPECT_THROW(AlignedBuf(SIZE_MAX / 8), std::bad_alloc);
    // It fits, but rounding it up to whole cache lines does not.
    EXPECT_THROW(AlignedBuf(SIZE_MAX / 16), std::bad_alloc);
}

}  // namespace
}  // namespace nivra
