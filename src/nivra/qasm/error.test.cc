#include "nivra/qasm/error.h"

#include <gtest/gtest.h>

#include <string>

namespace nivra::qasm {
namespace {

// `kind`, checked to be an unexpected token.
const ParseErrorKind& unexpected_token(const ParseErrorKind& kind) {
    EXPECT_EQ(kind.kind, ParseErrorKind::Kind::UnexpectedToken);
    return kind;
}

TEST(ParseErrorText, EveryKind) {
    EXPECT_EQ(kind_message(ParseErrorKind::unexpected_token("}", "end of input")),
              "unexpected token: expected end of input, found `}`");
    EXPECT_EQ(kind_message(ParseErrorKind::unknown_gate("U")), "unknown gate `U`");
    EXPECT_EQ(kind_message(ParseErrorKind::undeclared_register("c")), "undeclared register `c`");
    EXPECT_EQ(kind_message(ParseErrorKind::duplicate_register("q")), "register `q` is declared more than once");
    EXPECT_EQ(kind_message(ParseErrorKind::index_out_of_bounds("q", 2, 2)),
              "index 2 out of bounds for register `q` of size 2");
    EXPECT_EQ(kind_message(ParseErrorKind::size_mismatch("q", 2, "c", 3)), "size mismatch: `q` has 2 but `c` has 3");
    EXPECT_EQ(kind_message(ParseErrorKind::bad_expression("division by zero")), "bad expression: division by zero");
    EXPECT_EQ(kind_message(ParseErrorKind::unsupported(std::string(FEATURE_U_GATE))),
              "unsupported feature: U(...) gate \xE2\x80\x94 use u3 instead");
    EXPECT_EQ(kind_message(ParseErrorKind::too_many_qubits(70000, 65535)),
              "too many qubits: declared 70000, max 65535");
    EXPECT_EQ(kind_message(ParseErrorKind::too_many_clbits(4294967295u, 65535)),
              "too many clbits: declared 4294967295, max 65535");
    EXPECT_EQ(kind_message(ParseErrorKind::ir_rejected(ir::CircuitError::empty_barrier())),
              "IR rejected this program: barrier must cover at least one qubit");

    ParseError error{ParseErrorKind::unknown_gate("foo"), 3, 7, "  foo q[0];"};
    EXPECT_EQ(error.message(), "error at 3:7: unknown gate `foo`");
}

TEST(ParseErrorText, KindOrderIsFixed) {
    EXPECT_EQ(static_cast<int>(ParseErrorKind::Kind::UnexpectedToken), 0);
    EXPECT_EQ(static_cast<int>(ParseErrorKind::Kind::BadExpression), 6);
    EXPECT_EQ(static_cast<int>(ParseErrorKind::Kind::Ir), 10);
}

TEST(NthLine, SplitsAtLineFeeds) {
    std::string_view text = "a\r\nb\n\nc\r\r\nd\r";
    EXPECT_EQ(nth_line(text, 0), "a");
    EXPECT_EQ(nth_line(text, 1), "a");
    EXPECT_EQ(nth_line(text, 2), "b");
    EXPECT_EQ(nth_line(text, 3), "");
    EXPECT_EQ(nth_line(text, 4), "c\r");  // only one carriage return goes with the line feed
    EXPECT_EQ(nth_line(text, 5), "d\r");  // no line feed: nothing is removed
    EXPECT_EQ(nth_line(text, 6), "");
    EXPECT_EQ(nth_line("x\n", 2), "");
    EXPECT_EQ(nth_line("", 1), "");
    EXPECT_EQ(nth_line("x", 4000000000u), "");
}

TEST(Locate, ColumnsCountCharacters) {
    std::string_view text = "ab\n\xC3\xA9\xE2\x82\xACx\r\ny";  // "é€x" on line 2
    EXPECT_EQ(locate(text, 0).line, 1u);
    EXPECT_EQ(locate(text, 2).column, 3u);
    EXPECT_EQ(locate(text, 3).line, 2u);
    EXPECT_EQ(locate(text, 3).column, 1u);
    EXPECT_EQ(locate(text, 8).column, 3u);  // the 'x', after two characters of five bytes
    EXPECT_EQ(locate(text, 11).line, 3u);
    EXPECT_EQ(locate(text, 11).column, 1u);
    EXPECT_EQ(locate(text, 999).line, 3u);  // past the end counts as the end
    EXPECT_EQ(locate(text, 999).column, 2u);
}

TEST(Sniff, FeaturesByPrefix) {
    auto sniff = [](std::string_view line, std::uint32_t column = 1) {
        return sniff_unsupported_feature(line, column).value_or("-");
    };
    EXPECT_EQ(sniff("if (c == 1) x q[0];"), "classical control flow (if)");
    EXPECT_EQ(sniff("if(c) x q[0];"), "classical control flow (if)");
    EXPECT_EQ(sniff("gphase(pi);"), "global phase (gphase)");
    EXPECT_EQ(sniff("gate foo a { x a; }"), "custom gate definition");
    EXPECT_EQ(sniff("def f() {}"), "subroutine definition (def)");
    EXPECT_EQ(sniff("box {"), "box block");
    EXPECT_EQ(sniff("box{"), "box block");
    EXPECT_EQ(sniff("delay[100ns] q;"), "delay statement");
    EXPECT_EQ(sniff("delay q;"), "delay statement");
    EXPECT_EQ(sniff("U(0, 0, 0) q;"), "U(...) gate \xE2\x80\x94 use u3 instead");
    for (std::string_view none : {"iff x;", "gate(", "u(0) q;", "definitely", "boxes", "delays", "", "I f"}) {
        EXPECT_EQ(sniff(none), "-") << none;
    }
}

TEST(Sniff, StartsAtTheColumnAfterUnicodeWhiteSpace) {
    // Columns are characters: "é" is one column although it is two bytes.
    EXPECT_EQ(sniff_unsupported_feature("\xC3\xA9 if (x)", 2), FEATURE_IF);
    EXPECT_EQ(sniff_unsupported_feature("x; if (x)", 3), FEATURE_IF);
    EXPECT_EQ(sniff_unsupported_feature("x; if (x)", 2), std::nullopt);  // ';' is not white space
    EXPECT_EQ(sniff_unsupported_feature("if (x)", 0), FEATURE_IF);       // column 0 counts as 1
    EXPECT_EQ(sniff_unsupported_feature("\xC2\xA0\xE3\x80\x80gate g", 1), FEATURE_GATE_DEFINITION);
    EXPECT_EQ(sniff_unsupported_feature("if (x)", 50), std::nullopt);
}

TEST(GrammarFailure, BecomesUnexpectedTokenWithTheKindsExpectedText) {
    auto failure = [](std::size_t offset, GrammarErrorKind kind) { return GrammarError{true, offset, kind, {}}; };
    std::string_view text = "OPENQASM 2.0;\n";
    EXPECT_EQ(grammar_failure_error(text, failure(9, GrammarErrorKind::Verify)),
              (ParseError{ParseErrorKind::unexpected_token("2.0;", "token"), 1, 10, "OPENQASM 2.0;"}));
    EXPECT_EQ(unexpected_token(grammar_failure_error(text, failure(9, GrammarErrorKind::Tag)).kind).other,
              "keyword or punctuation");
    EXPECT_EQ(unexpected_token(grammar_failure_error(text, failure(9, GrammarErrorKind::Digit)).kind).other,
              "integer literal");
    EXPECT_EQ(unexpected_token(grammar_failure_error(text, failure(9, GrammarErrorKind::Float)).kind).other,
              "numeric literal");
    // At the end of the text, or where only white space follows.
    EXPECT_EQ(grammar_failure_error(text, failure(13, GrammarErrorKind::Tag)),
              (ParseError{ParseErrorKind::unexpected_token("end of source", "keyword or punctuation"), 1, 14,
                          "OPENQASM 2.0;"}));
    // Twenty characters, then trailing white space removed.
    std::string_view long_text = "x 123456789012345678 tail";
    EXPECT_EQ(unexpected_token(grammar_failure_error(long_text, failure(0, GrammarErrorKind::Tag)).kind).text,
              "x 123456789012345678");
    EXPECT_EQ(unexpected_token(grammar_failure_error(long_text, failure(1, GrammarErrorKind::Tag)).kind).text,
              " 123456789012345678");
    // An expression failure keeps its message and skips the feature test.
    EXPECT_EQ(grammar_failure_error("if(1/0)", GrammarError::bad_expression(3, {ExprError::Kind::DivisionByZero})),
              (ParseError{ParseErrorKind::bad_expression("division by zero"), 1, 4, "if(1/0)"}));
}

TEST(UnreadRest, ClassifiedAtItsFirstCharacter) {
    EXPECT_EQ(unread_rest_error("h q[0];", 7), std::nullopt);
    EXPECT_EQ(unread_rest_error("h q[0];\xC2\xA0\xE2\x80\xA8", 7), std::nullopt);  // only Unicode white space
    EXPECT_EQ(unread_rest_error("h q[0];\xC2\xA0}  ", 7),
              (ParseError{ParseErrorKind::unexpected_token("}", "end of input"), 1, 9, "h q[0];\xC2\xA0}  "}));
    EXPECT_EQ(unread_rest_error("x;\nbits q;", 3),
              (ParseError{ParseErrorKind::unsupported(std::string(FEATURE_LATE_DECLARATION)), 2, 1, "bits q;"}));
    EXPECT_EQ(unread_rest_error("x;\n  delay[5] q;", 5),
              (ParseError{ParseErrorKind::unsupported(std::string(FEATURE_DELAY)), 2, 3, "  delay[5] q;"}));
    // The first twenty characters of the trimmed rest, white space inside kept.
    EXPECT_EQ(unexpected_token(unread_rest_error("c[0] = measure q[0]; more", 0)->kind).text, "c[0] = measure q[0];");
    EXPECT_EQ(unexpected_token(unread_rest_error("a b c d e f g h i j k l", 0)->kind).text, "a b c d e f g h i j ");
}

}  // namespace
}  // namespace nivra::qasm
