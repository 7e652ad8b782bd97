#include "nivra/core/gate.h"

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nivra/core/error.h"

namespace nivra {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double PI = std::numbers::pi;

// ---- a tiny dense reference ----

struct Dense {
    std::size_t dim = 0;
    std::vector<Complex> a;  // row-major

    Complex at(std::size_t r, std::size_t c) const { return a[r * dim + c]; }
};

Dense dense(std::span<const Complex> entries) {
    auto dim = static_cast<std::size_t>(std::lround(std::sqrt(static_cast<double>(entries.size()))));
    return {dim, std::vector<Complex>(entries.begin(), entries.end())};
}

Dense dense_of(const Gate& g) {
    if (g.kind() == GateKind::UnitaryKq) {
        return dense(g.matrix_data());
    }
    auto m = g.matrix();
    EXPECT_TRUE(m.has_value()) << g.name();
    return dense(m->entries());
}

Dense multiply(const Dense& x, const Dense& y) {
    Dense out{x.dim, std::vector<Complex>(x.dim * x.dim)};
    for (std::size_t i = 0; i < x.dim; ++i) {
        for (std::size_t j = 0; j < x.dim; ++j) {
            Complex sum = 0.0;
            for (std::size_t k = 0; k < x.dim; ++k) {
                sum += x.at(i, k) * y.at(k, j);
            }
            out.a[i * x.dim + j] = sum;
        }
    }
    return out;
}

Dense adjoint(const Dense& x) {
    Dense out{x.dim, std::vector<Complex>(x.a.size())};
    for (std::size_t i = 0; i < x.dim; ++i) {
        for (std::size_t j = 0; j < x.dim; ++j) {
            out.a[j * x.dim + i] = std::conj(x.at(i, j));
        }
    }
    return out;
}

double distance_from_identity(const Dense& x) {
    double worst = 0.0;
    for (std::size_t i = 0; i < x.dim; ++i) {
        for (std::size_t j = 0; j < x.dim; ++j) {
            worst = std::max(worst, std::abs(x.at(i, j) - Complex(i == j ? 1.0 : 0.0, 0.0)));
        }
    }
    return worst;
}

double distance(const Dense& x, const Dense& y) {
    double worst = 0.0;
    for (std::size_t i = 0; i < x.a.size(); ++i) {
        worst = std::max(worst, std::abs(x.a[i] - y.a[i]));
    }
    return worst;
}

// A Haar-like random unitary: Gram–Schmidt on the columns of a Gaussian matrix.
std::vector<Complex> random_unitary(std::size_t dim, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::vector<Complex> m(dim * dim);
    for (auto& e : m) {
        e = Complex(normal(rng), normal(rng));
    }
    for (std::size_t c = 0; c < dim; ++c) {
        for (std::size_t p = 0; p < c; ++p) {
            Complex dot = 0.0;
            for (std::size_t r = 0; r < dim; ++r) {
                dot += std::conj(m[r * dim + p]) * m[r * dim + c];
            }
            for (std::size_t r = 0; r < dim; ++r) {
                m[r * dim + c] -= dot * m[r * dim + p];
            }
        }
        double norm = 0.0;
        for (std::size_t r = 0; r < dim; ++r) {
            norm += std::norm(m[r * dim + c]);
        }
        norm = std::sqrt(norm);
        for (std::size_t r = 0; r < dim; ++r) {
            m[r * dim + c] /= norm;
        }
    }
    return m;
}

// One gate of every kind with random angles and payloads, in kind order; the
// UnitaryKq entries follow with widths 1, 2 and 3.
std::vector<Gate> gates_of_every_kind(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> angle(-4.0 * PI, 4.0 * PI);
    auto u1 = random_unitary(2, rng);
    auto u2 = random_unitary(4, rng);
    std::array<Complex, 4> m1;
    std::array<Complex, 16> m2;
    std::copy(u1.begin(), u1.end(), m1.begin());
    std::copy(u2.begin(), u2.end(), m2.begin());
    double d0 = angle(rng);
    double d1 = angle(rng);
    return {
        Gate::h(),
        Gate::x(),
        Gate::y(),
        Gate::z(),
        Gate::s(),
        Gate::sdg(),
        Gate::t(),
        Gate::tdg(),
        Gate::rx(angle(rng)),
        Gate::ry(angle(rng)),
        Gate::rz(angle(rng)),
        Gate::phase(angle(rng)),
        Gate::u3(angle(rng), angle(rng), angle(rng)),
        Gate::cnot(),
        Gate::cz(),
        Gate::swap(),
        Gate::iswap(),
        Gate::iswap_dg(),
        Gate::crx(angle(rng)),
        Gate::cry(angle(rng)),
        Gate::crz(angle(rng)),
        Gate::toffoli(),
        Gate::ccz(),
        Gate::unitary1q(m1),
        Gate::unitary2q(m2),
        Gate::unitary_kq(2, random_unitary(4, rng)),
        Gate::unitary1q_diag(std::polar(1.0, d0), std::polar(1.0, d1)),
        Gate::unitary_kq(1, random_unitary(2, rng)),
        Gate::unitary_kq(3, random_unitary(8, rng)),
    };
}

// ---- kinds, names, classes ----

TEST(GateKinds, OrderNamesAndArity) {
    std::mt19937_64 rng(1);
    std::vector<Gate> gates = gates_of_every_kind(rng);
    const char* names[] = {"H",       "X",   "Y",   "Z",         "S",         "Sdg",       "T",
                           "Tdg",     "Rx",  "Ry",  "Rz",        "Phase",     "U3",        "Cnot",
                           "Cz",      "Swap", "Iswap", "IswapDg", "CRx",      "CRy",       "CRz",
                           "Toffoli", "Ccz", "Unitary1q", "Unitary2q", "UnitaryKq", "Unitary1qDiag"};
    std::size_t arity[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 1, 2, 2, 1};
    ASSERT_EQ(std::size(names), GATE_KIND_COUNT);
    ASSERT_EQ(std::size(arity), GATE_KIND_COUNT);
    for (std::size_t i = 0; i < GATE_KIND_COUNT; ++i) {
        EXPECT_EQ(static_cast<std::size_t>(gates[i].kind()), i);
        EXPECT_EQ(gates[i].name(), names[i]);
        EXPECT_EQ(gates[i].arity(), arity[i]) << names[i];
    }
    EXPECT_EQ(gates[27].arity(), 1u);
    EXPECT_EQ(gates[28].arity(), 3u);
    EXPECT_EQ(gates[28].kq_width(), 3u);
    EXPECT_EQ(gates[12].num_params(), 3u);
    EXPECT_EQ(gates[0].num_params(), 0u);
    EXPECT_EQ(gates[23].num_params(), 0u);
}

TEST(GateKinds, ClassMasksMatchTheKindLists) {
    using K = GateKind;
    auto mask_of = [](std::initializer_list<K> kinds) {
        std::uint32_t m = 0;
        for (K k : kinds) {
            m |= std::uint32_t{1} << static_cast<unsigned>(k);
        }
        return m;
    };
    EXPECT_EQ(CLIFFORD_KINDS,
              mask_of({K::H, K::X, K::Y, K::Z, K::S, K::Sdg, K::Cnot, K::Cz, K::Swap, K::Iswap, K::IswapDg}));
    EXPECT_EQ(DIAGONAL_KINDS, mask_of({K::Z, K::S, K::Sdg, K::T, K::Tdg, K::Rz, K::Phase, K::Cz, K::CRz, K::Ccz,
                                       K::Unitary1qDiag}));
    EXPECT_EQ(ONE_QUBIT_KINDS, mask_of({K::H, K::X, K::Y, K::Z, K::S, K::Sdg, K::T, K::Tdg, K::Rx, K::Ry, K::Rz,
                                        K::Phase, K::U3, K::Unitary1q, K::Unitary1qDiag}));
    EXPECT_EQ(TWO_QUBIT_KINDS,
              mask_of({K::Cnot, K::Cz, K::Swap, K::Iswap, K::IswapDg, K::CRx, K::CRy, K::CRz, K::Unitary2q}));
}

TEST(GateKinds, ClassesDependOnTheKindAlone) {
    EXPECT_FALSE(Gate::rz(0.0).is_clifford());
    EXPECT_TRUE(Gate::rz(0.0).is_diagonal());
    EXPECT_TRUE(Gate::unitary1q_diag(Complex(1, 0), Complex(0, 1)).is_diagonal());
    EXPECT_FALSE(Gate::unitary1q({Complex(1, 0), 0.0, 0.0, Complex(1, 0)}).is_diagonal());
    EXPECT_TRUE(Gate::unitary1q({Complex(1, 0), 0.0, 0.0, Complex(1, 0)}).is_one_qubit());
    EXPECT_TRUE(Gate::unitary1q_diag(1.0, 1.0).is_one_qubit());
    for (std::uint8_t k : {1, 2, 3}) {
        Gate g = Gate::unitary_kq(k, std::vector<Complex>(std::size_t{1} << (2 * k)));
        EXPECT_FALSE(g.is_clifford() || g.is_diagonal() || g.is_one_qubit() || g.is_two_qubit()) << int(k);
    }
    EXPECT_FALSE(Gate::toffoli().is_two_qubit());
    EXPECT_TRUE(Gate::ccz().is_diagonal());
}

TEST(GateKinds, DiagonalKindsHaveDiagonalMatrices) {
    std::mt19937_64 rng(2);
    for (const Gate& g : gates_of_every_kind(rng)) {
        if (g.kind() == GateKind::UnitaryKq || g.kind() == GateKind::Unitary1q || g.kind() == GateKind::Unitary2q) {
            continue;  // random payloads: not diagonal whatever the class says
        }
        Dense m = dense_of(g);
        bool diagonal = true;
        for (std::size_t i = 0; i < m.dim; ++i) {
            for (std::size_t j = 0; j < m.dim; ++j) {
                diagonal = diagonal && (i == j || m.at(i, j) == Complex(0.0, 0.0));
            }
        }
        EXPECT_EQ(diagonal, g.is_diagonal()) << g.name();
    }
}

// Does u (on n = 1 or 2 qubits) map every Pauli product to a Pauli product,
// up to a phase, under conjugation? That is what makes a gate Clifford.
bool maps_paulis_to_paulis(const Dense& u, std::size_t n) {
    const Dense I{2, {1.0, 0.0, 0.0, 1.0}};
    const Dense X{2, {0.0, 1.0, 1.0, 0.0}};
    const Dense Y{2, {0.0, Complex(0, -1), Complex(0, 1), 0.0}};
    const Dense Z{2, {1.0, 0.0, 0.0, -1.0}};
    const std::vector<Dense> one = {I, X, Y, Z};
    auto kron = [](const Dense& a, const Dense& b) {
        Dense out{a.dim * b.dim, std::vector<Complex>(a.a.size() * b.a.size())};
        for (std::size_t i = 0; i < out.dim; ++i) {
            for (std::size_t j = 0; j < out.dim; ++j) {
                out.a[i * out.dim + j] = a.at(i / b.dim, j / b.dim) * b.at(i % b.dim, j % b.dim);
            }
        }
        return out;
    };
    std::vector<Dense> paulis = one;
    if (n == 2) {
        paulis.clear();
        for (const Dense& a : one) {
            for (const Dense& b : one) {
                paulis.push_back(kron(a, b));
            }
        }
    }
    // Is m = phase · p for some Pauli product p and unit phase?
    auto is_pauli_up_to_phase = [&](const Dense& m) {
        for (const Dense& p : paulis) {
            // Tr(p·m)/dim is the phase when m is a multiple of p.
            Dense pm = multiply(p, m);
            Complex trace = 0.0;
            for (std::size_t i = 0; i < pm.dim; ++i) {
                trace += pm.at(i, i);
            }
            Complex phase = trace / static_cast<double>(m.dim);
            if (std::abs(std::abs(phase) - 1.0) < 1e-12) {
                return true;
            }
        }
        return false;
    };
    bool maps_all = true;
    for (const Dense& p : paulis) {
        maps_all = maps_all && is_pauli_up_to_phase(multiply(multiply(u, p), adjoint(u)));
    }
    return maps_all;
}

TEST(GateKinds, CliffordKindsMapPaulisToPaulis) {
    std::mt19937_64 rng(3);
    for (const Gate& g : gates_of_every_kind(rng)) {
        if (!g.is_one_qubit() && !g.is_two_qubit()) {
            continue;
        }
        EXPECT_EQ(maps_paulis_to_paulis(dense_of(g), g.arity()), g.is_clifford()) << g.name();
    }
}

bool is_diagonal(const Dense& m) {
    for (std::size_t i = 0; i < m.dim; ++i) {
        for (std::size_t j = 0; j < m.dim; ++j) {
            if (i != j && m.at(i, j) != Complex(0.0, 0.0)) return false;
        }
    }
    return true;
}

// Each angle-carrying row against the matrices its kind produces, for random
// angles: width, unitarity, the diagonal and Clifford flags, and the declared
// inverse kind (with the angles negated; U3 also swaps phi and lam) undoing it.
// The matrix kinds are covered with their payloads by the tests around.
TEST(GateTable, EveryRowAgreesWithItsMatrices) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> angle(-4.0 * PI, 4.0 * PI);
    for (const GateRow& row : GATE_TABLE) {
        SCOPED_TRACE(std::string(row.name));
        EXPECT_EQ(&gate_kind_row(row.kind), &row);
        EXPECT_EQ(gate_kind_name(row.kind), row.name);
        if (has_flag(row, MATRIX)) {
            continue;
        }
        for (int round = 0; round < 20; ++round) {
            std::vector<double> angles(row.params);
            for (double& a : angles) a = angle(rng);
            std::vector<double> undo = angles;
            if (row.params == 3) undo = {angles[0], angles[2], angles[1]};
            for (double& a : undo) a = -a;
            const Gate g = Gate::with_angles(row.kind, angles);
            EXPECT_EQ(g.arity(), row.targets);
            EXPECT_EQ(g.num_params(), row.params);
            const Dense u = dense_of(g);
            ASSERT_EQ(u.dim, std::size_t{1} << row.targets);
            EXPECT_LT(distance_from_identity(multiply(u, adjoint(u))), 1e-12);
            EXPECT_EQ(is_diagonal(u), has_flag(row, DIAGONAL));
            const Dense inverse = dense_of(Gate::with_angles(row.inverse, undo));
            EXPECT_LT(distance_from_identity(multiply(u, inverse)), 1e-12);
            if (row.targets <= 2) {
                EXPECT_EQ(maps_paulis_to_paulis(u, row.targets), has_flag(row, CLIFFORD));
            }
        }
    }
}

