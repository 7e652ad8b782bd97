#pragma once
// The statement grammar of the supported OpenQASM 3.0 subset ("ws" is skip_ws;
// keywords are case-sensitive and need no word boundary unless stated):
//
//   program     := header? include* decl* stmt* ws
//   header      := ws "OPENQASM" ws uint ("." uint)? ws ";"      major must be 3
//   include     := ws "include" ws '"' <any but '"'>* '"' ws ";"
//   decl        := ws ("qubit" | "bit") ws "[" ws uint ws "]" ws ident ws ";"
//   stmt        := ws ( "barrier" ws1 reg_or_idx ("," reg_or_idx)* ws ";"
//                     | "measure" ws1 reg_or_idx ws "->" ws reg_or_idx ws ";"
//                     | "reset" ws1 indexed_ref ws ";"
//                     | ident ws ("(" expr ("," expr)* ")")? indexed_ref ("," indexed_ref)* ws ";" )
//   indexed_ref := ws ident ws "[" ws uint ws "]"
//   reg_or_idx  := ws ident ws ("[" ws uint ws "]")?
//
// Every list is read greedily and stops at the first item that does not parse.
// Once "OPENQASM" or "include" has matched, any error in the rest of that
// header or include is committed and ends the parse; so is a gate parameter
// that evaluates to an error (located where the parameter's text begins,
// right after the preceding "(" or ","). Everything else that fails merely
// stops the statement list: the program never fails because text remains.

#include <cstddef>
#include <string_view>

#include "nivra/qasm/ast.h"
#include "nivra/qasm/lexer.h"

namespace nivra::qasm {

struct ParsedProgram {
    Program program;   // views into the source
    std::size_t rest;  // byte offset of the unread text (after one more skip_ws)
};

// Reads the whole source in one pass. Fails only with a committed GrammarError.
GrammarResult<ParsedProgram> program(std::string_view source);

}  // namespace nivra::qasm
