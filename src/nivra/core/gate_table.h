#pragma once
// Every fact about a gate kind that does not need arithmetic: its names in each
// surface (display name, Python builder, OpenQASM, noise mnemonics), its target
// and parameter counts, its classes and its inverse kind. Class masks, name
// tables, the OpenQASM gate table, the noise mnemonics and the Python builder
// specs are all read from GATE_TABLE, so a new kind is one row here plus the
// switch cases the compiler then asks for (switches over GateKind have no
// `default:` and the build treats a missing case as an error).
//
// Matrices stay in gate.cc (Gate::matrix), the tableau updates in stab/.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace nivra {

// The kind index is the position in this order and the row index in
// GATE_TABLE; the class masks are indexed by it, so the order is fixed.
enum class GateKind : std::uint8_t {
    H = 0,
    X = 1,
    Y = 2,
    Z = 3,
    S = 4,
    Sdg = 5,
    T = 6,
    Tdg = 7,
    Rx = 8,
    Ry = 9,
    Rz = 10,
    Phase = 11,
    U3 = 12,
    Cnot = 13,
    Cz = 14,
    Swap = 15,
    Iswap = 16,
    IswapDg = 17,
    CRx = 18,
    CRy = 19,
    CRz = 20,
    Toffoli = 21,
    Ccz = 22,
    Unitary1q = 23,
    Unitary2q = 24,
    UnitaryKq = 25,
    Unitary1qDiag = 26,
};

// Class flags of a row. Membership depends on the kind alone, never on
// parameters or stored matrices.
inline constexpr std::uint8_t CLIFFORD = 1;  // maps Paulis to Paulis under conjugation
inline constexpr std::uint8_t DIAGONAL = 2;  // diagonal in the computational basis
inline constexpr std::uint8_t MATRIX = 4;    // carries its matrix as data instead of angles

// Up to N names in the first slots; the others hold "". No slot is ever a
// default-constructed view: GCC 12 reads a table holding one, through a
// reference, as a modification in constant expressions and refuses it.
template <std::size_t N>
struct GateNames {
    std::array<std::string_view, N> items;

    constexpr GateNames() { items.fill(""); }
    constexpr GateNames(std::initializer_list<std::string_view> names) {  // NOLINT: rows list names in braces
        items.fill("");
        std::size_t i = 0;
        for (std::string_view name : names) items.at(i++) = name;
    }
    constexpr std::size_t size() const { return N; }
    constexpr const std::string_view& operator[](std::size_t i) const { return items[i]; }
    constexpr auto begin() const { return items.begin(); }
    constexpr auto end() const { return items.end(); }
};

// One gate kind. Every string is a literal (so NUL-terminated, which the
// Python layer relies on); an empty string means "none".
struct GateRow {
    GateKind kind;
    std::string_view name;  // display name, the enumerator's identifier
    // Target qubits; 0 for UnitaryKq, whose width each gate carries. A row
    // with 1 or 2 targets is in the one- or two-qubit class.
    std::uint8_t targets;
    std::uint8_t params;  // angles in declared order, named by param_names
    std::uint8_t flags;   // CLIFFORD | DIAGONAL | MATRIX
    // The kind of the inverse. Angle kinds are their own inverse kind (the
    // angles are negated; U3 also swaps phi and lam), matrix kinds too (the
    // stored matrix is adjoined).
    GateKind inverse;
    GateNames<3> param_names;
    // OpenQASM `stdgates.inc` names the lowering accepts, first the canonical one.
    GateNames<2> qasm;
    // Noise-model mnemonics, matched ASCII case-insensitively; joined by '/'
    // in the "supported:" list of an unknown-name error.
    GateNames<2> mnemonics;
    // The Python Circuit method that appends this kind, its qubit operand
    // names (after the angles) and its docstring sentence.
    std::string_view builder;
    GateNames<3> operands;
    std::string_view builder_doc;
};

