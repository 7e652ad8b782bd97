#include "nivra/core/gate.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "nivra/core/error.h"

namespace nivra {

namespace {

// 1/√2 rounded to the nearest double; the T phase uses the double cosine and
// sine of π/4, which differ in the last place.
constexpr double R = 0.7071067811865476;
constexpr double COS_PI_4 = 0.7071067811865476;
constexpr double SIN_PI_4 = 0.7071067811865475;

std::size_t kind_index(GateKind kind) {
    auto index = static_cast<std::size_t>(kind);
    check_index(index, GATE_KIND_COUNT, "gate kind");
    return index;
}

// One sine and cosine of the same angle; GCC merges the pair into one sincos call.
struct SinCos {
    double sin;
    double cos;
};
SinCos sin_cos(double angle) { return {std::sin(angle), std::cos(angle)}; }

// The half-angle pair (s, c) of a rotation by theta.
SinCos half(double theta) { return sin_cos(theta * 0.5); }

using M2 = GateMatrix::M2;
using M4 = GateMatrix::M4;
using M8 = GateMatrix::M8;

constexpr Complex ZERO{0.0, 0.0};
constexpr Complex ONE{1.0, 0.0};

M2 rx_matrix(double theta) {
    SinCos sc = half(theta);
    return {Complex(sc.cos, 0.0), Complex(0.0, -sc.sin), Complex(0.0, -sc.sin), Complex(sc.cos, 0.0)};
}

M2 ry_matrix(double theta) {
    SinCos sc = half(theta);
    return {Complex(sc.cos, 0.0), Complex(-sc.sin, 0.0), Complex(sc.sin, 0.0), Complex(sc.cos, 0.0)};
}

M2 diag2(Complex d0, Complex d1) { return {d0, ZERO, ZERO, d1}; }

M2 rz_matrix(double theta) {
    SinCos sc = half(theta);
    return diag2(Complex(sc.cos, -sc.sin), Complex(sc.cos, sc.sin));
}

M2 phase_matrix(double theta) {
    SinCos sc = sin_cos(theta);
    return diag2(ONE, Complex(sc.cos, sc.sin));
}

M2 u3_matrix(double theta, double phi, double lam) {
    SinCos t = half(theta);
    SinCos e_phi = sin_cos(phi);
    SinCos e_lam = sin_cos(lam);
    SinCos e_sum = sin_cos(phi + lam);
    return M2{Complex(t.cos, 0.0), Complex(-t.sin * e_lam.cos, -t.sin * e_lam.sin),
              Complex(t.sin * e_phi.cos, t.sin * e_phi.sin), Complex(t.cos * e_sum.cos, t.cos * e_sum.sin)};
}

template <std::size_t N>
std::array<Complex, N * N> identity() {
    std::array<Complex, N * N> m{};
    for (std::size_t i = 0; i < N; ++i) {
        m[i * N + i] = ONE;
    }
    return m;
}

// Identity on indices 0 and 1, `block` on indices 2 and 3: the controlled form
// with the first target as control.
M4 controlled(const M2& block) {
    M4 m = identity<4>();
    m[2 * 4 + 2] = block[0];
    m[2 * 4 + 3] = block[1];
    m[3 * 4 + 2] = block[2];
    m[3 * 4 + 3] = block[3];
    return m;
}

M4 diag4(Complex d0, Complex d1, Complex d2, Complex d3) {
    M4 m{};
    m[0] = d0;
    m[5] = d1;
    m[10] = d2;
    m[15] = d3;
    return m;
}

// Row r holds its one 1 in column column_of_row[r].
M4 permutation4(const std::array<std::size_t, 4>& column_of_row) {
    M4 m{};
    for (std::size_t r = 0; r < 4; ++r) {
        m[r * 4 + column_of_row[r]] = ONE;
    }
    return m;
}

// iSWAP (i_or_minus_i = i) and its inverse (−i): |01> and |10> exchange with that phase.
M4 iswap_matrix(Complex i_or_minus_i) {
    M4 m = permutation4({0, 2, 1, 3});
    m[1 * 4 + 2] = i_or_minus_i;
    m[2 * 4 + 1] = i_or_minus_i;
    return m;
}

M8 toffoli_matrix() {
    M8 m = identity<8>();
    m[6 * 8 + 6] = ZERO;
    m[7 * 8 + 7] = ZERO;
    m[6 * 8 + 7] = ONE;
    m[7 * 8 + 6] = ONE;
    return m;
}

M8 ccz_matrix() {
    M8 m = identity<8>();
    m[63] = Complex(-1.0, 0.0);
    return m;
}

// Conjugate transpose of a row-major dim×dim matrix held in `m`.
std::vector<Complex> adjoint(std::span<const Complex> m, std::size_t dim) {
    std::vector<Complex> out(m.size());
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = 0; j < dim; ++j) {
            std::size_t from = i * dim + j;
            std::size_t to = j * dim + i;
            check_index(from, m.size(), "adjoint source");
            check_index(to, out.size(), "adjoint target");
            out[to] = std::conj(m[from]);
        }
    }
    return out;
}

