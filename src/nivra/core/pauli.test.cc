#include "nivra/core/pauli.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace nivra {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

using Ops = std::vector<PauliOp>;

// The message of a parse that must fail.
std::string parse_error(std::string_view text, std::uint32_t n) {
    auto result = PauliSum::parse(text, n);
    if (result.has_value()) {
        return "<parsed " + std::to_string(result->terms.size()) + " terms>";
    }
    return result.error().message();
}

// ---- PauliString::make ----

TEST(PauliStringMake, SortsByQubitAndDropsIdentities) {
    auto p = PauliString::make({{2, Pauli::Z}, {0, Pauli::X}}, 1.0);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->ops, (Ops{{0, Pauli::X}, {2, Pauli::Z}}));
    EXPECT_EQ(p->coeff, 1.0);

    auto q = PauliString::make({{7, Pauli::I}, {5, Pauli::Y}, {1, Pauli::I}, {3, Pauli::X}, {0, Pauli::Z}}, -2.5);
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->ops, (Ops{{0, Pauli::Z}, {3, Pauli::X}, {5, Pauli::Y}}));
    EXPECT_EQ(q->coeff, -2.5);

    auto identity = PauliString::make({{4, Pauli::I}}, 0.5);
    ASSERT_TRUE(identity.has_value());
    EXPECT_TRUE(identity->ops.empty());
    auto empty = PauliString::make({}, 0.0);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->ops.empty());

    auto large = PauliString::make({{UINT32_MAX, Pauli::X}, {0, Pauli::Y}}, 1.0);
    ASSERT_TRUE(large.has_value());
    EXPECT_EQ(large->ops, (Ops{{0, Pauli::Y}, {UINT32_MAX, Pauli::X}}));
}

TEST(PauliStringMake, Errors) {
    EXPECT_EQ(PauliString::make({{1, Pauli::X}, {1, Pauli::X}}, 1.0).error().message(),
              "duplicate qubit 1 in Pauli string");
    // Identities take part in the duplicate test.
    EXPECT_EQ(PauliString::make({{0, Pauli::I}, {0, Pauli::X}}, 1.0).error(), PauliError::duplicate_qubit(0));
    EXPECT_EQ(PauliString::make({{3, Pauli::I}, {3, Pauli::I}}, 1.0).error(), PauliError::duplicate_qubit(3));
    // The smallest repeated qubit is reported, whatever the input order.
    EXPECT_EQ(PauliString::make({{9, Pauli::Z}, {4, Pauli::X}, {9, Pauli::Y}, {4, Pauli::Z}}, 1.0).error().message(),
              "duplicate qubit 4 in Pauli string");
    EXPECT_EQ(PauliString::make({{4294967295u, Pauli::Z}, {4294967295u, Pauli::Z}}, 1.0).error().message(),
              "duplicate qubit 4294967295 in Pauli string");
    // The coefficient is checked first.
    for (double bad : {NaN, INF, -INF}) {
        auto r = PauliString::make({{1, Pauli::X}, {1, Pauli::X}}, bad);
        EXPECT_EQ(r.error().message(), "non-finite coefficient");
    }
    EXPECT_TRUE(PauliString::make({}, std::numeric_limits<double>::max()).has_value());
}

// ---- PauliSum::parse: accepted texts ----

TEST(PauliSumParse, EmptyAndCommentOnlyTexts) {
    for (std::string_view text : {"", "\n", "\n\n\n", "# only a comment", "  # indented\n\t\n#x y z\r\n", "   "}) {
        auto sum = PauliSum::parse(text, 4);
        ASSERT_TRUE(sum.has_value()) << text;
        EXPECT_TRUE(sum->terms.empty());
    }
    // With no qubits, a text without term lines still parses.
    EXPECT_TRUE(PauliSum::parse("# none\n", 0).has_value());
}

TEST(PauliSumParse, TermsInInputOrder) {
    auto sum = PauliSum::parse("1.5 IXYZ\n-0.25 IIII\n1.5 IXYZ\n", 4);
    ASSERT_TRUE(sum.has_value());
    ASSERT_EQ(sum->terms.size(), 3u);
    EXPECT_EQ(sum->terms[0].coeff, 1.5);
    EXPECT_EQ(sum->terms[0].ops, (Ops{{1, Pauli::X}, {2, Pauli::Y}, {3, Pauli::Z}}));
    EXPECT_EQ(sum->terms[1].coeff, -0.25);
    EXPECT_TRUE(sum->terms[1].ops.empty());
    // Equal terms are kept apart.
    EXPECT_EQ(sum->terms[2], sum->terms[0]);
}

