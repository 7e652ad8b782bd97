#include "nivra/stab/backend.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/stab/dense_reference.test.h"
#include "nivra/stab/rowsum.h"

namespace nivra::stab {
namespace {

using testing::DenseState;
using testing::make_gate;
using testing::random_clifford;

// Sampling exactly as the algorithm is written out step by step: every pass
// copies the tableau, measures all qubits with 64-bit phase words and stores
// the outcome word of qubit q, pass b at q·B + b; shots are assembled by
// scanning set bits. The backend's sampler must give the same shots and draws.
std::vector<std::uint64_t> reference_sample(const Tableau& tableau, std::uint32_t shots, StdRng& rng) {
    const std::size_t n = tableau.num_qubits();
    const std::size_t passes = (shots + 63) / 64;
    std::vector<Word> outcome_words(n * passes, 0);
    for (std::size_t b = 0; b < passes; ++b) {
        BitGrid x = tableau.x(), z = tableau.z();
        if (tableau.layout() == Layout::QubitMajor) {
            x = x.transpose();
            z = z.transpose();
        }
        std::vector<Word> phase(2 * n + 1);
        for (std::size_t i = 0; i <= 2 * n; ++i) {
            phase[i] = tableau.sign(i) ? ~Word{0} : 0;
        }
        const auto rowsum_into = [&](std::size_t h, std::size_t i) {
            auto [xh, xi] = x.row_pair_mut(h, i);
            auto [zh, zi] = z.row_pair_mut(h, i);
            const std::uint64_t g = rowsum_words(xh, zh, xi, zi);
            phase[h] ^= (g % 4 == 2) ? ~phase[i] : phase[i];
        };
        for (std::size_t q = 0; q < n; ++q) {
            std::size_t p = n;
            while (p < 2 * n && !x.get(p, q)) {
                ++p;
            }
            Word outcome = 0;
            if (p < 2 * n) {
                for (std::size_t i = 0; i < 2 * n; ++i) {
                    if (i != p && i != p - n && x.get(i, q)) {
                        rowsum_into(i, p);
                    }
                }
                for (std::size_t c = 0; c < n; ++c) {
                    x.set(p - n, c, x.get(p, c));
                    z.set(p - n, c, z.get(p, c));
                }
                phase[p - n] = phase[p];
                x.clear_row(p);
                z.clear_row(p);
                z.set(p, q, true);
                phase[p] = rng.next_u64();
                outcome = phase[p];
            } else {
                x.clear_row(2 * n);
                z.clear_row(2 * n);
                phase[2 * n] = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    if (x.get(i, q)) {
                        rowsum_into(2 * n, i + n);
                    }
                }
                outcome = phase[2 * n];
            }
            outcome_words[q * passes + b] = outcome;
        }
    }
    std::vector<std::uint64_t> result(shots, 0);
    for (std::size_t q = 0; q < n; ++q) {
        for (std::size_t b = 0; b < passes; ++b) {
            for (Word w = outcome_words[q * passes + b]; w != 0; w &= w - 1) {
                const std::size_t k = 64 * b + static_cast<std::size_t>(std::countr_zero(w));
                if (k < shots) {
                    result[k] |= std::uint64_t{1} << q;
                }
            }
        }
    }
    return result;
}

Tableau random_tableau(std::size_t n, int gates, std::mt19937_64& gen, StdRng& rng) {
    Tableau t(n);
    for (int i = 0; i < gates; ++i) {
        if (n >= 2) {
            EXPECT_TRUE(apply_gate(t, random_clifford(n, gen)));
        } else if (n == 1) {
            EXPECT_TRUE(gen() % 2 ? t.h(0) : t.s(0));
        }
        if (n > 0 && gen() % 16 == 0) {
            EXPECT_TRUE(t.measure(static_cast<Qubit>(gen() % n), rng));
        }
    }
    return t;
}

TEST(StabSample, MatchesTheStepByStepAlgorithm) {
    std::mt19937_64 gen(99);
    StdRng setup = StdRng::seed_from_u64(1);
    const std::size_t sizes[] = {0, 1, 2, 5, 13, 31, 63, 64};
    const std::uint32_t shot_counts[] = {0, 1, 63, 64, 65, 100, 1000};
    for (std::size_t n : sizes) {
        for (int variant = 0; variant < 3; ++variant) {
            Tableau t = random_tableau(n, static_cast<int>(4 * n) + variant * 7, gen, setup);
            if (variant == 1) {
                t.to_qubit_major();
            } else {
                t.to_generator_major();
            }
            const Tableau before = t;
            for (std::uint32_t shots : shot_counts) {
                const std::uint64_t seed = gen();
                StabilizerBackend backend = StabilizerBackend::with_seed(seed);
                StdRng reference_rng = StdRng::seed_from_u64(seed);
                const auto sampled = backend.sample(t, shots);
                ASSERT_TRUE(sampled);
                const auto expected = reference_sample(t, shots, reference_rng);
                ASSERT_EQ(*sampled, expected) << "n " << n << " shots " << shots;
                // Same number of draws: the two generators continue alike.
                ASSERT_EQ(backend.rng().next_u64(), reference_rng.next_u64());
                ASSERT_EQ(t, before);
            }
        }
    }
}

TEST(StabSample, ChunkedEqualsWhole) {
    std::mt19937_64 gen(5);
    StdRng setup = StdRng::seed_from_u64(2);
    const Tableau t = random_tableau(40, 300, gen, setup);
    const std::uint32_t shots = static_cast<std::uint32_t>(2 * SAMPLE_CHUNK_SHOTS + 77);
    StabilizerBackend whole = StabilizerBackend::with_seed(3);
    StabilizerBackend chunked = StabilizerBackend::with_seed(3);
    const auto expected = whole.sample(t, shots).value();
    std::vector<std::uint64_t> collected;
    std::size_t calls = 0;
    struct Sink {
        std::vector<std::uint64_t>* out;
        std::size_t* calls;
    } sink{&collected, &calls};
    ASSERT_TRUE(chunked.sample_chunked(
        t, shots,
        [](void* context, std::span<const std::uint64_t> outcomes) {
            auto* s = static_cast<Sink*>(context);
            s->out->insert(s->out->end(), outcomes.begin(), outcomes.end());
            ++*s->calls;
            EXPECT_LE(outcomes.size(), SAMPLE_CHUNK_SHOTS);
        },
        &sink));
    EXPECT_EQ(collected, expected);
    EXPECT_EQ(calls, 3u);
    EXPECT_EQ(whole.rng().next_u64(), chunked.rng().next_u64());
}

TEST(StabSample, DrawOrderEdgeCases) {
    // |0…0⟩: every measurement determined, all shots 0, nothing drawn.
    {
        StabilizerBackend backend = StabilizerBackend::with_seed(10);
        StdRng fresh = StdRng::seed_from_u64(10);
        const auto shots = backend.sample(Tableau(64), 1000).value();
        EXPECT_EQ(shots, std::vector<std::uint64_t>(1000, 0));
        EXPECT_EQ(backend.rng().next_u64(), fresh.next_u64());
    }
    // Zero shots: empty, nothing drawn. Zero qubits: every shot is 0.
    {
        StabilizerBackend backend = StabilizerBackend::with_seed(11);
        StdRng fresh = StdRng::seed_from_u64(11);
        Tableau t(3);
        ASSERT_TRUE(t.h(0));
        EXPECT_TRUE(backend.sample(t, 0).value().empty());
        EXPECT_EQ(backend.sample(Tableau(0), 5).value(), std::vector<std::uint64_t>(5, 0));
        EXPECT_EQ(backend.rng().next_u64(), fresh.next_u64());
    }
    // H on one qubit, 100 shots: two passes, one 64-bit draw each; the shots
    // are the low 100 bits of the two draws, 100..127 discarded.
    {
        StabilizerBackend backend = StabilizerBackend::with_seed(12);
        StdRng fresh = StdRng::seed_from_u64(12);
        Tableau t(1);
        ASSERT_TRUE(t.h(0));
        const auto shots = backend.sample(t, 100).value();
        const std::uint64_t d0 = fresh.next_u64(), d1 = fresh.next_u64();
        std::size_t ones = 0;
        for (std::size_t k = 0; k < 100; ++k) {
            const std::uint64_t expected = ((k < 64 ? d0 >> k : d1 >> (k - 64)) & 1);
            ASSERT_EQ(shots[k], expected) << k;
            ones += shots[k];
        }
        EXPECT_GT(ones, 25u);
        EXPECT_LT(ones, 75u);
        EXPECT_EQ(backend.rng().next_u64(), fresh.next_u64());
    }
    // Bell pair: bits agree in every shot; only qubit 0 draws.
    {
        StabilizerBackend backend = StabilizerBackend::with_seed(13);
        StdRng fresh = StdRng::seed_from_u64(13);
        Tableau t(2);
        ASSERT_TRUE(t.h(0) && t.cnot(0, 1));
        const auto shots = backend.sample(t, 100).value();
        const std::uint64_t d0 = fresh.next_u64(), d1 = fresh.next_u64();
        for (std::size_t k = 0; k < 100; ++k) {
            const std::uint64_t bit = (k < 64 ? d0 >> k : d1 >> (k - 64)) & 1;
            ASSERT_EQ(shots[k], bit * 3) << k;
        }
        EXPECT_EQ(backend.rng().next_u64(), fresh.next_u64());
    }
}

TEST(StabSample, RefusesMoreThan64QubitsBeforeDrawing) {
    StabilizerBackend backend = StabilizerBackend::with_seed(1);
    StdRng fresh = StdRng::seed_from_u64(1);
    const auto result = backend.sample(Tableau(65), 10);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), BackendError::too_many_qubits(65, 64));
    EXPECT_EQ(result.error().message(), "requested 65 qubits exceeds backend limit of 64");
    EXPECT_EQ(backend.sample(Tableau(65), 0).error(), BackendError::too_many_qubits(65, 64));
    EXPECT_EQ(backend.rng().next_u64(), fresh.next_u64());
}