// ---- matrices ----

TEST(GateMatrixTest, EveryKindIsUnitaryAndUndoneByItsInverse) {
    std::mt19937_64 rng(4);
    for (int round = 0; round < 50; ++round) {
        for (const Gate& g : gates_of_every_kind(rng)) {
            Dense u = dense_of(g);
            ASSERT_EQ(u.dim, std::size_t{1} << g.arity()) << g.name();
            EXPECT_LT(distance_from_identity(multiply(u, adjoint(u))), 1e-12) << g.name();
            Gate inv = g.inverse();
            EXPECT_EQ(inv.arity(), g.arity());
            EXPECT_LT(distance_from_identity(multiply(u, dense_of(inv))), 1e-12) << g.name();
            EXPECT_LT(distance_from_identity(multiply(dense_of(inv), u)), 1e-12) << g.name();
        }
    }
}

TEST(GateMatrixTest, FixedEntries) {
    const double r = 0.7071067811865476;
    EXPECT_EQ(*Gate::h().matrix(), GateMatrix(GateMatrix::M2{r, r, r, -r}));
    auto t = Gate::t().matrix()->m2();
    EXPECT_EQ(t[3].real(), 0.7071067811865476);
    EXPECT_EQ(t[3].imag(), 0.7071067811865475);
    auto tdg = Gate::tdg().matrix()->m2();
    EXPECT_EQ(tdg[3], Complex(0.7071067811865476, -0.7071067811865475));
    EXPECT_EQ(Gate::y().matrix()->m2()[1], Complex(0, -1));
    EXPECT_EQ(Gate::y().matrix()->m2()[2], Complex(0, 1));
    EXPECT_EQ(Gate::s().matrix()->m2()[3], Complex(0, 1));
    EXPECT_EQ(Gate::sdg().matrix()->m2()[3], Complex(0, -1));
    auto iswap = Gate::iswap().matrix()->m4();
    EXPECT_EQ(iswap[1 * 4 + 2], Complex(0, 1));
    EXPECT_EQ(iswap[2 * 4 + 1], Complex(0, 1));
    EXPECT_EQ(Gate::iswap_dg().matrix()->m4()[1 * 4 + 2], Complex(0, -1));
    auto swap = Gate::swap().matrix()->m4();
    EXPECT_EQ(swap[1 * 4 + 2], Complex(1, 0));
    EXPECT_EQ(swap[1 * 4 + 1], Complex(0, 0));
    EXPECT_EQ(Gate::cz().matrix()->m4()[15], Complex(-1, 0));
    EXPECT_EQ(Gate::ccz().matrix()->m8()[63], Complex(-1, 0));
    EXPECT_EQ(Gate::ccz().matrix()->m8()[54], Complex(1, 0));
}