TEST(PauliSumParse, LeftmostCharacterIsQubitZero) {
    auto sum = PauliSum::parse("1 ZII", 3);
    ASSERT_TRUE(sum.has_value());
    EXPECT_EQ(sum->terms[0].ops, (Ops{{0, Pauli::Z}}));
}

TEST(PauliSumParse, WhiteSpaceAroundAndBetweenTokens) {
    const char* texts[] = {
        "1 XY",
        "   1   XY   ",
        "\t1\tXY\t",
        "1 \t \t XY",
        "\v\f1\vXY\f",
        "1 XY\r",                                  // a lone carriage return is trailing white space
        "\u00a01\u3000XY\u2028",                   // no-break space, ideographic space, line separator
        "\u20001\u200a\u205fXY\u0085",             // en quad, hair space, medium math space, next line
        "\u16801\u202fXY\u2029",                   // ogham space mark, narrow no-break space, paragraph separator
    };
    for (const char* text : texts) {
        auto sum = PauliSum::parse(text, 2);
        ASSERT_TRUE(sum.has_value()) << text << ": " << sum.error().message();
        ASSERT_EQ(sum->terms.size(), 1u);
        EXPECT_EQ(sum->terms[0].coeff, 1.0);
        EXPECT_EQ(sum->terms[0].ops, (Ops{{0, Pauli::X}, {1, Pauli::Y}}));
    }
    // Zero-width space and word joiner are not white space: they stay in a token.
    EXPECT_EQ(parse_error("1\u200bXY", 2), "line 1: expected '<coeff> <pauli>', got \"1\\u{200b}XY\"");
}

TEST(PauliSumParse, CoefficientForms) {
    struct Case {
        const char* token;
        double value;
    };
    for (Case c : {Case{"+2", 2.0}, Case{"-.5", -0.5}, Case{"1.", 1.0}, Case{"1e3", 1000.0}, Case{"2.5E-1", 0.25},
                   Case{"-0", -0.0}, Case{"1e-400", 0.0}, Case{"007", 7.0}}) {
        auto sum = PauliSum::parse(std::string(c.token) + " X", 1);
        ASSERT_TRUE(sum.has_value()) << c.token;
        EXPECT_EQ(sum->terms[0].coeff, c.value) << c.token;
    }
    auto negative_zero = PauliSum::parse("-0 X", 1);
    EXPECT_TRUE(std::signbit(negative_zero->terms[0].coeff));
}

TEST(PauliSumParse, LineEndings) {
    auto sum = PauliSum::parse("1 X\r\n2 Y\n3 Z\r\n", 1);
    ASSERT_TRUE(sum.has_value());
    ASSERT_EQ(sum->terms.size(), 3u);
    EXPECT_EQ(sum->terms[2].coeff, 3.0);
    EXPECT_EQ(sum->terms[2].ops, (Ops{{0, Pauli::Z}}));
}

// ---- PauliSum::parse: errors, messages exactly ----

TEST(PauliSumParse, Malformed) {
    EXPECT_EQ(parse_error("1.0 XX # remark", 2), "line 1: expected '<coeff> <pauli>', got \"1.0 XX # remark\"");
    EXPECT_EQ(parse_error("1.0", 2), "line 1: expected '<coeff> <pauli>', got \"1.0\"");
    EXPECT_EQ(parse_error("XX", 2), "line 1: expected '<coeff> <pauli>', got \"XX\"");
    // The whole line as written, before trimming, without its line ending.
    EXPECT_EQ(parse_error("\n  1 X Y\t\r\n", 1), "line 2: expected '<coeff> <pauli>', got \"  1 X Y\\t\"");
    EXPECT_EQ(parse_error("1 \"X\" \\", 1), "line 1: expected '<coeff> <pauli>', got \"1 \\\"X\\\" \\\\\"");
    // Only a carriage return directly before a line feed ends with the line.
    EXPECT_EQ(parse_error("1 X Y\r", 1), "line 1: expected '<coeff> <pauli>', got \"1 X Y\\r\"");
    EXPECT_EQ(parse_error("1 X Y\r\r\n", 1), "line 1: expected '<coeff> <pauli>', got \"1 X Y\\r\"");
}