TEST(StabSample, RepeatedSamplingAdvancesTheGenerator) {
    StabilizerBackend backend = StabilizerBackend::with_seed(21);
    Tableau t(8);
    for (Qubit q = 0; q < 8; ++q) {
        ASSERT_TRUE(t.h(q));
    }
    const Tableau before = t;
    const auto a = backend.sample(t, 64).value();
    const auto b = backend.sample(t, 64).value();
    EXPECT_NE(a, b);
    EXPECT_EQ(t, before);
}

// Sampled support and determined bits against the dense reference.
TEST(StabSample, SupportMatchesDenseReference) {
    std::mt19937_64 gen(31);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 2 + trial % 9;
        Tableau t(n);
        DenseState dense(n);
        StabilizerBackend backend = StabilizerBackend::with_seed(static_cast<std::uint64_t>(trial));
        for (int step = 0; step < 30; ++step) {
            if (gen() % 8 == 0) {
                const Qubit q = static_cast<Qubit>(gen() % n);
                const int outcome = backend.measure(t, q).value();
                ASSERT_GT(outcome ? dense.prob_one(q) : 1 - dense.prob_one(q), 0.25);
                dense.project(q, outcome);
            } else {
                const GateInstance g = random_clifford(n, gen);
                ASSERT_TRUE(backend.apply_gate(t, g));
                dense.apply(g);
            }
        }
        std::set<std::uint64_t> support;
        for (std::size_t i = 0; i < dense.amps.size(); ++i) {
            if (std::norm(dense.amps[i]) > 1e-9) {
                support.insert(i);
            }
        }
        const std::uint32_t shots = 4000;
        std::map<std::uint64_t, std::size_t> counts;
        const std::vector<std::uint64_t> sampled = backend.sample(t, shots).value();
        for (std::uint64_t s : sampled) {
            ASSERT_TRUE(support.contains(s)) << "trial " << trial << " outcome " << s;
            ++counts[s];
        }
        // A stabilizer state is uniform over its support.
        if (support.size() <= 16) {
            ASSERT_EQ(counts.size(), support.size()) << "trial " << trial;
            const double expected = static_cast<double>(shots) / static_cast<double>(support.size());
            for (const auto& [outcome, count] : counts) {
                EXPECT_NEAR(static_cast<double>(count), expected, 0.3 * expected) << outcome;
            }
        }
    }
}

