// The nivra.qec submodule: DetectorErrorModel, Decoder and decoder_names.
//
// Both classes are nanobind types whose constructors are their own tp_new
// (a fully built object or an exception, never a half-made instance), with
// methods added as builtins so that docstrings and text signatures are exact.
// Arrays are read through the buffer protocol after an isinstance check
// against numpy.ndarray, so no other array protocol and no dtype conversion is
// ever involved; results are NumPy arrays over buffers owned by a capsule.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/python/callable.h"
#include "nivra/python/convert.h"
#include "nivra/python/objects.h"
#include "nivra/python/register.h"
#include "nivra/qec/batch.h"
#include "nivra/qec/dem/dem.h"
#include "nivra/qec/registry.h"

namespace nb = nanobind;

namespace nivra::python {

namespace {

using qec::decode_packed;
using qec::decode_rows;
using qec::gather_rows;
using qec::packed_row_bytes;

// The value behind DetectorErrorModel: immutable once parsed.
struct PyDem {
    qec::DetectorErrorModel model;
};

// The value behind Decoder. It keeps no reference to the model it was built
// from; D and O are copied at construction (O <= 64).
struct PyDecoder {
    std::string name;
    qec::DecoderPtr decoder;
    std::uint64_t num_detectors;
    std::uint64_t num_observables;
};

[[noreturn]] void raise_type_error(const std::string& message) { raise_message(PyExc_TypeError, message); }

// --- NumPy arrays -----------------------------------------------------------

// numpy.ndarray and the two dtypes the decoders read, looked up once and kept
// for the life of the process.
struct NumpyTypes {
    PyObject* ndarray;
    PyObject* bool_dtype;
    PyObject* uint8_dtype;
};

const NumpyTypes& numpy_types() {
    static const NumpyTypes types = [] {
        nb::module_ np = nb::module_::import_("numpy");
        return NumpyTypes{
            nb::object(np.attr("ndarray")).release().ptr(),
            np.attr("dtype")(np.attr("bool_")).release().ptr(),
            np.attr("dtype")(np.attr("uint8")).release().ptr(),
        };
    }();
    return types;
}

enum class ArrayDtype { Other, Bool, Uint8 };

// The dtype class of `obj`: Other unless it is a numpy.ndarray (or subclass)
// whose dtype is equivalent to bool or to uint8.
ArrayDtype array_dtype(nb::handle obj) {
    const NumpyTypes& np = numpy_types();
    const int is_array = PyObject_IsInstance(obj.ptr(), np.ndarray);
    if (is_array < 0) throw nb::python_error();
    if (is_array == 0) return ArrayDtype::Other;
    nb::object dtype = obj.attr("dtype");
    auto equal = [&](PyObject* other) {
        const int eq = PyObject_RichCompareBool(dtype.ptr(), other, Py_EQ);
        if (eq < 0) throw nb::python_error();
        return eq == 1;
    };
    if (equal(np.bool_dtype)) return ArrayDtype::Bool;
    if (equal(np.uint8_dtype)) return ArrayDtype::Uint8;
    return ArrayDtype::Other;
}

// A buffer view released with the guard.
class BufferView {
public:
    explicit BufferView(nb::handle obj) {
        // Strides and format; read-only arrays are accepted (nothing is written).
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_RECORDS_RO) != 0) throw nb::python_error();
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const Py_buffer& get() const { return view_; }

private:
    Py_buffer view_{};
};

struct RowBytes {
    std::size_t rows = 0;
    std::vector<std::uint8_t> bytes;  // rows x last dimension, row-major
};

std::string shape_text(const Py_buffer& view) {
    std::string out = "[";
    for (int i = 0; i < view.ndim; ++i) {
        if (i > 0) out += ", ";
        out += fmt::display(static_cast<std::uint64_t>(view.shape[i]));
    }
    return out + "]";
}

// A numpy bool or uint8 array of `ndim` (1 or 2) dimensions whose last
// dimension is `last_dim`, copied into contiguous row-major bytes whatever its
// strides and memory order. `label` names the calling method in messages.
RowBytes to_bytes(nb::handle obj, int ndim, std::uint64_t last_dim, const char* label) {
    if (array_dtype(obj) == ArrayDtype::Other) {
        raise_message(PyExc_ValueError, std::string(label) + ": expected a numpy bool or uint8 array");
    }
    BufferView buffer(obj);
    const Py_buffer& view = buffer.get();
    check_invariant(view.itemsize == 1, "to_bytes: bool/uint8 array with items wider than one byte");
    if (view.ndim != ndim || static_cast<std::uint64_t>(view.shape[ndim - 1]) != last_dim) {
        raise_message(PyExc_ValueError, std::string(label) + ": expected " + fmt::display(std::int64_t{ndim}) +
                                            "-D array with last dimension " + fmt::display(last_dim) + ", got shape " +
                                            shape_text(view));
    }
    const auto* data = static_cast<const std::uint8_t*>(view.buf);
    // A buffer without strides is C-contiguous.
    const std::ptrdiff_t col_stride = view.strides != nullptr ? view.strides[ndim - 1] : 1;
    RowBytes out;
    if (ndim == 1) {
        out.rows = 1;
        out.bytes = gather_rows(data, 1, static_cast<std::size_t>(view.shape[0]), 0, col_stride);
    } else {
        out.rows = static_cast<std::size_t>(view.shape[0]);
        const std::ptrdiff_t row_stride = view.strides != nullptr ? view.strides[0] : view.shape[1];
        out.bytes = gather_rows(data, out.rows, static_cast<std::size_t>(view.shape[1]), row_stride, col_stride);
    }
    return out;
}

// A NumPy array of `shape` over `bytes`, which a capsule owns from here on.
template <class Scalar>
nb::object owned_array(std::vector<std::uint8_t> bytes, std::initializer_list<std::size_t> shape) {
    auto owner = std::make_unique<std::vector<std::uint8_t>>(std::move(bytes));
    // An empty array still gets a real address: NumPy does not take null data.
    if (owner->capacity() == 0) owner->reserve(1);
    void* data = owner->data();
    nb::capsule capsule(owner.get(), [](void* p) noexcept { delete static_cast<std::vector<std::uint8_t>*>(p); });
    owner.release();
    return nb::ndarray<nb::numpy, Scalar>(data, shape, capsule).cast();
}

// --- DetectorErrorModel -------------------------------------------------------

[[noreturn]] void raise_os_error(const std::string& path, const std::string& detail) {
    raise_message(PyExc_OSError, "read " + path + ": " + detail);
}

// The whole file at `path` as text, or OSError when it cannot be read or is
// not UTF-8.
std::string read_model_file(const std::string& path) {
    std::expected<std::string, std::string> text = read_text_file(path);
    if (!text) raise_os_error(path, text.error());
    return std::move(*text);
}

// A str or os.PathLike argument as text.
std::string path_arg(nb::handle obj, const char* name) {
    PyObject* fspath = PyOS_FSPath(obj.ptr());
    if (fspath == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_type_error(std::string("argument '") + name + "': expected str, bytes or os.PathLike object, not " +
                             type_name_of(obj));
        }
        throw nb::python_error();
    }
    nb::object path = nb::steal(fspath);
    return to_str(path, name);
}