// clang-format off
inline constexpr std::array GATE_TABLE = std::to_array<GateRow>({
    {GateKind::H, "H", 1, 0, CLIFFORD, GateKind::H, {}, {"h"}, {"h"},
     "h", {"q"}, "Apply Hadamard to qubit `q`."},
    {GateKind::X, "X", 1, 0, CLIFFORD, GateKind::X, {}, {"x"}, {"x"},
     "x", {"q"}, "Apply Pauli-X to qubit `q`."},
    {GateKind::Y, "Y", 1, 0, CLIFFORD, GateKind::Y, {}, {"y"}, {"y"},
     "y", {"q"}, "Apply Pauli-Y to qubit `q`."},
    {GateKind::Z, "Z", 1, 0, CLIFFORD | DIAGONAL, GateKind::Z, {}, {"z"}, {"z"},
     "z", {"q"}, "Apply Pauli-Z to qubit `q`."},
    {GateKind::S, "S", 1, 0, CLIFFORD | DIAGONAL, GateKind::Sdg, {}, {"s"}, {"s"},
     "s", {"q"}, "Apply S (square root of Z) to qubit `q`."},
    {GateKind::Sdg, "Sdg", 1, 0, CLIFFORD | DIAGONAL, GateKind::S, {}, {"sdg"}, {"sdg"},
     "sdg", {"q"}, "Apply S-dagger to qubit `q`."},
    {GateKind::T, "T", 1, 0, DIAGONAL, GateKind::Tdg, {}, {"t"}, {"t"},
     "t", {"q"}, "Apply T (fourth root of Z) to qubit `q`."},
    {GateKind::Tdg, "Tdg", 1, 0, DIAGONAL, GateKind::T, {}, {"tdg"}, {"tdg"},
     "tdg", {"q"}, "Apply T-dagger to qubit `q`."},
    {GateKind::Rx, "Rx", 1, 1, 0, GateKind::Rx, {"theta"}, {"rx"}, {"rx"},
     "rx", {"q"}, "Apply Rx(`theta`) to qubit `q`."},
    {GateKind::Ry, "Ry", 1, 1, 0, GateKind::Ry, {"theta"}, {"ry"}, {"ry"},
     "ry", {"q"}, "Apply Ry(`theta`) to qubit `q`."},
    {GateKind::Rz, "Rz", 1, 1, DIAGONAL, GateKind::Rz, {"theta"}, {"rz"}, {"rz"},
     "rz", {"q"}, "Apply Rz(`theta`) to qubit `q`."},
    {GateKind::Phase, "Phase", 1, 1, DIAGONAL, GateKind::Phase, {"theta"}, {"p"}, {"p", "phase"},
     "p", {"q"}, "Apply the phase gate P(`theta`) to qubit `q`."},
    {GateKind::U3, "U3", 1, 3, 0, GateKind::U3, {"theta", "phi", "lam"}, {"u3"}, {"u", "u3"},
     "u3", {"q"}, "Apply U3(`theta`, `phi`, `lam`) to qubit `q`."},
    {GateKind::Cnot, "Cnot", 2, 0, CLIFFORD, GateKind::Cnot, {}, {"cx"}, {"cx", "cnot"},
     "cx", {"control", "target"}, "Apply CNOT with `control` and `target`."},
    {GateKind::Cz, "Cz", 2, 0, CLIFFORD | DIAGONAL, GateKind::Cz, {}, {"cz"}, {"cz"},
     "cz", {"q0", "q1"}, "Apply CZ to qubits `q0` and `q1`."},
    {GateKind::Swap, "Swap", 2, 0, CLIFFORD, GateKind::Swap, {}, {"swap"}, {"swap"},
     "swap", {"q0", "q1"}, "Apply SWAP to qubits `q0` and `q1`."},
    {GateKind::Iswap, "Iswap", 2, 0, CLIFFORD, GateKind::IswapDg, {}, {}, {"iswap"},
     "iswap", {"q0", "q1"}, "Apply iSWAP to qubits `q0` and `q1`."},
    {GateKind::IswapDg, "IswapDg", 2, 0, CLIFFORD, GateKind::Iswap, {}, {}, {},
     "", {}, ""},
    {GateKind::CRx, "CRx", 2, 1, 0, GateKind::CRx, {"theta"}, {}, {"crx"},
     "crx", {"control", "target"}, "Apply controlled-Rx(`theta`) with `control` and `target`."},
    {GateKind::CRy, "CRy", 2, 1, 0, GateKind::CRy, {"theta"}, {}, {"cry"},
     "cry", {"control", "target"}, "Apply controlled-Ry(`theta`) with `control` and `target`."},
    {GateKind::CRz, "CRz", 2, 1, DIAGONAL, GateKind::CRz, {"theta"}, {}, {"crz"},
     "crz", {"control", "target"}, "Apply controlled-Rz(`theta`) with `control` and `target`."},
    {GateKind::Toffoli, "Toffoli", 3, 0, 0, GateKind::Toffoli, {}, {"ccx"}, {"ccx", "toffoli"},
     "ccx", {"c0", "c1", "target"}, "Apply Toffoli with controls `c0`, `c1` and `target`."},
    {GateKind::Ccz, "Ccz", 3, 0, DIAGONAL, GateKind::Ccz, {}, {"ccz"}, {"ccz"},
     "ccz", {"q0", "q1", "q2"}, "Apply CCZ to qubits `q0`, `q1` and `q2`."},
    {GateKind::Unitary1q, "Unitary1q", 1, 0, MATRIX, GateKind::Unitary1q, {}, {}, {},
     "", {}, ""},
    {GateKind::Unitary2q, "Unitary2q", 2, 0, MATRIX, GateKind::Unitary2q, {}, {}, {},
     "", {}, ""},
    {GateKind::UnitaryKq, "UnitaryKq", 0, 0, MATRIX, GateKind::UnitaryKq, {}, {}, {},
     "", {}, ""},
    {GateKind::Unitary1qDiag, "Unitary1qDiag", 1, 0, MATRIX | DIAGONAL, GateKind::Unitary1qDiag, {}, {}, {},
     "", {}, ""},
});
// clang-format on