TEST(StabBackend, ExpectationValueMatchesDenseReference) {
    std::mt19937_64 gen(41);
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t n = 2 + trial % 6;
        Tableau t(n);
        DenseState dense(n);
        for (int step = 0; step < 25; ++step) {
            const GateInstance g = random_clifford(n, gen);
            ASSERT_TRUE(apply_gate(t, g));
            dense.apply(g);
        }
        if (trial % 2) {
            t.to_generator_major();
        }
        StabilizerBackend backend = StabilizerBackend::with_seed(0);
        for (int k = 0; k < 30; ++k) {
            PauliString term;
            term.coeff = 0.5;
            std::vector<bool> xs(n), zs(n);
            for (Qubit q = 0; q < n; ++q) {
                const auto p = static_cast<Pauli>(gen() % 4);
                if (p != Pauli::I) {
                    term.ops.emplace_back(q, p);
                }
                xs[q] = p == Pauli::X || p == Pauli::Y;
                zs[q] = p == Pauli::Z || p == Pauli::Y;
            }
            const double value = backend.expectation_value(t, term).value();
            EXPECT_NEAR(value, 0.5 * dense.expectation(xs, zs, false), 1e-9);
        }
    }
    StabilizerBackend backend = StabilizerBackend::with_seed(0);
    const Tableau t(2);
    PauliString bad{{{0, Pauli::Z}, {5, Pauli::X}}, 1.0};
    EXPECT_EQ(backend.expectation_value(t, bad).error(), BackendError::qubit_out_of_range(5, 2));
    bad = {{{1, Pauli::Z}, {1, Pauli::X}}, 1.0};
    EXPECT_EQ(backend.expectation_value(t, bad).error(), BackendError::duplicate_qubit(1));
    bad = {{{9, Pauli::Z}}, std::nan("")};
    EXPECT_EQ(backend.expectation_value(t, bad).error().message(),
              "Pauli string violates its invariants: non-finite coefficient");
    EXPECT_EQ(backend.expectation_value(t, PauliString{{}, -2.0}).value(), -2.0);
}

