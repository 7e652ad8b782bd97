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
#include "nivra/core/gate_table.h"
#include "nivra/python/declare.h"
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

// The gate row a lowercase noise mnemonic names; null when none does.
const GateRow* find_mnemonic(std::string_view lower) {
    for (const GateRow& row : GATE_TABLE) {
        for (std::string_view mnemonic : row.mnemonics) {
            if (!mnemonic.empty() && mnemonic == lower) return &row;
        }
    }
    return nullptr;
}

// "h,x,...,p/phase,...": every kind with mnemonics in kind order, a kind's
// aliases joined by '/'.
std::string supported_mnemonics() {
    std::string text;
    for (const GateRow& row : GATE_TABLE) {
        if (row.mnemonics[0].empty()) continue;
        if (!text.empty()) text += ',';
        text += row.mnemonics[0];
        for (std::size_t i = 1; i < row.mnemonics.size() && !row.mnemonics[i].empty(); ++i) {
            text += '/';
            text += row.mnemonics[i];
        }
    }
    return text;
}

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
        const GateRow* found = find_mnemonic(lower);
        if (found == nullptr) {
            raise_message(PyExc_ValueError, "unknown gate name " + fmt::quoted(name) + "; supported: " +
                                                 supported_mnemonics() + " (nivra has no 'id'/idle gate)");
        }
        kinds.emplace_back(found->name);
    }
    return kinds;
}

// NaN fails.
bool in_unit_interval(double x) { return x >= 0.0 && x <= 1.0; }

// --- NoiseModel ---------------------------------------------------------------------

nb::object model_new(nb::handle type) { return make_instance<PyNoiseModel>(type); }

// `gates` is read after `qubits`, so a bad qubit list is reported first.
void add_quantum_error(Writing<PyNoiseModel> m, const PyQuantumError& err, nb::handle gates,
                       std::vector<std::uint32_t> qubits) {
    const std::vector<std::string> kinds = map_names(extract_gates(gates));
    m->model.add_quantum_error(err.error, kinds, qubits);
}

void add_all_qubit_quantum_error(Writing<PyNoiseModel> m, const PyQuantumError& err, nb::handle gates) {
    const std::vector<std::string> kinds = map_names(extract_gates(gates));
    m->model.add_all_qubit_quantum_error(err.error, kinds);
}

// The matrix is checked before `qubit` is read.
void add_readout_error(Writing<PyNoiseModel> m, std::vector<std::vector<double>> rows, nb::handle qubit) {
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
    const std::vector<Qubit> qubits = extract_qubits(qubit);
    const noise::ReadoutError readout{{rows[0][0], rows[0][1], rows[1][0], rows[1][1]}};
    for (Qubit q : qubits) m->model.add_readout_error(q, readout);
}

constexpr auto MODEL_NEW = constructor<&model_new>(
    "NoiseModel.__new__",
    "Attaches error channels to gates/qubits; pass it to `run(noise=)` for noisy state-vector trajectories.");
constexpr auto ADD_QUANTUM_ERROR = method<&add_quantum_error>(
    "NoiseModel.add_quantum_error", {"err", arg("gates", "str | Sequence[str]"), "qubits"},
    "Attach `err` to `gates` (str or list[str]) acting on exactly the `qubits` tuple, in order. Gate names are\n"
    "mnemonics (h, cx, rz, ...), case-insensitive, translated to gate kinds.");
constexpr auto ADD_ALL_QUBIT_QUANTUM_ERROR = method<&add_all_qubit_quantum_error>(
    "NoiseModel.add_all_qubit_quantum_error", {"err", arg("gates", "str | Sequence[str]")},
    "Attach `err` to `gates` (str or list[str]) on whichever qubits each gate acts on.");
constexpr auto ADD_READOUT_ERROR =
    method<&add_readout_error>("NoiseModel.add_readout_error", {"probs", arg("qubit", "int | Sequence[int]")},
                               "Attach a per-qubit readout error. `probs` is the 2\u00d72 confusion matrix\n"
                               "`[[P(0|0), P(1|0)], [P(0|1), P(1|1)]]`; `qubit` is an int or list[int].");

PyType_Slot model_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&construct<MODEL_NEW>)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {0, nullptr},
};

// --- QuantumError and the factories ---------------------------------------------------

std::uint64_t arity(const PyQuantumError& e) { return e.error.arity(); }

constexpr auto ARITY = property<&arity>("QuantumError.arity", "Number of qubits this channel acts on (1 or 2).");

