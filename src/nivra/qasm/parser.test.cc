#include "nivra/qasm/parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>

namespace nivra::qasm {
namespace {

ParsedProgram read_ok(std::string_view source) {
    GrammarResult<ParsedProgram> parsed = program(source);
    EXPECT_TRUE(parsed.has_value()) << source;
    if (!parsed) return ParsedProgram{Program{}, 0};
    return std::move(*parsed);
}

GrammarError read_failure(std::string_view source) {
    GrammarResult<ParsedProgram> parsed = program(source);
    EXPECT_FALSE(parsed.has_value()) << source;
    if (parsed) return GrammarError{};
    EXPECT_TRUE(parsed.error().committed);
    return parsed.error();
}

// The unread text the grammar left.
std::string_view rest_of(std::string_view source) { return source.substr(read_ok(source).rest); }

TEST(Lexer, SkipWsStopsInFrontOfAnUnterminatedBlockComment) {
    Input in{" \t\r\n// line\r/* block */ // x\n/* open", 0};
    skip_ws(in);
    EXPECT_EQ(in.rest(), "/* open");
    Input comment_to_end{"  // to the end", 0};
    skip_ws(comment_to_end);
    EXPECT_TRUE(comment_to_end.at_end());
    Input star{"/*/ x */y", 0};  // the '*' of "/*" cannot also close it
    skip_ws(star);
    EXPECT_EQ(star.rest(), "y");
    Input no_other_space{"\v\f x", 0};  // vertical tab and form feed are not white space here
    skip_ws(no_other_space);
    EXPECT_EQ(no_other_space.pos, 0u);
}

TEST(Lexer, UintIdentAndExponent) {
    Input max{"4294967295]", 0};
    EXPECT_EQ(uint(max), 4294967295u);
    EXPECT_EQ(max.pos, 10u);
    Input over{"4294967296", 0};
    GrammarResult<std::uint32_t> too_big = uint(over);
    ASSERT_FALSE(too_big);
    EXPECT_EQ(too_big.error(), GrammarError::recoverable(0, GrammarErrorKind::Digit));
    EXPECT_EQ(over.pos, 0u);
    Input none{"x", 0};
    EXPECT_EQ(uint(none).error().kind, GrammarErrorKind::TakeWhile1);

    Input name{"_q9x[", 0};
    EXPECT_EQ(ident(name), "_q9x");
    Input bad{"9q", 0};
    EXPECT_EQ(ident(bad).error().kind, GrammarErrorKind::Satisfy);

    Input e{"e+5x", 0};
    EXPECT_TRUE(exponent(e));
    EXPECT_EQ(e.pos, 3u);
    Input incomplete{"E-x", 0};
    EXPECT_FALSE(exponent(incomplete));
    EXPECT_EQ(incomplete.pos, 0u);
}

TEST(Parser, Header) {
    EXPECT_EQ(read_ok("OPENQASM 3.1;").program.version, "3.1");
    EXPECT_EQ(read_ok("  OPENQASM3;").program.version, "3");  // no space needed before the number
    EXPECT_EQ(read_ok("OPENQASM 3 ;").program.version, "3");
    EXPECT_FALSE(read_ok("qubit[1] q;").program.version.has_value());
    EXPECT_FALSE(read_ok("").program.version.has_value());
}

TEST(Parser, HeaderFailuresAreCommitted) {
    // Major version other than 3: refused at the number, before the rest of the header is read.
    EXPECT_EQ(read_failure("OPENQASM 2.0;"), (GrammarError{true, 9, GrammarErrorKind::Verify, {}}));
    EXPECT_EQ(read_failure("OPENQASM 4294967296;"), (GrammarError{true, 9, GrammarErrorKind::Digit, {}}));
    EXPECT_EQ(read_failure("OPENQASM ;"), (GrammarError{true, 9, GrammarErrorKind::TakeWhile1, {}}));
    EXPECT_EQ(read_failure("OPENQASM 3"), (GrammarError{true, 10, GrammarErrorKind::Tag, {}}));
    // A "." without a readable minor version is left in place, where ";" is then missing.
    EXPECT_EQ(read_failure("OPENQASM 3.;"), (GrammarError{true, 10, GrammarErrorKind::Tag, {}}));
    EXPECT_EQ(read_failure("OPENQASM 3.4294967296;"), (GrammarError{true, 10, GrammarErrorKind::Tag, {}}));
    EXPECT_EQ(read_failure("OPENQASMx"), (GrammarError{true, 8, GrammarErrorKind::TakeWhile1, {}}));
}

TEST(Parser, Includes) {
    ParsedProgram parsed = read_ok("include\"stdgates.inc\";\n include \"a b\" ;include \"\";");
    ASSERT_EQ(parsed.program.includes.size(), 3u);
    EXPECT_EQ(parsed.program.includes[0].file, "stdgates.inc");
    EXPECT_EQ(parsed.program.includes[0].offset, 0u);
    EXPECT_EQ(parsed.program.includes[1].file, "a b");
    EXPECT_EQ(parsed.program.includes[1].offset, 24u);
    EXPECT_EQ(parsed.program.includes[2].file, "");

    // A missing opening quote is missing punctuation, located where the quote should stand.
    EXPECT_EQ(read_failure("include stdgates.inc;"), (GrammarError{true, 8, GrammarErrorKind::Tag, {}}));
    // No closing quote: located right after the opening one.
    EXPECT_EQ(read_failure("include \"stdgates.inc;"), (GrammarError{true, 9, GrammarErrorKind::TakeUntil, {}}));
    EXPECT_EQ(read_failure("include \"x\"\nqubit"), (GrammarError{true, 12, GrammarErrorKind::Tag, {}}));
}

TEST(Parser, DeclarationsKeepSourceOrder) {
    ParsedProgram parsed = read_ok("qubit[2] a;\nbit [ 3 ] c ;qubit[4294967295]b;");
    const auto& decls = parsed.program.declarations;
    ASSERT_EQ(decls.size(), 3u);
    EXPECT_EQ(decls[0].kind, RegisterKind::Qubit);
    EXPECT_EQ(decls[0].name, "a");
    EXPECT_EQ(decls[0].size, 2u);
    EXPECT_EQ(decls[1].kind, RegisterKind::Bit);
    EXPECT_EQ(decls[1].name, "c");
    EXPECT_EQ(decls[1].offset, 12u);
    EXPECT_EQ(decls[2].size, 4294967295u);
    EXPECT_EQ(parsed.rest, 44u);

    // A size is required, and one too large stops the list.
    EXPECT_EQ(rest_of("qubit q;"), "qubit q;");
    EXPECT_EQ(rest_of("qubit[1] a; qubit[4294967296] b;"), "qubit[4294967296] b;");
}

TEST(Parser, GateCalls) {
    ParsedProgram parsed = read_ok("u3(0.1, -pi/2,3) q[0];\ncx q[0],q [ 1 ];\nrx(1)q[2];");
    const Program& p = parsed.program;
    ASSERT_EQ(p.statements.size(), 3u);
    const auto& u3 = std::get<GateStmt>(p.statements[0]);
    EXPECT_EQ(u3.name, "u3");
    EXPECT_EQ(u3.offset, 0u);
    ASSERT_EQ(p.params(u3).size(), 3u);
    EXPECT_EQ(p.params(u3)[1], -3.141592653589793 / 2);
    const auto& cx = std::get<GateStmt>(p.statements[1]);
    EXPECT_EQ(cx.offset, 23u);
    EXPECT_TRUE(p.params(cx).empty());
    ASSERT_EQ(p.operands(cx).size(), 2u);
    EXPECT_EQ(p.operands(cx)[1].name, "q");
    EXPECT_EQ(p.operands(cx)[1].index, 1u);
    EXPECT_EQ(p.operands(cx)[1].offset, 31u);
    EXPECT_EQ(p.params(std::get<GateStmt>(p.statements[2]))[0], 1.0);
    EXPECT_EQ(parsed.rest, 50u);
}

TEST(Parser, GateCallForms) {
    // The parameter list admits no white space before ',' or ')', and an operand
    // list none before ','; white space after the separators is fine.
    EXPECT_EQ(rest_of("rx(1 ) q[0];"), "rx(1 ) q[0];");
    EXPECT_EQ(rest_of("cx q[0] , q[1];"), "cx q[0] , q[1];");
    EXPECT_EQ(rest_of("rx( 1, 2) q[0];"), "");
    // Operands must be indexed; an empty or unreadable parameter list is no gate call.
    EXPECT_EQ(rest_of("h q;"), "h q;");
    EXPECT_EQ(rest_of("rx() q[0];"), "rx() q[0];");
    EXPECT_EQ(rest_of("rx(+pi) q[0];"), "rx(+pi) q[0];");
    EXPECT_EQ(rest_of("rx(theta, 1/0) q[0];"), "rx(theta, 1/0) q[0];");
    // A failed statement leaves the parameter and operand pools as they were.
    ParsedProgram parsed = read_ok("rx(1) q[0];\nrx(2,3) q[1], q[2] junk");
    EXPECT_EQ(parsed.program.gate_params.size(), 1u);
    EXPECT_EQ(parsed.program.gate_operands.size(), 1u);
}

TEST(Parser, ParameterErrorsAreCommittedAtTheParameter) {
    using Kind = ExprError::Kind;
    EXPECT_EQ(read_failure("rx(1/0) q[0];"), GrammarError::bad_expression(3, {Kind::DivisionByZero}));
    EXPECT_EQ(read_failure("u3(0, 1, 1e308*10) q[0];"), GrammarError::bad_expression(8, {Kind::NonFinite, INFINITY}));
    // Committed as soon as the value is an error, whatever follows.
    EXPECT_EQ(read_failure("rx(1/0 q[0];").offset, 3u);
    std::string deep = "h q[0];\nrx(" + std::string(1000, '(') + "1" + std::string(1000, ')') + ") q[0];";
    EXPECT_EQ(read_failure(deep), GrammarError::bad_expression(11, {Kind::NestedTooDeeply}));
}

TEST(Parser, MeasureResetBarrier) {
    ParsedProgram parsed = read_ok("measure q[1] -> c[0];\nmeasure q->c;\nreset\tq[2];\nbarrier q , r[3],s;");
    const Program& p = parsed.program;
    ASSERT_EQ(p.statements.size(), 4u);
    const auto& m = std::get<MeasureStmt>(p.statements[0]);
    EXPECT_EQ(m.source.name, "q");
    EXPECT_EQ(m.source.index, 1u);
    EXPECT_EQ(m.source.offset, 8u);
    EXPECT_EQ(m.destination.index, 0u);
    const auto& whole = std::get<MeasureStmt>(p.statements[1]);
    EXPECT_FALSE(whole.source.index.has_value());
    EXPECT_FALSE(whole.destination.index.has_value());
    EXPECT_EQ(whole.offset, 22u);
    const auto& r = std::get<ResetStmt>(p.statements[2]);
    EXPECT_EQ(r.operand.index, 2u);
    const auto& b = std::get<BarrierStmt>(p.statements[3]);
    ASSERT_EQ(b.operands.size(), 3u);
    EXPECT_FALSE(b.operands[0].index.has_value());
    EXPECT_EQ(b.operands[1].index, 3u);
    EXPECT_EQ(b.operands[2].name, "s");
}

TEST(Parser, KeywordsNeedWhiteSpaceNotComments) {
    // After "barrier" a comment is not white space: this is a gate call named "barrier".
    ParsedProgram parsed = read_ok("barrier/* c */ q[0];");
    ASSERT_EQ(parsed.program.statements.size(), 1u);
    EXPECT_EQ(std::get<GateStmt>(parsed.program.statements[0]).name, "barrier");
    EXPECT_EQ(rest_of("barrier/* c */ q;"), "barrier/* c */ q;");
    EXPECT_EQ(rest_of("reset q;"), "reset q;");  // reset takes one indexed operand
    // The assignment form of measurement is not part of the grammar.
    EXPECT_EQ(rest_of("h q[0];\nc[0] = measure q[0];"), "c[0] = measure q[0];");
}

TEST(Parser, SectionsComeInOrder) {
    // Includes after declarations, and declarations after statements, are unread text.
    EXPECT_EQ(rest_of("qubit[1] q; include \"stdgates.inc\";"), "include \"stdgates.inc\";");
    EXPECT_EQ(rest_of("h q[0]; qubit[1] r;"), "qubit[1] r;");
    EXPECT_EQ(rest_of("h q[0]; /* never closed"), "/* never closed");
    EXPECT_EQ(rest_of("h q[0]; // trailing\n"), "");
}

}  // namespace
}  // namespace nivra::qasm