// ---- the run path -----------------------------------------------------------

ir::Circuit bell_circuit() {
    ir::Circuit c(2, 2);
    EXPECT_TRUE(c.add_gate(make_gate(Gate::h(), {0})));
    EXPECT_TRUE(c.add_gate(make_gate(Gate::cnot(), {0, 1})));
    return c;
}

TEST(StabRun, SeededRunsReproduce) {
    ir::Circuit c = bell_circuit();
    ASSERT_TRUE(c.add_instruction(ir::Measure{1, 0}));
    ASSERT_TRUE(c.add_gate(make_gate(Gate::h(), {1})));
    StabilizerBackend a = StabilizerBackend::with_seed(42), b = StabilizerBackend::with_seed(42);
    const auto ca = run_counts(a, c, 1000).value();
    const auto cb = run_counts(b, c, 1000).value();
    EXPECT_EQ(ca, cb);
    std::uint64_t total = 0;
    for (const auto& [outcome, count] : ca) {
        total += count;
    }
    EXPECT_EQ(total, 1000u);
    // The walk's measurement draws one u32, sampling continues the stream.
    StabilizerBackend manual = StabilizerBackend::with_seed(42);
    Tableau t = execute(manual, c).value();
    const auto shots = manual.sample(t, 1000).value();
    std::map<std::uint64_t, std::uint64_t> counted;
    for (std::uint64_t s : shots) {
        ++counted[s];
    }
    EXPECT_EQ(counted, ca);
}

