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

GateInstance on1(Gate gate, Qubit q) { return GateInstance{std::move(gate), {q}, {}}; }
GateInstance on2(Gate gate, Qubit a, Qubit b) { return GateInstance{std::move(gate), {a, b}, {}}; }
GateInstance on3(Gate gate, Qubit a, Qubit b, Qubit c) { return GateInstance{std::move(gate), {a, b, c}, {}}; }

// clang-format off
constexpr BuilderSpec H{"Circuit.h", {"q"}, 0, 1, false, [](const double*, const Qubit* q) { return on1(Gate::h(), q[0]); }};
constexpr BuilderSpec X{"Circuit.x", {"q"}, 0, 1, false, [](const double*, const Qubit* q) { return on1(Gate::x(), q[0]); }};
constexpr BuilderSpec Y{"Circuit.y", {"q"}, 0, 1, false, [](const double*, const Qubit* q) { return on1(Gate::y(), q[0]); }};
constexpr BuilderSpec Z{"Circuit.z", {"q"}, 0, 1, false, [](const double*, const Qubit* q) { return on1(Gate::z(), q[0]); }};
constexpr BuilderSpec S{"Circuit.s", {"q"}, 0, 1, false, [](const double*, const Qubit* q) { return on1(Gate::s(), q[0]); }};
constexpr BuilderSpec SDG{"Circuit.sdg", {"q"}, 0, 1, false, [](const double*, const Qubit* q) { return on1(Gate::sdg(), q[0]); }};
constexpr BuilderSpec T{"Circuit.t", {"q"}, 0, 1, false, [](const double*, const Qubit* q) { return on1(Gate::t(), q[0]); }};
constexpr BuilderSpec TDG{"Circuit.tdg", {"q"}, 0, 1, false, [](const double*, const Qubit* q) { return on1(Gate::tdg(), q[0]); }};
constexpr BuilderSpec RX{"Circuit.rx", {"theta", "q"}, 1, 1, false, [](const double* a, const Qubit* q) { return on1(Gate::rx(a[0]), q[0]); }};
constexpr BuilderSpec RY{"Circuit.ry", {"theta", "q"}, 1, 1, false, [](const double* a, const Qubit* q) { return on1(Gate::ry(a[0]), q[0]); }};
constexpr BuilderSpec RZ{"Circuit.rz", {"theta", "q"}, 1, 1, false, [](const double* a, const Qubit* q) { return on1(Gate::rz(a[0]), q[0]); }};
constexpr BuilderSpec P{"Circuit.p", {"theta", "q"}, 1, 1, false, [](const double* a, const Qubit* q) { return on1(Gate::phase(a[0]), q[0]); }};
constexpr BuilderSpec U3{"Circuit.u3", {"theta", "phi", "lam", "q"}, 3, 1, false,
                         [](const double* a, const Qubit* q) { return on1(Gate::u3(a[0], a[1], a[2]), q[0]); }};
constexpr BuilderSpec CX{"Circuit.cx", {"control", "target"}, 0, 2, true, [](const double*, const Qubit* q) { return on2(Gate::cnot(), q[0], q[1]); }};
constexpr BuilderSpec CZ{"Circuit.cz", {"q0", "q1"}, 0, 2, true, [](const double*, const Qubit* q) { return on2(Gate::cz(), q[0], q[1]); }};
constexpr BuilderSpec SWAP{"Circuit.swap", {"q0", "q1"}, 0, 2, true, [](const double*, const Qubit* q) { return on2(Gate::swap(), q[0], q[1]); }};
constexpr BuilderSpec ISWAP{"Circuit.iswap", {"q0", "q1"}, 0, 2, true, [](const double*, const Qubit* q) { return on2(Gate::iswap(), q[0], q[1]); }};
constexpr BuilderSpec CRX{"Circuit.crx", {"theta", "control", "target"}, 1, 2, true, [](const double* a, const Qubit* q) { return on2(Gate::crx(a[0]), q[0], q[1]); }};
constexpr BuilderSpec CRY{"Circuit.cry", {"theta", "control", "target"}, 1, 2, true, [](const double* a, const Qubit* q) { return on2(Gate::cry(a[0]), q[0], q[1]); }};
constexpr BuilderSpec CRZ{"Circuit.crz", {"theta", "control", "target"}, 1, 2, true, [](const double* a, const Qubit* q) { return on2(Gate::crz(a[0]), q[0], q[1]); }};
// The controlled phase has no kind of its own: Phase on the target under one external control.
constexpr BuilderSpec CP{"Circuit.cp", {"theta", "control", "target"}, 1, 2, true,
                         [](const double* a, const Qubit* q) { return GateInstance{Gate::phase(a[0]), {q[1]}, {q[0]}}; }};
