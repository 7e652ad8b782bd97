#include "nivra/qasm/parser.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "nivra/qasm/expr.h"

namespace nivra::qasm {
namespace {

// The result of a rule whose recoverable failures all mean the same thing to
// its caller ("not here"), and whose committed failures end the parse.
std::unexpected<GrammarError> not_here(const Input& in) {
    return std::unexpected(GrammarError::recoverable(in.pos, GrammarErrorKind::Tag));
}

std::unexpected<GrammarError> committed(std::size_t offset, GrammarErrorKind kind) {
    return std::unexpected(GrammarError{true, offset, kind, {}});
}

// An absent header is a recoverable failure; anything wrong after "OPENQASM" is committed.
GrammarResult<void> header(Input& in, Program& program) {
    Input p = in;
    skip_ws(p);
    if (!p.eat("OPENQASM")) return not_here(p);
    skip_ws(p);
    const std::size_t major_start = p.pos;
    GrammarResult<std::uint32_t> major = uint(p);
    if (!major) return std::unexpected(major.error().commit());
    if (*major != 3) return committed(major_start, GrammarErrorKind::Verify);
    // A "." without digits after it (or with too many) is left for the ";" test to refuse.
    Input minor = p;
    if (minor.eat('.') && uint(minor)) p = minor;
    const std::size_t version_end = p.pos;
    skip_ws(p);
    if (!p.eat(';')) return committed(p.pos, GrammarErrorKind::Tag);
    program.version = in.source.substr(major_start, version_end - major_start);
    in = p;
    return {};
}

GrammarResult<void> include(Input& in, Program& program) {
    Input p = in;
    skip_ws(p);
    const std::size_t at = p.pos;
    if (!p.eat("include")) return not_here(p);
    skip_ws(p);
    if (!p.eat('"')) return committed(p.pos, GrammarErrorKind::Tag);
    const std::size_t name_start = p.pos;
    const std::size_t close = in.source.find('"', name_start);
    if (close == std::string_view::npos) return committed(name_start, GrammarErrorKind::TakeUntil);
    p.pos = close + 1;
    skip_ws(p);
    if (!p.eat(';')) return committed(p.pos, GrammarErrorKind::Tag);
    program.includes.push_back(Include{in.source.substr(name_start, close - name_start), at});
    in = p;
    return {};
}

// Declarations never commit: anything that is not one ends the list.
bool declaration(Input& in, Program& program) {
    Input p = in;
    skip_ws(p);
    Decl decl;
    decl.offset = p.pos;
    if (p.eat("qubit")) {
        decl.kind = RegisterKind::Qubit;
    } else if (p.eat("bit")) {
        decl.kind = RegisterKind::Bit;
    } else {
        return false;
    }
    skip_ws(p);
    if (!p.eat('[')) return false;
    skip_ws(p);
    GrammarResult<std::uint32_t> size = uint(p);
    if (!size) return false;
    skip_ws(p);
    if (!p.eat(']')) return false;
    skip_ws(p);
    GrammarResult<std::string_view> name = ident(p);
    if (!name) return false;
    skip_ws(p);
    if (!p.eat(';')) return false;
    decl.size = *size;
    decl.name = *name;
    program.declarations.push_back(decl);
    in = p;
    return true;
}

// ws "[" ws uint ws "]"
std::optional<std::uint32_t> bracketed_index(Input& in) {
    Input p = in;
    if (!p.eat('[')) return std::nullopt;
    skip_ws(p);
    GrammarResult<std::uint32_t> index = uint(p);
    if (!index) return std::nullopt;
    skip_ws(p);
    if (!p.eat(']')) return std::nullopt;
    in = p;
    return *index;
}

std::optional<IndexedRef> indexed_ref(Input& in) {
    Input p = in;
    skip_ws(p);
    const std::size_t at = p.pos;
    GrammarResult<std::string_view> name = ident(p);
    if (!name) return std::nullopt;
    skip_ws(p);
    std::optional<std::uint32_t> index = bracketed_index(p);
    if (!index) return std::nullopt;
    in = p;
    return IndexedRef{*name, *index, at};
}

std::optional<RegOrIdx> reg_or_idx(Input& in) {
    Input p = in;
    skip_ws(p);
    const std::size_t at = p.pos;
    GrammarResult<std::string_view> name = ident(p);
    if (!name) return std::nullopt;
    skip_ws(p);
    std::optional<std::uint32_t> index = bracketed_index(p);
    in = p;
    return RegOrIdx{*name, index, at};
}

// Statement alternatives; each starts after the statement's leading ws.

bool barrier(Input& in, Program& program) {
    Input p = in;
    const std::size_t at = p.pos;
    if (!p.eat("barrier") || !ws1(p)) return false;
    std::optional<RegOrIdx> first = reg_or_idx(p);
    if (!first) return false;
    std::vector<RegOrIdx> operands{*first};
    while (true) {
        Input next = p;
        if (!next.eat(',')) break;
        std::optional<RegOrIdx> operand = reg_or_idx(next);
        if (!operand) break;
        operands.push_back(*operand);
        p = next;
    }
    skip_ws(p);
    if (!p.eat(';')) return false;
    program.statements.emplace_back(BarrierStmt{std::move(operands), at});
    in = p;
    return true;
}

bool measure(Input& in, Program& program) {
    Input p = in;
    const std::size_t at = p.pos;
    if (!p.eat("measure") || !ws1(p)) return false;
    std::optional<RegOrIdx> source = reg_or_idx(p);
    if (!source) return false;
    skip_ws(p);
    if (!p.eat("->")) return false;
    skip_ws(p);
    std::optional<RegOrIdx> destination = reg_or_idx(p);
    if (!destination) return false;
    skip_ws(p);
    if (!p.eat(';')) return false;
    program.statements.emplace_back(MeasureStmt{*source, *destination, at});
    in = p;
    return true;
}

bool reset(Input& in, Program& program) {
    Input p = in;
    const std::size_t at = p.pos;
    if (!p.eat("reset") || !ws1(p)) return false;
    std::optional<IndexedRef> operand = indexed_ref(p);
    if (!operand) return false;
    skip_ws(p);
    if (!p.eat(';')) return false;
    program.statements.emplace_back(ResetStmt{*operand, at});
    in = p;
    return true;
}

// One gate parameter. An error value, or nesting too deep, is committed and
// located where the parameter's text begins.
GrammarResult<double> parameter(Input& in) {
    const std::size_t start = in.pos;
    GrammarResult<ExprValue> value = expr(in);
    if (!value) {
        GrammarError error = value.error();
        if (error.committed) error.offset = start;
        return std::unexpected(error);
    }
    if (!value->has_value()) return std::unexpected(GrammarError::bad_expression(start, value->error()));
    return **value;
}

// "(" expr ("," expr)* ")", appended to the parameter pool. Returns false (pool
// unchanged, nothing consumed) when the list is not all there.
GrammarResult<bool> parameter_list(Input& in, Program& program) {
    Input p = in;
    if (!p.eat('(')) return false;
    const std::size_t mark = program.gate_params.size();
    GrammarResult<double> first = parameter(p);
    if (!first) {
        if (first.error().committed) return std::unexpected(std::move(first.error()));
        return false;
    }
    program.gate_params.push_back(*first);
    while (true) {
        Input next = p;
        if (!next.eat(',')) break;
        GrammarResult<double> value = parameter(next);
        if (!value) {
            if (value.error().committed) return std::unexpected(std::move(value.error()));
            break;
        }
        program.gate_params.push_back(*value);
        p = next;
    }
    if (!p.eat(')')) {
        program.gate_params.resize(mark);
        return false;
    }
    in = p;
    return true;
}

GrammarResult<bool> gate_call(Input& in, Program& program) {
    Input p = in;
    GateStmt gate;
    gate.offset = p.pos;
    GrammarResult<std::string_view> name = ident(p);
    if (!name) return false;
    gate.name = *name;
    skip_ws(p);
    const std::size_t param_mark = program.gate_params.size();
    const std::size_t operand_mark = program.gate_operands.size();
    GrammarResult<bool> has_params = parameter_list(p, program);
    if (!has_params) return std::unexpected(std::move(has_params.error()));
    auto give_up = [&] {
        program.gate_params.resize(param_mark);
        program.gate_operands.resize(operand_mark);
        return false;
    };
    std::optional<IndexedRef> first = indexed_ref(p);
    if (!first) return give_up();
    program.gate_operands.push_back(*first);
    while (true) {
        Input next = p;
        if (!next.eat(',')) break;
        std::optional<IndexedRef> operand = indexed_ref(next);
        if (!operand) break;
        program.gate_operands.push_back(*operand);
        p = next;
    }
    skip_ws(p);
    if (!p.eat(';')) return give_up();
    gate.first_param = param_mark;
    gate.param_count = program.gate_params.size() - param_mark;
    gate.first_operand = operand_mark;
    gate.operand_count = program.gate_operands.size() - operand_mark;
    program.statements.emplace_back(gate);
    in = p;
    return true;
}

// Tries the statement forms in order; false when none matches here.
GrammarResult<bool> statement(Input& in, Program& program) {
    Input p = in;
    skip_ws(p);
    if (barrier(p, program) || measure(p, program) || reset(p, program)) {
        in = p;
        return true;
    }
    GrammarResult<bool> gate = gate_call(p, program);
    if (gate && *gate) in = p;
    return gate;
}

}  // namespace

GrammarResult<ParsedProgram> program(std::string_view source) {
    ParsedProgram parsed{Program{}, 0};
    Program& program = parsed.program;
    Input in{source, 0};

    if (GrammarResult<void> head = header(in, program); !head && head.error().committed) {
        return std::unexpected(std::move(head.error()));
    }
    while (true) {
        GrammarResult<void> inc = include(in, program);
        if (inc) continue;
        if (inc.error().committed) return std::unexpected(std::move(inc.error()));
        break;
    }
    while (declaration(in, program)) {
    }
    // One allocation up front instead of repeated growth on a long program.
    // Every statement ends in ';' and takes at least 7 bytes ("h a[0];"), so
    // this bounds the statement count without over-reserving on text that is
    // mostly semicolons.
    const std::string_view body = in.rest();
    const auto semicolons = static_cast<std::size_t>(std::count(body.begin(), body.end(), ';'));
    const std::size_t most_statements = std::min(semicolons, body.size() / 7 + 1);
    program.statements.reserve(most_statements);
    program.gate_operands.reserve(most_statements);
    while (true) {
        GrammarResult<bool> stmt = statement(in, program);
        if (!stmt) return std::unexpected(std::move(stmt.error()));
        if (!*stmt) break;
    }
    skip_ws(in);
    parsed.rest = in.pos;
    return parsed;
}

}  // namespace nivra::qasm