TEST(GateMatrixTest, RotationsUseTheHalfAngle) {
    const double theta = 0.8;
    const double c = std::cos(theta * 0.5);
    const double s = std::sin(theta * 0.5);
    EXPECT_EQ(*Gate::rx(theta).matrix(),
              GateMatrix(GateMatrix::M2{Complex(c, 0), Complex(0, -s), Complex(0, -s), Complex(c, 0)}));
    EXPECT_EQ(*Gate::ry(theta).matrix(),
              GateMatrix(GateMatrix::M2{Complex(c, 0), Complex(-s, 0), Complex(s, 0), Complex(c, 0)}));
    EXPECT_EQ(*Gate::rz(theta).matrix(), GateMatrix(GateMatrix::M2{Complex(c, -s), 0.0, 0.0, Complex(c, s)}));
    // Phase takes the full angle.
    EXPECT_EQ(*Gate::phase(theta).matrix(),
              GateMatrix(GateMatrix::M2{1.0, 0.0, 0.0, Complex(std::cos(theta), std::sin(theta))}));
    // Rz(θ) = e^(−iθ/2)·Phase(θ).
    Dense rz = dense_of(Gate::rz(theta));
    Dense phase = dense_of(Gate::phase(theta));
    for (auto& e : phase.a) {
        e *= std::polar(1.0, -theta / 2);
    }
    EXPECT_LT(distance(rz, phase), 1e-15);
}

