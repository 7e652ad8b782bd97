#include "nivra/sv/noise/error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "nivra/core/error.h"

namespace nivra::sv::noise {
namespace {

using Terms = std::vector<std::pair<std::string, double>>;

// The InvariantError text of a builder call, or "ok".
template <class F>
std::string failure_of(F&& build) {
    try {
        build();
    } catch (const InvariantError& e) {
        return e.what();
    }
    return "ok";
}

const PauliMixture& mixture_of(const QuantumError& e) {
    EXPECT_EQ(e.kind(), QuantumError::Kind::PauliMixture);
    return *e.as_mixture();
}

std::vector<double> weights_of(const QuantumError& e) {
    std::vector<double> w;
    for (const PauliTerm& t : mixture_of(e).terms) {
        w.push_back(t.weight);
    }
    return w;
}

// Σ_k K_k† K_k, row-major.
std::array<Complex, 4> kraus_completeness(const Kraus& kraus) {
    std::array<Complex, 4> sum{};
    for (const KrausOp& k : kraus.ops) {
        for (int r = 0; r < 2; ++r) {
            for (int c = 0; c < 2; ++c) {
                for (int m = 0; m < 2; ++m) {
                    sum[2 * r + c] += std::conj(k[2 * m + r]) * k[2 * m + c];
                }
            }
        }
    }
    return sum;
}

TEST(PauliError, NormalisesWeightsInInputOrder) {
    const QuantumError e = pauli_error(Terms{{"X", 2.0}, {"Z", 6.0}});
    EXPECT_EQ(e.arity(), 1);
    const PauliMixture& m = mixture_of(e);
    ASSERT_EQ(m.terms.size(), 2u);
    EXPECT_EQ(m.terms[0], (PauliTerm{0.25, {Pauli::X}}));
    EXPECT_EQ(m.terms[1], (PauliTerm{0.75, {Pauli::Z}}));

    // Zero weights and repeated labels stay separate terms.
    const QuantumError r = pauli_error(Terms{{"I", 1.0}, {"Y", 0.0}, {"I", 1.0}});
    EXPECT_EQ(weights_of(r), (std::vector<double>{0.5, 0.0, 0.5}));
    EXPECT_EQ(mixture_of(r).terms[2].factors[0], Pauli::I);
}

TEST(PauliError, RefusesEmptyNonPositiveSumsBeforeLabels) {
    const std::string sum = "pauli_error weights must sum to > 0";
    EXPECT_EQ(failure_of([] { pauli_error(Terms{}); }), sum);
    EXPECT_EQ(failure_of([] { pauli_error(Terms{{"X", 0.0}}); }), sum);
    EXPECT_EQ(failure_of([] { pauli_error(Terms{{"X", -0.0}, {"Z", -0.0}}); }), sum);
    EXPECT_EQ(failure_of([] { pauli_error(Terms{{"X", 1.0}, {"Z", -1.0}}); }), sum);
    EXPECT_EQ(failure_of([] { pauli_error(Terms{{"X", std::nan("")}}); }), sum);
    // The sum is tested before any label is looked at.
    EXPECT_EQ(failure_of([] { pauli_error(Terms{{"bogus", 0.0}}); }), sum);
}

TEST(PauliError, RefusesLabelsOtherThanUpperCaseIXYZ) {
    const std::string tail =
        " is not a single-qubit Pauli (I/X/Y/Z); pauli_error is 1q-only — use depolarizing_error(p, 2) for 2-qubit "
        "noise";
    EXPECT_EQ(failure_of([] { pauli_error(Terms{{"x", 1.0}}); }), "pauli_error label \"x\"" + tail);
    EXPECT_EQ(failure_of([] { pauli_error(Terms{{"X", 1.0}, {"XX", 1.0}}); }), "pauli_error label \"XX\"" + tail);
    EXPECT_EQ(failure_of([] { pauli_error(Terms{{"", 1.0}}); }), "pauli_error label \"\"" + tail);
    EXPECT_EQ(failure_of([] { pauli_error(Terms{{"\"\n", 1.0}}); }), "pauli_error label \"\\\"\\n\"" + tail);
}

TEST(DepolarizingError, WeightsAndTermOrder) {
    EXPECT_EQ(weights_of(depolarizing_error(0.0, 1)), (std::vector<double>{1, 0, 0, 0}));
    EXPECT_EQ(weights_of(depolarizing_error(1.0, 1)), (std::vector<double>(4, 0.25)));
    EXPECT_EQ(weights_of(depolarizing_error(1.0, 2)), (std::vector<double>(16, 0.0625)));

    // The identity weight is evaluated exactly as (p·−3)·0.25 + 1 (no fused multiply-add).
    const double p = 0.3;
    EXPECT_EQ(weights_of(depolarizing_error(p, 1))[0], (p * -3.0) * 0.25 + 1.0);
    EXPECT_EQ(weights_of(depolarizing_error(p, 1))[3], p / 4.0);
    EXPECT_EQ(weights_of(depolarizing_error(p, 2))[0], (p * -15.0) * 0.0625 + 1.0);
    EXPECT_EQ(weights_of(depolarizing_error(p, 2))[15], p / 16.0);

    const QuantumError one_error = depolarizing_error(p, 1);
    const PauliMixture& one = mixture_of(one_error);
    EXPECT_EQ(one.num_qubits, 1);
    for (int a = 0; a < 4; ++a) {
        EXPECT_EQ(one.terms[a].factors, (boost::container::small_vector<Pauli, 2>{static_cast<Pauli>(a)}));
    }
    const QuantumError two_error = depolarizing_error(p, 2);
    const PauliMixture& two = mixture_of(two_error);
    EXPECT_EQ(two.num_qubits, 2);
    ASSERT_EQ(two.terms.size(), 16u);
    for (int a = 0; a < 4; ++a) {
        for (int b = 0; b < 4; ++b) {
            // a (outer) acts on the gate's first target, b on its second.
            EXPECT_EQ(two.terms[4 * a + b].factors,
                      (boost::container::small_vector<Pauli, 2>{static_cast<Pauli>(a), static_cast<Pauli>(b)}));
        }
    }
}

TEST(DepolarizingError, RefusesPOutsideTheUnitIntervalThenTheArity) {
    const std::string p_message = "depolarizing p must be in [0,1]";
    const std::string n_message = "v1 depolarizing is 1q or 2q";
    EXPECT_EQ(failure_of([] { depolarizing_error(-1e-300, 1); }), p_message);
    EXPECT_EQ(failure_of([] { depolarizing_error(1.0000001, 1); }), p_message);
    EXPECT_EQ(failure_of([] { depolarizing_error(std::nan(""), 2); }), p_message);
    EXPECT_EQ(failure_of([] { depolarizing_error(2.0, 3); }), p_message);
    EXPECT_EQ(failure_of([] { depolarizing_error(0.5, 0); }), n_message);
    EXPECT_EQ(failure_of([] { depolarizing_error(0.5, 3); }), n_message);
    EXPECT_EQ(failure_of([] { depolarizing_error(-0.0, 2); }), "ok");
}

TEST(FlipChannels, ExactForms) {
    const QuantumError bit = bit_flip_error(0.1);
    EXPECT_EQ(mixture_of(bit).terms, (std::vector<PauliTerm>{{1.0 - 0.1, {Pauli::I}}, {0.1, {Pauli::X}}}));
    const QuantumError phase = phase_flip_error(0.7);
    EXPECT_EQ(mixture_of(phase).terms, (std::vector<PauliTerm>{{1.0 - 0.7, {Pauli::I}}, {0.7, {Pauli::Z}}}));
    EXPECT_EQ(failure_of([] { bit_flip_error(1.5); }), "bit_flip p must be in [0,1], got 1.5");
    EXPECT_EQ(failure_of([] { phase_flip_error(std::nan("")); }), "phase_flip p must be in [0,1], got NaN");
}

TEST(DampingChannels, ExactFormsAndCompleteness) {
    const double g = 0.3;
    const QuantumError amp_error = amplitude_damping_error(g);
    const Kraus& amp = *amp_error.as_kraus();
    ASSERT_EQ(amp.ops.size(), 2u);
    EXPECT_EQ(amp.ops[0], (KrausOp{Complex(1, 0), Complex(0, 0), Complex(0, 0), Complex(std::sqrt(1.0 - g), 0)}));
    EXPECT_EQ(amp.ops[1], (KrausOp{Complex(0, 0), Complex(std::sqrt(g), 0), Complex(0, 0), Complex(0, 0)}));
    const QuantumError phase_error = phase_damping_error(g);
    const Kraus& phase = *phase_error.as_kraus();
    EXPECT_EQ(phase.ops[0], amp.ops[0]);
    EXPECT_EQ(phase.ops[1], (KrausOp{Complex(0, 0), Complex(0, 0), Complex(0, 0), Complex(std::sqrt(g), 0)}));
    EXPECT_EQ(amplitude_damping_error(g).arity(), 1);

    // Trace preserving: Σ K†K = I for every parameter.
    for (int i = 0; i <= 20; ++i) {
        const double x = i / 20.0;
        for (const QuantumError& e : {amplitude_damping_error(x), phase_damping_error(x)}) {
            const auto sum = kraus_completeness(*e.as_kraus());
            EXPECT_NEAR(std::abs(sum[0] - 1.0), 0.0, 1e-15) << x;
            EXPECT_NEAR(std::abs(sum[1]), 0.0, 1e-15) << x;
            EXPECT_NEAR(std::abs(sum[2]), 0.0, 1e-15) << x;
            EXPECT_NEAR(std::abs(sum[3] - 1.0), 0.0, 1e-15) << x;
        }
    }
    EXPECT_EQ(failure_of([] { amplitude_damping_error(-0.5); }), "gamma must be in [0,1], got -0.5");
    EXPECT_EQ(failure_of([] { phase_damping_error(2.0); }), "lambda must be in [0,1], got 2");
}

TEST(DepolarizingError, WeightsSumToOne) {
    for (int i = 0; i <= 50; ++i) {
        for (std::uint8_t n : {1, 2}) {
            double sum = 0.0;
            for (double w : weights_of(depolarizing_error(i / 50.0, n))) {
                EXPECT_GE(w, 0.0);
                sum += w;
            }
            EXPECT_NEAR(sum, 1.0, 1e-15);
        }
    }
}

TEST(QuantumError, ConstructorsKeepTheShapeInvariants) {
    EXPECT_EQ(failure_of([] { QuantumError::pauli_mixture({{1.0, {Pauli::X}}}, 3); }),
              "QuantumError::pauli_mixture: arity must be 1 or 2");
    EXPECT_EQ(failure_of([] { QuantumError::pauli_mixture({}, 1); }), "QuantumError::pauli_mixture: no terms");
    EXPECT_EQ(failure_of([] { QuantumError::pauli_mixture({{1.0, {Pauli::X}}}, 2); }),
              "QuantumError::pauli_mixture: a term's factor count differs from the arity");
    EXPECT_EQ(failure_of([] { QuantumError::pauli_mixture({{1.0, {static_cast<Pauli>(7)}}}, 1); }),
              "QuantumError::pauli_mixture: unknown Pauli code");
    EXPECT_EQ(failure_of([] { QuantumError::kraus({}); }), "QuantumError::kraus: no operators");
    EXPECT_EQ(QuantumError::pauli_mixture({{1.0, {Pauli::X, Pauli::I}}}, 2).arity(), 2);
}

TEST(ReadoutError, FlipProbabilityIsTheOffDiagonalOfTheTrueBitsRow) {
    const ReadoutError r{{0.9, 0.1, 0.25, 0.75}};
    EXPECT_EQ(r.flip_probability(0), 0.1);
    EXPECT_EQ(r.flip_probability(1), 0.25);
}

TEST(NoiseError, Messages) {
    EXPECT_EQ(NoiseError::from_backend(backend::BackendError::too_many_qubits(29, 28)).message(),
              "requested 29 qubits exceeds backend limit of 28");
    EXPECT_EQ(NoiseError::from_backend(backend::BackendError::invalid_state("num_qubits exceeds platform usize::BITS"))
                  .message(),
              "backend state is invalid: num_qubits exceeds platform usize::BITS");
    EXPECT_EQ(NoiseError::mid_circuit("measure").message(),
              "mid-circuit measure is not supported under noise in v1 (terminal measurement only)");
    EXPECT_EQ(NoiseError::mid_circuit("reset").message(),
              "mid-circuit reset is not supported under noise in v1 (terminal measurement only)");
    EXPECT_EQ(NoiseError::unsupported("tiled-block").message(),
              "instruction tiled-block is not supported under noise in v1");
    EXPECT_EQ(NoiseError::channel_arity_mismatch("H", 2, 1).message(),
              "noise channel acts on 2 qubits but gate `H` has 1 target");
    EXPECT_EQ(NoiseError::channel_arity_mismatch("UnitaryKq", 2, 0).message(),
              "noise channel acts on 2 qubits but gate `UnitaryKq` has 0 targets");
}

}  // namespace
}  // namespace nivra::sv::noise