Param negated(const Param& p) {
    if (p.is_symbolic()) {
        invariant_failure("a symbolic gate parameter has no inverse");
    }
    return Param::concrete(-p.value);
}

}  // namespace

const GateRow& gate_kind_row(GateKind kind) { return GATE_TABLE[kind_index(kind)]; }

std::string_view gate_kind_name(GateKind kind) { return gate_kind_row(kind).name; }

std::size_t gate_kind_param_count(GateKind kind) { return gate_kind_row(kind).params; }

std::string_view gate_error_name(GateError error) {
    switch (error) {
        case GateError::SymbolicParam:
            return "SymbolicParam";
        case GateError::NonFiniteParam:
            return "NonFiniteParam";
        case GateError::Unrepresentable:
            return "Unrepresentable";
    }
    invariant_failure("unknown GateError");
}

// ---- GateMatrix ----

std::span<const Complex> GateMatrix::entries() const {
    return std::visit([](const auto& m) { return std::span<const Complex>(m.data(), m.size()); }, m_);
}

Complex GateMatrix::operator()(std::size_t row, std::size_t col) const {
    std::size_t n = dim();
    check_index(row, n, "gate matrix row");
    check_index(col, n, "gate matrix column");
    return entries()[row * n + col];
}

const GateMatrix::M2& GateMatrix::m2() const {
    check_invariant(is_m2(), "gate matrix is not 2x2");
    return std::get<M2>(m_);
}

const GateMatrix::M4& GateMatrix::m4() const {
    check_invariant(is_m4(), "gate matrix is not 4x4");
    return std::get<M4>(m_);
}

const GateMatrix::M8& GateMatrix::m8() const {
    check_invariant(is_m8(), "gate matrix is not 8x8");
    return std::get<M8>(m_);
}

// ---- Gate constructors ----

Gate Gate::h() { return Gate(GateKind::H); }
Gate Gate::x() { return Gate(GateKind::X); }
Gate Gate::y() { return Gate(GateKind::Y); }
Gate Gate::z() { return Gate(GateKind::Z); }
Gate Gate::s() { return Gate(GateKind::S); }
Gate Gate::sdg() { return Gate(GateKind::Sdg); }
Gate Gate::t() { return Gate(GateKind::T); }
Gate Gate::tdg() { return Gate(GateKind::Tdg); }
Gate Gate::cnot() { return Gate(GateKind::Cnot); }
Gate Gate::cz() { return Gate(GateKind::Cz); }
Gate Gate::swap() { return Gate(GateKind::Swap); }
Gate Gate::iswap() { return Gate(GateKind::Iswap); }
Gate Gate::iswap_dg() { return Gate(GateKind::IswapDg); }
Gate Gate::toffoli() { return Gate(GateKind::Toffoli); }
Gate Gate::ccz() { return Gate(GateKind::Ccz); }

Gate Gate::with_params(GateKind kind, std::span<const Param> params) {
    check_invariant(!is_matrix_kind(kind) && params.size() == gate_kind_param_count(kind),
                    "Gate::with_params: parameters do not match the kind");
    Gate g(kind);
    std::copy(params.begin(), params.end(), g.params_.begin());
    return g;
}

Gate Gate::with_angles(GateKind kind, std::span<const double> angles) {
    if (angles.size() != gate_kind_param_count(kind)) {
        invariant_failure("Gate::with_angles: " + std::string(gate_kind_name(kind)) + " takes " +
                          std::to_string(gate_kind_param_count(kind)) + " angles, got " +
                          std::to_string(angles.size()));
    }
    if (is_matrix_kind(kind)) {
        invariant_failure("Gate::with_angles: " + std::string(gate_kind_name(kind)) + " carries a matrix, not angles");
    }
    std::array<Param, 3> params{};
    std::transform(angles.begin(), angles.end(), params.begin(), Param::concrete);
    return with_params(kind, std::span(params.data(), angles.size()));
}

