#include "nivra/qasm/error.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "nivra/core/format.h"

namespace nivra::qasm {
namespace {

std::uint32_t saturate_u32(std::size_t value) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

// The byte length of the first `count` characters of `text` (all of it when shorter).
std::size_t prefix_bytes(std::string_view text, std::size_t count) {
    fmt::Utf8Reader reader(text);
    for (std::size_t i = 0; i < count && !reader.done(); ++i) reader.next();
    return reader.offset();
}

std::string_view trim_start_unicode(std::string_view text) {
    fmt::Utf8Reader reader(text);
    std::size_t start = 0;
    while (!reader.done()) {
        if (!fmt::is_unicode_whitespace(reader.next())) break;
        start = reader.offset();
    }
    return text.substr(start);
}

std::string_view trim_end_unicode(std::string_view text) {
    fmt::Utf8Reader reader(text);
    std::size_t end = 0;
    while (!reader.done()) {
        const bool space = fmt::is_unicode_whitespace(reader.next());
        if (!space) end = reader.offset();
    }
    return text.substr(0, end);
}

std::string_view expected_text(GrammarErrorKind kind) {
    switch (kind) {
        case GrammarErrorKind::Tag:
            return "keyword or punctuation";
        case GrammarErrorKind::Digit:
            return "integer literal";
        case GrammarErrorKind::Float:
            return "numeric literal";
        case GrammarErrorKind::TakeWhile1:
        case GrammarErrorKind::Satisfy:
        case GrammarErrorKind::Verify:
        case GrammarErrorKind::TakeUntil:
        case GrammarErrorKind::Expression:
            return "token";
    }
    invariant_failure("grammar error kind out of range");
}

}  // namespace

std::string kind_message(const ParseErrorKind& kind) {
    using Kind = ParseErrorKind::Kind;
    switch (kind.kind) {
        case Kind::UnexpectedToken:
            return "unexpected token: expected " + kind.other + ", found `" + kind.text + "`";
        case Kind::UnknownGate:
            return "unknown gate `" + kind.text + "`";
        case Kind::UndeclaredRegister:
            return "undeclared register `" + kind.text + "`";
        case Kind::DuplicateRegister:
            return "register `" + kind.text + "` is declared more than once";
        case Kind::IndexOutOfBounds:
            return "index " + fmt::display(kind.count) + " out of bounds for register `" + kind.text + "` of size " +
                   fmt::display(kind.limit);
        case Kind::SizeMismatch:
            return "size mismatch: `" + kind.text + "` has " + fmt::display(kind.count) + " but `" + kind.other +
                   "` has " + fmt::display(kind.limit);
        case Kind::BadExpression:
            return "bad expression: " + kind.text;
        case Kind::Unsupported:
            return "unsupported feature: " + kind.text;
        case Kind::TooManyQubits:
            return "too many qubits: declared " + fmt::display(kind.count) + ", max " + fmt::display(kind.limit);
        case Kind::TooManyClbits:
            return "too many clbits: declared " + fmt::display(kind.count) + ", max " + fmt::display(kind.limit);
        case Kind::Ir:
            return "IR rejected this program: " + kind.circuit_error.message();
    }
    invariant_failure("parse error kind out of range");
}

std::string ParseError::message() const {
    return "error at " + fmt::display(line) + ":" + fmt::display(column) + ": " + kind_message(kind);
}

LineColumn locate(std::string_view source, std::size_t offset) {
    offset = std::min(offset, source.size());
    const std::string_view before = source.substr(0, offset);
    const std::size_t line_feeds = static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t last_feed = before.rfind('\n');
    const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
    fmt::Utf8Reader reader(before.substr(line_start));
    std::size_t characters = 0;
    while (!reader.done()) {
        reader.next();
        ++characters;
    }
    return LineColumn{saturate_u32(line_feeds + 1), saturate_u32(characters + 1)};
}

std::string_view nth_line(std::string_view source, std::uint32_t line) {
    const std::uint32_t target = std::max<std::uint32_t>(line, 1);
    std::size_t start = 0;
    for (std::uint32_t current = 1; current < target; ++current) {
        const std::size_t feed = source.find('\n', start);
        if (feed == std::string_view::npos) return {};
        start = feed + 1;
    }
    const std::size_t feed = source.find('\n', start);
    if (feed == std::string_view::npos) return source.substr(start);
    std::string_view text = source.substr(start, feed - start);
    if (text.ends_with('\r')) text.remove_suffix(1);
    return text;
}

std::optional<std::string_view> sniff_unsupported_feature(std::string_view line, std::uint32_t column) {
    const std::size_t skip = column == 0 ? 0 : column - 1;
    const std::string_view text = trim_start_unicode(line.substr(prefix_bytes(line, skip)));
    if (text.starts_with("if(") || text.starts_with("if ")) return FEATURE_IF;
    if (text.starts_with("gphase")) return FEATURE_GPHASE;
    if (text.starts_with("gate ")) return FEATURE_GATE_DEFINITION;
    if (text.starts_with("def ")) return FEATURE_DEF;
    if (text.starts_with("box ") || text.starts_with("box{")) return FEATURE_BOX;
    if (text.starts_with("delay ") || text.starts_with("delay[")) return FEATURE_DELAY;
    if (text.starts_with("U(")) return FEATURE_U_GATE;
    return std::nullopt;
}

ParseError perr(std::string_view source, std::uint32_t line, std::uint32_t column, ParseErrorKind kind) {
    return ParseError{std::move(kind), line, column, std::string(nth_line(source, line))};
}

ParseError perr_at(std::string_view source, std::size_t offset, ParseErrorKind kind) {
    const LineColumn at = locate(source, offset);
    return perr(source, at.line, at.column, std::move(kind));
}

ParseError grammar_failure_error(std::string_view source, const GrammarError& failure) {
    const LineColumn at = locate(source, failure.offset);
    if (failure.kind == GrammarErrorKind::Expression) {
        return perr(source, at.line, at.column, ParseErrorKind::bad_expression(failure.expression.message()));
    }
    if (std::optional<std::string_view> feature = sniff_unsupported_feature(nth_line(source, at.line), at.column)) {
        return perr(source, at.line, at.column, ParseErrorKind::unsupported(std::string(*feature)));
    }
    const std::string_view from = source.substr(std::min(failure.offset, source.size()));
    std::string found(trim_end_unicode(from.substr(0, prefix_bytes(from, 20))));
    if (found.empty()) found = "end of source";
    return perr(source, at.line, at.column,
                ParseErrorKind::unexpected_token(std::move(found), std::string(expected_text(failure.kind))));
}

std::optional<ParseError> unread_rest_error(std::string_view source, std::size_t rest) {
    const std::string_view unread = source.substr(std::min(rest, source.size()));
    const std::string_view trimmed = trim_end_unicode(trim_start_unicode(unread));
    if (trimmed.empty()) return std::nullopt;
    const std::size_t offset = static_cast<std::size_t>(trimmed.data() - source.data());
    const LineColumn at = locate(source, offset);
    if (trimmed.starts_with("qubit") || trimmed.starts_with("bit")) {
        return perr(source, at.line, at.column, ParseErrorKind::unsupported(std::string(FEATURE_LATE_DECLARATION)));
    }
    if (std::optional<std::string_view> feature = sniff_unsupported_feature(nth_line(source, at.line), at.column)) {
        return perr(source, at.line, at.column, ParseErrorKind::unsupported(std::string(*feature)));
    }
    return perr(
        source, at.line, at.column,
        ParseErrorKind::unexpected_token(std::string(trimmed.substr(0, prefix_bytes(trimmed, 20))), "end of input"));
}

}  // namespace nivra::qasm
