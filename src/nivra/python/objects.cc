#include "nivra/python/objects.h"

#include <nanobind/stl/string.h>

#include "nivra/core/file.h"
#include "nivra/core/memory.h"
#include "nivra/python/callable.h"

namespace nb = nanobind;

namespace nivra::python {

void raise_message(PyObject* type, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) throw nb::python_error();
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    throw nb::python_error();
}

std::string type_name_of(nb::handle obj) {
    return nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__"));
}

void raise_wrong_class(nb::handle obj, const char* name, const char* target) {
    raise_message(PyExc_TypeError, std::string("argument '") + name + "': '" + type_name_of(obj) +
                                       "' object cannot be converted to '" + target + "'");
}

BareClassScope::BareClassScope(nb::module_& m) : module_(m), saved_name_(m.attr("__name__")) {
    module_.attr("__name__") = "builtins";
}

BareClassScope::~BareClassScope() {
    // Restoring a name the module already had cannot fail for lack of memory;
    // should it fail anyway, the import reports the pending error.
    if (PyObject_SetAttrString(module_.ptr(), "__name__", saved_name_.ptr()) != 0) PyErr_Clear();
}

VectorcallArgs::VectorcallArgs(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
    if (nargs < 0) throw nb::python_error();
    for (Py_ssize_t i = 0; i < nargs; ++i) items_.push_back(PyTuple_GetItem(args, i));
    nargs_ = nargs;
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_Size(kwargs) : 0;
    if (nkw > 0) {
        kwnames_ = nb::steal(PyTuple_New(nkw));
        if (!kwnames_.is_valid()) throw nb::python_error();
        Py_ssize_t pos = 0;
        Py_ssize_t k = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SetItem(kwnames_.ptr(), k++, key);
            items_.push_back(value);
        }
    }
}

int init_done(PyObject*, PyObject*, PyObject*) { return 0; }

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    try {
        const std::string name = nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(type)).attr("__name__"));
        raise_message(PyExc_TypeError, "No constructor defined for " + name);
    } catch (...) {
        set_python_error_from_current_exception();
    }
    return nullptr;
}

std::expected<std::string, std::string> read_text_file(const std::string& path) {
    std::expected<std::string, std::string> read = read_file(path);
    if (!read) return read;
    std::string& text = *read;
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (decoded == nullptr) {
        const bool out_of_memory = PyErr_ExceptionMatches(PyExc_MemoryError);
        PyErr_Clear();
        if (out_of_memory) throw AllocationError(allocation_message(text.size(), "the UTF-8 check of " + path));
        return std::unexpected(std::string("stream did not contain valid UTF-8"));
    }
    Py_DECREF(decoded);
    return text;
}

}  // namespace nivra::python
