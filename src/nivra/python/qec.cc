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
#include "nivra/python/declare.h"
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
// strides and memory order. `label` names the calling method in messages,
// `what` the array in an AllocationError for the copy ("detector array").
RowBytes to_bytes(nb::handle obj, int ndim, std::uint64_t last_dim, const char* label, std::string_view what) {
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
        out.bytes = gather_rows(data, 1, static_cast<std::size_t>(view.shape[0]), 0, col_stride, what);
    } else {
        out.rows = static_cast<std::size_t>(view.shape[0]);
        const std::ptrdiff_t row_stride = view.strides != nullptr ? view.strides[0] : view.shape[1];
        out.bytes = gather_rows(data, out.rows, static_cast<std::size_t>(view.shape[1]), row_stride, col_stride, what);
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

nb::object dem_new(nb::handle type, std::string model) { return make_instance<PyDem>(type, parse_model(model)); }

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

nb::object dem_from_file(nb::handle path_obj) {
    const std::string path = path_arg(path_obj, "path");
    const std::string text = read_model_file(path);
    return make_instance<PyDem>(nb::type<PyDem>(), parse_model(text));
}

std::string dem_to_dem_string(const PyDem& d) { return d.model.to_dem_string(); }
std::size_t dem_num_errors(const PyDem& d) { return d.model.errors.size(); }
std::uint64_t dem_num_detectors(const PyDem& d) { return d.model.num_detectors; }
std::uint64_t dem_num_observables(const PyDem& d) { return d.model.num_observables; }

constexpr auto DEM_NEW =
    constructor<&dem_new>("DetectorErrorModel.__new__", {"model"},
                          "A stim-format Detector Error Model (`repeat`/`shift_detectors`/`^` supported).");
constexpr auto DEM_FROM_FILE =
    static_method<&dem_from_file>("DetectorErrorModel.from_file", {arg("path", "str | os.PathLike[str]")},
                                  "Read and parse a `.dem` file.")
        .returning("DetectorErrorModel");
constexpr auto DEM_TO_DEM_STRING = method<&dem_to_dem_string>("DetectorErrorModel.to_dem_string",
                                                              "The flat model as DEM text (`repeat` blocks unrolled).");
constexpr auto DEM_NUM_ERRORS = property<&dem_num_errors>("DetectorErrorModel.num_errors", nullptr);
constexpr auto DEM_NUM_DETECTORS = property<&dem_num_detectors>("DetectorErrorModel.num_detectors", nullptr);
constexpr auto DEM_NUM_OBSERVABLES = property<&dem_num_observables>("DetectorErrorModel.num_observables", nullptr);

PyType_Slot dem_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&construct<DEM_NEW>)},
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

