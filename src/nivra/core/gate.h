#pragma once
// The closed set of gate kinds every subsystem speaks: parameters, the dense
// matrix of each kind, inverses, kind classes, and a gate applied to qubits.
//
// Matrix bit order. For a gate whose targets are listed as (a, b), the row and
// column index is 2·bit(a) + bit(b); for (a, b, c) it is 4·bit(a) + 2·bit(b) + bit(c).
// The first listed target is the most significant bit:
//
//     Cnot on (control, target):   |c t>  index = 2c + t
//         [1 0 0 0]
//         [0 1 0 0]
//         [0 0 0 1]    rows 2 and 3 exchanged: t flips where c = 1
//         [0 0 1 0]
//
// So in Cnot, CRx, CRy, CRz the first target is the control, in Toffoli the
// first two. A UnitaryKq matrix is instead indexed over its targets sorted
// ascending, the smallest target being the most significant bit.

#include <array>
#include <boost/container/small_vector.hpp>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "nivra/core/complex.h"
#include "nivra/core/gate_table.h"

namespace nivra {

// A qubit index. 32 bits: no simulator here reaches 2^32 qubits, and the
// narrower index keeps instructions and Pauli terms small.
using Qubit = std::uint32_t;

// One gate parameter: a concrete angle in radians, or a symbol id. Nothing in
// the library creates symbols; every consumer that needs numbers refuses them
// (GateError::SymbolicParam).
struct Param {
    enum class Kind : std::uint8_t { Concrete, Symbolic };

    Kind kind = Kind::Concrete;
    double value = 0.0;        // the angle; meaningful only when Concrete
    std::uint32_t symbol = 0;  // the symbol id; meaningful only when Symbolic

    static constexpr Param concrete(double angle) { return Param{Kind::Concrete, angle, 0}; }
    static constexpr Param symbolic(std::uint32_t id) { return Param{Kind::Symbolic, 0.0, id}; }
    constexpr bool is_concrete() const { return kind == Kind::Concrete; }
    constexpr bool is_symbolic() const { return kind == Kind::Symbolic; }

    // Same variant and equal payload: angles by floating-point equality
    // (0.0 == -0.0, NaN equals nothing), symbol ids as integers.
    friend constexpr bool operator==(const Param& a, const Param& b) {
        if (a.kind != b.kind) {
            return false;
        }
        return a.kind == Kind::Concrete ? a.value == b.value : a.symbol == b.symbol;
    }
};

// The row of a kind (core/gate_table.h); throws InvariantError for a value
// outside the enumeration.
const GateRow& gate_kind_row(GateKind kind);

// The kind's display name, its enumerator's identifier ("H", "Sdg", "IswapDg", "UnitaryKq", ...).
std::string_view gate_kind_name(GateKind kind);

// Number of Param a kind carries: 0, 1, or 3 (U3: theta, phi, lam).
std::size_t gate_kind_param_count(GateKind kind);

// Why a gate has no concrete matrix. No message of its own: users translate it
// into their own errors.
enum class GateError : std::uint8_t {
    SymbolicParam,    // a parameter is symbolic
    NonFiniteParam,   // a concrete parameter is NaN or infinite
    Unrepresentable,  // UnitaryKq has no fixed-size matrix; read Gate::matrix_data instead
};

// The variant name ("SymbolicParam", ...), for structural debug forms.
std::string_view gate_error_name(GateError error);

// The dense row-major matrix of a gate: 2×2, 4×4 or 8×8, held by value (making
// or copying one never allocates). Bit order as at the top of this file.
class GateMatrix {
public:
    using M2 = std::array<Complex, 4>;
    using M4 = std::array<Complex, 16>;
    using M8 = std::array<Complex, 64>;

    GateMatrix(const M2& m) : m_(m) {}  // NOLINT: implicit by design, like an enum variant
    GateMatrix(const M4& m) : m_(m) {}  // NOLINT
    GateMatrix(const M8& m) : m_(m) {}  // NOLINT

    // 2, 4 or 8.
    std::size_t dim() const { return std::size_t{2} << m_.index(); }
    // The dim·dim entries, row-major; valid while this object lives.
    std::span<const Complex> entries() const;
    // Entry (row, col); throws InvariantError outside dim×dim.
    Complex operator()(std::size_t row, std::size_t col) const;

    bool is_m2() const { return m_.index() == 0; }
    bool is_m4() const { return m_.index() == 1; }
    bool is_m8() const { return m_.index() == 2; }
    // The array of that size; throws InvariantError when the matrix has another size.
    const M2& m2() const;
    const M4& m4() const;
    const M8& m8() const;
    const std::variant<M2, M4, M8>& variant() const { return m_; }

