#pragma once
// Token rules of the OpenQASM reader, and the failure values that every
// grammar rule (tokens, statements, expressions) returns.
//
// Every rule has the shape `GrammarResult<T> rule(Input& in)`: on success it
// advances `in.pos` past what it matched; on failure it leaves `in.pos` where
// it was, so an enclosing alternative can try something else from the same
// place. Positions are byte offsets; lines and columns are derived only for
// the one error that is reported (see error.h), which keeps a long one-line
// program linear.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace nivra::qasm {

// Why a rule did not match. When a failure ends the parse, the kind chooses
// the "expected" text the user sees (error.cc).
enum class GrammarErrorKind : std::uint8_t {
    Tag,         // a keyword or punctuation mark was not there
    Digit,       // digits whose value does not fit an unsigned 32-bit integer
    TakeWhile1,  // one or more characters of a class were required (digits, white space)
    Satisfy,     // the first character of an identifier was not a letter or '_'
    Verify,      // a value was read but refused (a header major version other than 3)
    TakeUntil,   // a closing delimiter never came (an include's closing quote)
    Float,       // no number here
    Expression,  // a gate parameter evaluated to an error; GrammarError::expression says which
};

// Why a constant expression has no value. A plain value (no text until
// message() is asked for) so that the recursive expression reader keeps small
// stack frames.
struct ExprError {
    enum class Kind : std::uint8_t { DivisionByZero, NonFinite, NestedTooDeeply };
    Kind kind = Kind::DivisionByZero;
    double value = 0.0;  // the non-finite result, for NonFinite

    //   DivisionByZero   "division by zero"
    //   NonFinite        "non-finite expression result ({value})"   (inf, -inf or NaN)
    //   NestedTooDeeply  "expression nested too deeply"
    std::string message() const;

    friend bool operator==(const ExprError& a, const ExprError& b) {
        return a.kind == b.kind && (a.kind != Kind::NonFinite || a.message() == b.message());
    }
};

// A grammar failure at a byte offset. A recoverable one lets an enclosing list
// or alternative try something else; a committed one ends the whole parse.
struct GrammarError {
    bool committed = false;
    std::size_t offset = 0;
    GrammarErrorKind kind = GrammarErrorKind::Tag;
    ExprError expression;  // only for GrammarErrorKind::Expression

    static GrammarError recoverable(std::size_t offset, GrammarErrorKind kind) { return {false, offset, kind, {}}; }
    static GrammarError bad_expression(std::size_t offset, ExprError why) {
        return {true, offset, GrammarErrorKind::Expression, why};
    }
    // The same failure, now ending the parse (what follows a keyword that has matched).
    GrammarError commit() const {
        GrammarError committed_error = *this;
        committed_error.committed = true;
        return committed_error;
    }

    friend bool operator==(const GrammarError& a, const GrammarError& b) {
        return a.committed == b.committed && a.offset == b.offset && a.kind == b.kind &&
               (a.kind != GrammarErrorKind::Expression || a.expression == b.expression);
    }
};

template <class T>
using GrammarResult = std::expected<T, GrammarError>;

// The text being read and the byte offset reached.
struct Input {
    std::string_view source;
    std::size_t pos = 0;

    bool at_end() const { return pos >= source.size(); }
    // The byte at the current position, or '\0' at the end (never read past it).
    char peek() const { return pos < source.size() ? source[pos] : '\0'; }
    std::string_view rest() const { return pos < source.size() ? source.substr(pos) : std::string_view{}; }

    // Consumes `word` when the text continues with it. No word boundary is implied.
    bool eat(std::string_view word) {
        // The first byte decides most calls (keyword alternatives) without a memcmp.
        if (!word.empty() && peek() != word.front()) return false;
        if (rest().starts_with(word)) {
            pos += word.size();
            return true;
        }
        return false;
    }
    bool eat(char c) {
        if (pos < source.size() && source[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
};

inline bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
// The only characters skip_ws and ws1 count as white space.
inline bool is_qasm_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Skips, while it makes progress: runs of space, tab, CR and LF; "//" up to
// (not including) the next CR or LF or the end; "/*" up to and including the
// next "*/". An unterminated "/*" is not skipped: reading stops in front of it.
// Never fails.
inline void skip_ws(Input& in);

// skip_ws once the next byte is known to start white space or a comment.
void skip_ws_and_comments(Input& in);

inline void skip_ws(Input& in) {
    const char next = in.peek();
    // Most calls land on a token: leave those without a call.
    if (is_qasm_space(next) || next == '/') skip_ws_and_comments(in);
}

// One or more of space, tab, CR, LF (a comment does not count). Fails
// recoverably with TakeWhile1.
GrammarResult<void> ws1(Input& in);

// The literal `word`; fails recoverably with Tag at the current position.
GrammarResult<void> tag(Input& in, std::string_view word);

// One or more ASCII digits as an unsigned 32-bit value. No digit: recoverable
// TakeWhile1; a value above 4294967295: recoverable Digit at the first digit.
GrammarResult<std::uint32_t> uint(Input& in);

// An ASCII letter or '_', then any ASCII letters, digits and '_'. A bad first
// character fails recoverably with Satisfy. The view points into the source.
GrammarResult<std::string_view> ident(Input& in);

// "e" or "E", an optional sign, one or more digits. Returns false and consumes
// nothing when that is not all there.
bool exponent(Input& in);

}  // namespace nivra::qasm
