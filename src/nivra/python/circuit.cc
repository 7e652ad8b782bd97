// The Circuit class: a constructor, one builder per gate mnemonic, measure,
// barrier, three counts, and the two OpenQASM constructors.
//
// Each builder converts its arguments in signature order, checks that its
// qubit operands are distinct (those that have the check), and appends one
// GateInstance through Circuit::add_gate, whose validation decides the rest.

#include "nivra/ir/circuit.h"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nivra/core/format.h"
#include "nivra/core/gate.h"
#include "nivra/python/classes.h"
#include "nivra/python/declare.h"
#include "nivra/python/objects.h"
#include "nivra/python/register.h"
#include "nivra/qasm/lower.h"

namespace nb = nanobind;

namespace nivra::python {

namespace {

// A builder: `angles` float parameters, then `qubits` qubit operands, named
// in signature order by `names`; `doc` follows the text signature.
struct BuilderSpec {
    const char* qualname;
    std::array<const char*, 4> names;
    std::size_t angles;
    std::size_t qubits;
    bool distinct;
    GateInstance (*make)(const double* angles, const Qubit* qubits);
    const char* doc;
};

// "Circuit.<builder>".
constexpr std::size_t write_qualname(const GateRow& row, char* out) {
    return put_text(out, put_text(out, 0, "Circuit."), row.builder);
}

// NUL-terminated text written at compile time by `Write`.
template <GateKind K, auto Write>
inline constexpr auto BUILDER_TEXT = [] {
    std::array<char, Write(gate_row(K), nullptr) + 1> text{};
    Write(gate_row(K), text.data());
    return text;
}();

template <GateKind K>
GateInstance make_gate(const double* angles, const Qubit* qubits) {
    constexpr const GateRow& row = gate_row(K);
    GateInstance instance{Gate::with_angles(K, std::span(angles, row.params)), {}, {}};
    instance.targets.assign(qubits, qubits + row.targets);
    return instance;
}

// The builder of a kind, from its row: angles then qubit operands, the
// operands checked distinct when there are several.
template <GateKind K>
constexpr BuilderSpec gate_builder() {
    constexpr const GateRow& row = gate_row(K);
    static_assert(!row.builder.empty() && row.params + row.targets <= 4);
    BuilderSpec spec{BUILDER_TEXT<K, write_qualname>.data(),
                     {},
                     row.params,
                     row.targets,
                     row.targets > 1,
                     &make_gate<K>,
                     row.builder_doc.data()};
    std::size_t i = 0;
    for (std::string_view name : row.param_names) {
        if (!name.empty()) spec.names[i++] = name.data();
    }
    for (std::string_view name : row.operands) {
        if (!name.empty()) spec.names[i++] = name.data();
    }
    return spec;
}

template <GateKind K>
inline constexpr BuilderSpec GATE_BUILDER = gate_builder<K>();

// The controlled phase has no kind of its own: Phase on the target under one external control.
constexpr BuilderSpec CP{"Circuit.cp",
                         {"theta", "control", "target"},
                         1,
                         2,
                         true,
                         [](const double* a, const Qubit* q) {
                             return GateInstance{Gate::phase(a[0]), {q[1]}, {q[0]}};
                         },
                         "Apply controlled-phase P(`theta`) with `control` and `target`."};

void append(ir::Circuit& circuit, ir::Instruction instruction) {
    auto added = circuit.add_instruction(std::move(instruction));
    if (!added) raise_message(PyExc_ValueError, added.error().message());
}

// Walks the operands from the first; the first operand equal to a later one is reported.
void check_distinct(const Qubit* qubits, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = i + 1; j < count; ++j) {
            if (qubits[i] == qubits[j]) {
                raise_message(PyExc_ValueError, "duplicate qubit operand " + fmt::display(qubits[i]));
            }
        }
    }
}

template <std::size_t>
using AngleArg = double;
template <std::size_t>
using QubitArg = Qubit;

// The builder of B: its angles, then its qubit operands. The exclusive borrow
// is taken before the first conversion, since __index__ / __float__ may run
// Python code that reaches this circuit.
template <const BuilderSpec& B, class = std::make_index_sequence<B.angles>, class = std::make_index_sequence<B.qubits>>
struct Builder;

template <const BuilderSpec& B, std::size_t... A, std::size_t... Q>
struct Builder<B, std::index_sequence<A...>, std::index_sequence<Q...>> {
    static void build(Writing<PyCircuit> c, AngleArg<A>... angle, QubitArg<Q>... qubit) {
        const std::array<double, 3> angles{angle...};
        const std::array<Qubit, 3> qubits{qubit...};
        if (B.distinct) check_distinct(qubits.data(), B.qubits);
        append(c->circuit, B.make(angles.data(), qubits.data()));
    }

    static constexpr std::array<Arg, B.angles + B.qubits> args() {
        std::array<Arg, B.angles + B.qubits> out{};
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = arg(B.names[i]);
        return out;
    }

    static constexpr auto def = declare<&build>(Kind::Method, B.qualname, args(), B.doc);
};

void measure(Writing<PyCircuit> c, std::uint32_t qubit, std::uint32_t clbit) {
    append(c->circuit, ir::Measure{qubit, clbit});
}

