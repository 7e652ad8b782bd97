#include "nivra/python/convert.h"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <string_view>

namespace nb = nanobind;

namespace nivra::python {

namespace {

// Re-raises the pending TypeError with the argument's name in front, as the
// binding layer reports every argument conversion failure (unchanged when
// `name` is null).
[[noreturn]] void raise_pending(const char* name) {
    if (name != nullptr && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
        PyErr_Fetch(&type, &value, &trace);
        PyErr_NormalizeException(&type, &value, &trace);
        PyObject* text = value ? PyObject_Str(value) : nullptr;
        std::string detail;
        if (text != nullptr) {
            Py_ssize_t len = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(text, &len);
            if (utf8 != nullptr) detail.assign(utf8, static_cast<std::size_t>(len));
            Py_DECREF(text);
        }
        PyErr_Clear();
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
        std::string message = std::string("argument '") + name + "': " + detail;
        PyErr_SetString(PyExc_TypeError, message.c_str());
    }
    throw nb::python_error();
}

// The integer value of obj (via __index__), as a new reference, or raises.
nb::object index_of(nb::handle obj, const char* name) {
    PyObject* index = PyNumber_Index(obj.ptr());
    if (index == nullptr) raise_pending(name);
    return nb::steal(index);
}

}  // namespace

std::uint64_t to_u64(nb::handle obj, const char* name) {
    nb::object index = index_of(obj, name);
    unsigned long long value = PyLong_AsUnsignedLongLong(index.ptr());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_pending(name);
    return value;
}

std::uint32_t to_u32(nb::handle obj, const char* name) {
    nb::object index = index_of(obj, name);
    long long value = PyLong_AsLongLong(index.ptr());
    if (value == -1 && PyErr_Occurred()) raise_pending(name);
    if (value < 0 || value > static_cast<long long>(UINT32_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw nb::python_error();
    }
    return static_cast<std::uint32_t>(value);
}

double to_f64(nb::handle obj, const char* name) {
    double value = PyFloat_AsDouble(obj.ptr());
    if (value == -1.0 && PyErr_Occurred()) raise_pending(name);
    return value;
}

std::string to_str(nb::handle obj, const char* name) {
    if (!PyUnicode_Check(obj.ptr())) {
        std::string message =
            std::string("argument '") + name + "': '" +
            nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__")) +
            "' object cannot be converted to 'PyString'";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw nb::python_error();
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj.ptr(), &len);
    if (utf8 == nullptr) raise_pending(name);
    return std::string(utf8, static_cast<std::size_t>(len));
}

namespace {

// Calls `each(item)` for every item of a sequence that is not a str, after
// the length is known (`reserve(len)` first).
template <class Reserve, class Each>
void for_each_item(nb::handle obj, const char* name, Reserve&& reserve, Each&& each) {
    if (PyUnicode_Check(obj.ptr())) {
        std::string message = std::string("argument '") + name + "': Can't extract `str` to `Vec`";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw nb::python_error();
    }
    if (!PySequence_Check(obj.ptr())) {
        std::string message =
            std::string("argument '") + name + "': '" +
            nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__")) +
            "' object cannot be converted to 'Sequence'";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw nb::python_error();
    }
    Py_ssize_t len = PySequence_Size(obj.ptr());
    if (len < 0) raise_pending(name);
    // A sequence type may claim any length; only what it really yields is stored.
    reserve(std::min(static_cast<std::size_t>(len), std::size_t{1} << 16));
    // An item's conversion may run Python code that shrinks the sequence;
    // PySequence_GetItem then raises IndexError, which passes through.
    for (Py_ssize_t i = 0; i < len; ++i) {
        PyObject* item = PySequence_GetItem(obj.ptr(), i);
        if (item == nullptr) raise_pending(name);
        nb::object owned = nb::steal(item);
        each(nb::handle(owned));
    }
}

}  // namespace

std::vector<std::uint32_t> to_u32_list(nb::handle obj, const char* name) {
    std::vector<std::uint32_t> out;
    for_each_item(
        obj, name, [&](std::size_t n) { out.reserve(n); }, [&](nb::handle item) { out.push_back(to_u32(item, name)); });
    return out;
}

std::uint8_t to_u8(nb::handle obj, const char* name) {
    nb::object index = index_of(obj, name);
    long long value = PyLong_AsLongLong(index.ptr());
    if (value == -1 && PyErr_Occurred()) raise_pending(name);
    if (value < 0 || value > static_cast<long long>(UINT8_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw nb::python_error();
    }
    return static_cast<std::uint8_t>(value);
}

std::vector<double> to_f64_list(nb::handle obj, const char* name) {
    std::vector<double> out;
    for_each_item(
        obj, name, [&](std::size_t n) { out.reserve(n); }, [&](nb::handle item) { out.push_back(to_f64(item, name)); });
    return out;
}

void for_each_item(nb::handle obj, const char* name, void (*each)(void* context, nb::handle item), void* context) {
    for_each_item(obj, name, [](std::size_t) {}, [&](nb::handle item) { each(context, item); });
}

std::array<nb::handle, 2> to_pair(nb::handle obj, const char* name) {
    if (!PyTuple_Check(obj.ptr())) {
        std::string message =
            std::string("argument '") + name + "': '" +
            nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))).attr("__name__")) +
            "' object cannot be converted to 'PyTuple'";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw nb::python_error();
    }
    const Py_ssize_t len = PyTuple_Size(obj.ptr());
    if (len != 2) {
        std::string message = std::string("argument '") + name +
                              "': expected tuple of length 2, but got tuple of length " + std::to_string(len);
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw nb::python_error();
    }
    return {nb::handle(PyTuple_GetItem(obj.ptr(), 0)), nb::handle(PyTuple_GetItem(obj.ptr(), 1))};
}

std::vector<std::vector<double>> to_f64_rows(nb::handle obj, const char* name) {
    std::vector<std::vector<double>> out;
    for_each_item(
        obj, name, [&](std::size_t n) { out.reserve(n); },
        [&](nb::handle row) { out.push_back(to_f64_list(row, name)); });
    return out;
}

}  // namespace nivra::python