Gate Gate::rx(Param theta) { return with_params(GateKind::Rx, {&theta, 1}); }
Gate Gate::ry(Param theta) { return with_params(GateKind::Ry, {&theta, 1}); }
Gate Gate::rz(Param theta) { return with_params(GateKind::Rz, {&theta, 1}); }
Gate Gate::phase(Param theta) { return with_params(GateKind::Phase, {&theta, 1}); }
Gate Gate::crx(Param theta) { return with_params(GateKind::CRx, {&theta, 1}); }
Gate Gate::cry(Param theta) { return with_params(GateKind::CRy, {&theta, 1}); }
Gate Gate::crz(Param theta) { return with_params(GateKind::CRz, {&theta, 1}); }

Gate Gate::u3(Param theta, Param phi, Param lam) {
    const std::array<Param, 3> params{theta, phi, lam};
    return with_params(GateKind::U3, params);
}

Gate Gate::unitary1q(const std::array<Complex, 4>& matrix) {
    Gate g(GateKind::Unitary1q);
    g.payload_.assign(matrix.begin(), matrix.end());
    return g;
}

Gate Gate::unitary2q(const std::array<Complex, 16>& matrix) {
    Gate g(GateKind::Unitary2q);
    g.payload_.assign(matrix.begin(), matrix.end());
    return g;
}

Gate Gate::unitary_kq(std::uint8_t k, std::vector<Complex> matrix) {
    // 4^k must fit a size_t before it can be compared with the list length.
    if (k == 0 || 2 * static_cast<unsigned>(k) >= 8 * sizeof(std::size_t)) {
        invariant_failure("UnitaryKq width " + std::to_string(k) + " is out of range");
    }
    std::size_t entries = std::size_t{1} << (2 * k);
    if (matrix.size() != entries) {
        invariant_failure("UnitaryKq of width " + std::to_string(k) + " needs " + std::to_string(entries) +
                          " entries, got " + std::to_string(matrix.size()));
    }
    Gate g(GateKind::UnitaryKq);
    g.kq_width_ = k;
    g.payload_ = std::move(matrix);
    return g;
}

Gate Gate::unitary1q_diag(Complex d0, Complex d1) {
    Gate g(GateKind::Unitary1qDiag);
    g.payload_ = {d0, d1};
    return g;
}

// ---- Gate queries ----

std::size_t Gate::arity() const {
    const std::size_t targets = gate_kind_row(kind_).targets;
    return targets == 0 ? kq_width_ : targets;
}

const Param& Gate::param(std::size_t i) const {
    check_index(i, num_params(), "gate parameter");
    return params_[i];
}

std::expected<GateMatrix, GateError> Gate::matrix() const {
    for (const Param& p : params()) {
        if (p.is_symbolic()) {
            return std::unexpected(GateError::SymbolicParam);
        }
        if (!std::isfinite(p.value)) {
            return std::unexpected(GateError::NonFiniteParam);
        }
    }
    const double theta = params_[0].value;
    switch (kind_) {
        case GateKind::H:
            return M2{Complex(R, 0.0), Complex(R, 0.0), Complex(R, 0.0), Complex(-R, 0.0)};
        case GateKind::X:
            return M2{ZERO, ONE, ONE, ZERO};
        case GateKind::Y:
            return M2{ZERO, Complex(0.0, -1.0), Complex(0.0, 1.0), ZERO};
        case GateKind::Z:
            return diag2(ONE, Complex(-1.0, 0.0));
        case GateKind::S:
            return diag2(ONE, Complex(0.0, 1.0));
        case GateKind::Sdg:
            return diag2(ONE, Complex(0.0, -1.0));
        case GateKind::T:
            return diag2(ONE, Complex(COS_PI_4, SIN_PI_4));
        case GateKind::Tdg:
            return diag2(ONE, Complex(COS_PI_4, -SIN_PI_4));
        case GateKind::Rx:
            return rx_matrix(theta);
        case GateKind::Ry:
            return ry_matrix(theta);
        case GateKind::Rz:
            return rz_matrix(theta);
        case GateKind::Phase:
            return phase_matrix(theta);
        case GateKind::U3:
            return u3_matrix(theta, params_[1].value, params_[2].value);
        case GateKind::Cnot:
            return permutation4({0, 1, 3, 2});
        case GateKind::Cz:
            return diag4(ONE, ONE, ONE, Complex(-1.0, 0.0));
        case GateKind::Swap:
            return permutation4({0, 2, 1, 3});
        case GateKind::Iswap:
            return iswap_matrix(Complex(0.0, 1.0));
        case GateKind::IswapDg:
            return iswap_matrix(Complex(0.0, -1.0));
        case GateKind::CRx:
            return controlled(rx_matrix(theta));
        case GateKind::CRy:
            return controlled(ry_matrix(theta));
        case GateKind::CRz:
            return controlled(rz_matrix(theta));
        case GateKind::Toffoli:
            return toffoli_matrix();
        case GateKind::Ccz:
            return ccz_matrix();
        case GateKind::Unitary1q:
        case GateKind::Unitary2q:
        case GateKind::UnitaryKq:
        case GateKind::Unitary1qDiag:
            return stored_matrix();
    }
    invariant_failure("gate kind out of range");
}

