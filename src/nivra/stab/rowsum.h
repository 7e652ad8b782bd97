#pragma once
// Row products of Pauli generators with the Aaronson–Gottesman phase count.
//
// A generator row is a pair of bit rows (X bits, Z bits) over the qubits, one
// word per 64 qubits. Multiplying row i into row h (h <- i · h) XORs the bits
// and gains a power of i whose exponent is the sum over qubits of
//
//     g(x1, z1, x2, z2)   with (x1, z1) from row i and (x2, z2) from row h:
//       row i has I:  0
//       row i has X:  z2 (2 x2 - 1)
//       row i has Y:  z2 - x2
//       row i has Z:  x2 (1 - 2 z2)
//
// Only the sum modulo 4 carries meaning; it is returned in wrapping unsigned
// 64-bit arithmetic.

#include <cstdint>
#include <span>

#include "nivra/stab/bits.h"

namespace nivra::stab {

// Multiplies row i into row h word by word and returns the phase sum g.
// All four spans must have the same length (else InvariantError); row i must
// not alias row h. Words are processed in groups with byte-lane popcounts; the
// result equals rowsum_words_reference exactly.
std::uint64_t rowsum_words(std::span<Word> x_h, std::span<Word> z_h, std::span<const Word> x_i,
                           std::span<const Word> z_i);

// The same product evaluated qubit by qubit with the g function above: the
// plain reference path the word-parallel one is checked against.
std::uint64_t rowsum_words_reference(std::span<Word> x_h, std::span<Word> z_h, std::span<const Word> x_i,
                                     std::span<const Word> z_i);

// The sign of row h after h <- i · h: set exactly when (g + 2 r_h + 2 r_i) mod 4 = 2.
constexpr bool rowsum_sign(std::uint64_t g, bool sign_h, bool sign_i) {
    return ((g + 2 * std::uint64_t{sign_h} + 2 * std::uint64_t{sign_i}) & 3) == 2;
}

// Whether a phase sum g multiplies the product by -1 (g mod 4 = 2). Bit-sliced
// signs XOR in an all-ones word in that case.
constexpr bool phase_flips(std::uint64_t g) { return (g & 3) == 2; }

}  // namespace nivra::stab