TEST(GateMatrixTest, ControlledRotationsHoldTheRotationInTheLowerBlock) {
    const double theta = -2.3;
    for (auto [controlled, plain] : {std::pair{Gate::crx(theta), Gate::rx(theta)},
                                     std::pair{Gate::cry(theta), Gate::ry(theta)},
                                     std::pair{Gate::crz(theta), Gate::rz(theta)}}) {
        GateMatrix m = *controlled.matrix();
        GateMatrix::M2 block = plain.matrix()->m2();
        for (std::size_t i = 0; i < 4; ++i) {
            for (std::size_t j = 0; j < 4; ++j) {
                Complex expected = (i < 2 || j < 2) ? Complex(i == j ? 1.0 : 0.0, 0.0) : block[(i - 2) * 2 + (j - 2)];
                EXPECT_EQ(m(i, j), expected) << controlled.name() << " " << i << "," << j;
            }
        }
    }
}

TEST(GateMatrixTest, U3AgreesWithHAndPhase) {
    Dense u3 = dense_of(Gate::u3(PI / 2, 0.0, PI));
    EXPECT_LT(distance(u3, dense_of(Gate::h())), 1e-15);
    for (double lam : {0.0, 0.3, -1.7, 3.0, 1e6}) {
        EXPECT_EQ(*Gate::u3(0.0, 0.0, lam).matrix(), *Gate::phase(lam).matrix()) << lam;
    }
    // The general form against polar exponentials.
    const double theta = 1.1, phi = -0.4, lam = 2.5;
    Dense g = dense_of(Gate::u3(theta, phi, lam));
    Dense expected{2,
                   {std::cos(theta / 2), -std::sin(theta / 2) * std::polar(1.0, lam),
                    std::sin(theta / 2) * std::polar(1.0, phi), std::cos(theta / 2) * std::polar(1.0, phi + lam)}};
    EXPECT_LT(distance(g, expected), 1e-15);
}

