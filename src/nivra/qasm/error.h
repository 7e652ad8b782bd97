#pragma once
// ParseError: every failure of the OpenQASM front end, located by line, column
// and the text of the failing line; and the helpers that locate and classify a
// failure (line and column from a byte offset, the unsupported-feature sniffer).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "nivra/ir/circuit.h"
#include "nivra/qasm/lexer.h"

namespace nivra::qasm {

// What a parse failure is: its kind and the fields that kind uses. Unused
// fields keep their defaults, so equal failures compare equal.
struct ParseErrorKind {
    // In this fixed order (the enumerator is the kind's number).
    enum class Kind : std::uint8_t {
        UnexpectedToken,     // `text` found, `other` expected
        UnknownGate,         // `text`: the gate name
        UndeclaredRegister,  // `text`: the register name
        DuplicateRegister,   // `text`: the register name
        IndexOutOfBounds,    // register `text`, index `count`, register size `limit`
        SizeMismatch,        // register `text` of size `count`, register `other` of size `limit`
        BadExpression,       // `text`: why the expression failed
        Unsupported,         // `text`: the feature
        TooManyQubits,       // `count` declared, `limit` the maximum
        TooManyClbits,       // `count` declared, `limit` the maximum
        Ir,                  // `circuit_error`: what the circuit refused
    };

    Kind kind = Kind::UnexpectedToken;
    std::string text;
    std::string other;
    std::uint32_t count = 0;
    std::uint32_t limit = 0;
    ir::CircuitError circuit_error;

    static ParseErrorKind unexpected_token(std::string found, std::string expected) {
        return {Kind::UnexpectedToken, std::move(found), std::move(expected), 0, 0, {}};
    }
    static ParseErrorKind unknown_gate(std::string name) { return {Kind::UnknownGate, std::move(name), {}, 0, 0, {}}; }
    static ParseErrorKind undeclared_register(std::string name) {
        return {Kind::UndeclaredRegister, std::move(name), {}, 0, 0, {}};
    }
    static ParseErrorKind duplicate_register(std::string name) {
        return {Kind::DuplicateRegister, std::move(name), {}, 0, 0, {}};
    }
    static ParseErrorKind index_out_of_bounds(std::string register_name, std::uint32_t index, std::uint32_t size) {
        return {Kind::IndexOutOfBounds, std::move(register_name), {}, index, size, {}};
    }
    static ParseErrorKind size_mismatch(std::string first, std::uint32_t first_size, std::string second,
                                        std::uint32_t second_size) {
        return {Kind::SizeMismatch, std::move(first), std::move(second), first_size, second_size, {}};
    }
    static ParseErrorKind bad_expression(std::string message) {
        return {Kind::BadExpression, std::move(message), {}, 0, 0, {}};
    }
    static ParseErrorKind unsupported(std::string feature) {
        return {Kind::Unsupported, std::move(feature), {}, 0, 0, {}};
    }
    static ParseErrorKind too_many_qubits(std::uint32_t declared, std::uint32_t max) {
        return {Kind::TooManyQubits, {}, {}, declared, max, {}};
    }
    static ParseErrorKind too_many_clbits(std::uint32_t declared, std::uint32_t max) {
        return {Kind::TooManyClbits, {}, {}, declared, max, {}};
    }
    static ParseErrorKind ir_rejected(ir::CircuitError error) { return {Kind::Ir, {}, {}, 0, 0, std::move(error)}; }

    friend bool operator==(const ParseErrorKind&, const ParseErrorKind&) = default;
};

// The display text of a kind:
//   UnexpectedToken     "unexpected token: expected {expected}, found `{found}`"
//   UnknownGate         "unknown gate `{}`"
//   UndeclaredRegister  "undeclared register `{}`"
//   DuplicateRegister   "register `{}` is declared more than once"
//   IndexOutOfBounds    "index {} out of bounds for register `{}` of size {}"
//   SizeMismatch        "size mismatch: `{}` has {} but `{}` has {}"
//   BadExpression       "bad expression: {}"
//   Unsupported         "unsupported feature: {}"
//   TooManyQubits       "too many qubits: declared {}, max {}"
//   TooManyClbits       "too many clbits: declared {}, max {}"
//   Ir                  "IR rejected this program: {circuit error message}"
std::string kind_message(const ParseErrorKind& kind);

struct ParseError {
    ParseErrorKind kind;
    std::uint32_t line = 1;    // 1-based
    std::uint32_t column = 1;  // 1-based, counted in characters from the line start
    std::string snippet;       // the failing line without its line ending

    // "error at {line}:{column}: {kind_message}" (what users are shown).
    std::string message() const;

    friend bool operator==(const ParseError&, const ParseError&) = default;
};

// The feature names that Unsupported carries.
inline constexpr std::string_view FEATURE_IF = "classical control flow (if)";
inline constexpr std::string_view FEATURE_GPHASE = "global phase (gphase)";
inline constexpr std::string_view FEATURE_GATE_DEFINITION = "custom gate definition";
inline constexpr std::string_view FEATURE_DEF = "subroutine definition (def)";
inline constexpr std::string_view FEATURE_BOX = "box block";
inline constexpr std::string_view FEATURE_DELAY = "delay statement";
inline constexpr std::string_view FEATURE_U_GATE = "U(...) gate \u2014 use u3 instead";
inline constexpr std::string_view FEATURE_LATE_DECLARATION = "register declaration after gate statement";
inline constexpr std::string_view FEATURE_INCLUDE = "non-stdgates include";
inline constexpr std::string_view FEATURE_MIXED_MEASURE = "mixed whole-register / indexed measure";

struct LineColumn {
    std::uint32_t line = 1;
    std::uint32_t column = 1;
};

// The line (1 + line feeds before `offset`) and column (1 + characters between
// the line start and `offset`) of a byte offset; an offset past the end counts
// as the end. Characters are UTF-8 sequences (every byte that is not a
// continuation byte starts one). Values beyond 2^32 - 1 saturate.
LineColumn locate(std::string_view source, std::size_t offset);

// The 1-based line of `source` split at "\n", without its line feed and one
// carriage return before it. Line 0 counts as line 1; a line past the end is
// empty. The view points into `source`.
std::string_view nth_line(std::string_view source, std::uint32_t line);

// The unsupported feature that `line` names from character `column` on
// (1-based; 0 counts as 1), after leading Unicode white space: "if(" or "if ",
// "gphase", "gate ", "def ", "box " or "box{", "delay " or "delay[", "U(".
std::optional<std::string_view> sniff_unsupported_feature(std::string_view line, std::uint32_t column);

// A ParseError at (line, column) with the snippet taken by nth_line.
ParseError perr(std::string_view source, std::uint32_t line, std::uint32_t column, ParseErrorKind kind);
// The same, at a byte offset.
ParseError perr_at(std::string_view source, std::size_t offset, ParseErrorKind kind);

// The error a grammar failure becomes: BadExpression for a parameter, else
// Unsupported when the failing line names a feature there, else
// UnexpectedToken with the next 20 characters (trailing white space removed,
// "end of source" when none are left) and the text the failure kind expects.
ParseError grammar_failure_error(std::string_view source, const GrammarError& failure);

// The error for text the grammar left unread from byte offset `rest` on, or
// nothing when only Unicode white space remains. Located at the first
// character after that white space: a plain "qubit" or "bit" prefix is a
// declaration after a gate statement; then a sniffed feature; else
// UnexpectedToken expecting "end of input" with the next 20 characters.
std::optional<ParseError> unread_rest_error(std::string_view source, std::size_t rest);

}  // namespace nivra::qasm
