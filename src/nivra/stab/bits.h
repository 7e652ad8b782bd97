#pragma once
// BitGrid: a dense row-major bit matrix, the storage of the stabilizer tableau.
//
// Layout, for `cols` columns and W = ceil(cols / 64) words per row:
//
//     word index   row 0: [0 .. W)   row 1: [W .. 2W)   ...
//     bit (r, c)   bit c % 64 (least significant first) of word r·W + c / 64
//
// Bits past `cols` in the last word of a row are always 0; every operation that
// writes whole words keeps them 0 as long as its inputs do.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace nivra::stab {

// The unit of every bit-parallel operation: 64 generators, qubits or shots.
using Word = std::uint64_t;

inline constexpr std::size_t WORD_BITS = 64;

// Words needed to hold `bits` bits.
constexpr std::size_t words_for_bits(std::size_t bits) { return bits / WORD_BITS + (bits % WORD_BITS != 0); }

// Transposes a 64×64 bit block in place: afterwards bit c of word r equals the
// old bit r of word c.
void transpose_block_64(std::array<Word, 64>& block);

class BitGrid {
public:
    // An empty grid: no rows, no columns.
    BitGrid() = default;
    // A zeroed rows × cols grid. Throws std::length_error when the word count
    // does not fit a machine word.
    BitGrid(std::size_t rows, std::size_t cols);

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::size_t words_per_row() const { return words_per_row_; }

    // All rows × words_per_row words, row after row.
    std::span<const Word> words() const { return words_; }

    // The words of one row; throws InvariantError for row >= rows().
    std::span<Word> row(std::size_t row);
    std::span<const Word> row(std::size_t row) const;

    // Row a writable and row b readable at the same time. Requires a != b and
    // both below rows() (else InvariantError), so the two spans never overlap.
    std::pair<std::span<Word>, std::span<const Word>> row_pair_mut(std::size_t a, std::size_t b);

    // Bit (row, col); both indices checked.
    bool get(std::size_t row, std::size_t col) const;
    void set(std::size_t row, std::size_t col, bool value);

    // Clears every bit of one row.
    void clear_row(std::size_t row);

    // A new grid with rows and columns exchanged (cols × rows), built 64×64
    // blocks at a time.
    BitGrid transpose() const;

    friend bool operator==(const BitGrid& a, const BitGrid& b) = default;

private:
    std::vector<Word> words_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::size_t words_per_row_ = 0;
};

}  // namespace nivra::stab