// Applies a gate matrix to a basis state of n qubits with the given targets,
// the first target being the most significant bit of the matrix index.
std::vector<Complex> apply_to_basis(const GateMatrix& m, std::span<const Qubit> targets, std::size_t n,
                                    std::size_t basis) {
    std::vector<Complex> out(std::size_t{1} << n);
    std::size_t k = targets.size();
    std::size_t col = 0;
    for (std::size_t t = 0; t < k; ++t) {
        col = col * 2 + ((basis >> targets[t]) & 1);
    }
    for (std::size_t row = 0; row < m.dim(); ++row) {
        std::size_t index = basis;
        for (std::size_t t = 0; t < k; ++t) {
            std::size_t bit = (row >> (k - 1 - t)) & 1;
            index = (index & ~(std::size_t{1} << targets[t])) | (bit << targets[t]);
        }
        out[index] += m(row, col);
    }
    return out;
}

std::size_t image_of_basis(const Gate& g, std::vector<Qubit> targets, std::size_t n, std::size_t basis) {
    std::vector<Complex> out = apply_to_basis(*g.matrix(), targets, n, basis);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] == Complex(1.0, 0.0)) {
            return i;
        }
    }
    return SIZE_MAX;
}

TEST(GateMatrixTest, FirstTargetIsTheMostSignificantBit) {
    // Basis index bit q = qubit q. Cnot (0, 1) flips qubit 1 where qubit 0 is 1.
    EXPECT_EQ(image_of_basis(Gate::cnot(), {0, 1}, 2, 0b01), 0b11u);
    EXPECT_EQ(image_of_basis(Gate::cnot(), {0, 1}, 2, 0b10), 0b10u);
    // With (1, 0) it flips qubit 0 where qubit 1 is 1.
    EXPECT_EQ(image_of_basis(Gate::cnot(), {1, 0}, 2, 0b10), 0b11u);
    EXPECT_EQ(image_of_basis(Gate::cnot(), {1, 0}, 2, 0b01), 0b01u);
    // Toffoli: the first two targets are the controls.
    for (std::size_t basis = 0; basis < 8; ++basis) {
        bool both = (basis & 0b011) == 0b011;
        EXPECT_EQ(image_of_basis(Gate::toffoli(), {0, 1, 2}, 3, basis), both ? basis ^ 0b100 : basis);
        bool both_12 = (basis & 0b110) == 0b110;
        EXPECT_EQ(image_of_basis(Gate::toffoli(), {2, 1, 0}, 3, basis), both_12 ? basis ^ 0b001 : basis);
    }
}

