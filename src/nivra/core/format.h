#pragma once
// The number and text forms that every user-visible message is built from.
// Messages must match fixed texts character for character, so no message is
// formatted any other way (no iostreams, no printf of user text).
//
//   display(1.0) == "1"      display(1e-5) == "0.00001"   display(1e21) == "1000000000000000000000"
//   debug(1.0)   == "1.0"    debug(1e-5)   == "1e-5"      debug(1e16)   == "1e16"
//   sci(12345.678) == "1.2345678e4"
//   quoted("a\"b") == "\"a\\\"b\""   quoted_char(U'\'') == "'\\''"
// NaN prints as "NaN", infinities as "inf" and "-inf", in every form.

#include <cstdint>
#include <string>
#include <string_view>

namespace nivra::fmt {

// Shortest decimal that reads back exactly, never an exponent, no fraction
// when integral ("{}" in the message tables).
std::string display(double value);

// Structural debug form ("{:?}"): shortest digits with at least one digit after
// the point; scientific below 1e-4 and from 1e16 in magnitude (zero excepted).
std::string debug(double value);

// Scientific with the shortest mantissa ("{:e}"): "1e0", "-2.5e-1".
std::string sci(double value);

// Quoted debug form of a UTF-8 text: double quotes; backslash before '\\' and
// '"'; \t \r \n \0 escapes; other non-printable characters (control, format,
// separators other than space, private use, unassigned) and grapheme extenders
// (combining marks, wherever they stand) as \u{hex}. Invalid UTF-8 bytes are
// shown as U+FFFD.
// Call it qualified (fmt::quoted): unqualified with a std::string argument,
// argument-dependent lookup prefers std::quoted.
std::string quoted(std::string_view utf8);

// Quoted debug form of one character: single quotes, backslash before '\''
// (a double quote is left as it is), otherwise escaped like quoted().
std::string quoted_char(char32_t c);

// Unsigned and signed integers in decimal ("{}").
std::string display(std::uint64_t value);
std::string display(std::int64_t value);
inline std::string display(std::uint32_t value) { return display(static_cast<std::uint64_t>(value)); }
inline std::string display(std::int32_t value) { return display(static_cast<std::int64_t>(value)); }

// A byte count for messages, `decimals` digits after the point (1 to
// MAX_BYTE_DECIMALS) in the largest binary unit it reaches:
//   bytes(512) == "512.0 B"   bytes(1536) == "1.5 KiB"   bytes(1ull << 32) == "4.0 GiB"
//   bytes((1ull << 32) - 1, 3) == "4.000 GiB"   bytes(4290000000, 3) == "3.995 GiB"
// Rounded half up in the last digit; a value that rounds to 1024 of a unit
// moves to the next unit ("1.0 MiB"); TiB is the largest unit.
inline constexpr int MAX_BYTE_DECIMALS = 13;
std::string bytes(std::uint64_t count, int decimals = 1);

// Appends the UTF-8 encoding of `c` to `out`.
void append_utf8(std::string& out, char32_t c);

// Decodes the UTF-8 text into scalar values, one at a time. Invalid sequences
// decode to U+FFFD and advance by one byte.
class Utf8Reader {
public:
    explicit Utf8Reader(std::string_view text) : text_(text) {}
    bool done() const { return pos_ >= text_.size(); }
    std::size_t offset() const { return pos_; }
    char32_t next();

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// Unicode White_Space property (the set used to trim and split text formats).
bool is_unicode_whitespace(char32_t c);

}  // namespace nivra::fmt
