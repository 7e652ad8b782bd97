#include "nivra/python/callable.h"

#include <new>
#include <string>

#include "nivra/core/error.h"
#include "nivra/core/memory.h"
#include "nivra/python/borrow.h"

namespace nb = nanobind;

namespace nivra::python {

namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw nb::python_error();
}

// The builtins module, imported once: an import per added member costs more
// than adding it. Kept for the life of the process (a static destructor would
// run after the interpreter is gone).
nb::handle builtins_module() {
    static PyObject* const module = nb::module_::import_("builtins").release().ptr();
    return module;
}

std::string utf8_of(PyObject* str) {
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &len);
    if (p == nullptr) throw nb::python_error();
    return std::string(p, static_cast<std::size_t>(len));
}

}  // namespace

void parse_args(const ParamSpec& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                nb::list* extra) {
    const std::size_t n = params.names.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = nullptr;
    const std::size_t given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    if (given > params.positional) {
        raise_type_error(std::string(params.qualname) + "() takes " + std::to_string(params.positional) +
                         " positional arguments but " + std::to_string(given) + " were given");
    }
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];

    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            PyObject* value = args[given + static_cast<std::size_t>(k)];
            std::string name = utf8_of(key);
            bool matched = false;
            for (std::size_t i = 0; i < n; ++i) {
                if (name == params.names[i]) {
                    if (out[i] != nullptr) {
                        raise_type_error(std::string(params.qualname) + "() got multiple values for argument '" + name +
                                         "'");
                    }
                    out[i] = value;
                    matched = true;
                    break;
                }
            }
            if (!matched) {
                if (!params.var_keywords || extra == nullptr) {
                    raise_type_error(std::string(params.qualname) + "() got an unexpected keyword argument '" + name +
                                     "'");
                }
                extra->append(nb::make_tuple(nb::handle(key), nb::handle(value)));
            }
        }
    }
    for (std::size_t i = 0; i < params.required; ++i) {
        if (out[i] == nullptr) {
            raise_type_error(std::string(params.qualname) + "() missing required argument '" + params.names[i] + "'");
        }
    }
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        // nanobind's own conversions (nb::cast failures and the like).
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const BorrowError& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const InvariantError& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const AllocationError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate memory");
    } catch (const std::length_error& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
    }
}

void add_function(nb::module_& m, PyMethodDef* def) {
    nb::object name = nb::str(PyModule_GetName(m.ptr()));
    PyObject* fn = PyCFunction_NewEx(def, m.ptr(), name.ptr());
    if (fn == nullptr) throw nb::python_error();
    nb::object owned = nb::steal(fn);
    m.attr(def->ml_name) = owned;
}

void add_method(nb::handle type, PyMethodDef* def) {
    PyObject* descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.ptr()), def);
    if (descr == nullptr) throw nb::python_error();
    nb::object owned = nb::steal(descr);
    if (PyObject_SetAttrString(type.ptr(), def->ml_name, owned.ptr()) != 0) throw nb::python_error();
}

void add_static_method(nb::handle type, PyMethodDef* def) {
    PyObject* fn = PyCFunction_NewEx(def, nullptr, nullptr);
    if (fn == nullptr) throw nb::python_error();
    nb::object owned = nb::steal(fn);
    // PyStaticMethod_New is outside the limited API; calling the builtin type
    // makes the same object on every interpreter.
    nb::object static_method = builtins_module().attr("staticmethod")(owned);
    if (PyObject_SetAttrString(type.ptr(), def->ml_name, static_method.ptr()) != 0) throw nb::python_error();
}

void add_property(nb::handle type, PyMethodDef* def, const char* doc) {
    PyObject* descr = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type.ptr()), def);
    if (descr == nullptr) throw nb::python_error();
    nb::object getter = nb::steal(descr);
    nb::object prop =
        builtins_module().attr("property")(getter, nb::none(), nb::none(), doc ? nb::object(nb::str(doc)) : nb::none());
    if (PyObject_SetAttrString(type.ptr(), def->ml_name, prop.ptr()) != 0) throw nb::python_error();
}

}  // namespace nivra::python
