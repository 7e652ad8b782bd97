#include "nivra/core/format.h"

#include <charconv>
#include <iterator>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "nivra/core/error.h"
#include "nivra/core/unicode_tables.h"

namespace nivra::fmt {
namespace {

// The shortest digits that read back as |value|: value = 0.d1 d2 ... dn × 10^(exponent + 1),
// i.e. d1.d2...dn × 10^exponent, with d1 != 0 (or the single digit "0" for zero).
struct ShortestDigits {
    char digits[24];
    int count = 0;
    int exponent = 0;
};

// `value` must be finite and non-negative.
ShortestDigits shortest_digits(double value) {
    // to_chars without a precision gives the shortest round-trip mantissa; the
    // scientific layout puts it in a fixed shape that is easy to take apart:
    // "d[.ddd]e±XX".
    char text[40];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    check_invariant(ec == std::errc{}, "shortest float digits did not fit");

    ShortestDigits out;
    const char* p = text;
    for (; p != end && *p != 'e'; ++p) {
        if (*p == '.') continue;
        check_invariant(out.count < static_cast<int>(sizeof out.digits), "too many float digits");
        out.digits[out.count++] = *p;
    }
    check_invariant(p != end && out.count > 0, "malformed shortest float text");
    ++p;  // 'e'
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    int exponent = 0;
    for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
    out.exponent = negative ? -exponent : exponent;
    return out;
}

// Appends the plain positional form of the digits: no exponent, and at least
// `min_fraction_digits` digits after the point (zero-padded).
void append_positional(std::string& out, const ShortestDigits& d, int min_fraction_digits) {
    if (d.exponent >= 0) {
        int integer_digits = d.exponent + 1;
        if (d.count <= integer_digits) {
            out.append(d.digits, d.count);
            out.append(integer_digits - d.count, '0');
            if (min_fraction_digits > 0) {
                out.push_back('.');
                out.append(min_fraction_digits, '0');
            }
        } else {
            out.append(d.digits, integer_digits);
            out.push_back('.');
            out.append(d.digits + integer_digits, d.count - integer_digits);
        }
    } else {
        out += "0.";
        out.append(-d.exponent - 1, '0');
        out.append(d.digits, d.count);
    }
}

void append_scientific(std::string& out, const ShortestDigits& d) {
    out.push_back(d.digits[0]);
    if (d.count > 1) {
        out.push_back('.');
        out.append(d.digits + 1, d.count - 1);
    }
    out.push_back('e');
    out += display(static_cast<std::int64_t>(d.exponent));
}

// Handles NaN and the infinities (same text in every form) and the sign. Returns
// true when `out` is already complete.
bool begin_float(std::string& out, double value) {
    // Room for a sign and 17 digits with a point and exponent or a few zeros, so the common case grows once.
    out.reserve(32);
    if (std::isnan(value)) {
        out = "NaN";
        return true;
    }
    if (std::signbit(value)) out.push_back('-');
    if (std::isinf(value)) {
        out += "inf";
        return true;
    }
    return false;
}

void append_unicode_escape(std::string& out, char32_t c) {
    char hex[8];
    auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16);
    check_invariant(ec == std::errc{}, "code point does not fit in hex");
    out += "\\u{";
    out.append(hex, end);
    out.push_back('}');
}

enum class QuoteKind { String, Char };

// Appends one character of a quoted form. Both forms escape grapheme extenders
// wherever they stand, so a combining mark is visible even after a base letter.
void append_escaped(std::string& out, char32_t c, QuoteKind kind) {
    switch (c) {
        case U'\0':
            out += "\\0";
            return;
        case U'\t':
            out += "\\t";
            return;
        case U'\r':
            out += "\\r";
            return;
        case U'\n':
            out += "\\n";
            return;
        case U'\\':
            out += "\\\\";
            return;
        case U'"':
            out += kind == QuoteKind::String ? "\\\"" : "\"";
            return;
        case U'\'':
            out += kind == QuoteKind::Char ? "\\'" : "'";
            return;
        default:
            break;
    }
    if (detail::needs_unicode_escape(c)) {
        append_unicode_escape(out, c);
    } else {
        append_utf8(out, c);
    }
}

}  // namespace

