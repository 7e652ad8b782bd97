#include "nivra/core/number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "nivra/core/error.h"

namespace nivra {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (ascii_lower(text[i]) != lower_word[i]) return false;
    }
    return true;
}

// Where the pieces of a decimal token lie, once the grammar has accepted it.
struct DecimalShape {
    std::string_view integer_digits;
    std::string_view fraction_digits;
    bool exponent_negative = false;
    std::string_view exponent_digits;  // empty when there is no exponent
};

// Checks `digits [. digits?] | . digits` then an optional exponent, covering the whole text.
std::optional<DecimalShape> match_decimal(std::string_view text) {
    DecimalShape shape;
    std::size_t pos = 0;
    auto take_digits = [&] {
        std::size_t start = pos;
        while (pos < text.size() && is_digit(text[pos])) ++pos;
        return text.substr(start, pos - start);
    };
    shape.integer_digits = take_digits();
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        shape.fraction_digits = take_digits();
    }
    if (shape.integer_digits.empty() && shape.fraction_digits.empty()) return std::nullopt;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
            shape.exponent_negative = text[pos] == '-';
            ++pos;
        }
        shape.exponent_digits = take_digits();
        if (shape.exponent_digits.empty()) return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
    return shape;
}

// Decides whether an out-of-range magnitude is too large (true) or too small.
// Write the value as 0.d1d2... × 10^k with d1 its first non-zero digit. Out of
// range means above the largest double (k > 308) or below half the smallest
// subnormal (k < -323), so the sign of k tells which.
bool overflows(const DecimalShape& shape) {
    // Saturating: any exponent beyond this bound decides the direction by itself,
    // whatever the digit counts (which are bounded by the token length).
    constexpr std::int64_t LIMIT = 1'000'000'000'000'000;
    std::int64_t exponent = 0;
    for (char c : shape.exponent_digits) {
        if (exponent >= LIMIT) break;
        exponent = exponent * 10 + (c - '0');
    }
    if (shape.exponent_negative) exponent = -exponent;

    std::int64_t point_shift;  // k without the exponent
    std::size_t first_nonzero = shape.integer_digits.find_first_not_of('0');
    if (first_nonzero != std::string_view::npos) {
        point_shift = static_cast<std::int64_t>(shape.integer_digits.size() - first_nonzero);
    } else {
        first_nonzero = shape.fraction_digits.find_first_not_of('0');
        // All digits zero never reads out of range; treat it as underflow regardless.
        if (first_nonzero == std::string_view::npos) return false;
        point_shift = -static_cast<std::int64_t>(first_nonzero);
    }
    return point_shift + exponent > 0;
}

}  // namespace

std::optional<double> parse_f64(std::string_view token) {
    bool negative = false;
    std::string_view body = token;
    if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
        negative = body.front() == '-';
        body.remove_prefix(1);
    }
    double magnitude;
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
        magnitude = std::numeric_limits<double>::infinity();
    } else if (equals_ignoring_case(body, "nan")) {
        magnitude = std::numeric_limits<double>::quiet_NaN();
    } else {
        std::optional<DecimalShape> shape = match_decimal(body);
        if (!shape) return std::nullopt;
        // The text is now a plain unsigned decimal, which from_chars reads with correct rounding.
        auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), magnitude, std::chars_format::general);
        if (ec == std::errc::result_out_of_range) {
            magnitude = overflows(*shape) ? std::numeric_limits<double>::infinity() : 0.0;
        } else {
            check_invariant(ec == std::errc{} && end == body.data() + body.size(),
                            "validated decimal token was not read whole");
        }
    }
    return negative ? -magnitude : magnitude;
}

std::optional<std::uint64_t> parse_u64(std::string_view token) {
    if (!token.empty() && token.front() == '+') token.remove_prefix(1);
    if (token.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : token) {
        if (!is_digit(c)) return std::nullopt;
        if (!checked_mul<std::uint64_t>(value, 10, value) ||
            !checked_add<std::uint64_t>(value, static_cast<std::uint64_t>(c - '0'), value)) {
            return std::nullopt;
        }
    }
    return value;
}

}  // namespace nivra
