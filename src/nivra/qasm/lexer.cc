#include "nivra/qasm/lexer.h"

#include <limits>
#include <optional>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/number.h"

namespace nivra::qasm {

std::string ExprError::message() const {
    switch (kind) {
        case Kind::DivisionByZero:
            return "division by zero";
        case Kind::NonFinite:
            return "non-finite expression result (" + fmt::display(value) + ")";
        case Kind::NestedTooDeeply:
            return "expression nested too deeply";
    }
    invariant_failure("expression error kind out of range");
}

void skip_ws_and_comments(Input& in) {
    const std::string_view s = in.source;
    std::size_t p = in.pos;
    while (p < s.size()) {
        const char c = s[p];
        if (is_qasm_space(c)) {
            ++p;
            continue;
        }
        if (c == '/' && p + 1 < s.size()) {
            if (s[p + 1] == '/') {
                p += 2;
                while (p < s.size() && s[p] != '\r' && s[p] != '\n') ++p;
                continue;
            }
            if (s[p + 1] == '*') {
                const std::size_t close = s.find("*/", p + 2);
                // An unterminated block comment stays in the input for the caller to report.
                if (close == std::string_view::npos) break;
                p = close + 2;
                continue;
            }
        }
        break;
    }
    in.pos = p;
}

GrammarResult<void> ws1(Input& in) {
    const std::size_t start = in.pos;
    while (is_qasm_space(in.peek())) ++in.pos;
    if (in.pos == start) return std::unexpected(GrammarError::recoverable(start, GrammarErrorKind::TakeWhile1));
    return {};
}

GrammarResult<void> tag(Input& in, std::string_view word) {
    if (in.eat(word)) return {};
    return std::unexpected(GrammarError::recoverable(in.pos, GrammarErrorKind::Tag));
}

GrammarResult<std::uint32_t> uint(Input& in) {
    const std::size_t start = in.pos;
    std::size_t p = start;
    while (p < in.source.size() && is_ascii_digit(in.source[p])) ++p;
    if (p == start) return std::unexpected(GrammarError::recoverable(start, GrammarErrorKind::TakeWhile1));
    const std::optional<std::uint64_t> value = parse_u64(in.source.substr(start, p - start));
    if (!value || *value > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(GrammarError::recoverable(start, GrammarErrorKind::Digit));
    }
    in.pos = p;
    return static_cast<std::uint32_t>(*value);
}

GrammarResult<std::string_view> ident(Input& in) {
    const std::size_t start = in.pos;
    const char first = in.peek();
    if (!is_ascii_alpha(first) && first != '_') {
        return std::unexpected(GrammarError::recoverable(start, GrammarErrorKind::Satisfy));
    }
    std::size_t p = start + 1;
    while (p < in.source.size()) {
        const char c = in.source[p];
        if (!is_ascii_alpha(c) && !is_ascii_digit(c) && c != '_') break;
        ++p;
    }
    in.pos = p;
    return in.source.substr(start, p - start);
}

bool exponent(Input& in) {
    Input probe = in;
    if (!probe.eat('e') && !probe.eat('E')) return false;
    if (!probe.eat('+')) probe.eat('-');
    const std::size_t digits_start = probe.pos;
    while (is_ascii_digit(probe.peek())) ++probe.pos;
    if (probe.pos == digits_start) return false;
    in.pos = probe.pos;
    return true;
}

}  // namespace nivra::qasm