TEST(GateMatrixTest, NonFiniteAndSymbolicParameters) {
    EXPECT_EQ(Gate::rx(NaN).matrix().error(), GateError::NonFiniteParam);
    EXPECT_EQ(Gate::phase(INF).matrix().error(), GateError::NonFiniteParam);
    EXPECT_EQ(Gate::crz(-INF).matrix().error(), GateError::NonFiniteParam);
    EXPECT_EQ(Gate::u3(0.0, -INF, 0.0).matrix().error(), GateError::NonFiniteParam);
    EXPECT_EQ(Gate::u3(0.0, 0.0, -NaN).matrix().error(), GateError::NonFiniteParam);
    EXPECT_TRUE(Gate::rx(1e300).matrix().has_value());
    EXPECT_TRUE(Gate::rx(std::numeric_limits<double>::max()).matrix().has_value());
    EXPECT_TRUE(Gate::rx(std::numeric_limits<double>::denorm_min()).matrix().has_value());
    // Parameters are checked in declared order; the first failure decides.
    EXPECT_EQ(Gate::u3(Param::symbolic(7), Param::concrete(NaN), Param::concrete(0)).matrix().error(),
              GateError::SymbolicParam);
    EXPECT_EQ(Gate::u3(Param::concrete(0), Param::concrete(NaN), Param::symbolic(1)).matrix().error(),
              GateError::NonFiniteParam);
    EXPECT_EQ(Gate::cry(Param::symbolic(0)).matrix().error(), GateError::SymbolicParam);
}

TEST(GateMatrixTest, UnitaryKqIsUnrepresentableAtEveryWidth) {
    for (std::uint8_t k : {1, 2, 3, 4}) {
        Gate g = Gate::unitary_kq(k, std::vector<Complex>(std::size_t{1} << (2 * k), Complex(1.0, 0.0)));
        EXPECT_EQ(g.matrix().error(), GateError::Unrepresentable) << int(k);
        EXPECT_EQ(g.arity(), k);
    }
    EXPECT_EQ(gate_error_name(GateError::Unrepresentable), "Unrepresentable");
}

TEST(GateMatrixTest, StoredMatricesAreNotValidated) {
    std::array<Complex, 4> m = {Complex(NaN, 0), Complex(2, 0), Complex(INF, 1), Complex(0, 0)};
    auto got = Gate::unitary1q(m).matrix();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->m2()[1], Complex(2, 0));
    EXPECT_TRUE(std::isnan(got->m2()[0].real()));
    auto diag = Gate::unitary1q_diag(Complex(3, 4), Complex(5, 6)).matrix();
    EXPECT_EQ(*diag, GateMatrix(GateMatrix::M2{Complex(3, 4), 0.0, 0.0, Complex(5, 6)}));
}

TEST(GateMatrixTest, AccessorsCheckSizesAndIndices) {
    GateMatrix m = *Gate::cnot().matrix();
    EXPECT_EQ(m.dim(), 4u);
    EXPECT_EQ(m.entries().size(), 16u);
    EXPECT_EQ(m(2, 3), Complex(1, 0));
    EXPECT_THROW(m(4, 0), InvariantError);
    EXPECT_THROW(m(0, 4), InvariantError);
    EXPECT_THROW(m.m2(), InvariantError);
    EXPECT_THROW(m.m8(), InvariantError);
    EXPECT_EQ(Gate::toffoli().matrix()->dim(), 8u);
    EXPECT_EQ(Gate::h().matrix()->dim(), 2u);
    EXPECT_THROW(Gate::h().param(0), InvariantError);
    EXPECT_THROW(Gate::u3(1, 2, 3).param(3), InvariantError);
    EXPECT_EQ(Gate::u3(1, 2, 3).param(2), Param::concrete(3));
}

// ---- inverses ----

