#pragma once
// Constant expressions for gate parameters, evaluated while they are read.
//
//   expr   := mul (ws ('+' | '-') mul)*
//   mul    := unary (ws ('*' | '/') unary)*
//   unary  := ws '-'? ws ( '(' expr ws ')' | identifier | number )
//   number := [+-]? ( digits ('.' digits?)? | '.' digits ) exponent?
//
// The only identifier with a value is "pi". Every value is a finite double or
// the first error met on the way ("division by zero", "non-finite expression
// result (inf)"); once an operand carries an error, later arithmetic is skipped
// but reading continues to the end of the expression, so the caller can report
// the error at the parameter it belongs to.

#include <cstddef>
#include <expected>

#include "nivra/qasm/lexer.h"

namespace nivra::qasm {

// A finite value, or the first error met while evaluating.
using ExprValue = std::expected<double, ExprError>;

inline constexpr double PI = 3.141592653589793;

// Parentheses nested deeper than this inside one expression end the parse with
// ExprError::NestedTooDeeply instead of recursing further: the reader's stack
// use stays bounded whatever the input.
inline constexpr std::size_t MAX_EXPR_DEPTH = 256;

// Reads one expression at `in`; `depth` is the number of parentheses already
// open around it. Grammar mismatches fail recoverably; nesting beyond
// MAX_EXPR_DEPTH fails committed with kind Expression, located at the '(' that
// went too deep. Trailing white space after the expression is not consumed.
GrammarResult<ExprValue> expr(Input& in, std::size_t depth = 0);

}  // namespace nivra::qasm