qec::DetectorErrorModel parse_model(std::string_view text) {
    auto model = qec::DetectorErrorModel::parse(text);
    if (!model) raise_message(PyExc_ValueError, model.error().message());
    return std::move(*model);
}

PyObject* dem_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        VectorcallArgs call(args, kwargs);
        static constexpr const char* names[] = {"model"};
        PyObject* out[1];
        parse_args({"DetectorErrorModel.__new__", names, 1, 1}, call.args(), call.nargs(), call.kwnames(), out);
        const std::string text = to_str(out[0], "model");
        return make_instance<PyDem>(reinterpret_cast<PyObject*>(type), parse_model(text)).release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

PyObject* dem_repr(PyObject* self) noexcept {
    try {
        const qec::DetectorErrorModel& model = native<PyDem>(self).model;
        const std::string text = "DetectorErrorModel(detectors=" + fmt::display(std::uint64_t{model.num_detectors}) +
                                 ", observables=" + fmt::display(std::uint64_t{model.num_observables}) +
                                 ", errors=" + fmt::display(std::uint64_t{model.errors.size()}) + ")";
        return nb::str(text.data(), text.size()).release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

nb::object dem_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"path"};
    PyObject* out[1];
    parse_args({"DetectorErrorModel.from_file", names, 1, 1}, args, nargs, kwnames, out);
    const std::string path = path_arg(out[0], "path");
    const std::string text = read_model_file(path);
    return make_instance<PyDem>(nb::type<PyDem>(), parse_model(text));
}

nb::object dem_to_dem_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    parse_args({"DetectorErrorModel.to_dem_string", {}, 0, 0}, args, nargs, kwnames, nullptr);
    const std::string text = native<PyDem>(self).model.to_dem_string();
    return nb::str(text.data(), text.size());
}

nb::object dem_num_errors(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    return nb::int_(native<PyDem>(self).model.errors.size());
}

nb::object dem_num_detectors(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    return nb::int_(native<PyDem>(self).model.num_detectors);
}

nb::object dem_num_observables(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    return nb::int_(native<PyDem>(self).model.num_observables);
}

PyMethodDef dem_from_file_def =
    method_def<dem_from_file>("from_file", "from_file(path)\n--\n\nRead and parse a `.dem` file.");
