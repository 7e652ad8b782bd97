#include "nivra/qasm/expr.h"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "nivra/core/error.h"
#include "nivra/core/number.h"

namespace nivra::qasm {
namespace {

ExprValue finite_or_error(double value) {
    if (std::isfinite(value)) return value;
    return std::unexpected(ExprError{ExprError::Kind::NonFinite, value});
}

// The first error travels on unchanged; arithmetic runs only on two values.
ExprValue combine(const ExprValue& lhs, char op, const ExprValue& rhs) {
    if (!lhs) return lhs;
    if (!rhs) return rhs;
    const double a = *lhs;
    const double b = *rhs;
    switch (op) {
        case '+':
            return finite_or_error(a + b);
        case '-':
            return finite_or_error(a + (-b));
        case '*':
            return finite_or_error(a * b);
        case '/':
            if (b == 0.0) return std::unexpected(ExprError{ExprError::Kind::DivisionByZero, 0.0});
            return finite_or_error(a / b);
        default:
            invariant_failure(std::string("expression operator out of range: ") + op);
    }
}

GrammarResult<ExprValue> number(Input& in) {
    Input probe = in;
    if (!probe.eat('+')) probe.eat('-');
    const std::size_t integer_start = probe.pos;
    while (is_ascii_digit(probe.peek())) ++probe.pos;
    if (probe.pos > integer_start) {
        if (probe.eat('.')) {
            while (is_ascii_digit(probe.peek())) ++probe.pos;
        }
    } else {
        if (!probe.eat('.')) return std::unexpected(GrammarError::recoverable(in.pos, GrammarErrorKind::Float));
        const std::size_t fraction_start = probe.pos;
        while (is_ascii_digit(probe.peek())) ++probe.pos;
        if (probe.pos == fraction_start) {
            return std::unexpected(GrammarError::recoverable(in.pos, GrammarErrorKind::Float));
        }
    }
    exponent(probe);
    const std::optional<double> value = parse_f64(in.source.substr(in.pos, probe.pos - in.pos));
    if (!value) return std::unexpected(GrammarError::recoverable(in.pos, GrammarErrorKind::Float));
    in.pos = probe.pos;
    return GrammarResult<ExprValue>(finite_or_error(*value));
}

// '(' expr ws ')' | identifier | number, tried in that order.
GrammarResult<ExprValue> primary(Input& in, std::size_t depth) {
    if (in.peek() == '(') {
        if (depth >= MAX_EXPR_DEPTH) {
            return std::unexpected(GrammarError::bad_expression(in.pos, ExprError{ExprError::Kind::NestedTooDeeply}));
        }
        Input probe = in;
        ++probe.pos;
        GrammarResult<ExprValue> inner = expr(probe, depth + 1);
        if (!inner) {
            if (inner.error().committed) return inner;
            // Neither an identifier nor a number starts with '('.
            return std::unexpected(GrammarError::recoverable(in.pos, GrammarErrorKind::Float));
        }
        skip_ws(probe);
        if (!probe.eat(')')) return std::unexpected(GrammarError::recoverable(in.pos, GrammarErrorKind::Float));
        in.pos = probe.pos;
        return inner;
    }
    Input probe = in;
    if (GrammarResult<std::string_view> name = ident(probe)) {
        if (*name != "pi") return std::unexpected(GrammarError::recoverable(in.pos, GrammarErrorKind::Tag));
        in.pos = probe.pos;
        return GrammarResult<ExprValue>(PI);
    }
    return number(in);
}

GrammarResult<ExprValue> unary(Input& in, std::size_t depth) {
    Input probe = in;
    skip_ws(probe);
    const bool negate = probe.eat('-');
    skip_ws(probe);
    GrammarResult<ExprValue> operand = primary(probe, depth);
    if (!operand) return operand;
    in.pos = probe.pos;
    if (negate && operand->has_value()) *operand = finite_or_error(-**operand);
    return operand;
}

GrammarResult<ExprValue> mul(Input& in, std::size_t depth) {
    GrammarResult<ExprValue> acc = unary(in, depth);
    if (!acc) return acc;
    while (true) {
        Input probe = in;
        skip_ws(probe);
        const char op = probe.peek();
        if (op != '*' && op != '/') break;
        ++probe.pos;
        GrammarResult<ExprValue> rhs = unary(probe, depth);
        if (!rhs) {
            if (rhs.error().committed) return rhs;
            break;
        }
        *acc = combine(*acc, op, *rhs);
        in.pos = probe.pos;
    }
    return acc;
}

}  // namespace

GrammarResult<ExprValue> expr(Input& in, std::size_t depth) {
    GrammarResult<ExprValue> acc = mul(in, depth);
    if (!acc) return acc;
    while (true) {
        Input probe = in;
        skip_ws(probe);
        const char op = probe.peek();
        if (op != '+' && op != '-') break;
        ++probe.pos;
        GrammarResult<ExprValue> rhs = mul(probe, depth);
        if (!rhs) {
            if (rhs.error().committed) return rhs;
            break;
        }
        *acc = combine(*acc, op, *rhs);
        in.pos = probe.pos;
    }
    return acc;
}

}  // namespace nivra::qasm
