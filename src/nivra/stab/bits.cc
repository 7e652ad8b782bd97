#include "nivra/stab/bits.h"

#include <algorithm>

#include "nivra/core/error.h"

namespace nivra::stab {

void transpose_block_64(std::array<Word, 64>& block) {
    // Six swap steps, each exchanging the off-diagonal sub-blocks of size s
    // inside every 2s × 2s block: (row j, col c + s) <-> (row j + s, col c).
    struct Step {
        unsigned shift;
        Word mask;
    };
    static constexpr std::array<Step, 6> steps{{
        {32, 0x00000000FFFFFFFFull},
        {16, 0x0000FFFF0000FFFFull},
        {8, 0x00FF00FF00FF00FFull},
        {4, 0x0F0F0F0F0F0F0F0Full},
        {2, 0x3333333333333333ull},
        {1, 0x5555555555555555ull},
    }};
    for (const Step& step : steps) {
        const unsigned s = step.shift;
        for (unsigned j = 0; j < 64; ++j) {
            if ((j & s) != 0) {
                continue;
            }
            const Word t = ((block[j] >> s) ^ block[j + s]) & step.mask;
            block[j + s] ^= t;
            block[j] ^= t << s;
        }
    }
}

BitGrid::BitGrid(std::size_t rows, std::size_t cols)
    : words_(mul_size_or_throw(rows, words_for_bits(cols)), Word{0}),
      rows_(rows),
      cols_(cols),
      words_per_row_(words_for_bits(cols)) {}

std::span<Word> BitGrid::row(std::size_t row) {
    check_index(row, rows_, "BitGrid::row");
    return {words_.data() + row * words_per_row_, words_per_row_};
}

std::span<const Word> BitGrid::row(std::size_t row) const {
    check_index(row, rows_, "BitGrid::row");
    return {words_.data() + row * words_per_row_, words_per_row_};
}

std::pair<std::span<Word>, std::span<const Word>> BitGrid::row_pair_mut(std::size_t a, std::size_t b) {
    check_index(a, rows_, "BitGrid::row_pair_mut");
    check_index(b, rows_, "BitGrid::row_pair_mut");
    check_invariant(a != b, "BitGrid::row_pair_mut: rows must differ");
    return {std::span<Word>(words_.data() + a * words_per_row_, words_per_row_),
            std::span<const Word>(words_.data() + b * words_per_row_, words_per_row_)};
}

bool BitGrid::get(std::size_t row, std::size_t col) const {
    check_index(row, rows_, "BitGrid::get row");
    check_index(col, cols_, "BitGrid::get col");
    return ((words_[row * words_per_row_ + col / WORD_BITS] >> (col % WORD_BITS)) & 1) != 0;
}

void BitGrid::set(std::size_t row, std::size_t col, bool value) {
    check_index(row, rows_, "BitGrid::set row");
    check_index(col, cols_, "BitGrid::set col");
    Word& word = words_[row * words_per_row_ + col / WORD_BITS];
    const Word bit = Word{1} << (col % WORD_BITS);
    word = value ? (word | bit) : (word & ~bit);
}

void BitGrid::clear_row(std::size_t row) {
    std::span<Word> words = this->row(row);
    std::fill(words.begin(), words.end(), Word{0});
}

BitGrid BitGrid::transpose() const {
    BitGrid out(cols_, rows_);
    std::array<Word, 64> block;
    // Input block (row block rb, word column wc) becomes output block
    // (row block wc, word column rb).
    for (std::size_t rb = 0; rb < out.words_per_row_; ++rb) {
        const std::size_t row_begin = rb * WORD_BITS;
        const std::size_t block_rows = std::min(WORD_BITS, rows_ - row_begin);
        for (std::size_t wc = 0; wc < words_per_row_; ++wc) {
            for (std::size_t j = 0; j < block_rows; ++j) {
                block[j] = words_[(row_begin + j) * words_per_row_ + wc];
            }
            std::fill(block.begin() + static_cast<std::ptrdiff_t>(block_rows), block.end(), Word{0});
            transpose_block_64(block);
            const std::size_t out_row_begin = wc * WORD_BITS;
            const std::size_t out_block_rows = std::min(WORD_BITS, cols_ - out_row_begin);
            for (std::size_t k = 0; k < out_block_rows; ++k) {
                out.words_[(out_row_begin + k) * out.words_per_row_ + rb] = block[k];
            }
        }
    }
    return out;
}

}  // namespace nivra::stab
