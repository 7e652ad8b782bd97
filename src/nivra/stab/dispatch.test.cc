#include "nivra/stab/dispatch.h"

#include <gtest/gtest.h>

#include <numbers>
#include <random>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/stab/dense_reference.test.h"

namespace nivra::stab {
namespace {

using testing::DenseState;
using testing::expect_same_state;
using testing::make_gate;

TEST(Dispatch, EveryCliffordKindMatchesItsMatrix) {
    // Each kind on each ordered pair of qubits, from several random starting
    // states, against the dense reference.
    const std::vector<Gate> one = {Gate::h(), Gate::x(), Gate::y(), Gate::z(), Gate::s(), Gate::sdg()};
    const std::vector<Gate> two = {Gate::cnot(), Gate::cz(), Gate::swap(), Gate::iswap(), Gate::iswap_dg()};
    std::mt19937_64 gen(8);
    for (int start = 0; start < 6; ++start) {
        const std::size_t n = 3;
        std::vector<GateInstance> prefix;
        for (int i = 0; i < 12; ++i) {
            prefix.push_back(testing::random_clifford(n, gen));
        }
        const auto check = [&](const GateInstance& g) {
            Tableau t(n);
            DenseState dense(n);
            for (const GateInstance& p : prefix) {
                ASSERT_TRUE(apply_gate(t, p));
                dense.apply(p);
            }
            ASSERT_TRUE(apply_gate(t, g)) << g.gate.name();
            dense.apply(g);
            SCOPED_TRACE(std::string(g.gate.name()));
            expect_same_state(t, dense);
        };
        for (const Gate& gate : one) {
            for (Qubit q = 0; q < n; ++q) {
                check(make_gate(gate, {q}));
            }
        }
        for (const Gate& gate : two) {
            for (Qubit a = 0; a < n; ++a) {
                for (Qubit b = 0; b < n; ++b) {
                    if (a != b) {
                        check(make_gate(gate, {a, b}));
                    }
                }
            }
        }
    }
}

TEST(Dispatch, NonCliffordKindsAreRefusedByName) {
    const std::vector<std::pair<Gate, std::string_view>> refused = {
        {Gate::t(), "T"},
        {Gate::tdg(), "Tdg"},
        {Gate::rx(0.0), "Rx"},
        {Gate::ry(std::numbers::pi), "Ry"},
        {Gate::rz(std::numbers::pi / 2), "Rz"},
        {Gate::phase(std::numbers::pi), "Phase"},
        {Gate::u3(std::numbers::pi / 2, 0.0, std::numbers::pi), "U3"},
        {Gate::crx(1.0), "CRx"},
        {Gate::cry(1.0), "CRy"},
        {Gate::crz(1.0), "CRz"},
        {Gate::toffoli(), "Toffoli"},
        {Gate::ccz(), "Ccz"},
        {Gate::unitary1q({1, 0, 0, 1}), "Unitary1q"},
        {Gate::unitary2q({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}), "Unitary2q"},
        {Gate::unitary_kq(1, {1, 0, 0, 1}), "UnitaryKq"},
        {Gate::unitary1q_diag(1, 1), "Unitary1qDiag"},
    };
    Tableau t(4);
    const Tableau before = t;
    for (const auto& [gate, name] : refused) {
        GateInstance g{gate, {}, {}};
        for (std::size_t i = 0; i < gate.arity(); ++i) {
            g.targets.push_back(static_cast<Qubit>(i));
        }
        const auto result = apply_gate(t, g);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), StabError::unsupported_gate(name));
        EXPECT_EQ(check_gate(4, g).error(), StabError::unsupported_gate(name));
    }
    EXPECT_EQ(t, before);
    EXPECT_EQ(StabError::unsupported_gate("Rz").message(), "gate `Rz` is not supported by this backend");
}

TEST(Dispatch, ExternalControlsAreRefusedWhateverTheKind) {
    Tableau t(3);
    GateInstance cnot = make_gate(Gate::cnot(), {0, 1});
    cnot.controls.push_back(2);
    EXPECT_EQ(apply_gate(t, cnot).error(), StabError::unsupported_gate("Cnot"));
    // Even an out-of-range control does not change which error comes first.
    GateInstance h = make_gate(Gate::h(), {9});
    h.controls.push_back(10);
    EXPECT_EQ(apply_gate(t, h).error(), StabError::unsupported_gate("H"));
}

TEST(Dispatch, QubitChecksBeforeAnyChange) {
    Tableau t(3);
    ASSERT_TRUE(t.h(1));
    const Tableau before = t;
    EXPECT_EQ(apply_gate(t, make_gate(Gate::cz(), {0, 0})).error(), StabError::duplicate_qubit(0));
    EXPECT_EQ(apply_gate(t, make_gate(Gate::swap(), {1, 1})).error(), StabError::duplicate_qubit(1));
    EXPECT_EQ(apply_gate(t, make_gate(Gate::cz(), {1, 5})).error(), StabError::qubit_out_of_range(5, 3));
    EXPECT_EQ(apply_gate(t, make_gate(Gate::swap(), {4, 5})).error(), StabError::qubit_out_of_range(4, 3));
    EXPECT_EQ(apply_gate(t, make_gate(Gate::iswap(), {0, 3})).error(), StabError::qubit_out_of_range(3, 3));
    EXPECT_EQ(apply_gate(t, make_gate(Gate::sdg(), {3})).error(), StabError::qubit_out_of_range(3, 3));
    t.to_qubit_major();
    EXPECT_EQ(t, [&] {
        Tableau b = before;
        b.to_qubit_major();
        return b;
    }());
    // An instance with fewer targets than its kind needs breaks the circuit's
    // invariant: an internal failure, not a read past the list.
    EXPECT_THROW((void)apply_gate(t, make_gate(Gate::cnot(), {0})), InvariantError);
}

}  // namespace
}  // namespace nivra::stab