// The stabilizer walk and the generic driver of the backend interface walk a
// valid circuit alike: same tableau, same draws.
TEST(StabRun, GenericDriverWalksAlike) {
    std::mt19937_64 gen(55);
    ir::Circuit c(12, 1);
    for (int i = 0; i < 200; ++i) {
        if (gen() % 10 == 0) {
            ASSERT_TRUE(c.add_instruction(ir::Measure{static_cast<Qubit>(gen() % 12), 0}));
        } else {
            ASSERT_TRUE(c.add_gate(random_clifford(12, gen)));
        }
    }
    StabilizerBackend a = StabilizerBackend::with_seed(5), b = StabilizerBackend::with_seed(5);
    const Tableau walked = execute(a, c).value();
    const Tableau driven = backend::run(b, c).value();
    EXPECT_EQ(walked, driven);
    EXPECT_EQ(a.rng().next_u64(), b.rng().next_u64());
}

TEST(StabRun, ErrorsAndTheirStages) {
    const auto expect_error = [](const ir::Circuit& c, RunStage stage, const std::string& text) {
        const auto checked = check_run(c);
        ASSERT_FALSE(checked);
        EXPECT_EQ(checked.error().stage, stage);
        EXPECT_EQ(checked.error().message(), text);
        StabilizerBackend backend = StabilizerBackend::with_seed(0);
        const auto counted = run_counts(backend, c, 10);
        ASSERT_FALSE(counted);
        EXPECT_EQ(counted.error(), checked.error());
    };
    expect_error(ir::Circuit(0), RunStage::Walk, "run stab: cannot run an empty circuit");
    {
        ir::Circuit c = bell_circuit();
        ASSERT_TRUE(c.add_instruction(ir::Reset{0}));
        expect_error(c, RunStage::Walk, "run stab: IR instruction `reset` is not supported by this backend");
    }
    {
        ir::Circuit c = bell_circuit();
        ASSERT_TRUE(c.add_gate(make_gate(Gate::t(), {1})));
        expect_error(c, RunStage::Walk, "run stab: gate `T` is not supported by this backend");
    }
    {
        ir::Circuit c = bell_circuit();
        c.instructions_mut().push_back(ir::DiagonalPhase{{}, 2});
        expect_error(c, RunStage::Walk, "run stab: IR instruction `diagonal_phase` is not supported by this backend");
    }
    {
        // A walk error comes before sampling's qubit limit, even when far away.
        ir::Circuit c(100);
        ASSERT_TRUE(c.add_gate(make_gate(Gate::h(), {99})));
        ASSERT_TRUE(c.add_gate(make_gate(Gate::rz(std::numbers::pi / 2), {3})));
        expect_error(c, RunStage::Walk, "run stab: gate `Rz` is not supported by this backend");
    }
    {
        ir::Circuit c(65);
        ASSERT_TRUE(c.add_gate(make_gate(Gate::h(), {64})));
        expect_error(c, RunStage::Sample, "sample: requested 65 qubits exceeds backend limit of 64");
    }
    {
        // 65535 qubits with no instructions: refused before any tableau
        // (which would take about 1 GiB per grid).
        const ir::Circuit c(ir::MAX_QUBITS);
        EXPECT_EQ(check_run(c).error().message(), "sample: requested 65535 qubits exceeds backend limit of 64");
    }
}