// The matrix of a matrix-carrying kind, read from its payload.
std::expected<GateMatrix, GateError> Gate::stored_matrix() const {
    if (kind_ == GateKind::UnitaryKq) {
        return std::unexpected(GateError::Unrepresentable);
    }
    if (kind_ == GateKind::Unitary1qDiag) {
        check_invariant(payload_.size() == 2, "Unitary1qDiag holds 2 entries");
        return diag2(payload_[0], payload_[1]);
    }
    if (kind_ == GateKind::Unitary1q) {
        check_invariant(payload_.size() == 4, "Unitary1q holds 4 entries");
        M2 m;
        std::copy(payload_.begin(), payload_.end(), m.begin());
        return m;
    }
    check_invariant(kind_ == GateKind::Unitary2q, "Gate::stored_matrix: the kind carries no matrix");
    check_invariant(payload_.size() == 16, "Unitary2q holds 16 entries");
    M4 m;
    std::copy(payload_.begin(), payload_.end(), m.begin());
    return m;
}

Gate Gate::inverse() const {
    Gate g(gate_kind_row(kind_).inverse);
    if (kind_ == GateKind::U3) {
        // U3(θ, φ, λ)⁻¹ = U3(−θ, −λ, −φ): φ and λ swap places.
        g.params_ = {negated(params_[0]), negated(params_[2]), negated(params_[1])};
        return g;
    }
    for (std::size_t i = 0; i < num_params(); ++i) {
        g.params_[i] = negated(params_[i]);
    }
    if (is_matrix_kind(kind_)) {
        g.kq_width_ = kq_width_;
        g.payload_ = adjoint_payload();
    }
    return g;
}

// Only the MATRIX kinds reach here; an angle kind has nothing to adjoin.
std::vector<Complex> Gate::adjoint_payload() const {
    if (kind_ == GateKind::Unitary1q) {
        return adjoint(payload_, 2);
    }
    if (kind_ == GateKind::Unitary2q) {
        return adjoint(payload_, 4);
    }
    if (kind_ == GateKind::UnitaryKq) {
        check_invariant(kq_width_ >= 1 && kq_width_ < 32, "UnitaryKq width out of range");
        return adjoint(payload_, std::size_t{1} << kq_width_);
    }
    if (kind_ == GateKind::Unitary1qDiag) {
        check_invariant(payload_.size() == 2, "Unitary1qDiag holds 2 entries");
        return {std::conj(payload_[0]), std::conj(payload_[1])};
    }
    invariant_failure("Gate::adjoint_payload: " + std::string(name()) + " carries no matrix");
}

bool operator==(const Gate& a, const Gate& b) {
    if (a.kind_ != b.kind_ || a.kq_width_ != b.kq_width_ || a.payload_.size() != b.payload_.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.num_params(); ++i) {
        if (!(a.params_[i] == b.params_[i])) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.payload_.size(); ++i) {
        if (!(a.payload_[i].real() == b.payload_[i].real() && a.payload_[i].imag() == b.payload_[i].imag())) {
            return false;
        }
    }
    return true;
}

}  // namespace nivra
