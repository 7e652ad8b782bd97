// NoiseModel, QuantumError, the six error factories, and the noisy branch of
// run().
//
// Every check and name translation of a method happens before the first
// attachment, so a call that fails leaves its model as it was.

#include "nivra/python/noise.h"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nivra/core/format.h"
#include "nivra/python/callable.h"
#include "nivra/python/convert.h"
#include "nivra/python/objects.h"
#include "nivra/python/register.h"
#include "nivra/sv/noise/apply.h"
#include "nivra/sv/noise/error.h"

namespace nb = nanobind;

namespace nivra::python {

namespace {

namespace noise = sv::noise;

// The value behind QuantumError; never changed after a factory made it.
struct PyQuantumError {
    noise::QuantumError error;
};

// --- Argument helpers -------------------------------------------------------------

// Runs `convert`; a failure that is an ordinary exception (TypeError,
// OverflowError, ...) is swallowed and reported as false. KeyboardInterrupt
// and other non-Exception errors pass through.
template <class F>
bool try_convert(F&& convert) {
    try {
        convert();
        return true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return false;
    }
}

// A str gives one name; otherwise a sequence (not a str) of str.
std::vector<std::string> extract_gates(nb::handle obj) {
    std::vector<std::string> names;
    const bool ok = try_convert([&] {
        // A str that is not valid text (lone surrogates) fails here like any other bad value.
        if (PyUnicode_Check(obj.ptr())) {
            names.push_back(to_str(obj, "gates"));
            return;
        }
        for_each_item(
            obj, "gates",
            [](void* context, nb::handle item) {
                static_cast<std::vector<std::string>*>(context)->push_back(to_str(item, "gates"));
            },
            &names);
    });
    if (!ok) raise_message(PyExc_ValueError, "gates must be a str or list[str]");
    return names;
}

// An int that fits in 32 unsigned bits gives one qubit; otherwise a sequence of such ints.
std::vector<Qubit> extract_qubits(nb::handle obj) {
    std::vector<Qubit> qubits;
    if (try_convert([&] { qubits = {to_u32(obj, "qubit")}; })) return qubits;
    if (try_convert([&] { qubits = to_u32_list(obj, "qubit"); })) return qubits;
    raise_message(PyExc_ValueError, "qubit must be an int or list[int]");
}

struct Mnemonic {
    std::string_view name;
    std::string_view kind;
};

constexpr std::array<Mnemonic, 26> MNEMONICS{{
    {"h", "H"},     {"x", "X"},       {"y", "Y"},         {"z", "Z"},         {"s", "S"},
    {"sdg", "Sdg"}, {"t", "T"},       {"tdg", "Tdg"},     {"rx", "Rx"},       {"ry", "Ry"},
    {"rz", "Rz"},   {"p", "Phase"},   {"phase", "Phase"}, {"u", "U3"},        {"u3", "U3"},
    {"cx", "Cnot"}, {"cnot", "Cnot"}, {"cz", "Cz"},       {"swap", "Swap"},   {"iswap", "Iswap"},
    {"crx", "CRx"}, {"cry", "CRy"},   {"crz", "CRz"},     {"ccx", "Toffoli"}, {"toffoli", "Toffoli"},
    {"ccz", "Ccz"},
}};

// Gate mnemonics (ASCII case-insensitive) to gate-kind names, in order; the
// first unknown name is reported as the caller wrote it.
std::vector<std::string> map_names(const std::vector<std::string>& names) {
    std::vector<std::string> kinds;
    kinds.reserve(names.size());
    for (const std::string& name : names) {
        std::string lower = name;
        for (char& c : lower) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        const Mnemonic* found = nullptr;
        for (const Mnemonic& m : MNEMONICS) {
            if (m.name == lower) found = &m;
        }
        if (found == nullptr) {
            raise_message(PyExc_ValueError,
                          "unknown gate name " + fmt::quoted(name) +
                              "; supported: h,x,y,z,s,sdg,t,tdg,rx,ry,rz,p/phase,u/u3,cx/cnot,cz,swap,iswap,crx,cry,"
                              "crz,ccx/toffoli,ccz (nivra has no 'id'/idle gate)");
        }
        kinds.emplace_back(found->kind);
    }
    return kinds;
}

// NaN fails.
bool in_unit_interval(double x) { return x >= 0.0 && x <= 1.0; }

// --- NoiseModel ---------------------------------------------------------------------

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        VectorcallArgs call(args, kwargs);
        parse_args({"NoiseModel.__new__", {}, 0, 0}, call.args(), call.nargs(), call.kwnames(), nullptr);
        return make_instance<PyNoiseModel>(reinterpret_cast<PyObject*>(type)).release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

const noise::QuantumError& error_arg(nb::handle obj) {
    return native_arg<PyQuantumError>(obj, "err", "QuantumError").error;
}

nb::object add_quantum_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"err", "gates", "qubits"};
    PyObject* out[3];
    parse_args({"NoiseModel.add_quantum_error", names, 3, 3}, args, nargs, kwnames, out);
    PyNoiseModel& m = native<PyNoiseModel>(self);
    BorrowFlag::Exclusive write(m.borrow);
    const noise::QuantumError& error = error_arg(out[0]);
    const std::vector<Qubit> qubits = to_u32_list(out[2], "qubits");
    const std::vector<std::string> kinds = map_names(extract_gates(out[1]));
    m.model.add_quantum_error(error, kinds, qubits);
    return nb::none();
}