PyType_Slot error_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {0, nullptr},
};

nb::object new_error(noise::QuantumError error) {
    return make_instance<PyQuantumError>(nb::type<PyQuantumError>(), std::move(error));
}

nb::object depolarizing_error(double p, std::uint8_t num_qubits) {
    if (!in_unit_interval(p))
        raise_message(PyExc_ValueError, "depolarizing p must be in [0,1], got " + fmt::display(p));
    if (num_qubits != 1 && num_qubits != 2) {
        raise_message(PyExc_ValueError,
                      "depolarizing num_qubits must be 1 or 2, got " + fmt::display(std::uint64_t{num_qubits}));
    }
    return new_error(noise::depolarizing_error(p, num_qubits));
}

// A factory of one argument that must lie in [0,1]; `label` names it in the
// range error "<label> must be in [0,1], got <value>".
struct UnitFactory {
    const char* name;
    const char* param;
    const char* label;
    noise::QuantumError (*make)(double);
    const char* doc;
};

constexpr UnitFactory AMPLITUDE_DAMPING{"amplitude_damping_error", "gamma", "gamma", &noise::amplitude_damping_error,
                                        "Amplitude damping channel with decay `gamma` (0..=1)."};
constexpr UnitFactory PHASE_DAMPING{"phase_damping_error", "lam", "lambda", &noise::phase_damping_error,
                                    "Phase damping (dephasing) channel with `lam` (0..=1)."};
constexpr UnitFactory BIT_FLIP{"bit_flip_error", "p", "bit_flip p", &noise::bit_flip_error,
                               "Bit-flip channel: X with probability `p`, identity otherwise."};
constexpr UnitFactory PHASE_FLIP{"phase_flip_error", "p", "phase_flip p", &noise::phase_flip_error,
                                 "Phase-flip channel: Z with probability `p`, identity otherwise."};

template <const UnitFactory& U>
nb::object unit_factory(double value) {
    if (!in_unit_interval(value)) {
        raise_message(PyExc_ValueError, std::string(U.label) + " must be in [0,1], got " + fmt::display(value));
    }
    return new_error(U.make(value));
}

template <const UnitFactory& U>
constexpr auto UNIT_FACTORY = function<&unit_factory<U>>(U.name, {U.param}, U.doc).returning("QuantumError");

nb::object pauli_error(nb::handle items) {
    std::vector<std::pair<std::string, double>> terms;
    for_each_item(
        items, "terms",
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

constexpr auto DEPOLARIZING_ERROR =
    function<&depolarizing_error>("depolarizing_error", {"p", arg("num_qubits") = 1},
                                  "Depolarizing channel on `num_qubits` (1 or 2) with total error prob `p`.")
        .returning("QuantumError");
constexpr auto PAULI_ERROR =
    function<&pauli_error>("pauli_error", {arg("terms", "Sequence[tuple[str, float]]")},
                           "Single-qubit Pauli channel from `[(label, prob), ...]`; labels are\n"
                           "\"I\"/\"X\"/\"Y\"/\"Z\". Weights are renormalized. 1q only \u2014 for 2-qubit Pauli\n"
                           "noise use `depolarizing_error(p, 2)`.")
        .returning("QuantumError");

}  // namespace

NoiseArg noise_arg(nb::handle obj, const char* name) {
    if (obj.is_none()) return NoiseArg(nullptr);
    return NoiseArg(&Param<const PyNoiseModel&>::convert(obj, name));
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
        model = nb::class_<PyNoiseModel>(m, "NoiseModel", class_doc<MODEL_NEW>(), nb::is_final(),
                                         nb::type_slots(model_slots));
        add_all<ADD_QUANTUM_ERROR, ADD_ALL_QUBIT_QUANTUM_ERROR, ADD_READOUT_ERROR>(model);
        error =
            nb::class_<PyQuantumError>(m, "QuantumError", "Opaque CPTP error channel (the result of an error factory).",
                                       nb::is_final(), nb::type_slots(error_slots));
    }
    add<ARITY>(error);
    add_all<DEPOLARIZING_ERROR, UNIT_FACTORY<AMPLITUDE_DAMPING>, UNIT_FACTORY<PHASE_DAMPING>, UNIT_FACTORY<BIT_FLIP>,
            UNIT_FACTORY<PHASE_FLIP>, PAULI_ERROR>(m);
}

}  // namespace nivra::python
