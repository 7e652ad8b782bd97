// PauliSum and the two energy functions, hea_energy and qaoa_energy.
//
// Each energy call builds its circuit, runs it on a backend seeded with 0
// (the circuits hold no measurements, so nothing is drawn) and sums the
// expectation values of the terms. The interpreter lock stays held
// throughout; the state-vector kernels may still use the pool inside a gate.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/core/format.h"
#include "nivra/core/pauli.h"
#include "nivra/ir/ansatz.h"
#include "nivra/mps/backend.h"
#include "nivra/python/callable.h"
#include "nivra/python/convert.h"
#include "nivra/python/objects.h"
#include "nivra/python/register.h"
#include "nivra/sv/backend.h"

namespace nb = nanobind;

namespace nivra::python {

namespace {

// The value behind PauliSum; immutable after load.
struct PyPauliSum {
    PauliSum sum;
};

[[noreturn]] void raise_value(const std::string& message) { raise_message(PyExc_ValueError, message); }

// --- PauliSum ---------------------------------------------------------------------

nb::object load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"path", "n_qubits"};
    PyObject* out[2];
    parse_args({"PauliSum.load", names, 2, 2}, args, nargs, kwnames, out);
    const std::string path = to_str(out[0], "path");
    const std::uint32_t n_qubits = to_u32(out[1], "n_qubits");
    auto text = read_text_file(path);
    if (!text) raise_value("read " + path + ": " + text.error());
    auto sum = PauliSum::parse(*text, n_qubits);
    if (!sum) raise_value("parse " + path + ": " + sum.error().message());
    return make_instance<PyPauliSum>(nb::type<PyPauliSum>(), std::move(*sum));
}

nb::object num_terms(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    parse_args({"PauliSum.num_terms", {}, 0, 0}, args, nargs, kwnames, nullptr);
    return nb::int_(native<PyPauliSum>(self).sum.terms.size());
}

PyMethodDef load_def =
    method_def<load>("load",
                     "load(path, n_qubits)\n--\n\nRead a Pauli-sum file (`<coeff> <pauli>` per line, `#` comments) "
                     "for `n_qubits` qubits.");
PyMethodDef num_terms_def = method_def<num_terms>("num_terms", "num_terms($self)\n--\n\nThe number of terms.");

PyType_Slot pauli_sum_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {0, nullptr},
};

// --- Energies ------------------------------------------------------------------------

// A sequence (not a str) of 2-tuples of qubit indices.
std::vector<ir::Edge> to_edges(nb::handle obj) {
    std::vector<ir::Edge> edges;
    for_each_item(
        obj, "edges",
        [](void* context, nb::handle item) {
            const auto pair = to_pair(item, "edges");
            const Qubit a = to_u32(pair[0], "edges");
            const Qubit b = to_u32(pair[1], "edges");
            static_cast<std::vector<ir::Edge>*>(context)->emplace_back(a, b);
        },
        &edges);
    return edges;
}

nb::object hea_energy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"n_qubits", "depth", "thetas", "ham"};
    PyObject* out[4];
    parse_args({"hea_energy", names, 4, 4}, args, nargs, kwnames, out);
    const std::uint32_t n_qubits = to_u32(out[0], "n_qubits");
    const std::uint32_t depth = to_u32(out[1], "depth");
    const std::vector<double> thetas = to_f64_list(out[2], "thetas");
    const PauliSum& ham = native_arg<PyPauliSum>(out[3], "ham", "PauliSum").sum;

    auto circuit = ir::build_hea(n_qubits, depth, thetas);
    if (!circuit) raise_value("build_hea: " + circuit.error().message());
    auto sv = sv::NaiveSvBackend::with_seed(0);
    auto run = backend::run_with_outcomes(sv, *circuit);
    if (!run) raise_value("run: " + run.error().debug());
    auto energy = backend::expectation_pauli_sum(sv, run->state, ham.terms);
    if (!energy) raise_value("energy: " + energy.error().debug());
    return nb::float_(*energy);
}

nb::object qaoa_energy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"n_qubits", "edges", "gammas", "betas", "backend"};
    PyObject* out[5];
    parse_args({"qaoa_energy", names, 5, 5}, args, nargs, kwnames, out);
    const std::uint32_t n_qubits = to_u32(out[0], "n_qubits");
    const std::vector<ir::Edge> edges = to_edges(out[1]);
    const std::vector<double> gammas = to_f64_list(out[2], "gammas");
    const std::vector<double> betas = to_f64_list(out[3], "betas");
    const std::string backend_name = to_str(out[4], "backend");

    auto circuit = ir::build_qaoa(n_qubits, edges, gammas, betas);
    if (!circuit) raise_value("build_qaoa: " + circuit.error().message());
    auto cost = ir::maxcut_pauli_sum(n_qubits, edges);
    if (!cost) raise_value("maxcut: " + cost.error().message());

    if (backend_name == "sv") {
        auto sv = sv::NaiveSvBackend::with_seed(0);
        auto run = backend::run_with_outcomes(sv, *circuit);
        if (!run) raise_value("run sv: " + run.error().debug());
        auto energy = backend::expectation_pauli_sum(sv, run->state, cost->terms);
        if (!energy) raise_value("energy sv: " + energy.error().debug());
        return nb::float_(*energy);
    }
    if (backend_name == "mps") {
        auto mps = mps::MpsBackend::with_seed(0);
        auto state = backend::run(mps, *circuit);
        if (!state) raise_value("run mps: " + state.error().debug());
        auto energy = backend::expectation_pauli_sum(mps, *state, cost->terms);
        if (!energy) raise_value("energy mps: " + energy.error().debug());
        return nb::float_(*energy);
    }
    raise_value("unknown backend " + fmt::quoted(backend_name) + " (expected \"sv\" or \"mps\")");
}

PyMethodDef hea_energy_def = method_def<hea_energy>(
    "hea_energy",
    "hea_energy(n_qubits, depth, thetas, ham)\n--\n\n"
    "<psi|ham|psi> for the hardware-efficient ansatz: `depth` layers of Ry(`thetas`) and a CNOT chain, then a\n"
    "final Ry layer (n_qubits*(depth+1) angles), on the state vector.");
PyMethodDef qaoa_energy_def = method_def<qaoa_energy>(
    "qaoa_energy",
    "qaoa_energy(n_qubits, edges, gammas, betas, backend)\n--\n\n"
    "The Max-Cut energy <psi|C|psi> of the QAOA circuit for the graph `edges` (a list of (a, b) tuples),\n"
    "one layer per (gamma, beta) pair, on `backend` \"sv\" or \"mps\".");

}  // namespace

void register_energy(nb::module_& m) {
    nb::object cls;
    {
        BareClassScope bare(m);
        cls = nb::class_<PyPauliSum>(m, "PauliSum", "A weighted sum of Pauli strings (load it with `PauliSum.load`).",
                                     nb::is_final(), nb::type_slots(pauli_sum_slots));
    }
    add_static_method(cls, &load_def);
    add_method(cls, &num_terms_def);
    add_function(m, &hea_energy_def);
    add_function(m, &qaoa_energy_def);
}

}  // namespace nivra::python
