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

#include "nivra/core/format.h"
#include "nivra/core/gate.h"
#include "nivra/python/callable.h"
#include "nivra/python/classes.h"
#include "nivra/python/convert.h"
#include "nivra/python/objects.h"
#include "nivra/python/register.h"
#include "nivra/qasm/lower.h"

namespace nb = nanobind;

namespace nivra::python {

namespace {

// A builder: `angles` float parameters, then `qubits` qubit operands, named
// in signature order by `names`.
struct BuilderSpec {
    const char* qualname;
    std::array<const char*, 4> names;
    std::size_t angles;
    std::size_t qubits;
    bool distinct;
    GateInstance (*make)(const double* angles, const Qubit* qubits);
};

// Appends the parts to `out` from position `n` (counting only, when `out` is
// null); returns the new length.
constexpr std::size_t put(char* out, std::size_t n, std::string_view part) {
    for (char c : part) {
        if (out != nullptr) out[n] = c;
        ++n;
    }
    return n;
}

// "Circuit.<builder>".
constexpr std::size_t write_qualname(const GateRow& row, char* out) {
    return put(out, put(out, 0, "Circuit."), row.builder);
}

// "<builder>($self, <angles...>, <operands...>)\n--\n\n<sentence>": the
// text signature CPython reads, then the docstring.
constexpr std::size_t write_doc(const GateRow& row, char* out) {
    std::size_t n = put(out, put(out, 0, row.builder), "($self");
    for (std::string_view name : row.param_names) {
        if (!name.empty()) n = put(out, put(out, n, ", "), name);
    }
    for (std::string_view name : row.operands) {
        if (!name.empty()) n = put(out, put(out, n, ", "), name);
    }
    return put(out, put(out, n, ")\n--\n\n"), row.builder_doc);
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
    BuilderSpec spec{BUILDER_TEXT<K, write_qualname>.data(), {}, row.params, row.targets, row.targets > 1,
                     &make_gate<K>};
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
constexpr BuilderSpec CP{"Circuit.cp", {"theta", "control", "target"}, 1, 2, true,
                         [](const double* a, const Qubit* q) { return GateInstance{Gate::phase(a[0]), {q[1]}, {q[0]}}; }};

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

template <const BuilderSpec& B>
nb::object build_gate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::size_t count = B.angles + B.qubits;
    PyObject* out[count];
    parse_args({B.qualname, std::span(B.names.data(), count), count, count}, args, nargs, kwnames, out);
    PyCircuit& c = native<PyCircuit>(self);
    // Held across the conversions too: __index__ / __float__ may run Python
    // code that reaches this circuit.
    BorrowFlag::Exclusive write(c.borrow);
    std::array<double, 3> angles{};
    std::array<Qubit, 3> qubits{};
    for (std::size_t i = 0; i < B.angles; ++i) angles[i] = to_f64(out[i], B.names[i]);
    for (std::size_t i = 0; i < B.qubits; ++i) qubits[i] = to_u32(out[B.angles + i], B.names[B.angles + i]);
    if (B.distinct) check_distinct(qubits.data(), B.qubits);
    append(c.circuit, B.make(angles.data(), qubits.data()));
    return nb::none();
}

nb::object measure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"qubit", "clbit"};
    PyObject* out[2];
    parse_args({"Circuit.measure", names, 2, 2}, args, nargs, kwnames, out);
    PyCircuit& c = native<PyCircuit>(self);
    BorrowFlag::Exclusive write(c.borrow);
    const Qubit qubit = to_u32(out[0], "qubit");
    const ir::Clbit clbit = to_u32(out[1], "clbit");
    append(c.circuit, ir::Measure{qubit, clbit});
    return nb::none();
}

nb::object barrier(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"qubits"};
    PyObject* out[1];
    parse_args({"Circuit.barrier", names, 1, 1}, args, nargs, kwnames, out);
    PyCircuit& c = native<PyCircuit>(self);
    BorrowFlag::Exclusive write(c.borrow);
    const std::vector<Qubit> qubits = to_u32_list(out[0], "qubits");
    ir::Barrier b;
    b.qubits.assign(qubits.begin(), qubits.end());
    append(c.circuit, std::move(b));
    return nb::none();
}

nb::object num_qubits(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    const PyCircuit& c = native<PyCircuit>(self);
    BorrowFlag::Shared read(c.borrow);
    return nb::int_(c.circuit.num_qubits());
}

nb::object num_clbits(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    const PyCircuit& c = native<PyCircuit>(self);
    BorrowFlag::Shared read(c.borrow);
    return nb::int_(c.circuit.num_clbits());
}

nb::object num_gates(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    const PyCircuit& c = native<PyCircuit>(self);
    BorrowFlag::Shared read(c.borrow);
    std::size_t gates = 0;
    for (const ir::Instruction& instruction : c.circuit.instructions()) gates += instruction.is_gate() ? 1 : 0;
    return nb::int_(gates);
}

nb::object new_circuit(ir::Circuit circuit) {
    return make_instance<PyCircuit>(nb::type<PyCircuit>(), std::move(circuit));
}