nb::object add_all_qubit_quantum_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"err", "gates"};
    PyObject* out[2];
    parse_args({"NoiseModel.add_all_qubit_quantum_error", names, 2, 2}, args, nargs, kwnames, out);
    PyNoiseModel& m = native<PyNoiseModel>(self);
    BorrowFlag::Exclusive write(m.borrow);
    const noise::QuantumError& error = error_arg(out[0]);
    const std::vector<std::string> kinds = map_names(extract_gates(out[1]));
    m.model.add_all_qubit_quantum_error(error, kinds);
    return nb::none();
}

nb::object add_readout_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"probs", "qubit"};
    PyObject* out[2];
    parse_args({"NoiseModel.add_readout_error", names, 2, 2}, args, nargs, kwnames, out);
    PyNoiseModel& m = native<PyNoiseModel>(self);
    BorrowFlag::Exclusive write(m.borrow);
    const std::vector<std::vector<double>> rows = to_f64_rows(out[0], "probs");
    if (rows.size() != 2 || rows[0].size() != 2 || rows[1].size() != 2) {
        raise_message(PyExc_ValueError, "readout probs must be a 2x2 matrix [[P(0|0),P(1|0)],[P(0|1),P(1|1)]]");
    }
    for (std::size_t r = 0; r < 2; ++r) {
        for (double value : rows[r]) {
            if (!in_unit_interval(value)) {
                raise_message(PyExc_ValueError, "readout probability " + fmt::display(value) + " (row " +
                                                    fmt::display(std::uint64_t{r}) + ") must be in [0,1]");
            }
        }
        const double sum = rows[r][0] + rows[r][1];
        if (!(std::fabs(sum - 1.0) <= 1e-9)) {
            raise_message(PyExc_ValueError,
                          "readout row " + fmt::display(std::uint64_t{r}) + " must sum to 1, got " + fmt::display(sum));
        }
    }
    const std::vector<Qubit> qubits = extract_qubits(out[1]);
    const noise::ReadoutError readout{{rows[0][0], rows[0][1], rows[1][0], rows[1][1]}};
    for (Qubit q : qubits) m.model.add_readout_error(q, readout);
    return nb::none();
}

PyMethodDef add_quantum_error_def = method_def<add_quantum_error>(
    "add_quantum_error",
    "add_quantum_error($self, err, gates, qubits)\n--\n\n"
    "Attach `err` to `gates` (str or list[str]) acting on exactly the `qubits` tuple, in order. Gate names are\n"
    "mnemonics (h, cx, rz, ...), case-insensitive, translated to gate kinds.");
PyMethodDef add_all_qubit_quantum_error_def = method_def<add_all_qubit_quantum_error>(
    "add_all_qubit_quantum_error",
    "add_all_qubit_quantum_error($self, err, gates)\n--\n\n"
    "Attach `err` to `gates` (str or list[str]) on whichever qubits each gate acts on.");