constexpr BuilderSpec CCX{"Circuit.ccx", {"c0", "c1", "target"}, 0, 3, true, [](const double*, const Qubit* q) { return on3(Gate::toffoli(), q[0], q[1], q[2]); }};
constexpr BuilderSpec CCZ{"Circuit.ccz", {"q0", "q1", "q2"}, 0, 3, true, [](const double*, const Qubit* q) { return on3(Gate::ccz(), q[0], q[1], q[2]); }};
// clang-format on

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

// clang-format off
PyMethodDef builder_defs[] = {
    method_def<build_gate<H>>("h", "h($self, q)\n--\n\nApply Hadamard to qubit `q`."),
    method_def<build_gate<X>>("x", "x($self, q)\n--\n\nApply Pauli-X to qubit `q`."),
    method_def<build_gate<Y>>("y", "y($self, q)\n--\n\nApply Pauli-Y to qubit `q`."),
    method_def<build_gate<Z>>("z", "z($self, q)\n--\n\nApply Pauli-Z to qubit `q`."),
    method_def<build_gate<S>>("s", "s($self, q)\n--\n\nApply S (square root of Z) to qubit `q`."),
    method_def<build_gate<SDG>>("sdg", "sdg($self, q)\n--\n\nApply S-dagger to qubit `q`."),
    method_def<build_gate<T>>("t", "t($self, q)\n--\n\nApply T (fourth root of Z) to qubit `q`."),
    method_def<build_gate<TDG>>("tdg", "tdg($self, q)\n--\n\nApply T-dagger to qubit `q`."),
    method_def<build_gate<RX>>("rx", "rx($self, theta, q)\n--\n\nApply Rx(`theta`) to qubit `q`."),
    method_def<build_gate<RY>>("ry", "ry($self, theta, q)\n--\n\nApply Ry(`theta`) to qubit `q`."),
    method_def<build_gate<RZ>>("rz", "rz($self, theta, q)\n--\n\nApply Rz(`theta`) to qubit `q`."),
    method_def<build_gate<P>>("p", "p($self, theta, q)\n--\n\nApply the phase gate P(`theta`) to qubit `q`."),
    method_def<build_gate<U3>>("u3", "u3($self, theta, phi, lam, q)\n--\n\nApply U3(`theta`, `phi`, `lam`) to qubit `q`."),
    method_def<build_gate<CX>>("cx", "cx($self, control, target)\n--\n\nApply CNOT with `control` and `target`."),
    method_def<build_gate<CZ>>("cz", "cz($self, q0, q1)\n--\n\nApply CZ to qubits `q0` and `q1`."),
    method_def<build_gate<SWAP>>("swap", "swap($self, q0, q1)\n--\n\nApply SWAP to qubits `q0` and `q1`."),
    method_def<build_gate<ISWAP>>("iswap", "iswap($self, q0, q1)\n--\n\nApply iSWAP to qubits `q0` and `q1`."),
    method_def<build_gate<CRX>>("crx", "crx($self, theta, control, target)\n--\n\nApply controlled-Rx(`theta`) with `control` and `target`."),
    method_def<build_gate<CRY>>("cry", "cry($self, theta, control, target)\n--\n\nApply controlled-Ry(`theta`) with `control` and `target`."),
    method_def<build_gate<CRZ>>("crz", "crz($self, theta, control, target)\n--\n\nApply controlled-Rz(`theta`) with `control` and `target`."),
    method_def<build_gate<CP>>("cp", "cp($self, theta, control, target)\n--\n\nApply controlled-phase P(`theta`) with `control` and `target`."),
    method_def<build_gate<CCX>>("ccx", "ccx($self, c0, c1, target)\n--\n\nApply Toffoli with controls `c0`, `c1` and `target`."),
    method_def<build_gate<CCZ>>("ccz", "ccz($self, q0, q1, q2)\n--\n\nApply CCZ to qubits `q0`, `q1` and `q2`."),
    method_def<measure>("measure", "measure($self, qubit, clbit)\n--\n\nMeasure qubit `qubit` into classical bit `clbit`."),
    method_def<barrier>("barrier", "barrier($self, qubits)\n--\n\nAdd a barrier over `qubits` (a list of qubit indices)."),
};
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