inline constexpr std::size_t GATE_KIND_COUNT = GATE_TABLE.size();

constexpr std::size_t kind_position(GateKind kind) { return static_cast<std::size_t>(kind); }

// The row of a kind. In a constant expression an out-of-range kind does not
// compile; at run time use gate_kind_row (core/gate.h), which checks.
constexpr const GateRow& gate_row(GateKind kind) { return GATE_TABLE[kind_position(kind)]; }

constexpr bool has_flag(const GateRow& row, std::uint8_t flag) { return (row.flags & flag) != 0; }

// ---- Class masks: bit i set when kind i belongs ----

constexpr std::uint32_t kind_bit(GateKind kind) { return std::uint32_t{1} << kind_position(kind); }

template <class Predicate>
constexpr std::uint32_t kind_mask(Predicate belongs) {
    std::uint32_t mask = 0;
    for (const GateRow& row : GATE_TABLE) {
        if (belongs(row)) mask |= kind_bit(row.kind);
    }
    return mask;
}

inline constexpr std::uint32_t CLIFFORD_KINDS = kind_mask([](const GateRow& r) { return has_flag(r, CLIFFORD); });
inline constexpr std::uint32_t DIAGONAL_KINDS = kind_mask([](const GateRow& r) { return has_flag(r, DIAGONAL); });
inline constexpr std::uint32_t ONE_QUBIT_KINDS = kind_mask([](const GateRow& r) { return r.targets == 1; });
inline constexpr std::uint32_t TWO_QUBIT_KINDS = kind_mask([](const GateRow& r) { return r.targets == 2; });
inline constexpr std::uint32_t MATRIX_KINDS = kind_mask([](const GateRow& r) { return has_flag(r, MATRIX); });

constexpr bool is_clifford_kind(GateKind kind) { return (CLIFFORD_KINDS & kind_bit(kind)) != 0; }
constexpr bool is_diagonal_kind(GateKind kind) { return (DIAGONAL_KINDS & kind_bit(kind)) != 0; }
constexpr bool is_one_qubit_kind(GateKind kind) { return (ONE_QUBIT_KINDS & kind_bit(kind)) != 0; }
constexpr bool is_two_qubit_kind(GateKind kind) { return (TWO_QUBIT_KINDS & kind_bit(kind)) != 0; }
constexpr bool is_matrix_kind(GateKind kind) { return (MATRIX_KINDS & kind_bit(kind)) != 0; }

// ---- Consistency of the table, checked when anything includes it ----