std::string display(double value) {
    std::string out;
    if (begin_float(out, value)) return out;
    append_positional(out, shortest_digits(std::fabs(value)), 0);
    return out;
}

std::string debug(double value) {
    std::string out;
    if (begin_float(out, value)) return out;
    double magnitude = std::fabs(value);
    ShortestDigits d = shortest_digits(magnitude);
    if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
        append_positional(out, d, 1);
    } else {
        append_scientific(out, d);
    }
    return out;
}

std::string sci(double value) {
    std::string out;
    if (begin_float(out, value)) return out;
    append_scientific(out, shortest_digits(std::fabs(value)));
    return out;
}

std::string display(std::uint64_t value) {
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end);
}

std::string display(std::int64_t value) {
    char text[24];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end);
}

std::string bytes(std::uint64_t count, int decimals) {
    static constexpr const char* UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    constexpr std::size_t LAST = std::size(UNITS) - 1;
    check_invariant(decimals >= 1 && decimals <= MAX_BYTE_DECIMALS, "fmt::bytes: decimals out of range");
    std::size_t unit = 0;
    while (unit < LAST && count >= (std::uint64_t{1} << (10 * (unit + 1)))) ++unit;
    // Units of 10^-decimals, rounded half up; 128 bits hold count * 10^13.
    unsigned __int128 ten_power = 1;
    for (int i = 0; i < decimals; ++i) ten_power *= 10;
    const unsigned __int128 scaled = static_cast<unsigned __int128>(count) * ten_power;
    unsigned __int128 scale = static_cast<unsigned __int128>(1) << (10 * unit);
    unsigned __int128 fraction_units = (scaled + scale / 2) / scale;
    if (fraction_units >= 1024 * ten_power && unit < LAST) {
        ++unit;
        scale <<= 10;
        fraction_units = (scaled + scale / 2) / scale;
    }
    const auto whole = static_cast<std::uint64_t>(fraction_units / ten_power);
    std::string fraction = display(static_cast<std::uint64_t>(fraction_units % ten_power));
    fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
    return display(whole) + "." + fraction + " " + UNITS[unit];
}

std::string quoted(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out.push_back('"');
    Utf8Reader reader(utf8);
    while (!reader.done()) append_escaped(out, reader.next(), QuoteKind::String);
    out.push_back('"');
    return out;
}

std::string quoted_char(char32_t c) {
    // A value that is no Unicode scalar (a surrogate or beyond U+10FFFF) cannot
    // be encoded; it is shown as the replacement character like invalid UTF-8.
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    std::string out = "'";
    append_escaped(out, c, QuoteKind::Char);
    out.push_back('\'');
    return out;
}

void append_utf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

char32_t Utf8Reader::next() {
    check_invariant(pos_ < text_.size(), "Utf8Reader::next past the end");
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text_[i]); };
    const unsigned char lead = byte(pos_);
    if (lead < 0x80) {
        ++pos_;
        return lead;
    }

    // Sequence length and the smallest code point it may encode (anything lower is an overlong form).
    std::size_t length;
    char32_t minimum;
    char32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, value = lead & 0x07;
    } else {
        ++pos_;
        return 0xFFFD;
    }
    if (text_.size() - pos_ < length) {
        ++pos_;
        return 0xFFFD;
    }
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char continuation = byte(pos_ + i);
        if ((continuation & 0xC0) != 0x80) {
            ++pos_;
            return 0xFFFD;
        }
        value = (value << 6) | (continuation & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++pos_;
        return 0xFFFD;
    }
    pos_ += length;
    return value;
}

bool is_unicode_whitespace(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    switch (c) {
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

}  // namespace nivra::fmt