TEST(PauliSumParse, BadCoefficient) {
    EXPECT_EQ(parse_error("abc XX", 2), "line 1: coefficient \"abc\" is not a finite float");
    for (const char* token : {"0x1", "1e", "1e+", ".", "+", "1_0", "1,5", "--1", "e5", "infinit", "1.5.2", "½"}) {
        std::string expected = "line 1: coefficient \"" + std::string(token) + "\" is not a finite float";
        EXPECT_EQ(parse_error(std::string(token) + " X", 1), expected) << token;
    }
    EXPECT_EQ(parse_error("a\\\"b X", 1), "line 1: coefficient \"a\\\\\\\"b\" is not a finite float");
}

TEST(PauliSumParse, NonFiniteCoefficientsReadButFailAsTerms) {
    for (const char* token : {"inf", "-Infinity", "NaN", "nan", "+INF", "1e400", "-1e309"}) {
        EXPECT_EQ(parse_error(std::string(token) + " ZZ", 2), "line 1: non-finite coefficient") << token;
    }
    EXPECT_EQ(parse_error("1 X\n\n# c\ninf Y\n", 1), "line 4: non-finite coefficient");
}

TEST(PauliSumParse, LengthMismatch) {
    EXPECT_EQ(parse_error("1 XY", 3), "line 1: pauli string has 2 chars, expected 3");
    EXPECT_EQ(parse_error("1 XYZI", 3), "line 1: pauli string has 4 chars, expected 3");
    // With no qubits every term line fails this way.
    EXPECT_EQ(parse_error("1 I", 0), "line 1: pauli string has 1 chars, expected 0");
    // Characters, not bytes: 'é' (2 bytes) and '𝑋' (4 bytes) count once each.
    EXPECT_EQ(parse_error("1 Xé𝑋", 4), "line 1: pauli string has 3 chars, expected 4");
    EXPECT_EQ(parse_error("1 XX", 4294967295u), "line 1: pauli string has 2 chars, expected 4294967295");
    // The length is checked before the letters.
    EXPECT_EQ(parse_error("1 xyz", 2), "line 1: pauli string has 3 chars, expected 2");
}

TEST(PauliSumParse, BadPauli) {
    EXPECT_EQ(parse_error("1 XzZ", 3), "line 1: 'z' is not one of I,X,Y,Z");
    EXPECT_EQ(parse_error("\n\n1 x", 1), "line 3: 'x' is not one of I,X,Y,Z");
    EXPECT_EQ(parse_error("1 IIé", 3), "line 1: 'é' is not one of I,X,Y,Z");
    EXPECT_EQ(parse_error("1 X'", 2), "line 1: '\\'' is not one of I,X,Y,Z");
    EXPECT_EQ(parse_error("1 X\"", 2), "line 1: '\"' is not one of I,X,Y,Z");
    EXPECT_EQ(parse_error("1 X\\", 2), "line 1: '\\\\' is not one of I,X,Y,Z");
    EXPECT_EQ(parse_error(std::string_view("1 X\0", 4), 2), "line 1: '\\0' is not one of I,X,Y,Z");
    // A '#' after other text is not a comment.
    EXPECT_EQ(parse_error("1 X#", 2), "line 1: '#' is not one of I,X,Y,Z");
}

TEST(PauliSumParse, LineNumbersCountEveryLine) {
    EXPECT_EQ(parse_error("# header\r\n\r\n1 X\r\n   \r\n2 Q\r\n", 1), "line 5: 'Q' is not one of I,X,Y,Z");
    EXPECT_EQ(parse_error("1 X\n2 Y\n3 Z\n4 W", 1), "line 4: 'W' is not one of I,X,Y,Z");
    // The first failing line ends the parse.
    EXPECT_EQ(parse_error("1 X\nbad\n2 q\n", 1), "line 2: expected '<coeff> <pauli>', got \"bad\"");
}

TEST(PauliSumErrorTest, MessagesOfConstructedValues) {
    PauliSumError e;
    e.kind = PauliSumError::Kind::Term;
    e.line = 12;
    e.term = PauliError::duplicate_qubit(5);
    EXPECT_EQ(e.message(), "line 12: duplicate qubit 5 in Pauli string");
    e.kind = PauliSumError::Kind::BadPauli;
    e.character = U'\u00a0';
    EXPECT_EQ(e.message(), "line 12: '\\u{a0}' is not one of I,X,Y,Z");
}

}  // namespace
}  // namespace nivra