nb::object decoder_new(nb::handle type, const PyDem& dem, std::string name, nb::list keywords) {
    const qec::DetectorErrorModel& model = dem.model;
    const qec::DecoderParams params = nb::len(keywords) > 0 ? decoder_params(keywords, name) : qec::DecoderParams{};
    auto built = qec::build_decoder(model, name, params);
    if (!built) raise_message(PyExc_ValueError, built.error().message());
    return make_instance<PyDecoder>(type, std::move(name), std::move(*built), std::uint64_t{model.num_detectors},
                                    std::uint64_t{model.num_observables});
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

std::string decoder_name(const PyDecoder& d) { return d.name; }

nb::object decoder_decode(const PyDecoder& d, nb::handle dets) {
    RowBytes input = to_bytes(dets, 1, d.num_detectors, "decode", "detector array");
    // One row runs on the calling thread, with the interpreter lock held.
    std::vector<std::uint8_t> out = decode_rows(*d.decoder, input.bytes, 1, d.num_detectors, d.num_observables);
    return owned_array<bool>(std::move(out), {static_cast<std::size_t>(d.num_observables)});
}

nb::object decoder_decode_batch(const PyDecoder& d, nb::handle dets) {
    RowBytes input = to_bytes(dets, 2, d.num_detectors, "decode_batch", "detector array");
    std::vector<std::uint8_t> out;
    {
        nb::gil_scoped_release unlocked;
        out = decode_rows(*d.decoder, input.bytes, input.rows, d.num_detectors, d.num_observables);
    }
    return owned_array<bool>(std::move(out), {input.rows, static_cast<std::size_t>(d.num_observables)});
}

nb::object decoder_decode_batch_bit_packed(const PyDecoder& d, nb::handle packed) {
    if (array_dtype(packed) != ArrayDtype::Uint8) {
        raise_message(PyExc_ValueError, "decode_batch_bit_packed: expected a numpy uint8 array");
    }
    RowBytes input =
        to_bytes(packed, 2, packed_row_bytes(d.num_detectors), "decode_batch_bit_packed", "packed detector array");
    std::vector<std::uint8_t> out;
    {
        nb::gil_scoped_release unlocked;
        out = decode_packed(*d.decoder, input.bytes, input.rows, d.num_detectors, d.num_observables);
    }
    return owned_array<std::uint8_t>(std::move(out),
                                     {input.rows, packed_row_bytes(static_cast<std::size_t>(d.num_observables))});
}

// The arrays a decode method takes.
constexpr const char* DETS_ARRAY = "npt.NDArray[np.bool_] | npt.NDArray[np.uint8]";

constexpr auto DECODER_NEW =
    constructor<&decoder_new>("Decoder.__new__", {"dem", "name", arg("**params", "int | float")},
                              "A decoder built once for a DEM and reused across shots.");
constexpr auto DECODER_NAME = property<&decoder_name>("Decoder.name", nullptr);
constexpr auto DECODER_DECODE =
    method<&decoder_decode>("Decoder.decode", {arg("dets", DETS_ARRAY)},
                            "Decode one shot: `[num_detectors]` bool/uint8 -> `[num_observables]` bool.")
        .returning("npt.NDArray[np.bool_]");
constexpr auto DECODER_DECODE_BATCH =
    method<&decoder_decode_batch>(
        "Decoder.decode_batch", {arg("dets", DETS_ARRAY)},
        "Decode `[shots, num_detectors]` bool/uint8 -> `[shots, num_observables]` bool (GIL released).")
        .returning("npt.NDArray[np.bool_]");
constexpr auto DECODER_DECODE_BATCH_BIT_PACKED =
    method<&decoder_decode_batch_bit_packed>(
        "Decoder.decode_batch_bit_packed", {arg("packed", "npt.NDArray[np.uint8]")},
        "stim b8 rows `[shots, ceil(D/8)]` uint8 -> packed predictions `[shots, ceil(O/8)]` uint8.")
        .returning("npt.NDArray[np.uint8]");

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&construct<DECODER_NEW>)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {Py_tp_repr, reinterpret_cast<void*>(&decoder_repr)},
    {0, nullptr},
};

// --- Module -------------------------------------------------------------------

nb::object decoder_names() {
    nb::list names;
    for (std::string_view name : qec::decoder_names()) names.append(nb::str(name.data(), name.size()));
    return names;
}

constexpr auto DECODER_NAMES =
    function<&decoder_names>("decoder_names", "Names accepted by `Decoder(dem, name)`.").returning("list[str]");

}  // namespace

void register_qec(nb::module_& parent) {
    PyObject* raw = PyModule_New("qec");
    if (raw == nullptr) throw nb::python_error();
    nb::module_ qec = nb::steal<nb::module_>(raw);

    // nanobind names a class after its scope's __name__: while the classes are
    // created the module carries the package name the classes report.
    qec.attr("__name__") = "nivra.qec";

    nb::class_<PyDem> dem(qec, "DetectorErrorModel", class_doc<DEM_NEW>(), nb::is_final(), nb::type_slots(dem_slots));
    add_all<DEM_FROM_FILE, DEM_TO_DEM_STRING, DEM_NUM_ERRORS, DEM_NUM_DETECTORS, DEM_NUM_OBSERVABLES>(dem);

    nb::class_<PyDecoder> decoder(qec, "Decoder", class_doc<DECODER_NEW>(), nb::is_final(),
                                  nb::type_slots(decoder_slots));
    add_all<DECODER_NAME, DECODER_DECODE, DECODER_DECODE_BATCH, DECODER_DECODE_BATCH_BIT_PACKED>(decoder);

    qec.attr("__name__") = "qec";
    add<DECODER_NAMES>(qec);

    parent.attr("qec") = qec;
}

}  // namespace nivra::python
