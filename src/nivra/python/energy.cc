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
#include "nivra/python/declare.h"
#include "nivra/python/objects.h"
#include "nivra/python/register.h"
#include "nivra/sv/backend.h"

namespace nb = nanobind;

namespace nivra::python {

// A sequence (not a str) of 2-tuples of qubit indices, every failure naming the argument.
template <>
struct Param<std::vector<ir::Edge>> {
    static std::vector<ir::Edge> convert(nb::handle obj, const char* name) {
        struct Context {
            std::vector<ir::Edge> edges;
            const char* name;
        } context{{}, name};
        for_each_item(
            obj, name,
            [](void* raw, nb::handle item) {
                auto& c = *static_cast<Context*>(raw);
                const auto pair = to_pair(item, c.name);
                const Qubit a = to_u32(pair[0], c.name);
                const Qubit b = to_u32(pair[1], c.name);
                c.edges.emplace_back(a, b);
            },
            &context);
        return std::move(context.edges);
    }
    static std::string py_type() { return "Sequence[tuple[int, int]]"; }
};

namespace {

// The value behind PauliSum; immutable after load.
struct PyPauliSum {
    PauliSum sum;
};

[[noreturn]] void raise_value(const std::string& message) { raise_message(PyExc_ValueError, message); }

// --- PauliSum ---------------------------------------------------------------------

nb::object load(std::string path, std::uint32_t n_qubits) {
    auto text = read_text_file(path);
    if (!text) raise_value("read " + path + ": " + text.error());
    auto sum = PauliSum::parse(*text, n_qubits);
    if (!sum) raise_value("parse " + path + ": " + sum.error().message());
    return make_instance<PyPauliSum>(nb::type<PyPauliSum>(), std::move(*sum));
}

std::size_t num_terms(const PyPauliSum& p) { return p.sum.terms.size(); }

constexpr auto LOAD = static_method<&load>("PauliSum.load", {"path", "n_qubits"},
                                           "Read a Pauli-sum file (`<coeff> <pauli>` per line, `#` comments) "
                                           "for `n_qubits` qubits.")
                          .returning("PauliSum");
constexpr auto NUM_TERMS = method<&num_terms>("PauliSum.num_terms", "The number of terms.");

PyType_Slot pauli_sum_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {0, nullptr},
};

// --- Energies ------------------------------------------------------------------------

double hea_energy(std::uint32_t n_qubits, std::uint32_t depth, std::vector<double> thetas, const PyPauliSum& ham) {
    auto circuit = ir::build_hea(n_qubits, depth, thetas);
    if (!circuit) raise_value("build_hea: " + circuit.error().message());
    auto sv = sv::NaiveSvBackend::with_seed(0);
    auto run = backend::run_with_outcomes(sv, *circuit);
    if (!run) raise_value("run: " + run.error().debug());
    auto energy = backend::expectation_pauli_sum(sv, run->state, ham.sum.terms);
    if (!energy) raise_value("energy: " + energy.error().debug());
    return *energy;
}

double qaoa_energy(std::uint32_t n_qubits, std::vector<ir::Edge> edges, std::vector<double> gammas,
                   std::vector<double> betas, std::string backend_name) {
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
        return *energy;
    }
    if (backend_name == "mps") {
        auto mps = mps::MpsBackend::with_seed(0);
        auto state = backend::run(mps, *circuit);
        if (!state) raise_value("run mps: " + state.error().debug());
        auto energy = backend::expectation_pauli_sum(mps, *state, cost->terms);
        if (!energy) raise_value("energy mps: " + energy.error().debug());
        return *energy;
    }
    raise_value("unknown backend " + fmt::quoted(backend_name) + " (expected \"sv\" or \"mps\")");
}

constexpr auto HEA_ENERGY = function<&hea_energy>(
    "hea_energy", {"n_qubits", "depth", "thetas", "ham"},
    "<psi|ham|psi> for the hardware-efficient ansatz: `depth` layers of Ry(`thetas`) and a CNOT chain, then a\n"
    "final Ry layer (n_qubits*(depth+1) angles), on the state vector.");
constexpr auto QAOA_ENERGY = function<&qaoa_energy>(
    "qaoa_energy", {"n_qubits", "edges", "gammas", "betas", "backend"},
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
    add_all<LOAD, NUM_TERMS>(cls);
    add_all<HEA_ENERGY, QAOA_ENERGY>(m);
}

}  // namespace nivra::python
