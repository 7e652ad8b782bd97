#pragma once
// Observables as weighted sums of Pauli products, and the line-oriented
// Pauli-sum text format:
//
//     # comment lines and blank lines are skipped (they still count as lines)
//     1.5   IXYZ        <coefficient> <one of I,X,Y,Z per qubit>
//     -0.25 IIII        the leftmost character is qubit 0
//
// Qubit order here is the reverse of histogram bit strings, whose rightmost
// character is qubit 0.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nivra/core/gate.h"

namespace nivra {

enum class Pauli : std::uint8_t { I = 0, X = 1, Y = 2, Z = 3 };

using PauliOp = std::pair<Qubit, Pauli>;

// Failure of PauliString::make.
struct PauliError {
    enum class Kind : std::uint8_t { DuplicateQubit, NonFiniteCoefficient };

    Kind kind = Kind::NonFiniteCoefficient;
    Qubit qubit = 0;  // DuplicateQubit only

    static PauliError duplicate_qubit(Qubit q) { return {Kind::DuplicateQubit, q}; }
    static PauliError non_finite_coefficient() { return {Kind::NonFiniteCoefficient, 0}; }

    // "duplicate qubit {} in Pauli string" / "non-finite coefficient".
    std::string message() const;
    friend bool operator==(const PauliError&, const PauliError&) = default;
};

// One weighted Pauli product: coeff · ⊗ P_q over `ops`, identity elsewhere
// (empty ops: the identity times coeff).
//
// Invariants when built by make(): `ops` strictly ascending by qubit (no qubit
// twice), no Pauli::I entry, `coeff` finite. The fields are open so that a
// consumer can be handed a value that breaks them; consumers that depend on
// them check again where the type's users say so (a non-finite coeff).
struct PauliString {
    std::vector<PauliOp> ops;
    double coeff = 0.0;

    // Takes the pairs in any order. Fails on a non-finite coeff first, then on
    // the first qubit that occurs twice (identity entries included). Sorts
    // stably and drops identities in place, in the given vector.
    static std::expected<PauliString, PauliError> make(std::vector<PauliOp> ops, double coeff);

    friend bool operator==(const PauliString&, const PauliString&) = default;
};

// Failure of PauliSum::parse; every message starts with "line {}: " (1-based,
// every line counted, blank and comment lines included).
struct PauliSumError {
    enum class Kind : std::uint8_t { Malformed, BadCoefficient, LengthMismatch, BadPauli, Term };

    Kind kind = Kind::Malformed;
    std::size_t line = 0;
    std::string text;             // Malformed: the whole untrimmed line; BadCoefficient: the token
    std::size_t chars = 0;        // LengthMismatch: characters (scalar values) in the Pauli token
    std::uint32_t expected = 0;   // LengthMismatch: the qubit count
    char32_t character = 0;       // BadPauli: the first character outside I,X,Y,Z
    PauliError term{};            // Term: the PauliString::make failure

    //   Malformed       "line {}: expected '<coeff> <pauli>', got {:?}"
    //   BadCoefficient  "line {}: coefficient {:?} is not a finite float"
    //   LengthMismatch  "line {}: pauli string has {} chars, expected {}"
    //   BadPauli        "line {}: {:?} is not one of I,X,Y,Z"
    //   Term            "line {}: {}"
    std::string message() const;
    friend bool operator==(const PauliSumError&, const PauliSumError&) = default;
};

// A sum of terms in input order; equal terms are not merged.
struct PauliSum {
    std::vector<PauliString> terms;

    // Reads the whole text (UTF-8) for `n_qubits` qubits. The first failing
    // line ends the parse; no partial sum is returned.
    static std::expected<PauliSum, PauliSumError> parse(std::string_view text, std::uint32_t n_qubits);

    friend bool operator==(const PauliSum&, const PauliSum&) = default;
};

}  // namespace nivra
