#pragma once
// The OpenQASM front end's entry point: parse a source text into a Circuit,
// reporting every failure as a ParseError with line, column and snippet.
//
// Lowering maps registers to flat indices in declaration order, separately for
// qubits and bits (the two share one name space):
//
//   qubit[2] a;  bit[1] c;  qubit[3] b;   →   a = qubits 0..1, b = qubits 2..4, c = bit 0
//
// Gate table (every parameter a concrete angle):
//   h x y z s sdg t tdg (0 params) · rx ry rz p (1) · u3 (3: θ φ λ) · cx cz swap (0) · ccx ccz (0)
// Operand counts are left to Circuit::add_gate (a mismatch surfaces as Ir).

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>
#include <unordered_map>

#include "nivra/ir/circuit.h"
#include "nivra/qasm/ast.h"
#include "nivra/qasm/error.h"

namespace nivra::qasm {

// Largest total of qubits, and of bits, that a program may declare.
inline constexpr std::uint32_t MAX_PROGRAM_QUBITS = ir::MAX_QUBITS;
inline constexpr std::uint32_t MAX_PROGRAM_CLBITS = ir::MAX_CLBITS;

// What circuits from this front end carry as CircuitMetadata::source,
// whatever minor version the header names.
inline constexpr std::string_view METADATA_SOURCE = "openqasm:3.0";

// The one include file the front end accepts; its gates are built in.
inline constexpr std::string_view STDGATES_INCLUDE = "stdgates.inc";

// A register's first flat index and its size.
struct RegisterSlot {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

// Register name (a view into the source) to slot; one map for qubit registers, one for bit registers.
using RegisterMap = std::unordered_map<std::string_view, RegisterSlot>;

// Reads and lowers `source`. Pure: nothing is kept between calls, and no input
// text makes it crash or recurse without bound.
std::expected<ir::Circuit, ParseError> parse(std::string_view source);

// Lowers a program read from `source` (which its views point into): includes,
// then declarations, then statements; the first error ends it.
std::expected<ir::Circuit, ParseError> lower(std::string_view source, const Program& program);

// The flat index of `name[index]`: the slot's offset + index. Fails with
// UndeclaredRegister when the name is not in `map`, IndexOutOfBounds when
// index >= size; either is located at byte `offset` of `source` (the reference).
std::expected<std::uint32_t, ParseError> resolve_indexed(const RegisterMap& map, std::string_view name,
                                                         std::uint32_t index, std::string_view source,
                                                         std::size_t offset);

}  // namespace nivra::qasm
