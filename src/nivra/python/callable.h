#pragma once
// The layer beneath declare.h: functions and methods are CPython builtins with
// their own argument parser, so that each keeps the exact docstring, text
// signature and argument conversions the API documents (nanobind's own
// function objects would prepend a generated signature to every docstring).
//
// A builtin's docstring carries its text signature in CPython's convention:
//   "name($self, q)\n--\n\nApply Hadamard to qubit `q`."
// from which inspect.signature() and __text_signature__ read "($self, q)".

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <span>

namespace nivra::python {

// How a callable takes its arguments: `names` in signature order; the first
// `positional` of them may be passed by position, the rest only by keyword;
// the first `required` must be given. With `var_keywords`, unknown keywords
// are collected (in call order) instead of refused.
struct ParamSpec {
    const char* qualname;  // for messages: "Circuit.h", "run"
    std::span<const char* const> names;
    std::size_t positional;
    std::size_t required;
    bool var_keywords = false;
};

// Parses a vectorcall argument list. out[i] is the argument for names[i], or
// null when absent. Extra keywords (with var_keywords) are appended to `extra`
// as (name, value) pairs. Raises TypeError for arity and keyword mistakes.
void parse_args(const ParamSpec& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                nanobind::list* extra = nullptr);

// Converts the exception in flight into a Python error (the interpreter lock
// must be held): python errors pass through; BorrowError and InvariantError
// become RuntimeError; AllocationError MemoryError with its message, any other
// std::bad_alloc MemoryError "cannot allocate memory"; anything else RuntimeError.
void set_python_error_from_current_exception() noexcept;

// Adds `def` (static storage) to a module as a function.
void add_function(nanobind::module_& m, PyMethodDef* def);
// Adds `def` (static storage) to a class as an instance method.
void add_method(nanobind::handle type, PyMethodDef* def);
// Adds `def` (static storage) to a class as a static method.
void add_static_method(nanobind::handle type, PyMethodDef* def);
// Adds a read-only property whose getter is `def` (a method taking no arguments).
void add_property(nanobind::handle type, PyMethodDef* def, const char* doc);

}  // namespace nivra::python