PyMethodDef dem_to_dem_string_def = method_def<dem_to_dem_string>(
    "to_dem_string", "to_dem_string($self)\n--\n\nThe flat model as DEM text (`repeat` blocks unrolled).");
PyMethodDef dem_num_errors_def = method_def<dem_num_errors>("num_errors", nullptr);
PyMethodDef dem_num_detectors_def = method_def<dem_num_detectors>("num_detectors", nullptr);
PyMethodDef dem_num_observables_def = method_def<dem_num_observables>("num_observables", nullptr);

PyType_Slot dem_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&dem_new)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {Py_tp_repr, reinterpret_cast<void*>(&dem_repr)},
    {0, nullptr},
};

// --- Decoder ------------------------------------------------------------------

std::string utf8_text(PyObject* str) {
    Py_ssize_t len = 0;
    const char* p = PyUnicode_AsUTF8AndSize(str, &len);
    if (p == nullptr) throw nb::python_error();
    return std::string(p, static_cast<std::size_t>(len));
}

// `value` converted to the type of a keyword's default. Conversion errors are
// the interpreter's own, unchanged (null name).
qec::ParamValue param_value(nb::handle value, const qec::ParamValue& fallback) {
    return std::visit(
        [&](auto like) -> qec::ParamValue {
            using T = decltype(like);
            if constexpr (std::is_same_v<T, std::uint32_t>) {
                return to_u32(value, nullptr);
            } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                return to_u64(value, nullptr);
            } else {
                static_assert(std::is_same_v<T, double>);
                return to_f64(value, nullptr);
            }
        },
        fallback);
}

// The keyword parameters, checked against the names `name` accepts and
// converted one by one in dictionary order to the type of the keyword's
// default; the first failure is raised.
qec::DecoderParams decoder_params(const nb::list& keywords, std::string_view name) {
    qec::DecoderParams params;
    const std::span<const qec::ParamDefault> accepted = qec::accepted_params(name);
    for (nb::handle item : keywords) {
        const std::string key = utf8_text(PyTuple_GetItem(item.ptr(), 0));
        const nb::handle value(PyTuple_GetItem(item.ptr(), 1));
        const qec::ParamDefault* known = nullptr;
        for (const qec::ParamDefault& candidate : accepted) {
            if (candidate.name == key) known = &candidate;
        }
        if (known == nullptr) raise_message(PyExc_ValueError, qec::BuildError::unknown_parameter(key, name).message());
        params.set(key, param_value(value, known->value));
    }
    return params;
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        VectorcallArgs call(args, kwargs);
        static constexpr const char* names[] = {"dem", "name"};
        PyObject* out[2];
        nb::list keywords;
        parse_args({"Decoder.__new__", names, 2, 2, true}, call.args(), call.nargs(), call.kwnames(), out, &keywords);
        if (!nb::isinstance<PyDem>(out[0])) {
            raise_type_error("argument 'dem': '" + type_name_of(out[0]) +
                             "' object cannot be converted to 'DetectorErrorModel'");
        }
        const qec::DetectorErrorModel& model = native<PyDem>(out[0]).model;
        std::string name = to_str(out[1], "name");
        const qec::DecoderParams params = nb::len(keywords) > 0 ? decoder_params(keywords, name) : qec::DecoderParams{};
        auto built = qec::build_decoder(model, name, params);
        if (!built) raise_message(PyExc_ValueError, built.error().message());
        return make_instance<PyDecoder>(reinterpret_cast<PyObject*>(type), std::move(name), std::move(*built),
                                        std::uint64_t{model.num_detectors}, std::uint64_t{model.num_observables})
            .release()
            .ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

PyObject* decoder_repr(PyObject* self) noexcept {
    try {
        const PyDecoder& decoder = native<PyDecoder>(self);
        const std::string text = "Decoder(" + fmt::quoted(decoder.name) +
                                 ", detectors=" + fmt::display(decoder.num_detectors) +
                                 ", observables=" + fmt::display(decoder.num_observables) + ")";
        return nb::str(text.data(), text.size()).release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

nb::object decoder_name(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    const std::string& name = native<PyDecoder>(self).name;
    return nb::str(name.data(), name.size());
}

// The single argument of a decode method.
PyObject* one_argument(const char* qualname, const char* name, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    const char* names[] = {name};
    PyObject* out[1];
    parse_args({qualname, names, 1, 1}, args, nargs, kwnames, out);
    return out[0];
}

nb::object decoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* dets = one_argument("Decoder.decode", "dets", args, nargs, kwnames);
    const PyDecoder& d = native<PyDecoder>(self);
    RowBytes input = to_bytes(dets, 1, d.num_detectors, "decode");
    // One row runs on the calling thread, with the interpreter lock held.
    std::vector<std::uint8_t> out = decode_rows(*d.decoder, input.bytes, 1, d.num_detectors, d.num_observables);
    return owned_array<bool>(std::move(out), {static_cast<std::size_t>(d.num_observables)});
}

nb::object decoder_decode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* dets = one_argument("Decoder.decode_batch", "dets", args, nargs, kwnames);
    const PyDecoder& d = native<PyDecoder>(self);
    RowBytes input = to_bytes(dets, 2, d.num_detectors, "decode_batch");
    std::vector<std::uint8_t> out;
    {
        nb::gil_scoped_release unlocked;
        out = decode_rows(*d.decoder, input.bytes, input.rows, d.num_detectors, d.num_observables);
    }
    return owned_array<bool>(std::move(out), {input.rows, static_cast<std::size_t>(d.num_observables)});
}

nb::object decoder_decode_batch_bit_packed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* packed = one_argument("Decoder.decode_batch_bit_packed", "packed", args, nargs, kwnames);
    const PyDecoder& d = native<PyDecoder>(self);
    if (array_dtype(packed) != ArrayDtype::Uint8) {
        raise_message(PyExc_ValueError, "decode_batch_bit_packed: expected a numpy uint8 array");
    }
    RowBytes input = to_bytes(packed, 2, packed_row_bytes(d.num_detectors), "decode_batch_bit_packed");
    std::vector<std::uint8_t> out;
    {
        nb::gil_scoped_release unlocked;
        out = decode_packed(*d.decoder, input.bytes, input.rows, d.num_detectors, d.num_observables);
    }
    return owned_array<std::uint8_t>(std::move(out),
                                     {input.rows, packed_row_bytes(static_cast<std::size_t>(d.num_observables))});
}