PyMethodDef add_readout_error_def =
    method_def<add_readout_error>("add_readout_error",
                                  "add_readout_error($self, probs, qubit)\n--\n\n"
                                  "Attach a per-qubit readout error. `probs` is the 2\u00d72 confusion matrix\n"
                                  "`[[P(0|0), P(1|0)], [P(0|1), P(1|1)]]`; `qubit` is an int or list[int].");

PyType_Slot model_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&model_new)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {0, nullptr},
};

// --- QuantumError and the factories ---------------------------------------------------

nb::object arity(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    return nb::int_(native<PyQuantumError>(self).error.arity());
}

PyMethodDef arity_def = method_def<arity>("arity", nullptr);

PyType_Slot error_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {0, nullptr},
};

nb::object new_error(noise::QuantumError error) {
    return make_instance<PyQuantumError>(nb::type<PyQuantumError>(), std::move(error));
}

// The one float argument of a factory.
double one_float(const char* qualname, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* names[] = {name};
    PyObject* out[1];
    parse_args({qualname, names, 1, 1}, args, nargs, kwnames, out);
    return to_f64(out[0], name);
}

nb::object depolarizing_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"p", "num_qubits"};
    PyObject* out[2];
    parse_args({"depolarizing_error", names, 2, 1}, args, nargs, kwnames, out);
    const double p = to_f64(out[0], "p");
    const std::uint8_t num_qubits = out[1] != nullptr ? to_u8(out[1], "num_qubits") : 1;
    if (!in_unit_interval(p))
        raise_message(PyExc_ValueError, "depolarizing p must be in [0,1], got " + fmt::display(p));
    if (num_qubits != 1 && num_qubits != 2) {
        raise_message(PyExc_ValueError,
                      "depolarizing num_qubits must be 1 or 2, got " + fmt::display(std::uint64_t{num_qubits}));
    }
    return new_error(noise::depolarizing_error(p, num_qubits));
}

nb::object amplitude_damping_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const double gamma = one_float("amplitude_damping_error", "gamma", args, nargs, kwnames);
    if (!in_unit_interval(gamma)) raise_message(PyExc_ValueError, "gamma must be in [0,1], got " + fmt::display(gamma));
    return new_error(noise::amplitude_damping_error(gamma));
}

nb::object phase_damping_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const double lam = one_float("phase_damping_error", "lam", args, nargs, kwnames);
    if (!in_unit_interval(lam)) raise_message(PyExc_ValueError, "lambda must be in [0,1], got " + fmt::display(lam));
    return new_error(noise::phase_damping_error(lam));
}

nb::object bit_flip_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const double p = one_float("bit_flip_error", "p", args, nargs, kwnames);
    if (!in_unit_interval(p)) raise_message(PyExc_ValueError, "bit_flip p must be in [0,1], got " + fmt::display(p));
    return new_error(noise::bit_flip_error(p));
}

nb::object phase_flip_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const double p = one_float("phase_flip_error", "p", args, nargs, kwnames);
    if (!in_unit_interval(p)) raise_message(PyExc_ValueError, "phase_flip p must be in [0,1], got " + fmt::display(p));
    return new_error(noise::phase_flip_error(p));
}