void barrier(Writing<PyCircuit> c, std::vector<std::uint32_t> qubits) {
    ir::Barrier b;
    b.qubits.assign(qubits.begin(), qubits.end());
    append(c->circuit, std::move(b));
}

std::uint32_t num_qubits(Reading<PyCircuit> c) { return c->circuit.num_qubits(); }

std::uint32_t num_clbits(Reading<PyCircuit> c) { return c->circuit.num_clbits(); }

std::size_t num_gates(Reading<PyCircuit> c) {
    std::size_t gates = 0;
    for (const ir::Instruction& instruction : c->circuit.instructions()) gates += instruction.is_gate() ? 1 : 0;
    return gates;
}

nb::object new_circuit(ir::Circuit circuit) {
    return make_instance<PyCircuit>(nb::type<PyCircuit>(), std::move(circuit));
}

nb::object circuit_from_source(const std::string& source) {
    auto parsed = qasm::parse(source);
    if (!parsed) raise_message(PyExc_ValueError, parsed.error().message());
    return new_circuit(std::move(*parsed));
}

nb::object from_qasm(std::string source) { return circuit_from_source(source); }

nb::object from_qasm_file(std::string path) {
    auto text = read_text_file(path);
    if (!text) raise_message(PyExc_OSError, "read " + path + ": " + text.error());
    return circuit_from_source(*text);
}

nb::object circuit_new(nb::handle type, std::uint32_t qubits, std::optional<std::uint32_t> clbits) {
    auto circuit = ir::Circuit::create(qubits, clbits.value_or(qubits));
    if (!circuit) raise_message(PyExc_ValueError, circuit.error().message());
    return make_instance<PyCircuit>(type, std::move(*circuit));
}

constexpr auto CIRCUIT_NEW = constructor<&circuit_new>("Circuit.__new__", {"num_qubits", arg("num_clbits") = none},
                                                       "A quantum circuit under construction.");
constexpr auto MEASURE =
    method<&measure>("Circuit.measure", {"qubit", "clbit"}, "Measure qubit `qubit` into classical bit `clbit`.");
constexpr auto BARRIER =
    method<&barrier>("Circuit.barrier", {"qubits"}, "Add a barrier over `qubits` (a list of qubit indices).");
constexpr auto NUM_QUBITS = property<&num_qubits>("Circuit.num_qubits", "Number of qubits.");
constexpr auto NUM_CLBITS = property<&num_clbits>("Circuit.num_clbits", "Number of classical bits.");
constexpr auto NUM_GATES = property<&num_gates>(
    "Circuit.num_gates", "Number of gate instructions (measurements, resets and barriers excluded).");
constexpr auto FROM_QASM =
    static_method<&from_qasm>("Circuit.from_qasm", {"source"}, "Parse an OpenQASM 3.0 program into a new circuit.")
        .returning("Circuit");
constexpr auto FROM_QASM_FILE =
    static_method<&from_qasm_file>("Circuit.from_qasm_file", {"path"},
                                   "Read an OpenQASM 3.0 file and parse it into a new circuit.")
        .returning("Circuit");

// The kinds with a builder among table positions [first, last), in table order.
template <std::size_t First, std::size_t Last>
constexpr auto builder_kinds() {
    constexpr auto has_builder = [](std::size_t i) { return !GATE_TABLE[i].builder.empty(); };
    constexpr std::size_t count = [&] {
        std::size_t n = 0;
        for (std::size_t i = First; i < Last; ++i) n += has_builder(i) ? 1 : 0;
        return n;
    }();
    std::array<GateKind, count> kinds{};
    std::size_t n = 0;
    for (std::size_t i = First; i < Last; ++i) {
        if (has_builder(i)) kinds[n++] = GATE_TABLE[i].kind;
    }
    return kinds;
}

template <auto Kinds, std::size_t... I>
void add_gate_builders(nb::handle cls, std::index_sequence<I...>) {
    add_all<Builder<GATE_BUILDER<Kinds[I]>>::def...>(cls);
}

// One method per kind with a builder among table positions [First, Last), in table order.
template <std::size_t First, std::size_t Last>
void add_gate_builders_in(nb::handle cls) {
    static constexpr auto kinds = builder_kinds<First, Last>();
    add_gate_builders<kinds>(cls, std::make_index_sequence<kinds.size()>());
}

// The gate builders come in kind order with cp after crz.
constexpr std::size_t CP_POSITION = kind_position(GateKind::CRz) + 1;

PyType_Slot circuit_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&construct<CIRCUIT_NEW>)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {0, nullptr},
};

}  // namespace

void register_circuit(nb::module_& m) {
    nb::object cls;
    {
        BareClassScope bare(m);
        cls = nb::class_<PyCircuit>(m, "Circuit", class_doc<CIRCUIT_NEW>(), nb::is_final(),
                                    nb::type_slots(circuit_slots));
    }
    add_gate_builders_in<0, CP_POSITION>(cls);
    add<Builder<CP>::def>(cls);
    add_gate_builders_in<CP_POSITION, GATE_KIND_COUNT>(cls);
    add_all<MEASURE, BARRIER, NUM_QUBITS, NUM_CLBITS, NUM_GATES, FROM_QASM, FROM_QASM_FILE>(cls);
}

}  // namespace nivra::python