PyMethodDef decoder_name_def = method_def<decoder_name>("name", nullptr);
PyMethodDef decoder_decode_def = method_def<decoder_decode>(
    "decode", "decode($self, dets)\n--\n\nDecode one shot: `[num_detectors]` bool/uint8 -> `[num_observables]` bool.");
PyMethodDef decoder_decode_batch_def = method_def<decoder_decode_batch>(
    "decode_batch",
    "decode_batch($self, dets)\n--\n\nDecode `[shots, num_detectors]` bool/uint8 -> `[shots, num_observables]` "
    "bool (GIL released).");
PyMethodDef decoder_decode_batch_bit_packed_def = method_def<decoder_decode_batch_bit_packed>(
    "decode_batch_bit_packed",
    "decode_batch_bit_packed($self, packed)\n--\n\nstim b8 rows `[shots, ceil(D/8)]` uint8 -> packed predictions "
    "`[shots, ceil(O/8)]` uint8.");

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&decoder_new)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {Py_tp_repr, reinterpret_cast<void*>(&decoder_repr)},
    {0, nullptr},
};

// --- Module -------------------------------------------------------------------

nb::object decoder_names(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    parse_args({"decoder_names", {}, 0, 0}, args, nargs, kwnames, nullptr);
    nb::list names;
    for (std::string_view name : qec::decoder_names()) names.append(nb::str(name.data(), name.size()));
    return names;
}

PyMethodDef decoder_names_def =
    method_def<decoder_names>("decoder_names", "decoder_names()\n--\n\nNames accepted by `Decoder(dem, name)`.");

}  // namespace

void register_qec(nb::module_& parent) {
    PyObject* raw = PyModule_New("qec");
    if (raw == nullptr) throw nb::python_error();
    nb::module_ qec = nb::steal<nb::module_>(raw);

    // nanobind names a class after its scope's __name__: while the classes are
    // created the module carries the package name the classes report.
    qec.attr("__name__") = "nivra.qec";

    nb::class_<PyDem> dem(qec, "DetectorErrorModel",
                          "DetectorErrorModel(model)\n--\n\n"
                          "A stim-format Detector Error Model (`repeat`/`shift_detectors`/`^` supported).",
                          nb::is_final(), nb::type_slots(dem_slots));
    add_static_method(dem, &dem_from_file_def);
    add_method(dem, &dem_to_dem_string_def);
    add_property(dem, &dem_num_errors_def, nullptr);
    add_property(dem, &dem_num_detectors_def, nullptr);
    add_property(dem, &dem_num_observables_def, nullptr);

    nb::class_<PyDecoder> decoder(qec, "Decoder",
                                  "Decoder(dem, name, **params)\n--\n\n"
                                  "A decoder built once for a DEM and reused across shots.",
                                  nb::is_final(), nb::type_slots(decoder_slots));
    add_property(decoder, &decoder_name_def, nullptr);
    add_method(decoder, &decoder_decode_def);
    add_method(decoder, &decoder_decode_batch_def);
    add_method(decoder, &decoder_decode_batch_bit_packed_def);

    qec.attr("__name__") = "qec";
    add_function(qec, &decoder_names_def);

    parent.attr("qec") = qec;
}

}  // namespace nivra::python
