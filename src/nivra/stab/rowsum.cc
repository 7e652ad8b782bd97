#include "nivra/stab/rowsum.h"

#include <algorithm>

#include "nivra/core/error.h"

namespace nivra::stab {
namespace {

constexpr Word M1 = 0x5555555555555555ull;
constexpr Word M2 = 0x3333333333333333ull;
constexpr Word M4 = 0x0F0F0F0F0F0F0F0Full;
constexpr Word M8 = 0x00FF00FF00FF00FFull;
constexpr Word H16 = 0x0001000100010001ull;

// Population count of each byte of v (0..8 per byte). Plain shifts and adds, so
// the compiler can run it on vector lanes; a portable build has no popcount
// instruction and would otherwise call a library routine per word.
inline Word byte_popcounts(Word v) {
    v = v - ((v >> 1) & M1);
    v = (v & M2) + ((v >> 2) & M2);
    return (v + (v >> 4)) & M4;
}

// Sum of the byte lanes of an accumulator whose bytes are at most 255.
inline std::uint64_t sum_byte_lanes(Word acc) {
    const Word pairs = (acc & M8) + ((acc >> 8) & M8);  // 16-bit lanes, each <= 510
    return (pairs * H16) >> 48;
}

// Bytes of an accumulator gain at most 8 per word, so 31 words keep them <= 248.
constexpr std::size_t GROUP_WORDS = 31;

void check_lengths(std::span<Word> x_h, std::span<Word> z_h, std::span<const Word> x_i, std::span<const Word> z_i) {
    check_invariant(z_h.size() == x_h.size() && x_i.size() == x_h.size() && z_i.size() == x_h.size(),
                    "rowsum_words: rows of different lengths");
}

}  // namespace

std::uint64_t rowsum_words(std::span<Word> x_h, std::span<Word> z_h, std::span<const Word> x_i,
                           std::span<const Word> z_i) {
    check_lengths(x_h, z_h, x_i, z_i);
    const std::size_t len = x_h.size();
    Word* __restrict xh = x_h.data();
    Word* __restrict zh = z_h.data();
    const Word* __restrict xi = x_i.data();
    const Word* __restrict zi = z_i.data();
    std::uint64_t g = 0;
    for (std::size_t begin = 0; begin < len; begin += GROUP_WORDS) {
        const std::size_t end = std::min(len, begin + GROUP_WORDS);
        Word plus_acc = 0;
        Word minus_acc = 0;
        for (std::size_t w = begin; w < end; ++w) {
            const Word a = xi[w], b = zi[w], c = xh[w], d = zh[w];
            const Word plus = (a & ~b & d & c) | (c & ~a & b & ~d) | (d & ~c & b & a);
            const Word minus = (a & ~b & d & ~c) | (c & ~a & b & d) | (b & a & c & ~d);
            plus_acc += byte_popcounts(plus);
            minus_acc += byte_popcounts(minus);
            xh[w] = c ^ a;
            zh[w] = d ^ b;
        }
        g += sum_byte_lanes(plus_acc);
        g -= sum_byte_lanes(minus_acc);
    }
    return g;
}

std::uint64_t rowsum_words_reference(std::span<Word> x_h, std::span<Word> z_h, std::span<const Word> x_i,
                                     std::span<const Word> z_i) {
    check_lengths(x_h, z_h, x_i, z_i);
    std::uint64_t g = 0;
    for (std::size_t w = 0; w < x_h.size(); ++w) {
        for (unsigned b = 0; b < WORD_BITS; ++b) {
            const int x1 = static_cast<int>((x_i[w] >> b) & 1);
            const int z1 = static_cast<int>((z_i[w] >> b) & 1);
            const int x2 = static_cast<int>((x_h[w] >> b) & 1);
            const int z2 = static_cast<int>((z_h[w] >> b) & 1);
            int term = 0;
            if (x1 == 1 && z1 == 1) {
                term = z2 - x2;
            } else if (x1 == 1) {
                term = z2 * (2 * x2 - 1);
            } else if (z1 == 1) {
                term = x2 * (1 - 2 * z2);
            }
            g += static_cast<std::uint64_t>(static_cast<std::int64_t>(term));
        }
        x_h[w] ^= x_i[w];
        z_h[w] ^= z_i[w];
    }
    return g;
}

}  // namespace nivra::stab
