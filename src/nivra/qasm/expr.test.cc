#include "nivra/qasm/expr.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace nivra::qasm {
namespace {

// Reads one expression from `text`; the value or the error, and how far it read.
struct Read {
    GrammarResult<ExprValue> result;
    std::size_t end;
};

Read read(std::string_view text) {
    Input in{text, 0};
    GrammarResult<ExprValue> result = expr(in);
    return {std::move(result), in.pos};
}

double value_of(std::string_view text) {
    Read r = read(text);
    EXPECT_TRUE(r.result.has_value()) << text;
    if (!r.result) return std::nan("");
    EXPECT_TRUE(r.result->has_value()) << text << ": " << r.result->error().message();
    EXPECT_EQ(r.end, text.size()) << text;
    return r.result->value_or(std::nan(""));
}

std::string error_of(std::string_view text) {
    Read r = read(text);
    EXPECT_TRUE(r.result.has_value()) << text;
    if (!r.result) return "<grammar failure>";
    EXPECT_FALSE(r.result->has_value()) << text;
    return r.result->has_value() ? "<value>" : r.result->error().message();
}

TEST(Expr, ArithmeticFollowsPrecedenceAndGoesLeftToRight) {
    EXPECT_EQ(value_of("2*3+4"), 10.0);
    EXPECT_EQ(value_of("2+3*4"), 14.0);
    EXPECT_EQ(value_of("(2+3)*4"), 20.0);
    EXPECT_EQ(value_of("1-2-3"), -4.0);
    EXPECT_EQ(value_of("8/2/2"), 2.0);
    EXPECT_EQ(value_of(" 1 +\n2 /* c */ * 3"), 7.0);
    EXPECT_EQ(value_of("( 1 + 2 )"), 3.0);  // white space before ')' inside parentheses
    // Subtraction is addition of the negation: the same IEEE result as a - b.
    EXPECT_EQ(value_of("0.3-0.1"), 0.3 + (-0.1));
}

TEST(Expr, PiAndSigns) {
    EXPECT_EQ(value_of("pi"), 3.141592653589793);
    EXPECT_EQ(value_of("-pi/2"), -3.141592653589793 / 2);
    EXPECT_EQ(value_of("--1"), 1.0);  // negation, then the number "-1"
    EXPECT_EQ(value_of("- -1"), 1.0);
    EXPECT_EQ(value_of("-+1"), -1.0);
    EXPECT_EQ(value_of("2--1"), 3.0);
    EXPECT_EQ(value_of("-(1-3)"), 2.0);
    EXPECT_TRUE(std::signbit(value_of("-0")));
}

TEST(Expr, NumberForms) {
    EXPECT_EQ(value_of(".5e1"), 5.0);
    EXPECT_EQ(value_of("1."), 1.0);
    EXPECT_EQ(value_of("1.e1"), 10.0);
    EXPECT_EQ(value_of("2E-1"), 0.2);
    EXPECT_EQ(value_of("+3"), 3.0);
    EXPECT_EQ(value_of("0.1"), 0.1);
    EXPECT_EQ(value_of("1e-400"), 0.0);  // underflow reads as zero, which is finite
    // An incomplete exponent is not part of the number: reading stops before it.
    Read r = read("1e+");
    ASSERT_TRUE(r.result && r.result->has_value());
    EXPECT_EQ(**r.result, 1.0);
    EXPECT_EQ(r.end, 1u);
}

TEST(Expr, ErrorsAreValuesAndTheFirstOneTravels) {
    EXPECT_EQ(error_of("1/0"), "division by zero");
    EXPECT_EQ(error_of("1/-0"), "division by zero");
    EXPECT_EQ(error_of("0/0"), "division by zero");
    EXPECT_EQ(error_of("1e308*10"), "non-finite expression result (inf)");
    EXPECT_EQ(error_of("-1e308*10"), "non-finite expression result (-inf)");
    EXPECT_EQ(error_of("1e308+1e308"), "non-finite expression result (inf)");
    EXPECT_EQ(error_of("1e999"), "non-finite expression result (inf)");
    EXPECT_EQ(ExprError({ExprError::Kind::NonFinite, std::nan("")}).message(), "non-finite expression result (NaN)");
    EXPECT_EQ(error_of("-(1e999)"), "non-finite expression result (inf)");
    EXPECT_EQ(error_of("1/0 + 1e308*10"), "division by zero");
    EXPECT_EQ(error_of("1e308*10 + 1/0"), "non-finite expression result (inf)");
    EXPECT_EQ(error_of("2 * (1/0)"), "division by zero");
    // Reading continues after the error to the end of the expression.
    Read r = read("1/0 + 2 * 3)");
    EXPECT_EQ(r.end, 11u);
}

TEST(Expr, GrammarMismatchesAreRecoverable) {
    for (std::string_view text : {"+pi", "theta", "pi2", "", ")", "(1", "()", ".", "-", "e5", "---1"}) {
        Read r = read(text);
        ASSERT_FALSE(r.result.has_value()) << text;
        EXPECT_FALSE(r.result.error().committed) << text;
        EXPECT_EQ(r.end, 0u) << text;
    }
}

TEST(Expr, TrailingWhiteSpaceAndUnreadOperatorsStayInTheInput) {
    Read r = read("1 ");
    EXPECT_EQ(r.end, 1u);
    r = read("1 + theta");
    ASSERT_TRUE(r.result && r.result->has_value());
    EXPECT_EQ(**r.result, 1.0);
    EXPECT_EQ(r.end, 1u);
}

TEST(Expr, NestingIsBounded) {
    auto nested = [](std::size_t depth) { return std::string(depth, '(') + "1" + std::string(depth, ')'); };
    EXPECT_EQ(value_of(nested(MAX_EXPR_DEPTH)), 1.0);

    std::string too_deep = nested(MAX_EXPR_DEPTH + 1);
    Read r = read(too_deep);
    ASSERT_FALSE(r.result.has_value());
    EXPECT_TRUE(r.result.error().committed);
    EXPECT_EQ(r.result.error().kind, GrammarErrorKind::Expression);
    EXPECT_EQ(r.result.error().expression.message(), "expression nested too deeply");
    EXPECT_EQ(r.result.error().offset, MAX_EXPR_DEPTH);

    // A million open parentheses end at the cap instead of exhausting the stack.
    std::string huge(1'000'000, '(');
    r = read(huge);
    ASSERT_FALSE(r.result.has_value());
    EXPECT_EQ(r.result.error().expression.kind, ExprError::Kind::NestedTooDeeply);
}

}  // namespace
}  // namespace nivra::qasm
