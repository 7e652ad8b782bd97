#include "nivra/stab/tableau.h"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "nivra/core/error.h"
#include "nivra/stab/rowsum.h"

namespace nivra::stab {

Tableau::Tableau(std::size_t n) {
    check_invariant(n <= std::numeric_limits<std::uint32_t>::max(), "Tableau: qubit count exceeds 32 bits");
    std::size_t twice = 0;
    std::size_t rows = 0;
    if (!checked_mul(n, std::size_t{2}, twice) || !checked_add(twice, std::size_t{1}, rows)) {
        invariant_failure("Tableau: generator count overflows");
    }
    n_ = n;
    rows_ = rows;
    const std::size_t cols = std::max<std::size_t>(n, 1);
    x_ = BitGrid(rows_, cols);
    z_ = BitGrid(rows_, cols);
    r_.assign(twice / WORD_BITS + 1, Word{0});
    for (std::size_t i = 0; i < n; ++i) {
        x_.set(i, i, true);
        z_.set(n + i, i, true);
    }
}

void Tableau::to_generator_major() {
    if (layout_ == Layout::GeneratorMajor) {
        return;
    }
    x_ = x_.transpose();
    z_ = z_.transpose();
    layout_ = Layout::GeneratorMajor;
}

void Tableau::to_qubit_major() {
    if (layout_ == Layout::QubitMajor) {
        return;
    }
    x_ = x_.transpose();
    z_ = z_.transpose();
    layout_ = Layout::QubitMajor;
}

bool Tableau::x_bit(std::size_t generator, std::size_t qubit) const {
    check_index(generator, rows_, "Tableau::x_bit generator");
    check_index(qubit, n_, "Tableau::x_bit qubit");
    return layout_ == Layout::GeneratorMajor ? x_.get(generator, qubit) : x_.get(qubit, generator);
}

bool Tableau::z_bit(std::size_t generator, std::size_t qubit) const {
    check_index(generator, rows_, "Tableau::z_bit generator");
    check_index(qubit, n_, "Tableau::z_bit qubit");
    return layout_ == Layout::GeneratorMajor ? z_.get(generator, qubit) : z_.get(qubit, generator);
}

bool Tableau::sign(std::size_t generator) const {
    check_index(generator, rows_, "Tableau::sign");
    return ((r_[generator / WORD_BITS] >> (generator % WORD_BITS)) & 1) != 0;
}

void Tableau::set_sign(std::size_t generator, bool value) {
    check_index(generator, rows_, "Tableau::set_sign");
    Word& word = r_[generator / WORD_BITS];
    const Word bit = Word{1} << (generator % WORD_BITS);
    word = value ? (word | bit) : (word & ~bit);
}

std::expected<void, StabError> Tableau::check_qubit(Qubit q) const {
    if (q >= n_) {
        return std::unexpected(StabError::qubit_out_of_range(q, static_cast<std::uint32_t>(n_)));
    }
    return {};
}

std::expected<void, StabError> Tableau::check_pair(Qubit a, Qubit b) const {
    if (auto ok = check_qubit(a); !ok) {
        return ok;
    }
    if (auto ok = check_qubit(b); !ok) {
        return ok;
    }
    if (a == b) {
        return std::unexpected(StabError::duplicate_qubit(a));
    }
    return {};
}

void Tableau::rowsum(std::size_t h, std::size_t i) {
    to_generator_major();
    const bool sign_h = sign(h);
    const bool sign_i = sign(i);
    auto [x_h, x_i] = x_.row_pair_mut(h, i);
    auto [z_h, z_i] = z_.row_pair_mut(h, i);
    const std::uint64_t g = rowsum_words(x_h, z_h, x_i, z_i);
    set_sign(h, rowsum_sign(g, sign_h, sign_i));
}

void Tableau::copy_row(std::size_t destination, std::size_t source) {
    to_generator_major();
    if (destination == source) {
        check_index(source, rows_, "Tableau::copy_row");
        return;
    }
    auto [x_d, x_s] = x_.row_pair_mut(destination, source);
    auto [z_d, z_s] = z_.row_pair_mut(destination, source);
    std::copy(x_s.begin(), x_s.end(), x_d.begin());
    std::copy(z_s.begin(), z_s.end(), z_d.begin());
    set_sign(destination, sign(source));
}

void Tableau::zero_row(std::size_t row) {
    to_generator_major();
    x_.clear_row(row);
    z_.clear_row(row);
    set_sign(row, false);
}

void Tableau::permute_qubits(std::span<const Qubit> perm) {
    check_invariant(perm.size() == n_, "Tableau::permute_qubits: permutation length differs from the qubit count");
    std::vector<bool> seen(n_, false);
    for (const Qubit q : perm) {
        check_index(q, n_, "Tableau::permute_qubits: entry");
        check_invariant(!seen[q], "Tableau::permute_qubits: entry repeated");
        seen[q] = true;
    }
    to_qubit_major();
    BitGrid x(x_.rows(), x_.cols());
    BitGrid z(z_.rows(), z_.cols());
    for (std::size_t q = 0; q < n_; ++q) {
        const std::span<const Word> x_from = std::as_const(x_).row(perm[q]);
        const std::span<const Word> z_from = std::as_const(z_).row(perm[q]);
        std::copy(x_from.begin(), x_from.end(), x.row(q).begin());
        std::copy(z_from.begin(), z_from.end(), z.row(q).begin());
    }
    x_ = std::move(x);
    z_ = std::move(z);
}

std::expected<std::uint8_t, StabError> Tableau::measure(Qubit q, StdRng& rng) {
    if (auto ok = check_qubit(q); !ok) {
        return std::unexpected(ok.error());
    }
    to_generator_major();
    const std::size_t n = n_;
    const std::size_t stride = x_.words_per_row();
    const std::size_t word = q / WORD_BITS;
    const Word bit = Word{1} << (q % WORD_BITS);
    // Column q of the X grid, one word per generator; every index below is a
    // generator < 2n + 1, inside the grid.
    const auto has_x = [&](std::size_t generator) { return (x_.words()[generator * stride + word] & bit) != 0; };

    std::size_t p = n;
    while (p < 2 * n && !has_x(p)) {
        ++p;
    }
    if (p == 2 * n) {
        // Z_q commutes with every stabiliser: the outcome is the sign of the
        // product of the stabilisers paired with the destabilisers that
        // anticommute with it.
        const std::size_t scratch = 2 * n;
        zero_row(scratch);
        for (std::size_t i = 0; i < n; ++i) {
            if (has_x(i)) {
                rowsum(scratch, i + n);
            }
        }
        return static_cast<std::uint8_t>(sign(scratch));
    }
    for (std::size_t i = 0; i < 2 * n; ++i) {
        if (i != p && i != p - n && has_x(i)) {
            rowsum(i, p);
        }
    }
    copy_row(p - n, p);
    zero_row(p);
    z_.set(p, q, true);
    const std::uint8_t outcome = static_cast<std::uint8_t>(rng.next_u32() >> 31);
    set_sign(p, outcome != 0);
    return outcome;
}

}  // namespace nivra::stab