// check_run must name exactly the error the walk then sampling would raise,
// including for instructions that only a pass could have put there.
TEST(StabRun, CheckAgreesWithTheWalk) {
    std::mt19937_64 gen(123);
    for (int trial = 0; trial < 300; ++trial) {
        const std::uint32_t n = 1 + static_cast<std::uint32_t>(gen() % 70);
        ir::Circuit c(n, 1);
        auto& instructions = c.instructions_mut();
        const int length = static_cast<int>(gen() % 12);
        for (int i = 0; i < length; ++i) {
            const Qubit a = static_cast<Qubit>(gen() % (n + 2));
            const Qubit b = static_cast<Qubit>(gen() % (n + 2));
            switch (gen() % 9) {
                case 0:
                    instructions.push_back(make_gate(Gate::h(), {a}));
                    break;
                case 1:
                    instructions.push_back(make_gate(Gate::cnot(), {a, b}));
                    break;
                case 2:
                    instructions.push_back(make_gate(Gate::iswap_dg(), {a, b}));
                    break;
                case 3:
                    instructions.push_back(ir::Measure{a, 0});
                    break;
                case 4:
                    instructions.push_back(ir::Barrier{{0}});
                    break;
                case 5:
                    if (gen() % 8 == 0) {
                        instructions.push_back(ir::Reset{a});
                    } else {
                        instructions.push_back(make_gate(Gate::cz(), {a, b}));
                    }
                    break;
                case 6: {
                    ir::TiledBlock block;
                    block.gates.push_back(make_gate(Gate::s(), {a}));
                    block.gates.push_back(make_gate(Gate::swap(), {b, a}));
                    if (gen() % 6 == 0) {
                        block.gates.push_back(make_gate(Gate::ry(1.0), {a}));
                    }
                    instructions.push_back(block);
                    break;
                }
                case 7:
                    if (gen() % 8 == 0) {
                        GateInstance g = make_gate(Gate::x(), {a});
                        g.controls.push_back(b);
                        instructions.push_back(g);
                    } else {
                        instructions.push_back(make_gate(Gate::sdg(), {a}));
                    }
                    break;
                default:
                    if (gen() % 10 == 0) {
                        instructions.push_back(ir::DiagonalPhase{{}, 1});
                    } else {
                        instructions.push_back(make_gate(Gate::y(), {a}));
                    }
                    break;
            }
        }
        const auto checked = check_run(c);
        StabilizerBackend backend = StabilizerBackend::with_seed(static_cast<std::uint64_t>(trial));
        auto walked = execute(backend, c);
        if (!walked) {
            ASSERT_FALSE(checked) << "trial " << trial;
            ASSERT_EQ(checked.error(), (StabRunError{RunStage::Walk, walked.error()})) << "trial " << trial;
            continue;
        }
        const auto sampled = backend.sample(*walked, 8);
        if (!sampled) {
            ASSERT_FALSE(checked);
            ASSERT_EQ(checked.error(), (StabRunError{RunStage::Sample, sampled.error()}));
        } else {
            ASSERT_TRUE(checked) << checked.error().message();
        }
    }
}

TEST(StabBackend, DiagonalPhaseAndTiledBlock) {
    StabilizerBackend backend = StabilizerBackend::with_seed(0);
    Tableau t(3);
    EXPECT_EQ(backend.apply_diagonal_phase(t, ir::DiagonalPhase{}).error().message(),
              "IR instruction `diagonal_phase` is not supported by this backend");
    ir::TiledBlock block;
    block.gates.push_back(make_gate(Gate::x(), {0}));
    block.gates.push_back(make_gate(Gate::t(), {1}));
    block.gates.push_back(make_gate(Gate::x(), {2}));
    EXPECT_EQ(backend.apply_tiled_block(t, block).error(), BackendError::unsupported_gate("T"));
    // The gates before the failing one were applied; the ones after were not.
    EXPECT_EQ(backend.measure(t, 0).value(), 1);
    EXPECT_EQ(backend.measure(t, 2).value(), 0);
    EXPECT_EQ(backend.measure(t, 3).error().message(), "qubit 3 out of range for 3-qubit state");
}

}  // namespace
}  // namespace nivra::stab