TEST(GateInverse, NamedPairs) {
    EXPECT_EQ(Gate::s().inverse(), Gate::sdg());
    EXPECT_EQ(Gate::sdg().inverse(), Gate::s());
    EXPECT_EQ(Gate::t().inverse(), Gate::tdg());
    EXPECT_EQ(Gate::tdg().inverse(), Gate::t());
    EXPECT_EQ(Gate::iswap().inverse(), Gate::iswap_dg());
    EXPECT_EQ(Gate::iswap_dg().inverse(), Gate::iswap());
    for (const Gate& g : {Gate::h(), Gate::x(), Gate::y(), Gate::z(), Gate::cnot(), Gate::cz(), Gate::swap(),
                          Gate::toffoli(), Gate::ccz()}) {
        EXPECT_EQ(g.inverse(), g) << g.name();
    }
}

TEST(GateInverse, AnglesAreNegated) {
    Gate inv = Gate::rx(0.0).inverse();
    EXPECT_TRUE(std::signbit(inv.param(0).value));
    EXPECT_EQ(inv, Gate::rx(0.0));
    EXPECT_EQ(Gate::u3(1, 2, 3).inverse(), Gate::u3(-1, -3, -2));
    EXPECT_EQ(Gate::crz(0.5).inverse(), Gate::crz(-0.5));
    EXPECT_EQ(Gate::phase(-INF).inverse(), Gate::phase(INF));
    // A NaN angle is negated too (and, being NaN, equals nothing).
    Gate nan_inv = Gate::ry(NaN).inverse();
    EXPECT_TRUE(std::isnan(nan_inv.param(0).value));
    EXPECT_EQ(std::signbit(nan_inv.param(0).value), !std::signbit(NaN));
}

TEST(GateInverse, MatrixPayloads) {
    Gate diag = Gate::unitary1q_diag(Complex(1, 0), Complex(0, 1)).inverse();
    EXPECT_EQ(diag, Gate::unitary1q_diag(Complex(1, 0), Complex(0, -1)));

    // Entry (j, i) of the inverse is the conjugate of entry (i, j).
    std::vector<Complex> m(16);
    for (std::size_t i = 0; i < 16; ++i) {
        m[i] = Complex(static_cast<double>(i), 100.0 + static_cast<double>(i));
    }
    Gate kq = Gate::unitary_kq(2, m);
    Gate inv = kq.inverse();
    EXPECT_EQ(inv.kq_width(), 2u);
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            EXPECT_EQ(inv.matrix_data()[j * 4 + i], std::conj(m[i * 4 + j]));
        }
    }
    std::array<Complex, 16> m2;
    std::copy(m.begin(), m.end(), m2.begin());
    Gate u2 = Gate::unitary2q(m2);
    EXPECT_EQ(u2.inverse().matrix_data()[1], std::conj(m[4]));
    EXPECT_NE(u2.inverse().matrix_data().data(), u2.matrix_data().data());
}

TEST(GateInverse, InverseOfInverseIsTheGate) {
    std::mt19937_64 rng(5);
    for (const Gate& g : gates_of_every_kind(rng)) {
        EXPECT_EQ(g.inverse().inverse(), g) << g.name();
    }
}

TEST(GateInverse, SymbolicParametersHaveNoInverse) {
    EXPECT_THROW(Gate::rx(Param::symbolic(3)).inverse(), InvariantError);
    EXPECT_THROW(Gate::u3(Param::concrete(1), Param::concrete(2), Param::symbolic(0)).inverse(), InvariantError);
}

// ---- construction and equality ----

TEST(GateConstruction, UnitaryKqKeepsTheEntryCountInvariant) {
    EXPECT_THROW(Gate::unitary_kq(2, std::vector<Complex>(15)), InvariantError);
    EXPECT_THROW(Gate::unitary_kq(2, std::vector<Complex>(17)), InvariantError);
    EXPECT_THROW(Gate::unitary_kq(3, std::vector<Complex>(16)), InvariantError);
    EXPECT_THROW(Gate::unitary_kq(0, std::vector<Complex>(1)), InvariantError);
    EXPECT_THROW(Gate::unitary_kq(255, std::vector<Complex>(4)), InvariantError);
    EXPECT_EQ(Gate::unitary_kq(3, std::vector<Complex>(64)).matrix_data().size(), 64u);
}