nb::object pauli_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"terms"};
    PyObject* out[1];
    parse_args({"pauli_error", names, 1, 1}, args, nargs, kwnames, out);
    std::vector<std::pair<std::string, double>> terms;
    for_each_item(
        out[0], "terms",
        [](void* context, nb::handle item) {
            const auto pair = to_pair(item, "terms");
            std::string label = to_str(pair[0], "terms");
            const double weight = to_f64(pair[1], "terms");
            static_cast<std::vector<std::pair<std::string, double>>*>(context)->emplace_back(std::move(label), weight);
        },
        &terms);
    if (terms.empty()) raise_message(PyExc_ValueError, "pauli_error needs at least one term");
    double sum = 0.0;
    for (const auto& [label, weight] : terms) {
        if (label != "I" && label != "X" && label != "Y" && label != "Z") {
            raise_message(PyExc_ValueError, "pauli_error label " + fmt::quoted(label) +
                                                " must be one of I,X,Y,Z (1q only); use depolarizing_error(p, 2) for "
                                                "2-qubit noise");
        }
        if (!std::isfinite(weight) || weight < 0.0) {
            raise_message(PyExc_ValueError, "pauli_error weight for " + fmt::quoted(label) +
                                                " must be finite and >= 0, got " + fmt::display(weight));
        }
        sum += weight;
    }
    if (sum <= 0.0) raise_message(PyExc_ValueError, "pauli_error weights must sum to > 0");
    if (!std::isfinite(sum)) {
        raise_message(PyExc_ValueError, "pauli_error weights overflow to non-finite; use normalized values");
    }
    return new_error(noise::pauli_error(terms));
}

// clang-format off
PyMethodDef factory_defs[] = {
    method_def<depolarizing_error>("depolarizing_error",
        "depolarizing_error(p, num_qubits=1)\n--\n\n"
        "Depolarizing channel on `num_qubits` (1 or 2) with total error prob `p`."),
    method_def<amplitude_damping_error>("amplitude_damping_error",
        "amplitude_damping_error(gamma)\n--\n\nAmplitude damping channel with decay `gamma` (0..=1)."),
    method_def<phase_damping_error>("phase_damping_error",
        "phase_damping_error(lam)\n--\n\nPhase damping (dephasing) channel with `lam` (0..=1)."),
    method_def<bit_flip_error>("bit_flip_error",
        "bit_flip_error(p)\n--\n\nBit-flip channel: X with probability `p`, identity otherwise."),
    method_def<phase_flip_error>("phase_flip_error",
        "phase_flip_error(p)\n--\n\nPhase-flip channel: Z with probability `p`, identity otherwise."),
    method_def<pauli_error>("pauli_error",
        "pauli_error(terms)\n--\n\n"
        "Single-qubit Pauli channel from `[(label, prob), ...]`; labels are\n"
        "\"I\"/\"X\"/\"Y\"/\"Z\". Weights are renormalized. 1q only \u2014 for 2-qubit Pauli\n"
        "noise use `depolarizing_error(p, 2)`."),
};
// clang-format on

}  // namespace

NoiseArg noise_arg(PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return NoiseArg(nullptr);
    return NoiseArg(&native_arg<PyNoiseModel>(obj, "noise", "NoiseModel"));
}

std::expected<run::Histogram, std::string> run_noisy_histogram(const ir::Circuit& circuit, const NoiseArg& noise,
                                                               std::uint32_t shots, std::uint64_t seed) {
    auto counts = noise::run_noisy(circuit, noise.model(), shots, seed);
    if (!counts) return std::unexpected("run noisy: " + counts.error().message());
    run::Histogram histogram;
    histogram.num_qubits = circuit.num_qubits();
    for (std::size_t x = 0; x < counts->size(); ++x) {
        if ((*counts)[x] != 0) run::append_count(histogram, x, (*counts)[x]);
    }
    return histogram;
}

void register_noise(nb::module_& m) {
    nb::object model;
    nb::object error;
    {
        BareClassScope bare(m);
        model = nb::class_<PyNoiseModel>(m, "NoiseModel",
                                         "NoiseModel()\n--\n\n"
                                         "Attaches error channels to gates/qubits; pass it to `run(noise=)` for noisy "
                                         "state-vector trajectories.",
                                         nb::is_final(), nb::type_slots(model_slots));
        add_method(model, &add_quantum_error_def);
        add_method(model, &add_all_qubit_quantum_error_def);
        add_method(model, &add_readout_error_def);
        error =
            nb::class_<PyQuantumError>(m, "QuantumError", "Opaque CPTP error channel (the result of an error factory).",
                                       nb::is_final(), nb::type_slots(error_slots));
    }
    add_property(error, &arity_def, "Number of qubits this channel acts on (1 or 2).");
    for (PyMethodDef& def : factory_defs) add_function(m, &def);
}

}  // namespace nivra::python