namespace gate_table_detail {

// True when K is a declared enumerator: GCC spells an undeclared value as a
// cast, "(nivra::GateKind)27", in the signature.
template <GateKind K>
consteval bool is_declared_kind() {
    const std::string_view signature = __PRETTY_FUNCTION__;
    return signature[signature.rfind("K = ") + 4] != '(';
}

constexpr std::size_t count_set(const auto& names) {
    std::size_t n = 0;
    for (const std::string_view& s : names) n += s.empty() ? 0 : 1;
    return n;
}

// The set entries come first and every string is NUL-terminated.
constexpr bool well_formed(const auto& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i >= count_set(names) ? !names[i].empty() : names[i].data()[names[i].size()] != '\0') return false;
    }
    return true;
}

constexpr bool rows_are_consistent() {
    for (std::size_t i = 0; i < GATE_TABLE.size(); ++i) {
        const GateRow& r = GATE_TABLE[i];
        const bool matrix = has_flag(r, MATRIX);
        if (kind_position(r.kind) != i || r.name.empty()) return false;
        if (kind_position(r.inverse) >= GATE_TABLE.size() || gate_row(r.inverse).inverse != r.kind) return false;
        if (gate_row(r.inverse).targets != r.targets || gate_row(r.inverse).params != r.params) return false;
        if (gate_row(r.inverse).flags != r.flags) return false;
        if (r.params > r.param_names.size() || count_set(r.param_names) != r.params) return false;
        if (!well_formed(r.param_names) || !well_formed(r.qasm) || !well_formed(r.mnemonics)) return false;
        if (!well_formed(r.operands)) return false;
        // A Clifford or matrix kind has no angles; only UnitaryKq has no fixed width.
        if ((has_flag(r, CLIFFORD) || matrix) && r.params != 0) return false;
        if ((r.targets == 0) != (r.kind == GateKind::UnitaryKq) || r.targets > 3) return false;
        // A builder names each qubit operand; matrix kinds have none.
        const bool builder = !r.builder.empty();
        if (builder != !r.builder_doc.empty() || (builder && matrix)) return false;
        if (count_set(r.operands) != (builder ? r.targets : 0)) return false;
        if (builder && r.builder.data()[r.builder.size()] != '\0') return false;
        if (matrix && (count_set(r.qasm) != 0 || count_set(r.mnemonics) != 0)) return false;
    }
    return true;
}

// No name of the OpenQASM names (Qasm) or of the mnemonics stands twice in
// the table; positions tell a name from itself.
template <bool Qasm>
constexpr bool names_unique() {
    for (std::size_t i = 0; i < GATE_TABLE.size(); ++i) {
        const GateNames<2> names = Qasm ? GATE_TABLE[i].qasm : GATE_TABLE[i].mnemonics;
        for (std::size_t x = 0; x < names.size(); ++x) {
            for (std::size_t j = i; j < GATE_TABLE.size(); ++j) {
                const GateNames<2> others = Qasm ? GATE_TABLE[j].qasm : GATE_TABLE[j].mnemonics;
                for (std::size_t y = 0; y < others.size(); ++y) {
                    const bool self = i == j && x == y;
                    if (!self && !names[x].empty() && names[x] == others[y]) return false;
                }
            }
        }
    }
    return true;
}

constexpr bool display_and_builder_names_unique() {
    for (std::size_t i = 0; i < GATE_TABLE.size(); ++i) {
        for (std::size_t j = i + 1; j < GATE_TABLE.size(); ++j) {
            if (GATE_TABLE[i].name == GATE_TABLE[j].name) return false;
            if (!GATE_TABLE[i].builder.empty() && GATE_TABLE[i].builder == GATE_TABLE[j].builder) return false;
        }
    }
    return true;
}

static_assert(!is_declared_kind<static_cast<GateKind>(GATE_KIND_COUNT)>(), "a GateKind has no row in GATE_TABLE");
static_assert(GATE_KIND_COUNT <= 32, "the class masks hold one bit per kind");
static_assert(rows_are_consistent(), "a GATE_TABLE row is out of order or inconsistent");
static_assert(display_and_builder_names_unique(), "two GATE_TABLE rows share a display or builder name");
static_assert(names_unique<true>(), "two GATE_TABLE rows share an OpenQASM name");
static_assert(names_unique<false>(), "two GATE_TABLE rows share a noise mnemonic");

}  // namespace gate_table_detail

}  // namespace nivra
