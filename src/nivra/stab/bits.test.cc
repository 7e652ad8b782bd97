#include "nivra/stab/bits.h"

#include <gtest/gtest.h>

#include <random>

#include "nivra/core/error.h"

namespace nivra::stab {
namespace {

BitGrid random_grid(std::size_t rows, std::size_t cols, std::mt19937_64& gen) {
    BitGrid grid(rows, cols);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            grid.set(r, c, (gen() & 1) != 0);
        }
    }
    return grid;
}

TEST(BitGrid, ShapeAndPadding) {
    BitGrid grid(3, 65);
    EXPECT_EQ(grid.rows(), 3u);
    EXPECT_EQ(grid.cols(), 65u);
    EXPECT_EQ(grid.words_per_row(), 2u);
    EXPECT_EQ(grid.words().size(), 6u);
    grid.set(2, 64, true);
    grid.set(1, 3, true);
    EXPECT_EQ(grid.words()[5], 1u);
    EXPECT_EQ(grid.words()[2], 8u);
    EXPECT_TRUE(grid.get(2, 64));
    grid.set(2, 64, false);
    EXPECT_EQ(grid.words()[5], 0u);
}

TEST(BitGrid, IndexChecks) {
    BitGrid grid(4, 10);
    EXPECT_THROW(grid.get(4, 0), InvariantError);
    EXPECT_THROW(grid.get(0, 10), InvariantError);
    EXPECT_THROW(grid.set(0, 10, true), InvariantError);
    EXPECT_THROW(grid.row(4), InvariantError);
    EXPECT_THROW(grid.row_pair_mut(1, 1), InvariantError);
    EXPECT_THROW(grid.row_pair_mut(1, 4), InvariantError);
    auto [a, b] = grid.row_pair_mut(0, 3);
    EXPECT_EQ(a.data() + 3, b.data());
}

TEST(BitGrid, BlockTransposeMatchesBitByBit) {
    std::mt19937_64 gen(7);
    std::array<Word, 64> block;
    for (Word& w : block) {
        w = gen();
    }
    const std::array<Word, 64> before = block;
    transpose_block_64(block);
    for (unsigned r = 0; r < 64; ++r) {
        for (unsigned c = 0; c < 64; ++c) {
            ASSERT_EQ((block[r] >> c) & 1, (before[c] >> r) & 1) << r << "," << c;
        }
    }
}

TEST(BitGrid, TransposeOfOddShapes) {
    std::mt19937_64 gen(11);
    // 131 = 2·65 + 1 generators of a 65-qubit tableau, and shapes around word edges.
    const std::pair<std::size_t, std::size_t> shapes[] = {{1, 1},   {131, 65}, {65, 131}, {64, 64}, {200, 3},
                                                          {3, 200}, {129, 1},  {1, 129},  {0, 5},   {128, 127}};
    for (auto [rows, cols] : shapes) {
        const BitGrid grid = random_grid(rows, cols, gen);
        const BitGrid t = grid.transpose();
        ASSERT_EQ(t.rows(), cols);
        ASSERT_EQ(t.cols(), rows);
        ASSERT_EQ(t.words_per_row(), words_for_bits(rows));
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) {
                ASSERT_EQ(t.get(c, r), grid.get(r, c)) << rows << "x" << cols << " at " << r << "," << c;
            }
        }
        // Padding bits stay zero, so a second transpose restores every word.
        EXPECT_EQ(t.transpose(), grid) << rows << "x" << cols;
    }
}

}  // namespace
}  // namespace nivra::stab
