#include "nivra/core/format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/number.h"
#include "nivra/core/unicode_tables.h"

namespace nivra::fmt {
namespace {

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

// The reference rows, grouped by section of the file.
struct FormsFile {
    struct FloatRow {
        std::uint64_t bits;
        std::string display, debug, sci;
    };
    struct TextRow {
        std::u32string input;
        std::string rendering;
    };
    std::vector<FloatRow> floats;
    std::vector<TextRow> strings;
    std::vector<TextRow> chars;
};

FormsFile read_forms_file() {
    std::ifstream in(std::string(NIVRA_TESTDATA_DIR) + "/number-and-text-forms.tsv");
    EXPECT_TRUE(in.good()) << "cannot open number-and-text-forms.tsv";
    FormsFile file;
    enum { Floats, Strings, Chars } section = Floats;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] == '#') {
            if (line.starts_with("# string debug")) section = Strings;
            if (line.starts_with("# char debug")) section = Chars;
            continue;
        }
        std::vector<std::string> fields = split_tabs(line);
        if (section == Floats) {
            EXPECT_EQ(fields.size(), 4u) << line;
            if (fields.size() != 4) continue;
            file.floats.push_back({std::stoull(fields[0], nullptr, 16), fields[1], fields[2], fields[3]});
        } else {
            EXPECT_EQ(fields.size(), 2u) << line;
            if (fields.size() != 2) continue;
            FormsFile::TextRow row;
            row.rendering = fields[1];
            if (section == Strings) {
                std::istringstream scalars(fields[0].substr(1, fields[0].size() - 2));
                std::string hex;
                while (scalars >> hex) row.input.push_back(static_cast<char32_t>(std::stoul(hex, nullptr, 16)));
                file.strings.push_back(row);
            } else {
                row.input.push_back(static_cast<char32_t>(std::stoul(fields[0], nullptr, 16)));
                file.chars.push_back(row);
            }
        }
    }
    return file;
}

std::string utf8_of(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) append_utf8(out, c);
    return out;
}

TEST(FormsFile, EveryFloatRowMatches) {
    FormsFile file = read_forms_file();
    ASSERT_GE(file.floats.size(), 30u);
    for (const auto& row : file.floats) {
        double value = std::bit_cast<double>(row.bits);
        EXPECT_EQ(display(value), row.display) << std::hex << row.bits;
        EXPECT_EQ(debug(value), row.debug) << std::hex << row.bits;
        EXPECT_EQ(sci(value), row.sci) << std::hex << row.bits;
    }
}

TEST(FormsFile, EveryStringAndCharRowMatches) {
    FormsFile file = read_forms_file();
    ASSERT_GE(file.strings.size(), 20u);
    ASSERT_GE(file.chars.size(), 13u);
    for (const auto& row : file.strings) EXPECT_EQ(fmt::quoted(utf8_of(row.input)), row.rendering) << row.rendering;
    for (const auto& row : file.chars) EXPECT_EQ(quoted_char(row.input[0]), row.rendering) << row.rendering;
}

// The shortest scientific mantissa found by brute force with printf/strtod:
// the fewest significant digits that read back to the same double.
std::string reference_sci(double value) {
    char text[64];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*e", digits - 1, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    std::string s(text);
    std::size_t e = s.find('e');
    std::string mantissa = s.substr(0, e);
    if (mantissa.find('.') != std::string::npos) {
        while (mantissa.back() == '0') mantissa.pop_back();
        if (mantissa.back() == '.') mantissa.pop_back();
    }
    return mantissa + "e" + std::to_string(std::stoi(s.substr(e + 1)));
}

TEST(FloatForms, RandomDoublesAreShortestAndReadBack) {
    std::mt19937_64 gen(12345);
    for (int i = 0; i < 20000; ++i) {
        double value = std::bit_cast<double>(gen());
        if (!std::isfinite(value)) continue;
        std::string d = display(value), g = debug(value), s = sci(value);
        // printf may pick a different digit string of the same (shortest) length when two read back; a
        // shortest-round-trip algorithm picks the closest one, so compare lengths and round trips.
        std::string ref = reference_sci(value);
        EXPECT_EQ(s.find('e'), ref.find('e')) << s << " vs " << ref;
        EXPECT_EQ(s.substr(s.find('e')), ref.substr(ref.find('e'))) << s << " vs " << ref;
        for (const std::string& text : {d, g, s}) {
            std::optional<double> back = parse_f64(text);
            ASSERT_TRUE(back.has_value()) << text;
            EXPECT_EQ(std::bit_cast<std::uint64_t>(*back), std::bit_cast<std::uint64_t>(value)) << text;
        }
        EXPECT_EQ(d.find('e'), std::string::npos) << d;
    }
}