nb::object circuit_from_source(const std::string& source) {
    auto parsed = qasm::parse(source);
    if (!parsed) raise_message(PyExc_ValueError, parsed.error().message());
    return new_circuit(std::move(*parsed));
}

nb::object from_qasm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"source"};
    PyObject* out[1];
    parse_args({"Circuit.from_qasm", names, 1, 1}, args, nargs, kwnames, out);
    return circuit_from_source(to_str(out[0], "source"));
}

nb::object from_qasm_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"path"};
    PyObject* out[1];
    parse_args({"Circuit.from_qasm_file", names, 1, 1}, args, nargs, kwnames, out);
    const std::string path = to_str(out[0], "path");
    auto text = read_text_file(path);
    if (!text) raise_message(PyExc_OSError, "read " + path + ": " + text.error());
    return circuit_from_source(*text);
}

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        VectorcallArgs call(args, kwargs);
        static constexpr const char* names[] = {"num_qubits", "num_clbits"};
        PyObject* out[2];
        parse_args({"Circuit.__new__", names, 2, 1}, call.args(), call.nargs(), call.kwnames(), out);
        const std::uint32_t qubits = to_u32(out[0], "num_qubits");
        const std::uint32_t clbits = out[1] == nullptr || out[1] == Py_None ? qubits : to_u32(out[1], "num_clbits");
        auto circuit = ir::Circuit::create(qubits, clbits);
        if (!circuit) raise_message(PyExc_ValueError, circuit.error().message());
        return make_instance<PyCircuit>(reinterpret_cast<PyObject*>(type), std::move(*circuit)).release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

template <GateKind K>
constexpr PyMethodDef gate_method() {
    return method_def<build_gate<GATE_BUILDER<K>>>(gate_row(K).builder.data(), BUILDER_TEXT<K, write_doc>.data());
}

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
constexpr std::array<PyMethodDef, sizeof...(I)> gate_methods(std::index_sequence<I...>) {
    return {gate_method<Kinds[I]>()...};
}

// One method per kind with a builder among table positions [First, Last), in table order.
template <std::size_t First, std::size_t Last>
constexpr auto gate_methods_in() {
    constexpr auto kinds = builder_kinds<First, Last>();
    return gate_methods<kinds>(std::make_index_sequence<kinds.size()>());
}

template <std::size_t... N>
constexpr auto concat(const std::array<PyMethodDef, N>&... parts) {
    std::array<PyMethodDef, (N + ...)> all{};
    std::size_t n = 0;
    ((std::copy(parts.begin(), parts.end(), all.begin() + n), n += N), ...);
    return all;
}

// The gate builders in kind order with cp after crz, then measure and barrier.
constexpr std::size_t CP_POSITION = kind_position(GateKind::CRz) + 1;

// clang-format off
auto builder_defs = concat(
    gate_methods_in<0, CP_POSITION>(),
    std::array{method_def<build_gate<CP>>("cp", "cp($self, theta, control, target)\n--\n\nApply controlled-phase P(`theta`) with `control` and `target`.")},
    gate_methods_in<CP_POSITION, GATE_KIND_COUNT>(),
    std::array{
        method_def<measure>("measure", "measure($self, qubit, clbit)\n--\n\nMeasure qubit `qubit` into classical bit `clbit`."),
        method_def<barrier>("barrier", "barrier($self, qubits)\n--\n\nAdd a barrier over `qubits` (a list of qubit indices)."),
    });
// clang-format on

PyMethodDef num_qubits_def = method_def<num_qubits>("num_qubits", nullptr);
PyMethodDef num_clbits_def = method_def<num_clbits>("num_clbits", nullptr);
PyMethodDef num_gates_def = method_def<num_gates>("num_gates", nullptr);
PyMethodDef from_qasm_def =
    method_def<from_qasm>("from_qasm", "from_qasm(source)\n--\n\nParse an OpenQASM 3.0 program into a new circuit.");
PyMethodDef from_qasm_file_def = method_def<from_qasm_file>(
    "from_qasm_file", "from_qasm_file(path)\n--\n\nRead an OpenQASM 3.0 file and parse it into a new circuit.");

PyType_Slot circuit_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&circuit_new)},
    {Py_tp_init, reinterpret_cast<void*>(&init_done)},
    {0, nullptr},
};

}  // namespace

void register_circuit(nb::module_& m) {
    nb::object cls;
    {
        BareClassScope bare(m);
        cls = nb::class_<PyCircuit>(m, "Circuit",
                                    "Circuit(num_qubits, num_clbits=None)\n--\n\nA quantum circuit under construction.",
                                    nb::is_final(), nb::type_slots(circuit_slots));
    }
    for (PyMethodDef& def : builder_defs) add_method(cls, &def);
    add_property(cls, &num_qubits_def, "Number of qubits.");
    add_property(cls, &num_clbits_def, "Number of classical bits.");
    add_property(cls, &num_gates_def, "Number of gate instructions (measurements, resets and barriers excluded).");
    add_static_method(cls, &from_qasm_def);
    add_static_method(cls, &from_qasm_file_def);
}

}  // namespace nivra::python
