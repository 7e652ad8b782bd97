#include "nivra/core/number.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>

namespace nivra {
namespace {

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Expects the token to read as exactly `expected` (sign of zero included).
void expect_reads(std::string_view token, double expected) {
    std::optional<double> value = parse_f64(token);
    ASSERT_TRUE(value.has_value()) << token;
    EXPECT_EQ(bits(*value), bits(expected)) << token << " read as " << *value;
}

TEST(ParseF64, AcceptedForms) {
    expect_reads("0", 0.0);
    expect_reads("-0", -0.0);
    expect_reads("+.5", 0.5);
    expect_reads(".5", 0.5);
    expect_reads("1.", 1.0);
    expect_reads("-1.", -1.0);
    expect_reads("00012.500", 12.5);
    expect_reads("1e3", 1000.0);
    expect_reads("1E+3", 1000.0);
    expect_reads("2.5e-3", 0.0025);
    expect_reads(".5e1", 5.0);
    expect_reads("5.e-1", 0.5);
    expect_reads("1e0000000000000000000000000000003", 1000.0);
    expect_reads("0.7071067811865476", 0.7071067811865476);
    expect_reads("6.283185307179586", 6.283185307179586);
}

TEST(ParseF64, SpecialWordsInAnyCase) {
    const double inf = std::numeric_limits<double>::infinity();
    for (std::string word : {"inf", "INF", "Inf", "infinity", "INFINITY", "iNfInItY"}) {
        expect_reads(word, inf);
        expect_reads(std::string(1, '+').append(word), inf);
        expect_reads(std::string(1, '-').append(word), -inf);
    }
    for (std::string_view word : {"nan", "NaN", "NAN", "+nan", "-nan"}) {
        std::optional<double> value = parse_f64(word);
        ASSERT_TRUE(value.has_value()) << word;
        EXPECT_TRUE(std::isnan(*value)) << word;
    }
}

TEST(ParseF64, RejectedForms) {
    // The last three: a fullwidth digit one, a NUL after the number, a line end after it.
    const std::string_view rejected[] = {
        "",     "+",       "-",     ".",     "+.",    "-.e1",      "e5",           "E5",
        "1e",   "1e+",     "1e-",   "1_0",   "1,5",   "0x10",      "0x1p3",        " 1",
        "1 ",   "\t1",     "1.0.0", "1e5.0", "1e5e5", "--1",       "+-1",          "in",
        "nana", "infinit", "+ inf", "1f",    "1.5d",  "infinityy", "\xef\xbc\x91", std::string_view("1\0", 2),
        "1\n"};
    for (std::string_view token : rejected) {
        EXPECT_FALSE(parse_f64(token).has_value()) << '"' << token << '"';
    }
}

TEST(ParseF64, OverflowAndUnderflowKeepTheSign) {
    const double inf = std::numeric_limits<double>::infinity();
    expect_reads("1e400", inf);
    expect_reads("-1e400", -inf);
    expect_reads("1e-400", 0.0);
    expect_reads("-1e-400", -0.0);
    expect_reads("1.8e308", inf);
    expect_reads("1.7976931348623157e308", std::numeric_limits<double>::max());
    expect_reads("1.7976931348623158e308", std::numeric_limits<double>::max());  // rounds down to max
    expect_reads("5e-324", std::numeric_limits<double>::denorm_min());
    expect_reads("2.4703282292062328e-324", std::numeric_limits<double>::denorm_min());  // just above halfway
    expect_reads("2.4703282292062327e-324", 0.0);                                        // just below halfway
    expect_reads("2.2250738585072014e-308", std::numeric_limits<double>::min());
    // Huge exponents and digit counts: the magnitude decides the direction, not the exponent alone.
    expect_reads("1e99999999999999999999999999", inf);
    expect_reads("-1e-99999999999999999999999999", -0.0);
    expect_reads("0.000000000000000000001e330", inf);  // 1e309
    expect_reads("0e999999", 0.0);
    expect_reads("-0.0e-999999", -0.0);
    expect_reads(std::string(500, '0') + "1e308", 1e308);  // leading zeros do not count
    expect_reads("0." + std::string(500, '0') + "1e809", 1e308);
    expect_reads("1" + std::string(400, '0'), inf);
    expect_reads("0." + std::string(400, '0') + "1", 0.0);
    expect_reads("1" + std::string(400, '0') + "e-400", 1.0);
    expect_reads("0." + std::string(400, '0') + "1e401", 1.0);
}

TEST(ParseF64, LongDigitStringsRoundCorrectly) {
    // 1 + 2^-53, exactly halfway between 1 and the next double: ties go to the even neighbour (1), and
    // a non-zero digit hundreds of places later tips it up.
    const std::string halfway = "1.00000000000000011102230246251565404236316680908203125";
    expect_reads(halfway, 1.0);
    expect_reads(halfway + std::string(300, '0'), 1.0);
    expect_reads(halfway + std::string(300, '0') + "1", std::nextafter(1.0, 2.0));
    std::string long_one = "1." + std::string(800, '0') + "1";
    expect_reads(long_one, 1.0);
}

TEST(ParseF64, AgreesWithStrtodOnRandomShortestAndLongForms) {
    std::mt19937_64 gen(99);
    char text[64];
    for (int i = 0; i < 20000; ++i) {
        double value = std::bit_cast<double>(gen());
        if (!std::isfinite(value)) continue;
        std::snprintf(text, sizeof text, "%.*e", static_cast<int>(gen() % 25), value);
        double reference = std::strtod(text, nullptr);
        expect_reads(text, reference);
    }
}

TEST(ParseU64, AcceptedAndRejected) {
    EXPECT_EQ(parse_u64("0"), 0u);
    EXPECT_EQ(parse_u64("+7"), 7u);
    EXPECT_EQ(parse_u64("0000042"), 42u);
    EXPECT_EQ(parse_u64("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(parse_u64("+018446744073709551615"), std::numeric_limits<std::uint64_t>::max());
    for (std::string_view token : std::initializer_list<std::string_view>{
             "18446744073709551616", "99999999999999999999", "184467440737095516150", "", "+", "-0", "-1", "++1", " 1",
             "1 ", "1_000", "0x10", "1e3", "1.0", "٣"}) {
        EXPECT_FALSE(parse_u64(token).has_value()) << '"' << token << '"';
    }
}

}  // namespace
}  // namespace nivra
