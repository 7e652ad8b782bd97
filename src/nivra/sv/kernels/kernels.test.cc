#include "nivra/sv/kernels/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>

#include "nivra/core/error.h"
#include "nivra/sv/kernels/diagonal_phase.h"
#include "nivra/sv/kernels/permute.h"
#include "nivra/sv/kernels/reference.h"
#include "nivra/sv/kernels/simd.h"
#include "nivra/sv/kernels/tiled.h"
#include "nivra/sv/kernels/tuning.h"
#include "nivra/sv/test_util.h"

namespace nivra::sv::kernels {
namespace {

namespace t = nivra::sv::test;

// Policies that force the pool for any size, with odd task sizes.
constexpr ParPolicy PARALLEL_POLICIES[] = {{0, 1}, {0, 7}, {16, 3}};

std::uint64_t mask_of(const std::vector<Qubit>& qubits) {
    std::uint64_t m = 0;
    for (Qubit q : qubits) m |= std::uint64_t{1} << q;
    return m;
}

using t::ALL_ISAS;
using t::ForcedIsa;

// Runs `apply` on the state serially and under every parallel policy, on
// every instruction set this processor has; every result must equal the
// serial one of the detected set bit for bit. Returns that serial result.
std::vector<Complex> run_all_policies(const CpuState& start,
                                      const std::function<void(Complex*, std::size_t, const ParPolicy&)>& apply) {
    CpuState serial = start;
    apply(serial.amps.data(), serial.len(), SERIAL_POLICY);
    for (simd::Isa isa : ALL_ISAS) {
        if (!simd::isa_supported(isa)) continue;
        const ForcedIsa forced(isa);
        CpuState again = start;
        apply(again.amps.data(), again.len(), SERIAL_POLICY);
        EXPECT_TRUE(t::same_bits(serial.amps.data(), again.amps.data(), serial.len()))
            << "isa " << int(isa) << " serial";
        for (const ParPolicy& policy : PARALLEL_POLICIES) {
            CpuState parallel = start;
            apply(parallel.amps.data(), parallel.len(), policy);
            EXPECT_TRUE(t::same_bits(serial.amps.data(), parallel.amps.data(), serial.len()))
                << "isa " << int(isa) << " min_amps " << policy.min_amps << " grain " << policy.grain;
        }
    }
    return t::to_vector(serial);
}

// ---- 1-qubit ---------------------------------------------------------------

struct OneQubitCase {
    const char* name;
    M2 matrix;
    // The reference body apply_1q must pick, bit for bit.
    std::function<void(Complex*, std::size_t, Qubit, std::uint64_t)> reference;
};

std::vector<OneQubitCase> one_qubit_cases() {
    const Complex i(0, 1);
    const M2 rz = Gate::rz(0.7).matrix()->m2();
    const M2 h = Gate::h().matrix()->m2();
    const M2 u3 = Gate::u3(0.3, 1.1, -0.4).matrix()->m2();
    const M2 phased_x = {0.0, i, i, 0.0};  // X up to a global phase: the antidiagonal kernel
    return {
        {"diagonal", rz,
         [rz](Complex* a, std::size_t n, Qubit q, std::uint64_t c) {
             reference::diagonal_1q(a, n, q, c, rz[0], rz[3]);
         }},
        {"x", Gate::x().matrix()->m2(),
         [](Complex* a, std::size_t n, Qubit q, std::uint64_t c) { reference::x_1q(a, n, q, c); }},
        {"y", Gate::y().matrix()->m2(),
         [](Complex* a, std::size_t n, Qubit q, std::uint64_t c) { reference::y_1q(a, n, q, c, 1.0); }},
        {"minus_y",
         {0.0, i, -i, 0.0},
         [](Complex* a, std::size_t n, Qubit q, std::uint64_t c) { reference::y_1q(a, n, q, c, -1.0); }},
        {"antidiagonal", phased_x,
         [i](Complex* a, std::size_t n, Qubit q, std::uint64_t c) { reference::antidiag_1q(a, n, q, c, i, i); }},
        {"dense_h", h,
         [h](Complex* a, std::size_t n, Qubit q, std::uint64_t c) { reference::dense_1q(a, n, q, c, h); }},
        {"dense_u3", u3,
         [u3](Complex* a, std::size_t n, Qubit q, std::uint64_t c) { reference::dense_1q(a, n, q, c, u3); }},
    };
}

TEST(OneQubitKernels, MatchDenseReferenceAndReferencePath) {
    StdRng rng = StdRng::seed_from_u64(11);
    for (const OneQubitCase& c : one_qubit_cases()) {
        for (int trial = 0; trial < 12; ++trial) {
            const std::uint32_t n = 6;
            const auto qubits = t::random_qubits(1 + trial % 3, n, rng);
            const Qubit target = qubits[0];
            const std::vector<Qubit> controls(qubits.begin() + 1, qubits.end());
            const CpuState start = t::random_state(n, rng);
            const auto got = run_all_policies(start, [&](Complex* a, std::size_t len, const ParPolicy& p) {
                apply_1q(a, len, target, controls, c.matrix, p);
            });
            const std::vector<Qubit> targets = {target};
            EXPECT_LT(t::max_diff(got, t::dense_apply(t::to_vector(start), targets, controls, c.matrix)), 1e-14)
                << c.name;
            CpuState ref = start;
            c.reference(ref.amps.data(), ref.len(), target, mask_of(controls));
            EXPECT_TRUE(t::same_bits(got.data(), ref.amps.data(), ref.len())) << c.name;
        }
    }
}

TEST(OneQubitKernels, YTwiceRestoresAndConjugateYNegates) {
    StdRng rng = StdRng::seed_from_u64(12);
    const CpuState start = t::random_state(4, rng);
    CpuState s = start;
    const M2 y = Gate::y().matrix()->m2();
    apply_1q(s.amps.data(), s.len(), 2, {}, y);
    apply_1q(s.amps.data(), s.len(), 2, {}, y);
    EXPECT_TRUE(t::same_bits(s.amps.data(), start.amps.data(), s.len()));

    CpuState plus = start, minus = start;
    apply_1q(plus.amps.data(), plus.len(), 1, {}, y);
    apply_1q(minus.amps.data(), minus.len(), 1, {}, {0.0, Complex(0, 1), Complex(0, -1), 0.0});
    for (std::size_t i = 0; i < start.len(); ++i) {
        EXPECT_EQ(minus.amps[i], -plus.amps[i]);
    }
}

TEST(OneQubitKernels, ControlZeroAmplitudesAreUntouchedEvenByDiagonals) {
    StdRng rng = StdRng::seed_from_u64(13);
    const CpuState start = t::random_state(5, rng);
    const std::vector<Qubit> controls = {3};
    for (const OneQubitCase& c : one_qubit_cases()) {
        CpuState s = start;
        apply_1q(s.amps.data(), s.len(), 1, controls, c.matrix);
        for (std::size_t i = 0; i < s.len(); ++i) {
            if ((i & 8) == 0) {
                EXPECT_TRUE(t::same_bits(&s.amps[i], &start.amps[i], 1)) << c.name << " index " << i;
            }
        }
    }
}

// ---- 2-qubit ---------------------------------------------------------------

M4 m4(std::initializer_list<Complex> entries) {
    M4 m{};
    std::copy(entries.begin(), entries.end(), m.begin());
    return m;
}

TEST(TwoQubitKernels, SpecialisationsMatchDenseReferenceAndReferencePath) {
    StdRng rng = StdRng::seed_from_u64(21);
    const Complex e(std::cos(0.9), std::sin(0.9));
    const M4 cnot = Gate::cnot().matrix()->m4();
    const M4 cnot_reversed = m4({1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0});
    const M4 swap = Gate::swap().matrix()->m4();
    const M4 cz = Gate::cz().matrix()->m4();
    const M4 phase_diag = m4({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, e});
    const M4 x_on_first = m4({0, 0, 1, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 0, 0});  // row 0 maps to column 2
    const M4 iswap = Gate::iswap().matrix()->m4();
    const M4 dense = t::to_array<16>(t::random_unitary(4, rng));

    using Ref = std::function<void(Complex*, std::size_t, Qubit, Qubit, std::uint64_t)>;
    struct Case {
        const char* name;
        M4 matrix;
        Ref reference;
    };
    const std::vector<Case> cases = {
        {"cnot", cnot,
         [](Complex* a, std::size_t n, Qubit q0, Qubit q1, std::uint64_t c) {
             reference::cnot(a, n, c | (1ull << q0), q1);
         }},
        {"cnot_reversed", cnot_reversed,
         [](Complex* a, std::size_t n, Qubit q0, Qubit q1, std::uint64_t c) {
             reference::cnot(a, n, c | (1ull << q1), q0);
         }},
        {"swap", swap,
         [](Complex* a, std::size_t n, Qubit q0, Qubit q1, std::uint64_t c) { reference::swap_2q(a, n, q0, q1, c); }},
        {"cz", cz,
         [](Complex* a, std::size_t n, Qubit q0, Qubit q1, std::uint64_t c) { reference::cz(a, n, q0, q1, c); }},
        {"diagonal", phase_diag,
         [e](Complex* a, std::size_t n, Qubit q0, Qubit q1, std::uint64_t c) {
             reference::diagonal_2q(a, n, q0, q1, c, {1.0, 1.0, 1.0, e});
         }},
        {"permutation_not_fixing_0", x_on_first,
         [x_on_first](Complex* a, std::size_t n, Qubit q0, Qubit q1, std::uint64_t c) {
             reference::dense_2q(a, n, q0, q1, c, x_on_first);
         }},
        {"iswap", iswap,
         [iswap](Complex* a, std::size_t n, Qubit q0, Qubit q1, std::uint64_t c) {
             reference::dense_2q(a, n, q0, q1, c, iswap);
         }},
        {"dense", dense,
         [dense](Complex* a, std::size_t n, Qubit q0, Qubit q1, std::uint64_t c) {
             reference::dense_2q(a, n, q0, q1, c, dense);
         }},
    };
    for (const Case& c : cases) {
        for (int trial = 0; trial < 12; ++trial) {
            const std::uint32_t n = 6;
            const auto qubits = t::random_qubits(2 + trial % 3, n, rng);
            const std::vector<Qubit> controls(qubits.begin() + 2, qubits.end());
            const CpuState start = t::random_state(n, rng);
            const auto got = run_all_policies(start, [&](Complex* a, std::size_t len, const ParPolicy& p) {
                apply_2q(a, len, qubits[0], qubits[1], controls, c.matrix, p);
            });
            const std::vector<Qubit> targets = {qubits[0], qubits[1]};
            EXPECT_LT(t::max_diff(got, t::dense_apply(t::to_vector(start), targets, controls, c.matrix)), 1e-14)
                << c.name;
            CpuState ref = start;
            c.reference(ref.amps.data(), ref.len(), qubits[0], qubits[1], mask_of(controls));
            EXPECT_TRUE(t::same_bits(got.data(), ref.amps.data(), ref.len())) << c.name;
        }
    }
}

TEST(TwoQubitKernels, IdentityWithinToleranceLeavesStateUntouched) {
    StdRng rng = StdRng::seed_from_u64(22);
    const CpuState start = t::random_state(5, rng);
    CpuState s = start;
    M4 near_identity = m4({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1});
    near_identity[5] = Complex(1.0 + 2e-15, 0);
    near_identity[6] = Complex(1e-16, 0);
    apply_2q(s.amps.data(), s.len(), 4, 0, {}, near_identity);
    EXPECT_TRUE(t::same_bits(s.amps.data(), start.amps.data(), s.len()));
}

TEST(TwoQubitKernels, SwapExchangesOnlyTheMixedPairs) {
    CpuState s = CpuState::zero_state(3);
    for (std::size_t i = 0; i < 8; ++i) s.amps[i] = Complex(static_cast<double>(i), 0);
    apply_2q(s.amps.data(), s.len(), 0, 2, {}, Gate::swap().matrix()->m4());
    // q0 = bit 0, q1 = bit 2: 1 <-> 4 and 3 <-> 6.
    const double expected[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(s.amps[i].real(), expected[i]) << i;
}

// ---- 3-qubit ---------------------------------------------------------------

TEST(ThreeQubitKernels, SpecialisationsAndTolerances) {
    StdRng rng = StdRng::seed_from_u64(31);
    const M8 identity = [] {
        M8 m{};
        for (int r = 0; r < 8; ++r) m[r * 9] = 1.0;
        return m;
    }();
    const M8 toffoli = Gate::toffoli().matrix()->m8();
    const M8 ccz = Gate::ccz().matrix()->m8();
    const M8 dense = t::to_array<64>(t::random_unitary(8, rng));
    M8 toffoli_at_bound = toffoli;
    toffoli_at_bound[3] = Complex(1e-12, 0);  // inclusive bound: still Toffoli
    M8 toffoli_past_bound = toffoli;
    toffoli_past_bound[3] = Complex(1.5e-12, 0);  // generic kernel

    for (int trial = 0; trial < 10; ++trial) {
        const std::uint32_t n = 7;
        const auto qubits = t::random_qubits(3 + trial % 3, n, rng);
        const std::vector<Qubit> controls(qubits.begin() + 3, qubits.end());
        const std::uint64_t cm = mask_of(controls);
        const Qubit q0 = qubits[0], q1 = qubits[1], q2 = qubits[2];
        const std::uint64_t s0 = 1ull << q0, s1 = 1ull << q1, s2 = 1ull << q2;
        const CpuState start = t::random_state(n, rng);
        const std::vector<Qubit> targets = {q0, q1, q2};
        auto run = [&](const M8& m) {
            return run_all_policies(start, [&](Complex* a, std::size_t len, const ParPolicy& p) {
                apply_3q(a, len, q0, q1, q2, controls, m, p);
            });
        };

        EXPECT_TRUE(t::same_bits(run(identity).data(), start.amps.data(), start.len()));

        auto check = [&](const M8& m, const std::function<void(Complex*)>& ref_body, const char* name) {
            const auto got = run(m);
            CpuState ref = start;
            ref_body(ref.amps.data());
            EXPECT_TRUE(t::same_bits(got.data(), ref.amps.data(), ref.len())) << name;
            EXPECT_LT(t::max_diff(got, t::dense_apply(t::to_vector(start), targets, controls, m)), 1e-11) << name;
        };
        check(toffoli, [&](Complex* a) { reference::toffoli(a, start.len(), s0 | s1 | cm, q2); }, "toffoli");
        check(
            toffoli_at_bound, [&](Complex* a) { reference::toffoli(a, start.len(), s0 | s1 | cm, q2); },
            "toffoli_at_bound");
        check(
            toffoli_past_bound,
            [&](Complex* a) { reference::generic_3q(a, start.len(), q0, q1, q2, cm, toffoli_past_bound); },
            "toffoli_past_bound");
        check(ccz, [&](Complex* a) { reference::ccz(a, start.len(), s0 | s1 | s2 | cm); }, "ccz");
        check(dense, [&](Complex* a) { reference::generic_3q(a, start.len(), q0, q1, q2, cm, dense); }, "dense");
    }
}

// ---- k-qubit ---------------------------------------------------------------

TEST(KQubitKernel, MatchesDenseReferenceOverSortedTargets) {
    StdRng rng = StdRng::seed_from_u64(41);
    for (std::uint8_t k = 1; k <= 6; ++k) {
        for (int trial = 0; trial < 3; ++trial) {
            const std::uint32_t n = 8;
            const auto qubits = t::random_qubits(k + trial % 2, n, rng);
            const std::vector<Qubit> targets(qubits.begin(), qubits.begin() + k);
            const std::vector<Qubit> controls(qubits.begin() + k, qubits.end());
            const auto matrix = t::random_unitary(std::size_t{1} << k, rng);
            const CpuState start = t::random_state(n, rng);
            const auto got = run_all_policies(start, [&](Complex* a, std::size_t len, const ParPolicy& p) {
                apply_kq_scalar_aos(a, len, targets, k, matrix, mask_of(controls), p);
            });
            std::vector<Qubit> sorted = targets;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_LT(t::max_diff(got, t::dense_apply(t::to_vector(start), sorted, controls, matrix)), 1e-13)
                << "k " << int(k);
            if (controls.empty()) {
                CpuState ref = start;
                reference::kq(ref.amps.data(), ref.len(), targets, k, matrix);
                EXPECT_TRUE(t::same_bits(got.data(), ref.amps.data(), ref.len())) << "k " << int(k);
            }
        }
    }
}

TEST(KQubitKernel, TargetOrderDoesNotMatter) {
    StdRng rng = StdRng::seed_from_u64(42);
    const auto matrix = t::random_unitary(4, rng);
    const CpuState start = t::random_state(6, rng);
    CpuState a = start, b = start;
    const std::vector<Qubit> listed = {5, 2}, sorted = {2, 5};
    apply_kq_scalar_aos(a.amps.data(), a.len(), listed, 2, matrix);
    apply_kq_scalar_aos(b.amps.data(), b.len(), sorted, 2, matrix);
    EXPECT_TRUE(t::same_bits(a.amps.data(), b.amps.data(), a.len()));
}

TEST(KQubitKernel, TargetsOffsetsFixed) {
    const std::vector<Qubit> targets = {4, 1, 6};
    const TargetsOffsets to = targets_offsets_fixed(targets, 3);
    EXPECT_EQ(to.dim, 8u);
    // Bit 0 of j selects the largest target (6), bit 2 the smallest (1).
    const std::vector<std::uint64_t> expected = {0, 64, 16, 80, 2, 66, 18, 82};
    EXPECT_EQ(to.offsets, expected);
    ASSERT_EQ(to.fixed.size(), 3u);
    EXPECT_EQ(to.fixed[0].qubit, 1u);
    EXPECT_EQ(to.fixed[2].qubit, 6u);
    EXPECT_EQ(to.fixed[1].value, 0);
    EXPECT_THROW(targets_offsets_fixed(targets, 4), InvariantError);
}

// The dense body on one instruction set, for every width up to the fusion
// limit and one beyond it (the run-time width), gives the bits of the rounded
// row sums of the reference path: targets on bit 0 (gathered groups), on bit
// 1 or 2 (runs of two or four, shorter than a vector) and higher (whole
// vectors), with and without a control, serially and in tasks of any size.
// With `zeros`: half the matrix entries are ±0 (the zero-skipping path); in
// trials 0 and 3 three quarters of the amplitudes are ±0 too, so that many
// row sums are zeros whose sign the skipped products must not change; trial
// 2 holds a NaN amplitude and trial 3 an infinite one, which a skipped
// product must not hide (∞·0 is NaN).
void check_dense_widths(std::size_t dim, StdRng& rng, simd::Isa isa, bool zeros = false) {
    const std::uint32_t n = 10;
    const std::size_t k = std::bit_width(dim) - 1;
    for (int trial = 0; trial < 4; ++trial) {
        const auto qubits = t::random_qubits(k + 1, n, rng);
        std::vector<Qubit> targets(qubits.begin(), qubits.begin() + k);
        const Qubit lowest = trial == 3 ? 4 : static_cast<Qubit>(trial);
        if (k > 0 && std::find(targets.begin(), targets.end(), lowest) == targets.end()) {
            targets[0] = lowest;
        }
        const std::uint64_t control = trial % 2 ? std::uint64_t{1} << qubits[k] : 0;
        if (control & mask_of(targets)) {
            continue;
        }
        std::vector<std::uint64_t> offsets(dim);
        for (std::size_t j = 0; j < dim; ++j) {
            for (std::size_t b = 0; b < k; ++b) {
                if ((j >> b) & 1) offsets[j] |= std::uint64_t{1} << targets[k - 1 - b];
            }
        }
        auto matrix = t::random_unitary(dim, rng);
        CpuState start = t::random_state(n, rng);
        if (zeros) {
            for (std::size_t r = 0; r < dim; ++r) {
                for (std::size_t c = 0; c < dim; ++c) {
                    if ((r ^ c) & 1) {
                        matrix[r * dim + c] = (r + c) % 3 == 0 ? Complex(-0.0, 0.0) : Complex(0.0, -0.0);
                    }
                }
            }
            for (std::size_t i = 0; i < start.len() && trial % 3 == 0; ++i) {
                if (i % 4 != 0) {
                    start.amps[i] = i % 3 ? Complex(-0.0, -0.0) : Complex(0.0, -0.0);
                }
            }
            if (trial == 2) {
                start.amps[start.len() / 3] = Complex(0.5, std::numeric_limits<double>::quiet_NaN());
            }
            if (trial == 3) {
                start.amps[start.len() - 1] = Complex(std::numeric_limits<double>::infinity(), 0.0);
            }
        }
        const detail::IndexSpace space(start.len(), mask_of(targets) | control, control);

        CpuState ref = start;
        for (std::uint64_t i = 0; i < ref.len(); ++i) {
            if ((i & mask_of(targets)) == 0 && (i & control) == control) {
                std::vector<Complex> a(dim);
                for (std::size_t c = 0; c < dim; ++c) a[c] = ref.amps[i + offsets[c]];
                for (std::size_t r = 0; r < dim; ++r) {
                    Complex acc = reference::mul(matrix[r * dim], a[0]);
                    for (std::size_t c = 1; c < dim; ++c) {
                        acc = reference::add(acc, reference::mul(matrix[r * dim + c], a[c]));
                    }
                    ref.amps[i + offsets[r]] = acc;
                }
            }
        }
        const std::vector<Qubit> controls = control ? std::vector<Qubit>{qubits[k]} : std::vector<Qubit>{};
        if (!zeros) {
            EXPECT_LT(t::max_diff(t::to_vector(ref), t::dense_apply(t::to_vector(start), targets, controls, matrix)),
                      1e-13 * static_cast<double>(dim));
        }
        const ForcedIsa forced(isa);
        for (const ParPolicy& policy : {SERIAL_POLICY, ParPolicy{0, 1}, ParPolicy{0, 3}, ParPolicy{0, 64}}) {
            CpuState got = start;
            simd::dense(got.amps.data(), space, offsets.data(), dim, matrix.data(), policy);
            EXPECT_TRUE(t::same_bits(got.amps.data(), ref.amps.data(), ref.len()))
                << "dim " << dim << " trial " << trial << " lowest target " << lowest << " grain " << policy.grain;
        }
    }
}

// The tests below run once per instruction set and are skipped, not passed,
// where the processor lacks it.
class OnEveryIsa : public testing::TestWithParam<simd::Isa> {
protected:
    void SetUp() override {
        if (!simd::isa_supported(GetParam())) {
            GTEST_SKIP() << t::isa_name(GetParam()) << " is not supported by this processor";
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Isa, OnEveryIsa, testing::ValuesIn(ALL_ISAS),
                         [](const testing::TestParamInfo<simd::Isa>& info) { return t::isa_name(info.param); });

TEST_P(OnEveryIsa, DenseBodyOfEveryWidthGivesTheRoundedRowSums) {
    StdRng rng = StdRng::seed_from_u64(43);
    for (std::size_t dim : {1u, 2u, 4u, 8u, 16u, 32u, 64u}) {
        check_dense_widths(dim, rng, GetParam());
    }
}

TEST_P(OnEveryIsa, DenseBodyWithZeroEntriesGivesTheFullRowSumBits) {
    StdRng rng = StdRng::seed_from_u64(44);
    for (std::size_t dim : {8u, 16u, 32u}) {
        check_dense_widths(dim, rng, GetParam(), true);
    }
}

TEST(DenseBody, TheWidestInstructionSetIsDetected) {
    // Each set the processor has must be runnable; the detected one is the widest.
    const simd::Isa detected = simd::detected_isa();
    EXPECT_TRUE(simd::isa_supported(detected));
    for (simd::Isa isa : ALL_ISAS) {
        if (static_cast<int>(isa) > static_cast<int>(detected)) {
            EXPECT_FALSE(simd::isa_supported(isa)) << int(isa);
        }
    }
    EXPECT_EQ(simd::active_isa(), detected);
}

// ---- Diagonal phases -------------------------------------------------------

ir::PhaseTerm term(std::initializer_list<std::uint64_t> masks, double angle) {
    ir::PhaseTerm t;
    t.masks.assign(masks.begin(), masks.end());
    t.angle = angle;
    return t;
}

TEST(DiagonalPhaseKernel, TableAndDirectPathsMatchTheReferenceBitForBit) {
    StdRng rng = StdRng::seed_from_u64(51);
    for (std::uint32_t n : {1u, 4u, 9u, 12u, 14u}) {
        // Few support bits (pattern table), every bit (evaluated per index),
        // and table bits above the sixth (precomputed runs up to six of them,
        // at n = 14 more).
        for (int mode : {0, 1, 2}) {
            const bool wide = mode == 1;
            std::vector<ir::PhaseTerm> terms;
            const std::uint64_t all = (std::uint64_t{1} << n) - 1;
            const std::uint64_t allowed = mode == 0 ? 0b1011 : mode == 1 ? all : 0x1FC2;
            for (int j = 0; j < 6; ++j) {
                const std::uint64_t a = rng.next_u64() & all & allowed;
                const std::uint64_t b = rng.next_u64() & all;
                terms.push_back(j % 3 == 0   ? term({}, t::uniform(rng, -3, 3))
                                : j % 3 == 1 ? term({a}, t::uniform(rng, -3, 3))
                                             : term({a, wide ? b : a | 1}, t::uniform(rng, -3, 3)));
            }
            const CpuState start = t::random_state(n, rng);
            const auto got = run_all_policies(start, [&](Complex* a, std::size_t len, const ParPolicy& p) {
                apply_diagonal_phase_scalar_aos(a, len, terms, p);
            });
            CpuState ref = start;
            reference::diagonal_phase(ref.amps.data(), ref.len(), terms);
            EXPECT_TRUE(t::same_bits(got.data(), ref.amps.data(), ref.len())) << "n " << n << " mode " << mode;
        }
    }
}

TEST(DiagonalPhaseKernel, TermSemantics) {
    StdRng rng = StdRng::seed_from_u64(52);
    const CpuState start = t::random_state(4, rng);
    const double theta = 0.3;
    const Complex e(std::cos(theta), std::sin(theta));
    auto apply = [&](std::vector<ir::PhaseTerm> terms) {
        CpuState s = start;
        apply_diagonal_phase_scalar_aos(s.amps.data(), s.len(), terms);
        return s;
    };
    // [{q}]: exactly the amplitudes with bit q set.
    CpuState one = apply({term({0b0100}, theta)});
    // [{a}, {b}] with π: a CZ on a, b (within sin π).
    CpuState cz = apply({term({0b0001, 0b1000}, std::numbers::pi)});
    // [{a, b}]: where exactly one of a, b is set.
    CpuState parity = apply({term({0b0011}, theta)});
    // []: everywhere.
    CpuState global = apply({term({}, theta)});
    for (std::size_t i = 0; i < start.len(); ++i) {
        const Complex a = start.amps[i];
        EXPECT_LT(std::abs(one.amps[i] - ((i & 4) ? a * e : a)), 1e-15);
        EXPECT_LT(std::abs(cz.amps[i] - ((i & 1) && (i & 8) ? -a : a)), 1e-15);
        EXPECT_LT(std::abs(parity.amps[i] - (((i & 1) != 0) != ((i & 2) != 0) ? a * e : a)), 1e-15);
        EXPECT_LT(std::abs(global.amps[i] - a * e), 1e-15);
        if (!(i & 4)) {
            EXPECT_EQ(one.amps[i], a);
        }
    }
}

// ---- Zeros, tiny, huge and non-finite amplitudes -----------------------------

// Amplitudes of both signs of zero, magnitudes whose products underflow or
// overflow, one infinity and one NaN (never in one group of the kernels below,
// where two NaNs could meet): every kernel still gives the reference's bits,
// signs of zero included, on every instruction set.
CpuState special_state(std::uint32_t n) {
    const double values[] = {0.0, -0.0, 0.5, -0.25, 1e-300, -3e-310, 1e300, 0.75};
    CpuState s = CpuState::zero_state(n);
    for (std::size_t i = 0; i < s.len(); ++i) s.amps[i] = Complex(values[i % 8], values[(i / 8 + 3 * i) % 8]);
    s.amps[65] = Complex(std::numeric_limits<double>::infinity(), 0.5);
    s.amps[35] = Complex(-0.0, std::numeric_limits<double>::quiet_NaN());
    return s;
}

TEST(KernelArithmetic, SignedZerosAndNonFiniteAmplitudesFollowTheReference) {
    StdRng rng = StdRng::seed_from_u64(81);
    const std::uint32_t n = 7;
    const CpuState start = special_state(n);
    auto check = [&](const std::function<void(Complex*, std::size_t, const ParPolicy&)>& apply,
                     const std::function<void(Complex*)>& reference_body, const std::string& name) {
        const auto got = run_all_policies(start, apply);
        CpuState ref = start;
        reference_body(ref.amps.data());
        EXPECT_TRUE(t::same_bits(got.data(), ref.amps.data(), ref.len())) << name;
    };
    for (const OneQubitCase& c : one_qubit_cases()) {
        for (Qubit q : {0u, 3u}) {
            check([&](Complex* a, std::size_t len, const ParPolicy& p) { apply_1q(a, len, q, {}, c.matrix, p); },
                  [&](Complex* a) { c.reference(a, start.len(), q, 0); },
                  std::string(c.name) + " on " + std::to_string(q));
        }
    }
    const M4 dense2 = t::to_array<16>(t::random_unitary(4, rng));
    const M4 iswap = Gate::iswap().matrix()->m4();
    const std::array<Complex, 4> d = {Complex(0.0, 1.0), Complex(-1.0, 0.0), Complex(0.6, -0.8), Complex(1.0, 0.0)};
    const M4 diag2 = {d[0], 0, 0, 0, 0, d[1], 0, 0, 0, 0, d[2], 0, 0, 0, 0, d[3]};
    for (const M4* m : {&dense2, &iswap}) {
        check([&](Complex* a, std::size_t len, const ParPolicy& p) { apply_2q(a, len, 4, 0, {}, *m, p); },
              [&](Complex* a) { reference::dense_2q(a, start.len(), 4, 0, 0, *m); }, "dense 2q");
    }
    check([&](Complex* a, std::size_t len, const ParPolicy& p) { apply_2q(a, len, 2, 5, {}, diag2, p); },
          [&](Complex* a) { reference::diagonal_2q(a, start.len(), 2, 5, 0, d); }, "diagonal 2q");
    // A dense 3-qubit matrix, and a controlled one (half zeros: the zero-skipping path).
    M8 dense3 = t::to_array<64>(t::random_unitary(8, rng));
    M8 controlled3{};
    const auto u = t::random_unitary(4, rng);
    for (std::size_t r = 0; r < 8; ++r) {
        for (std::size_t c = 0; c < 8; ++c) {
            controlled3[r * 8 + c] = r < 4 ? (r == c ? 1.0 : 0.0) : (c < 4 ? 0.0 : u[(r - 4) * 4 + c - 4]);
        }
    }
    for (const M8* m : {&dense3, &controlled3}) {
        check([&](Complex* a, std::size_t len, const ParPolicy& p) { apply_3q(a, len, 4, 0, 2, {}, *m, p); },
              [&](Complex* a) { reference::generic_3q(a, start.len(), 4, 0, 2, 0, *m); }, "dense 3q");
    }
    std::vector<Complex> controlled4(256, 0.0);
    for (std::size_t r = 0; r < 16; ++r) {
        for (std::size_t c = 0; c < 16; ++c) {
            controlled4[r * 16 + c] = r < 8 ? (r == c ? 1.0 : 0.0) : (c < 8 ? 0.0 : controlled3[(r - 8) * 8 + c - 8]);
        }
    }
    const std::vector<Qubit> kq_targets = {3, 0, 4, 2};
    check([&](Complex* a, std::size_t len,
              const ParPolicy& p) { apply_kq_scalar_aos(a, len, kq_targets, 4, controlled4, 0, p); },
          [&](Complex* a) { reference::kq(a, start.len(), kq_targets, 4, controlled4); }, "k-qubit");
    const std::vector<ir::PhaseTerm> terms = {term({0b11}, 0.4), term({}, std::numbers::pi / 2),
                                              term({0b1000000}, -2.5)};
    check([&](Complex* a, std::size_t len, const ParPolicy& p) { apply_diagonal_phase_scalar_aos(a, len, terms, p); },
          [&](Complex* a) { reference::diagonal_phase(a, start.len(), terms); }, "diagonal phase");
}

// ---- Tiled chunks ----------------------------------------------------------

// However finely the chunks are cut into pieces, every amplitude gets the
// gates of the block in order with the dense arithmetic: the bits equal those
// of applying each gate to the whole state.
TEST(TiledChunks, PiecesOfAnySizeGiveTheGateByGateBits) {
    StdRng rng = StdRng::seed_from_u64(71);
    const std::uint32_t n = 11;
    const unsigned k = 7;
    for (int trial = 0; trial < 4; ++trial) {
        std::vector<TileGate> gates;
        for (int j = 0; j < 12; ++j) {
            const bool two = rng.next_u64() % 2;
            // Targets low and high inside the tile, so that runs of fitting
            // and non-fitting gates alternate.
            const auto qubits = t::random_qubits(3, j % 3 == 0 ? k : 3, rng);
            TileGate g{two ? GateMatrix(t::to_array<16>(t::random_unitary(4, rng)))
                           : GateMatrix(t::to_array<4>(t::random_unitary(2, rng))),
                       qubits[0], two ? qubits[1] : 0, 0, 0};
            if (rng.next_u64() % 3 == 0) g.low_controls = std::uint64_t{1} << qubits[2];
            if (rng.next_u64() % 3 == 0) g.high_controls = std::uint64_t{1} << (k + rng.next_u64() % (n - k));
            gates.push_back(g);
        }
        const CpuState start = t::random_state(n, rng);
        CpuState expected = start;
        for (const TileGate& g : gates) {
            apply_tile_gate(expected.amps.data(), expected.len(), g, g.low_controls | g.high_controls);
        }
        for (unsigned sub_bits : {1u, 2u, 4u, 7u, 40u}) {
            CpuState got = start;
            apply_tiled(got.amps.data(), got.len(), k, gates, sub_bits);
            EXPECT_TRUE(t::same_bits(got.amps.data(), expected.amps.data(), got.len())) << "pieces of 2^" << sub_bits;
        }
    }
}

// ---- Parallel vs serial at sizes the pool really splits ---------------------

TEST(ParallelDriver, EveryKernelIsBitIdenticalAcrossPolicies) {
    StdRng rng = StdRng::seed_from_u64(61);
    const std::uint32_t n = 13;
    const CpuState start = t::random_state(n, rng);
    const M2 u = t::to_array<4>(t::random_unitary(2, rng));
    const M4 u4 = t::to_array<16>(t::random_unitary(4, rng));
    const M8 u8 = t::to_array<64>(t::random_unitary(8, rng));
    const auto kq = t::random_unitary(16, rng);
    const std::vector<Qubit> none, ctrl = {7};
    const std::vector<Qubit> kq_targets = {0, 12, 5, 3};
    run_all_policies(start, [&](Complex* a, std::size_t len, const ParPolicy& p) { apply_1q(a, len, 0, none, u, p); });
    run_all_policies(start, [&](Complex* a, std::size_t len, const ParPolicy& p) { apply_1q(a, len, 12, ctrl, u, p); });
    run_all_policies(start,
                     [&](Complex* a, std::size_t len, const ParPolicy& p) { apply_2q(a, len, 3, 0, ctrl, u4, p); });
    run_all_policies(start,
                     [&](Complex* a, std::size_t len, const ParPolicy& p) { dispatch_cnot(a, len, 1, 9, none, p); });
    run_all_policies(start,
                     [&](Complex* a, std::size_t len, const ParPolicy& p) { apply_3q(a, len, 2, 11, 0, ctrl, u8, p); });
    run_all_policies(start, [&](Complex* a, std::size_t len, const ParPolicy& p) {
        apply_kq_scalar_aos(a, len, kq_targets, 4, kq, 0, p);
    });
}

// ---- Preconditions and tuning ----------------------------------------------

TEST(KernelPreconditions, BrokenInputsThrowInsteadOfCorruptingMemory) {
    CpuState s = CpuState::zero_state(3);
    const M2 x = Gate::x().matrix()->m2();
    const std::vector<Qubit> dup = {1};
    EXPECT_THROW(apply_1q(s.amps.data(), s.len(), 3, {}, x), InvariantError);
    EXPECT_THROW(apply_1q(s.amps.data(), s.len(), 1, dup, x), InvariantError);
    EXPECT_THROW(dispatch_cnot(s.amps.data(), s.len(), 2, 2, {}), InvariantError);
    EXPECT_THROW(apply_2q(s.amps.data(), s.len(), 0, 0, {}, Gate::cz().matrix()->m4()), InvariantError);
    EXPECT_THROW(apply_1q(s.amps.data(), 6, 0, {}, x), InvariantError);  // not a power of two
    const std::vector<Complex> short_matrix(15);
    const std::vector<Qubit> targets = {0, 1};
    EXPECT_THROW(apply_kq_scalar_aos(s.amps.data(), s.len(), targets, 2, short_matrix), InvariantError);
}

TEST(Tuning, CountsFollowTheUnsignedReaderRules) {
    EXPECT_EQ(parse_tuning_count("512"), 512u);
    EXPECT_EQ(parse_tuning_count("+512"), 512u);
    EXPECT_EQ(parse_tuning_count("0"), 0u);
    EXPECT_EQ(parse_tuning_count(nullptr), std::nullopt);
    for (const char* bad : {" 512", "512 ", "-1", "", "1e6", "0x10", "99999999999999999999999"}) {
        EXPECT_EQ(parse_tuning_count(bad), std::nullopt) << bad;
    }
}

TEST(Tuning, CpuModelClassification) {
    EXPECT_EQ(classify_cpu_model("epyc"), RefCpu::Epyc);
    EXPECT_EQ(classify_cpu_model("EPYC"), RefCpu::Epyc);
    EXPECT_EQ(classify_cpu_model("RyZeN"), RefCpu::Ryzen);
    EXPECT_EQ(classify_cpu_model(""), RefCpu::Other);
    EXPECT_EQ(classify_cpu_model(" epyc"), RefCpu::Other);
    EXPECT_EQ(classify_cpu_model(nullptr), RefCpu::Other);
}

TEST(Tuning, PolicyFollowsTheEnvironment) {
    // ctest runs this binary twice: without the variables, and with
    // NIVRA_PAR_MIN_AMPS=+0 and NIVRA_PAR_GRAIN=0 (every kernel on the pool).
    const char* min_amps = std::getenv("NIVRA_PAR_MIN_AMPS");
    const char* grain = std::getenv("NIVRA_PAR_GRAIN");
    const ParPolicy p = tuned_policy();
    if (min_amps == nullptr && grain == nullptr) {
        EXPECT_EQ(p.min_amps, 262144u);
        EXPECT_EQ(p.grain, 64u);
    }
    if (min_amps != nullptr && std::string_view(min_amps) == "+0") {
        EXPECT_EQ(p.min_amps, 0u);
    }
    if (grain != nullptr && std::string_view(grain) == "0") {
        EXPECT_EQ(p.grain, 1u);
    }
}

// ---- Qubit reordering in place ----------------------------------------------

// permute_qubits on a copy of `start`, serially and under every parallel
// policy, against the definition computed into a second buffer.
void expect_permutes_like_definition(const CpuState& start, std::span<const Qubit> perm, unsigned tile_bits,
                                     std::span<const ParPolicy> policies) {
    std::vector<Complex> expected(start.len());
    reference::permute_qubits(start.amps.data(), expected.data(), start.len(), perm);
    for (const ParPolicy& policy : policies) {
        CpuState moved = start;
        permute_qubits(moved.amps.data(), moved.len(), perm, policy, tile_bits);
        ASSERT_TRUE(t::same_bits(moved.amps.data(), expected.data(), expected.size()))
            << "n " << start.num_qubits << " tile bits " << tile_bits << " min_amps " << policy.min_amps;
    }
}

TEST(PermuteQubits, EveryPermutationOfSmallStatesAtEveryTileWidth) {
    StdRng rng = StdRng::seed_from_u64(501);
    const ParPolicy policies[] = {SERIAL_POLICY, ParPolicy{0, 1}};
    for (std::uint32_t n = 0; n <= 6; ++n) {
        const CpuState start = t::random_state(n, rng);
        std::vector<Qubit> perm(n);
        for (Qubit q = 0; q < n; ++q) perm[q] = q;
        do {
            // Tile width 0 moves single amplitudes along their cycles; n and
            // beyond is one tile reordered through scratch.
            for (unsigned tile_bits = 0; tile_bits <= n + 1; ++tile_bits) {
                expect_permutes_like_definition(start, perm, tile_bits, policies);
            }
        } while (std::next_permutation(perm.begin(), perm.end()));
    }
}

TEST(PermuteQubits, RandomAndRelabellingPermutationsOfLargerStates) {
    StdRng rng = StdRng::seed_from_u64(502);
    std::vector<ParPolicy> policies = {SERIAL_POLICY};
    policies.insert(policies.end(), std::begin(PARALLEL_POLICIES), std::end(PARALLEL_POLICIES));
    for (std::uint32_t n : {9u, 14u, 19u}) {
        const CpuState start = t::random_state(n, rng);
        // The relabelling of gates on the top qubits: n-4..n-1 to 0..3 and
        // every other qubit up by 4.
        std::vector<Qubit> rotated(n);
        for (Qubit q = 0; q < n; ++q) rotated[q] = (q + 4) % n;
        for (unsigned tile_bits : {3u, 7u, permute_tile_bits()}) {
            expect_permutes_like_definition(start, rotated, tile_bits, policies);
            for (int trial = 0; trial < 3; ++trial) {
                expect_permutes_like_definition(start, t::random_qubits(n, n, rng), tile_bits, policies);
            }
        }
    }
    // The tile width chosen per permutation, through the tuned policy (forced
    // onto the pool in the forced-parallel run of these tests).
    const std::uint32_t n = 20;
    const CpuState start = t::random_state(n, rng);
    std::vector<std::vector<Qubit>> perms = {t::random_qubits(n, n, rng), t::random_qubits(n, n, rng)};
    for (Qubit shift : {1u, 4u, 8u, 13u}) {
        std::vector<Qubit> rotated(n);
        for (Qubit q = 0; q < n; ++q) rotated[q] = (q + shift) % n;
        perms.push_back(rotated);
    }
    std::vector<Complex> expected(start.len());
    for (const std::vector<Qubit>& perm : perms) {
        reference::permute_qubits(start.amps.data(), expected.data(), start.len(), perm);
        CpuState moved = start;
        permute_qubits(moved.amps.data(), moved.len(), perm);
        EXPECT_TRUE(t::same_bits(moved.amps.data(), expected.data(), expected.size()));
    }
}

TEST(PermuteQubits, BrokenPermutationsThrowBeforeMovingAnything) {
    StdRng rng = StdRng::seed_from_u64(503);
    const CpuState start = t::random_state(3, rng);
    CpuState s = start;
    const std::vector<Qubit> short_perm = {0, 1}, repeat = {0, 1, 1}, out_of_range = {0, 1, 3};
    EXPECT_THROW(permute_qubits(s.amps.data(), s.len(), short_perm, SERIAL_POLICY, 1), InvariantError);
    EXPECT_THROW(permute_qubits(s.amps.data(), s.len(), repeat, SERIAL_POLICY, 1), InvariantError);
    EXPECT_THROW(permute_qubits(s.amps.data(), s.len(), out_of_range, SERIAL_POLICY, 1), InvariantError);
    EXPECT_THROW(permute_qubits(s.amps.data(), 6, std::vector<Qubit>{0, 1}, SERIAL_POLICY, 1), InvariantError);
    EXPECT_TRUE(t::same_bits(s.amps.data(), start.amps.data(), s.len()));
}

}  // namespace
}  // namespace nivra::sv::kernels
