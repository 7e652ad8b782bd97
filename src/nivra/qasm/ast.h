#pragma once
// The syntax tree of an OpenQASM program, as the grammar (parser.h) reads it.
//
// Every name is a view into the source text, so a Program must not outlive the
// text it was read from. Positions are byte offsets into that text (where the
// keyword or name of the node begins); error.h turns the one that is reported
// into a line and a column.
//
// Gate statements keep their parameters and operands in two pools of the
// Program instead of lists of their own, so reading a program of a million gate
// lines makes no allocation per statement:
//
//   gate_params    [ θ0 | θ1 θ2 θ3 | ... ]      GateStmt{first_param, param_count}
//   gate_operands  [ q[0] | q[1] q[2] | ... ]   GateStmt{first_operand, operand_count}

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "nivra/core/error.h"

namespace nivra::qasm {

struct Include {
    std::string_view file;   // as written between the quotes
    std::size_t offset = 0;  // the "include" keyword
};

enum class RegisterKind : std::uint8_t { Qubit, Bit };

struct Decl {
    RegisterKind kind = RegisterKind::Qubit;
    std::string_view name;
    std::uint32_t size = 0;
    std::size_t offset = 0;  // the "qubit" or "bit" keyword
};

// `name[index]`, positioned at the name.
struct IndexedRef {
    std::string_view name;
    std::uint32_t index = 0;
    std::size_t offset = 0;
};

// A whole register (no index) or one element of it, positioned at the name.
struct RegOrIdx {
    std::string_view name;
    std::optional<std::uint32_t> index;
    std::size_t offset = 0;
};

// A gate call; its parameters (already evaluated) and operands lie in the
// Program's pools (see Program::params and Program::operands).
struct GateStmt {
    std::string_view name;
    std::size_t first_param = 0;
    std::size_t param_count = 0;
    std::size_t first_operand = 0;
    std::size_t operand_count = 0;
    std::size_t offset = 0;  // the gate name
};

struct MeasureStmt {
    RegOrIdx source;
    RegOrIdx destination;
    std::size_t offset = 0;  // the "measure" keyword
};

struct BarrierStmt {
    std::vector<RegOrIdx> operands;  // at least one
    std::size_t offset = 0;          // the "barrier" keyword
};

struct ResetStmt {
    IndexedRef operand;
    std::size_t offset = 0;  // the "reset" keyword
};

using Stmt = std::variant<GateStmt, MeasureStmt, BarrierStmt, ResetStmt>;

struct Program {
    // "3" or "3.m" as written in the header; absent without a header.
    std::optional<std::string_view> version;
    std::vector<Include> includes;
    std::vector<Decl> declarations;  // qubit and bit registers interleaved, in source order
    std::vector<Stmt> statements;
    std::vector<double> gate_params;
    std::vector<IndexedRef> gate_operands;

    // The parameters and operands of a gate statement of this program; throws
    // InvariantError when its ranges do not lie in the pools.
    std::span<const double> params(const GateStmt& gate) const {
        check_invariant(
            gate.first_param <= gate_params.size() && gate.param_count <= gate_params.size() - gate.first_param,
            "GateStmt parameters outside the program's pool");
        return std::span<const double>(gate_params).subspan(gate.first_param, gate.param_count);
    }
    std::span<const IndexedRef> operands(const GateStmt& gate) const {
        check_invariant(gate.first_operand <= gate_operands.size() &&
                            gate.operand_count <= gate_operands.size() - gate.first_operand,
                        "GateStmt operands outside the program's pool");
        return std::span<const IndexedRef>(gate_operands).subspan(gate.first_operand, gate.operand_count);
    }
};

}  // namespace nivra::qasm