    // Same size and every entry equal by floating-point equality.
    friend bool operator==(const GateMatrix& a, const GateMatrix& b) = default;

private:
    std::variant<M2, M4, M8> m_;
};

// A gate: its kind, its parameters and, for the four matrix-carrying kinds,
// a matrix in a heap allocation of its own (copied deeply with the gate).
//
// Invariants kept by every constructor: the parameter count matches the kind;
// a UnitaryKq of width k holds exactly 4^k entries (2^k × 2^k, row-major).
// Stored matrices are not checked for unitarity or finiteness here; the
// state-vector backend checks user matrices when it applies them.
//
// Gates are plain values: safe to share between threads when not mutated.
class Gate {
public:
    static Gate h();
    static Gate x();
    static Gate y();
    static Gate z();
    static Gate s();
    static Gate sdg();
    static Gate t();
    static Gate tdg();
    static Gate rx(Param theta);
    static Gate rx(double theta) { return rx(Param::concrete(theta)); }
    static Gate ry(Param theta);
    static Gate ry(double theta) { return ry(Param::concrete(theta)); }
    static Gate rz(Param theta);
    static Gate rz(double theta) { return rz(Param::concrete(theta)); }
    static Gate phase(Param theta);
    static Gate phase(double theta) { return phase(Param::concrete(theta)); }
    static Gate u3(Param theta, Param phi, Param lam);
    static Gate u3(double theta, double phi, double lam) {
        return u3(Param::concrete(theta), Param::concrete(phi), Param::concrete(lam));
    }
    static Gate cnot();
    static Gate cz();
    static Gate swap();
    static Gate iswap();
    static Gate iswap_dg();
    static Gate crx(Param theta);
    static Gate crx(double theta) { return crx(Param::concrete(theta)); }
    static Gate cry(Param theta);
    static Gate cry(double theta) { return cry(Param::concrete(theta)); }
    static Gate crz(Param theta);
    static Gate crz(double theta) { return crz(Param::concrete(theta)); }
    static Gate toffoli();
    static Gate ccz();
    // A kind without a matrix payload (H through Ccz) with its concrete angles
    // in declared order; throws InvariantError for a matrix-carrying kind or
    // when angles.size() differs from gate_kind_param_count(kind).
    static Gate with_angles(GateKind kind, std::span<const double> angles);
    // Row-major 2×2 and 4×4 matrices.
    static Gate unitary1q(const std::array<Complex, 4>& matrix);
    static Gate unitary2q(const std::array<Complex, 16>& matrix);
    // A k-qubit matrix, 2^k × 2^k row-major over the targets sorted ascending
    // (smallest target = most significant bit). Throws InvariantError unless
    // 1 <= k and matrix.size() == 4^k.
    static Gate unitary_kq(std::uint8_t k, std::vector<Complex> matrix);
    // The diagonal (d0, d1) of a 2×2 matrix.
    static Gate unitary1q_diag(Complex d0, Complex d1);

    GateKind kind() const { return kind_; }
    // The kind's static display name.
    std::string_view name() const { return gate_kind_name(kind_); }
    // Number of target qubits: 1, 2 or 3 by kind; k for UnitaryKq.
    std::size_t arity() const;

    // Parameters in declared order (U3: theta, phi, lam); empty for kinds without.
    std::size_t num_params() const { return gate_kind_param_count(kind_); }
    std::span<const Param> params() const { return {params_.data(), num_params()}; }
    // Parameter i; throws InvariantError when i >= num_params().
    const Param& param(std::size_t i) const;

    // The stored matrix entries: Unitary1q 4 (2×2 row-major), Unitary2q 16
    // (4×4), UnitaryKq 4^k (2^k × 2^k), Unitary1qDiag 2 (d0, d1); empty for
    // every other kind.
    std::span<const Complex> matrix_data() const { return payload_; }
    // Width of a UnitaryKq; 0 for every other kind.
    std::uint8_t kq_width() const { return kq_width_; }

    bool is_clifford() const { return is_clifford_kind(kind_); }
    bool is_diagonal() const { return is_diagonal_kind(kind_); }
    bool is_one_qubit() const { return is_one_qubit_kind(kind_); }
    bool is_two_qubit() const { return is_two_qubit_kind(kind_); }

    // The dense matrix, computed afresh; allocates nothing. Fails with the first
    // parameter (declared order) that is symbolic or non-finite, then with
    // Unrepresentable for UnitaryKq.
    std::expected<GateMatrix, GateError> matrix() const;

    // The inverse gate; never fails for concrete parameters (NaN and infinite
    // angles are negated like any other). Matrix kinds get the conjugate
    // transpose in a new allocation. A symbolic parameter has no negation:
    // inverting one throws InvariantError (no part of the library makes them).
    Gate inverse() const;

    // Structural and exact: same kind, equal parameters (Param ==), and for
    // matrix kinds the same width and every entry equal by floating-point
    // equality of its real and imaginary parts.
    friend bool operator==(const Gate& a, const Gate& b);

private:
    explicit Gate(GateKind kind) : kind_(kind) {}
    // An angle kind with its parameters; throws InvariantError for a matrix
    // kind or a count that differs from the kind's.
    static Gate with_params(GateKind kind, std::span<const Param> params);
    // matrix() of a matrix-carrying kind.
    std::expected<GateMatrix, GateError> stored_matrix() const;
    // The stored matrix of the inverse of a matrix kind.
    std::vector<Complex> adjoint_payload() const;

    GateKind kind_;
    std::uint8_t kq_width_ = 0;
    std::array<Param, 3> params_{};
    std::vector<Complex> payload_;
};

// One gate applied to qubits. `targets` has Gate::arity entries and its order
// fixes the matrix bit order; `controls` are external controls (the gate acts
// only where all are 1), in no meaningful order. Copying copies everything,
// the gate's matrix included.
struct GateInstance {
    Gate gate;
    boost::container::small_vector<Qubit, 4> targets;
    boost::container::small_vector<Qubit, 2> controls;

    friend bool operator==(const GateInstance& a, const GateInstance& b) = default;
};

}  // namespace nivra
