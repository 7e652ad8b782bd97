#pragma once
// Helpers shared by the simulation classes of the module: creating and reading
// native instances, classes without a module name of their own, tp_new
// arguments in vectorcall form, and reading a named text file.
//
// Every function here requires the interpreter lock.

#include <nanobind/nanobind.h>

#include <expected>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace nivra::python {

// Raises `type` with `message` kept whole (a text given by the caller may
// contain NUL characters, which PyErr_SetString would cut at).
[[noreturn]] void raise_message(PyObject* type, const std::string& message);

// The __name__ of obj's type ("int", "Circuit").
std::string type_name_of(nanobind::handle obj);

// TypeError "argument '<name>': '<type>' object cannot be converted to '<target>'",
// the form every class-typed argument of the module reports.
[[noreturn]] void raise_wrong_class(nanobind::handle obj, const char* name, const char* target);

// A fully constructed instance of the nanobind type `type` holding T, built
// in place (T need not be movable).
template <class T, class... Args>
nanobind::object make_instance(nanobind::handle type, Args&&... args) {
    nanobind::object obj = nanobind::inst_alloc(type);
    new (nanobind::inst_ptr<T>(obj)) T{std::forward<Args>(args)...};
    nanobind::inst_mark_ready(obj);
    return obj;
}

// The native value of `self`, which a method descriptor has already checked
// to be an instance of T's class.
template <class T>
T& native(PyObject* self) {
    if (!nanobind::inst_ready(self)) raise_message(PyExc_RuntimeError, "object is not initialised");
    return *nanobind::inst_ptr<T>(self);
}

// Creates classes named without a module: while it lives the module's
// __name__ is "builtins", so nanobind names each class "builtins.<Name>" and
// sets its __module__ to "builtins", as CPython reports a heap type that has
// no module of its own. The module's own name is restored afterwards.
class BareClassScope {
public:
    explicit BareClassScope(nanobind::module_& m);
    ~BareClassScope();
    BareClassScope(const BareClassScope&) = delete;
    BareClassScope& operator=(const BareClassScope&) = delete;

private:
    nanobind::module_& module_;
    nanobind::object saved_name_;
};

// Positional arguments and a keyword dictionary (tp_new's form) in the
// vectorcall form that parse_args reads. Values are borrowed from the caller.
class VectorcallArgs {
public:
    VectorcallArgs(PyObject* args, PyObject* kwargs);

    PyObject* const* args() const { return items_.data(); }
    Py_ssize_t nargs() const { return nargs_; }
    PyObject* kwnames() const { return kwnames_.is_valid() ? kwnames_.ptr() : nullptr; }

private:
    std::vector<PyObject*> items_;
    Py_ssize_t nargs_ = 0;
    nanobind::object kwnames_;
};

// tp_init of classes whose tp_new builds the whole instance: accepts the same
// arguments and has nothing left to do.
int init_done(PyObject*, PyObject*, PyObject*);

// tp_new of a class that Python code cannot instantiate: TypeError
// "No constructor defined for <Name>".
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept;

// The whole file at `path` as UTF-8 text, or the reason it could not be read
// in the operating system's words: "No such file or directory (os error 2)",
// "stream did not contain valid UTF-8".
std::expected<std::string, std::string> read_text_file(const std::string& path);

}  // namespace nivra::python
