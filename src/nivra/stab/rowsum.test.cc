#include "nivra/stab/rowsum.h"

#include <gtest/gtest.h>

#include <array>
#include <complex>
#include <random>
#include <vector>

#include "nivra/core/error.h"

namespace nivra::stab {
namespace {

using C = std::complex<double>;
using M = std::array<C, 4>;

// Pauli matrices indexed by (x, z): I, Z, X, Y.
M pauli_matrix(int x, int z) {
    const C i(0, 1);
    if (x == 0 && z == 0) return {1, 0, 0, 1};
    if (x == 0) return {1, 0, 0, -1};
    if (z == 0) return {0, 1, 1, 0};
    return {0, -i, i, 0};
}

M mul(const M& a, const M& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2], a[2] * b[1] + a[3] * b[3]};
}

// The phase sum must be the exponent of i in P_i · P_h = i^g · P_(i xor h),
// checked against products of the 2×2 matrices.
TEST(Rowsum, SingleQubitPhasesMatchMatrixProducts) {
    const C powers[4] = {C(1, 0), C(0, 1), C(-1, 0), C(0, -1)};
    for (int x1 = 0; x1 < 2; ++x1) {
        for (int z1 = 0; z1 < 2; ++z1) {
            for (int x2 = 0; x2 < 2; ++x2) {
                for (int z2 = 0; z2 < 2; ++z2) {
                    std::vector<Word> xh{Word(x2)}, zh{Word(z2)};
                    const std::vector<Word> xi{Word(x1)}, zi{Word(z1)};
                    const std::uint64_t g = rowsum_words(xh, zh, xi, zi);
                    const M product = mul(pauli_matrix(x1, z1), pauli_matrix(x2, z2));
                    const M expected_pauli = pauli_matrix(x1 ^ x2, z1 ^ z2);
                    const C phase = powers[g & 3];
                    for (int k = 0; k < 4; ++k) {
                        EXPECT_NEAR(std::abs(product[k] - phase * expected_pauli[k]), 0.0, 1e-12)
                            << x1 << z1 << x2 << z2;
                    }
                    EXPECT_EQ(xh[0], Word(x1 ^ x2));
                    EXPECT_EQ(zh[0], Word(z1 ^ z2));
                    // Two Pauli operators either commute (g even) or anticommute.
                    const bool anticommute = ((x1 & z2) ^ (z1 & x2)) != 0;
                    EXPECT_EQ(g & 1, anticommute ? 1u : 0u);
                }
            }
        }
    }
}

TEST(Rowsum, XXTimesZZIsMinusYY) {
    std::vector<Word> xh{0b11}, zh{0b00};
    const std::vector<Word> xi{0b00}, zi{0b11};
    const std::uint64_t g = rowsum_words(xh, zh, xi, zi);
    EXPECT_EQ(g, 2u);
    EXPECT_EQ(xh[0], 0b11u);
    EXPECT_EQ(zh[0], 0b11u);
    EXPECT_TRUE(rowsum_sign(g, false, false));
    EXPECT_FALSE(rowsum_sign(g, true, false));
    EXPECT_TRUE(rowsum_sign(g, true, true));
}

TEST(Rowsum, WordParallelEqualsReference) {
    std::mt19937_64 gen(3);
    // Lengths across the 31-word accumulation groups.
    for (std::size_t len : {1u, 2u, 5u, 30u, 31u, 32u, 62u, 63u, 100u, 1025u}) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<Word> xh(len), zh(len), xi(len), zi(len);
            for (std::size_t w = 0; w < len; ++w) {
                xh[w] = gen();
                zh[w] = gen();
                xi[w] = gen();
                zi[w] = gen();
                if (trial % 4 == 1) {
                    // Dense rows: every qubit of row i is Y, every qubit of row h is X,
                    // so the sum grows or shrinks by one per qubit.
                    xi[w] = zi[w] = ~Word{0};
                    xh[w] = ~Word{0};
                    zh[w] = 0;
                }
            }
            std::vector<Word> xh2 = xh, zh2 = zh;
            const std::uint64_t fast = rowsum_words(xh, zh, xi, zi);
            const std::uint64_t slow = rowsum_words_reference(xh2, zh2, xi, zi);
            ASSERT_EQ(fast, slow) << "len " << len << " trial " << trial;
            ASSERT_EQ(xh, xh2);
            ASSERT_EQ(zh, zh2);
        }
    }
}

TEST(Rowsum, LengthMismatchThrows) {
    std::vector<Word> xh(2), zh(2);
    const std::vector<Word> xi(2), zi(1);
    EXPECT_THROW(rowsum_words(xh, zh, xi, zi), InvariantError);
}

}  // namespace
}  // namespace nivra::stab