TEST(GateConstruction, WithAnglesBuildsEveryAngleOnlyKind) {
    EXPECT_EQ(Gate::with_angles(GateKind::H, {}), Gate::h());
    EXPECT_EQ(Gate::with_angles(GateKind::IswapDg, {}), Gate::iswap_dg());
    EXPECT_EQ(Gate::with_angles(GateKind::Ccz, {}), Gate::ccz());
    const double one[] = {0.25};
    EXPECT_EQ(Gate::with_angles(GateKind::CRy, one), Gate::cry(0.25));
    EXPECT_EQ(Gate::with_angles(GateKind::Phase, one), Gate::phase(0.25));
    const double three[] = {1.0, 2.0, 3.0};
    EXPECT_EQ(Gate::with_angles(GateKind::U3, three), Gate::u3(1.0, 2.0, 3.0));
    for (const GateRow& row : GATE_TABLE) {
        if (has_flag(row, MATRIX)) continue;
        const std::vector<double> angles(row.params, 0.5);
        EXPECT_EQ(Gate::with_angles(row.kind, angles).kind(), row.kind);
    }
    // A wrong angle count or a matrix-carrying kind is a caller's bug, not a gate.
    EXPECT_THROW(Gate::with_angles(GateKind::Rx, {}), nivra::InvariantError);
    EXPECT_THROW(Gate::with_angles(GateKind::H, one), nivra::InvariantError);
    EXPECT_THROW(Gate::with_angles(GateKind::Unitary1q, {}), nivra::InvariantError);
}

TEST(GateEquality, StructuralAndExact) {
    EXPECT_EQ(Gate::rx(0.0), Gate::rx(-0.0));
    EXPECT_NE(Gate::rx(NaN), Gate::rx(NaN));
    EXPECT_NE(Gate::rx(1.0), Gate::ry(1.0));
    EXPECT_NE(Gate::rx(1.0), Gate::rx(std::nextafter(1.0, 2.0)));
    EXPECT_EQ(Gate::rx(Param::symbolic(4)), Gate::rx(Param::symbolic(4)));
    EXPECT_NE(Gate::rx(Param::symbolic(4)), Gate::rx(Param::symbolic(5)));
    // A symbol never equals an angle, even one whose bits look alike.
    EXPECT_NE(Gate::rx(Param::symbolic(0)), Gate::rx(0.0));
    EXPECT_NE(Gate::u3(1, 2, 3), Gate::u3(1, 3, 2));

    std::array<Complex, 4> a = {Complex(1, 0), Complex(0, 0), Complex(0, 0), Complex(1, 0)};
    std::array<Complex, 4> b = {Complex(1, 0), Complex(-0.0, 0), Complex(0, -0.0), Complex(1, 0)};
    EXPECT_EQ(Gate::unitary1q(a), Gate::unitary1q(b));
    b[3] = Complex(1, 1e-300);
    EXPECT_NE(Gate::unitary1q(a), Gate::unitary1q(b));
    a[0] = Complex(NaN, 0);
    EXPECT_NE(Gate::unitary1q(a), Gate::unitary1q(a));
    EXPECT_NE(Gate::unitary1q_diag(1.0, 1.0), Gate::unitary1q({1.0, 0.0, 0.0, 1.0}));
    // Widths differ although the entry lists are equal in length.
    EXPECT_NE(Gate::unitary_kq(1, std::vector<Complex>(4)), Gate::unitary2q(std::array<Complex, 16>{}));
    EXPECT_EQ(Gate::unitary_kq(2, std::vector<Complex>(16)), Gate::unitary_kq(2, std::vector<Complex>(16)));
    EXPECT_NE(Gate::unitary_kq(2, std::vector<Complex>(16)), Gate::unitary_kq(1, std::vector<Complex>(4)));
}

TEST(GateInstanceTest, CopiesAreDeepAndIndependent) {
    std::vector<Complex> m(64, Complex(0.5, -0.5));
    GateInstance a{Gate::unitary_kq(3, m), {4, 1, 9}, {2}};
    for (Qubit q = 10; q < 20; ++q) {
        a.controls.push_back(q);  // spills to the heap
    }
    GateInstance b = a;
    EXPECT_EQ(b, a);
    EXPECT_NE(b.gate.matrix_data().data(), a.gate.matrix_data().data());
    EXPECT_NE(b.controls.data(), a.controls.data());
    b.targets[0] = 5;
    EXPECT_EQ(a.targets[0], 4u);
    EXPECT_NE(b, a);
    b = a;
    b.gate = b.gate.inverse();
    EXPECT_EQ(a.gate.matrix_data()[1], Complex(0.5, -0.5));
    EXPECT_EQ(b.gate.matrix_data()[1], Complex(0.5, 0.5));
}

}  // namespace
}  // namespace nivra