TEST(FloatForms, DebugSwitchesToScientificAtTheThresholds) {
    EXPECT_EQ(debug(1e-4), "0.0001");
    EXPECT_EQ(debug(std::nextafter(1e-4, 0.0)), "9.999999999999999e-5");
    EXPECT_EQ(debug(std::nextafter(1e16, 0.0)), "9999999999999998.0");
    EXPECT_EQ(debug(-1e16), "-1e16");
    EXPECT_EQ(debug(-0.00001), "-1e-5");
    EXPECT_EQ(debug(123.0), "123.0");
    EXPECT_EQ(debug(-2.5), "-2.5");
    EXPECT_EQ(sci(-0.0), "-0e0");
    EXPECT_EQ(sci(-std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(display(-std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(display(1.5e-10), "0.00000000015");
    EXPECT_EQ(display(1234.5), "1234.5");
    EXPECT_EQ(display(-1e21), "-1000000000000000000000");
}

TEST(IntegerForms, Extremes) {
    EXPECT_EQ(display(std::uint64_t{0}), "0");
    EXPECT_EQ(display(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(display(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(display(std::int32_t{-7}), "-7");
    EXPECT_EQ(display(std::uint32_t{4294967295u}), "4294967295");
}

TEST(QuotedForms, EscapesAndClasses) {
    EXPECT_EQ(fmt::quoted("a'b\"c"), "\"a'b\\\"c\"");
    EXPECT_EQ(quoted_char(U'"'), "'\"'");
    EXPECT_EQ(fmt::quoted(std::string_view("\x01\x1f ", 3)), "\"\\u{1}\\u{1f} \"");
    EXPECT_EQ(fmt::quoted(utf8_of(U"\u3000\u00ad\u0378\ue000")), "\"\\u{3000}\\u{ad}\\u{378}\\u{e000}\"");
    EXPECT_EQ(fmt::quoted(utf8_of(U"\U0010FFFF\U000E0001")), "\"\\u{10ffff}\\u{e0001}\"");
    EXPECT_EQ(fmt::quoted(utf8_of(U"a\u20dd\u200d")), "\"a\\u{20dd}\\u{200d}\"");  // enclosing mark, zero-width joiner
    EXPECT_EQ(fmt::quoted(utf8_of(U"\u00c5\u4e2d\U0001F680")), "\"\u00c5\u4e2d\U0001F680\"");
    // Invalid UTF-8 shows the (printable) replacement character, one per bad byte.
    EXPECT_EQ(fmt::quoted("a\xff\xc3"), "\"a\uFFFD\uFFFD\"");
    EXPECT_EQ(quoted_char(0x110000), "'\uFFFD'");
    EXPECT_EQ(quoted_char(0x10FFFF), "'\\u{10ffff}'");
    EXPECT_EQ(quoted_char(U'\r'), "'\\r'");
}

TEST(QuotedForms, TableAgreesWithKnownClasses) {
    using detail::needs_unicode_escape;
    for (char32_t c = 0; c < 0x20; ++c) EXPECT_TRUE(needs_unicode_escape(c)) << static_cast<std::uint32_t>(c);
    for (char32_t c = 0x20; c < 0x7F; ++c) EXPECT_FALSE(needs_unicode_escape(c)) << static_cast<std::uint32_t>(c);
    for (char32_t c = 0x7F; c <= 0xA0; ++c) EXPECT_TRUE(needs_unicode_escape(c)) << static_cast<std::uint32_t>(c);
    for (char32_t c = 0x300; c <= 0x36F; ++c) EXPECT_TRUE(needs_unicode_escape(c)) << static_cast<std::uint32_t>(c);
    for (char32_t c : {0x1680, 0x2000, 0x200A, 0x200B, 0x200F, 0x2028, 0x2029, 0x202A, 0x202E, 0x202F, 0x205F, 0x2060,
                       0x2064, 0xD800, 0xDFFF, 0xFEFF, 0xFFFF, 0xF0000, 0x10FFFD}) {
        EXPECT_TRUE(needs_unicode_escape(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
    for (char32_t c : {0xA1, 0xE9, 0x3B1, 0x5D0, 0x4E2D, 0xFFFD, 0x1F600, 0x20000}) {
        EXPECT_FALSE(needs_unicode_escape(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
}

TEST(Utf8, RoundTripsEveryScalarValue) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        std::string bytes;
        append_utf8(bytes, c);
        ASSERT_EQ(bytes.size(), c < 0x80 ? 1u : c < 0x800 ? 2u : c < 0x10000 ? 3u : 4u);
        Utf8Reader reader(bytes);
        ASSERT_EQ(reader.next(), c);
        ASSERT_TRUE(reader.done());
    }
}

TEST(Utf8, InvalidSequencesDecodeToReplacementOneByteAtATime) {
    auto decode = [](std::string_view text) {
        std::u32string out;
        Utf8Reader reader(text);
        while (!reader.done()) out.push_back(reader.next());
        return out;
    };
    EXPECT_EQ(decode("\xc0\xaf"), U"\uFFFD\uFFFD");                      // overlong '/'
    EXPECT_EQ(decode("\xe0\x80\xaf"), U"\uFFFD\uFFFD\uFFFD");            // overlong 3-byte
    EXPECT_EQ(decode("\xed\xa0\x80"), U"\uFFFD\uFFFD\uFFFD");            // surrogate
    EXPECT_EQ(decode("\xf4\x90\x80\x80"), U"\uFFFD\uFFFD\uFFFD\uFFFD");  // beyond U+10FFFF
    EXPECT_EQ(decode("\xe2\x82"), U"\uFFFD\uFFFD");                      // truncated
    EXPECT_EQ(decode("\xe2x\xac"), U"\uFFFDx\uFFFD");                    // broken continuation
    EXPECT_EQ(decode("\x80z"), U"\uFFFDz");
    Utf8Reader reader("\xe2\x82\xac!");
    EXPECT_EQ(reader.next(), U'\u20ac');
    EXPECT_EQ(reader.offset(), 3u);
}

TEST(Whitespace, MatchesTheWhiteSpaceProperty) {
    std::vector<char32_t> expected = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680};
    for (char32_t c = 0x2000; c <= 0x200A; ++c) expected.push_back(c);
    for (char32_t c : {0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) expected.push_back(c);
    std::vector<char32_t> found;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (is_unicode_whitespace(c)) found.push_back(c);
    }
    EXPECT_EQ(found, expected);
}

TEST(Bytes, OneDecimalInTheLargestUnitReached) {
    EXPECT_EQ(bytes(0), "0.0 B");
    EXPECT_EQ(bytes(1023), "1023.0 B");
    EXPECT_EQ(bytes(1024), "1.0 KiB");
    EXPECT_EQ(bytes(1536), "1.5 KiB");
    EXPECT_EQ(bytes(1075), "1.0 KiB");  // 1.0498: below the half
    EXPECT_EQ(bytes(1076), "1.1 KiB");  // 1.0508
    // Rounding up to 1024.0 of a unit moves to the next one.
    EXPECT_EQ(bytes((std::uint64_t{1} << 20) - 1), "1.0 MiB");
    EXPECT_EQ(bytes(std::uint64_t{1} << 32), "4.0 GiB");
    EXPECT_EQ(bytes(std::uint64_t{3} << 40), "3.0 TiB");
    EXPECT_EQ(bytes(UINT64_MAX), "16777216.0 TiB");
}

TEST(Bytes, MoreDecimalsRoundInTheLastDigit) {
    EXPECT_EQ(bytes(1536, 2), "1.50 KiB");
    EXPECT_EQ(bytes(1023, 2), "1023.00 B");
    EXPECT_EQ(bytes(4290000000, 3), "3.995 GiB");
    EXPECT_EQ(bytes((std::uint64_t{1} << 32) - 1, 3), "4.000 GiB");
    EXPECT_EQ(bytes((std::uint64_t{1} << 32) - 1, 9), "3.999999999 GiB");
    // The move to the next unit follows the rounding at the given precision.
    EXPECT_EQ(bytes((std::uint64_t{1} << 20) - 1, 2), "1.00 MiB");
    EXPECT_EQ(bytes((std::uint64_t{1} << 20) - 1, 3), "1023.999 KiB");
    // Leading zeros of the fraction are kept.
    EXPECT_EQ(bytes((std::uint64_t{1} << 30) + (std::uint64_t{1} << 20), 3), "1.001 GiB");
    EXPECT_EQ(bytes(UINT64_MAX, MAX_BYTE_DECIMALS), "16777215.9999999999991 TiB");
    EXPECT_THROW((void)bytes(1, 0), InvariantError);
    EXPECT_THROW((void)bytes(1, MAX_BYTE_DECIMALS + 1), InvariantError);
}

}  // namespace
}  // namespace nivra::fmt
