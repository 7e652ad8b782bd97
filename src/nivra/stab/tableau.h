#pragma once
// Tableau: an n-qubit stabilizer state in Aaronson–Gottesman form, bit-packed.
//
// Generators (rows of the tableau), 2n + 1 of them:
//     0 .. n-1      destabilisers (initially X_i)
//     n .. 2n-1     stabilisers   (initially Z_i)
//     2n            scratch row of deterministic measurement
// Each generator is a Pauli string: X bits and Z bits per qubit, and a sign
// bit in `r` (set = the generator carries -1).
//
// Two storage layouts of the X and Z grids, switched lazily:
//     generator-major  grid rows = generators (2n + 1), cols = qubits (max(n, 1))
//                      -> row products and measurement touch whole rows
//     qubit-major      grid rows = qubits, cols = generators
//                      -> a gate on qubit q touches rows q of X and Z, which
//                         line up word for word with `r`: 64 generators a word
// An operation that needs the other layout transposes both grids first; the
// layout then stays until an operation needs the other one, so a run of gates
// followed by a run of measurements pays two transposes. The layout changes no
// bit of the represented state.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "nivra/core/gate.h"
#include "nivra/core/rng.h"
#include "nivra/stab/bits.h"
#include "nivra/stab/error.h"

namespace nivra::stab {

enum class Layout : std::uint8_t {
    GeneratorMajor = 0,
    QubitMajor = 1,
};

class Tableau {
public:
    // The tableau of |0…0⟩ in generator-major layout. With n = 0 the grids
    // have one row and one column. Throws InvariantError when n does not fit
    // a 32-bit qubit count, std::length_error / std::bad_alloc when the grids
    // cannot be allocated.
    explicit Tableau(std::size_t n);

    std::size_t num_qubits() const { return n_; }
    // 2n + 1.
    std::size_t num_generators() const { return rows_; }
    Layout layout() const { return layout_; }

    // Switch to a layout (a no-op when already in it).
    void to_generator_major();
    void to_qubit_major();

    // The grids in the current layout, and the sign words (one bit per
    // generator, floor(2n / 64) + 1 words).
    const BitGrid& x() const { return x_; }
    const BitGrid& z() const { return z_; }
    std::span<const Word> signs() const { return r_; }

    // Bits of generator `generator` on qubit `qubit`, in either layout (indices checked).
    bool x_bit(std::size_t generator, std::size_t qubit) const;
    bool z_bit(std::size_t generator, std::size_t qubit) const;
    bool sign(std::size_t generator) const;

    // Clifford gates (qubit-major; switch if needed). Every qubit is checked
    // before any bit changes: range of the first qubit, then of the second,
    // then distinctness. A failed gate changes no bit of the state.
    std::expected<void, StabError> h(Qubit q);
    std::expected<void, StabError> s(Qubit q);
    // Equal bit for bit to S applied three times.
    std::expected<void, StabError> sdg(Qubit q);
    std::expected<void, StabError> x_gate(Qubit q);
    std::expected<void, StabError> y_gate(Qubit q);
    std::expected<void, StabError> z_gate(Qubit q);
    std::expected<void, StabError> cnot(Qubit control, Qubit target);
    // S(a), S(b), H(a), CNOT(a, b), CNOT(b, a), H(b).
    std::expected<void, StabError> iswap(Qubit a, Qubit b);
    // H(b), CNOT(b, a), CNOT(a, b), H(a), Sdg(b), Sdg(a).
    std::expected<void, StabError> iswap_dg(Qubit a, Qubit b);

    // Row operations (generator-major; switch if needed). Row indices are
    // below 2n + 1 (else InvariantError).
    // Row h <- row i · row h with the sign rule of rowsum_sign; h != i.
    void rowsum(std::size_t h, std::size_t i);
    // X bits, Z bits and sign of row `source` into row `destination`.
    void copy_row(std::size_t destination, std::size_t source);
    // Clears the X bits, Z bits and sign of a row.
    void zero_row(std::size_t row);

    // Measures qubit q in the Z basis and collapses the state. A determined
    // outcome draws nothing; a random one draws one next_u32 and takes its
    // most significant bit. Fails (tableau unchanged, no draw) when q >= n.
    std::expected<std::uint8_t, StabError> measure(Qubit q, StdRng& rng);

    // Relabels qubits: afterwards qubit q is qubit perm[q] of the input.
    // `perm` must be a permutation of 0 .. n-1 (else InvariantError, nothing changed).
    void permute_qubits(std::span<const Qubit> perm);

    // Same bits in the same layout.
    friend bool operator==(const Tableau& a, const Tableau& b) = default;

private:
    // Gate kernels on qubit-major rows, for qubits already checked.
    void apply_h(Qubit q);
    void apply_s(Qubit q);
    void apply_sdg(Qubit q);
    void apply_cnot(Qubit control, Qubit target);

    // Range check of one qubit against n.
    std::expected<void, StabError> check_qubit(Qubit q) const;
    // Range of a, range of b, then a != b.
    std::expected<void, StabError> check_pair(Qubit a, Qubit b) const;

    void set_sign(std::size_t generator, bool value);

    BitGrid x_;
    BitGrid z_;
    std::vector<Word> r_;
    std::size_t rows_ = 0;
    std::size_t n_ = 0;
    Layout layout_ = Layout::GeneratorMajor;
};

}  // namespace nivra::stab
