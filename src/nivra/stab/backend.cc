#include "nivra/stab/backend.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <utility>

#include "nivra/core/error.h"
#include "nivra/stab/rowsum.h"

namespace nivra::stab {
namespace {

constexpr Word ALL_ONES = ~Word{0};

std::size_t passes_for(std::size_t shots) { return shots / WORD_BITS + (shots % WORD_BITS != 0); }

// Up to this many qubits a pass's shots are gathered bit by bit: n x 64 steps
// cost less than the 64 x 64 transpose, whose cost does not fall with n.
constexpr std::size_t GATHER_MAX_QUBITS = 8;

// Shot-major bitmasks of `count` shots from qubit-major outcome words:
// bit q of out[s] is bit s of block[q].
void shots_from_outcome_words(const std::array<Word, 64>& block, std::size_t n, std::size_t count,
                              std::span<std::uint64_t> out) {
    for (std::size_t s = 0; s < count; ++s) {
        Word shot = 0;
        for (std::size_t q = 0; q < n; ++q) shot |= ((block[q] >> s) & 1) << q;
        out[s] = shot;
    }
}

}  // namespace

BackendError to_backend_error(const StabError& error) {
    switch (error.kind) {
        case StabError::Kind::UnsupportedGate:
            return BackendError::unsupported_gate(error.gate);
        case StabError::Kind::QubitOutOfRange:
            return BackendError::qubit_out_of_range(error.qubit, error.num_qubits);
        case StabError::Kind::DuplicateQubit:
            return BackendError::duplicate_qubit(error.qubit);
    }
    invariant_failure("to_backend_error: unknown StabError kind");
}

// ---- sampling -------------------------------------------------------------

SampleProgram compile_sample_program(const Tableau& tableau) {
    const std::size_t n = tableau.num_qubits();
    check_invariant(n <= SAMPLE_MAX_QUBITS, "compile_sample_program: more than 64 qubits");
    SampleProgram program;
    program.num_qubits = n;
    program.draw_masks.assign(n, 0);
    program.flips.assign(n, 0);

    // A generator-major copy: with n <= 64 every row is one word.
    BitGrid x = tableau.x();
    BitGrid z = tableau.z();
    if (tableau.layout() == Layout::QubitMajor) {
        x = x.transpose();
        z = z.transpose();
    }
    const std::size_t generators = tableau.num_generators();
    check_invariant(x.words_per_row() == 1 && z.words_per_row() == 1 && x.rows() == generators,
                    "compile_sample_program: unexpected grid shape");
    std::vector<Word> xs(x.words().begin(), x.words().end());
    std::vector<Word> zs(z.words().begin(), z.words().end());
    // The symbolic phase word of each generator: flip XOR (XOR of the draws in mask).
    std::vector<Word> masks(generators, 0);
    std::vector<Word> flips(generators, 0);
    for (std::size_t i = 0; i < generators; ++i) {
        flips[i] = tableau.sign(i) ? ALL_ONES : 0;
    }
    // Row i <- row p · row i on the copy, carrying the symbolic phase.
    const auto multiply_into = [&](std::size_t i, std::size_t p) {
        const std::uint64_t g = rowsum_words(std::span<Word>(&xs[i], 1), std::span<Word>(&zs[i], 1),
                                             std::span<const Word>(&xs[p], 1), std::span<const Word>(&zs[p], 1));
        masks[i] ^= masks[p];
        flips[i] ^= flips[p] ^ (phase_flips(g) ? ALL_ONES : 0);
    };

    const std::size_t scratch = 2 * n;
    for (std::size_t q = 0; q < n; ++q) {
        const Word bit = Word{1} << q;
        std::size_t p = n;
        while (p < 2 * n && (xs[p] & bit) == 0) {
            ++p;
        }
        if (p < 2 * n) {
            for (std::size_t i = 0; i < 2 * n; ++i) {
                if (i != p && i != p - n && (xs[i] & bit) != 0) {
                    multiply_into(i, p);
                }
            }
            xs[p - n] = xs[p];
            zs[p - n] = zs[p];
            masks[p - n] = masks[p];
            flips[p - n] = flips[p];
            xs[p] = 0;
            zs[p] = bit;
            const std::size_t k = program.num_random++;
            masks[p] = Word{1} << k;
            flips[p] = 0;
            program.draw_masks[q] = masks[p];
            program.flips[q] = 0;
        } else {
            xs[scratch] = 0;
            zs[scratch] = 0;
            masks[scratch] = 0;
            flips[scratch] = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if ((xs[i] & bit) != 0) {
                    multiply_into(scratch, i + n);
                }
            }
            program.draw_masks[q] = masks[scratch];
            program.flips[q] = flips[scratch];
        }
    }
    return program;
}

void run_sample_passes(const SampleProgram& program, StdRng& rng, std::span<std::uint64_t> out) {
    const std::size_t n = program.num_qubits;
    check_invariant(n <= SAMPLE_MAX_QUBITS && program.num_random <= n && program.draw_masks.size() == n &&
                        program.flips.size() == n,
                    "run_sample_passes: malformed program");
    std::array<Word, 64> draws{};
    std::array<Word, 64> block{};
    const std::size_t passes = passes_for(out.size());
    for (std::size_t pass = 0; pass < passes; ++pass) {
        for (std::size_t k = 0; k < program.num_random; ++k) {
            draws[k] = rng.next_u64();
        }
        for (std::size_t q = 0; q < n; ++q) {
            Word word = program.flips[q];
            for (Word mask = program.draw_masks[q]; mask != 0; mask &= mask - 1) {
                word ^= draws[static_cast<std::size_t>(std::countr_zero(mask))];
            }
            block[q] = word;
        }
        // Qubit-major outcome words to shot-major bitmasks.
        const std::size_t first = pass * WORD_BITS;
        const std::size_t count = std::min(WORD_BITS, out.size() - first);
        if (n <= GATHER_MAX_QUBITS) {
            shots_from_outcome_words(block, n, count, out.subspan(first, count));
            continue;
        }
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(n), block.end(), Word{0});
        transpose_block_64(block);
        std::copy_n(block.begin(), count, out.begin() + static_cast<std::ptrdiff_t>(first));
    }
}

// ---- the backend ----------------------------------------------------------

std::expected<StabilizerBackend, EntropyError> StabilizerBackend::from_entropy() {
    auto rng = StdRng::from_entropy();
    if (!rng) {
        return std::unexpected(std::move(rng.error()));
    }
    return StabilizerBackend(std::move(*rng));
}

std::expected<Tableau, BackendError> StabilizerBackend::new_state(std::uint32_t n) { return Tableau(n); }

std::expected<void, BackendError> StabilizerBackend::apply_gate(Tableau& tableau, const GateInstance& gate) {
    if (auto applied = stab::apply_gate(tableau, gate); !applied) {
        return std::unexpected(to_backend_error(applied.error()));
    }
    return {};
}

std::expected<void, BackendError> StabilizerBackend::apply_diagonal_phase(Tableau&, const ir::DiagonalPhase&) {
    return backend::diagonal_phase_unsupported();
}

std::expected<void, BackendError> StabilizerBackend::apply_tiled_block(Tableau& tableau, const ir::TiledBlock& block) {
    return backend::apply_tiled_block_by_gates(*this, tableau, block);
}

std::expected<std::uint8_t, BackendError> StabilizerBackend::measure(Tableau& tableau, Qubit qubit) {
    auto outcome = tableau.measure(qubit, rng_);
    if (!outcome) {
        return std::unexpected(to_backend_error(outcome.error()));
    }
    return *outcome;
}

std::expected<void, BackendError> StabilizerBackend::sample_chunked(const Tableau& tableau, std::uint32_t shots,
                                                                    backend::OutcomeSink sink, void* context) {
    const std::size_t n = tableau.num_qubits();
    if (n > SAMPLE_MAX_QUBITS) {
        return std::unexpected(BackendError::too_many_qubits(static_cast<std::uint32_t>(n), SAMPLE_MAX_QUBITS));
    }
    if (shots == 0) {
        return {};
    }
    const SampleProgram program = compile_sample_program(tableau);
    // Chunks are whole passes (SAMPLE_CHUNK_SHOTS is a multiple of 64), so
    // the draws run in the same order as one uninterrupted sampling.
    std::vector<std::uint64_t> chunk(std::min<std::size_t>(shots, SAMPLE_CHUNK_SHOTS));
    for (std::size_t done = 0; done < shots;) {
        const std::size_t count = std::min<std::size_t>(shots - done, SAMPLE_CHUNK_SHOTS);
        const std::span<std::uint64_t> out(chunk.data(), count);
        run_sample_passes(program, rng_, out);
        sink(context, out);
        done += count;
    }
    return {};
}

std::expected<std::vector<std::uint64_t>, BackendError> StabilizerBackend::sample(const Tableau& tableau,
                                                                                  std::uint32_t shots) {
    const std::size_t n = tableau.num_qubits();
    if (n > SAMPLE_MAX_QUBITS) {
        return std::unexpected(BackendError::too_many_qubits(static_cast<std::uint32_t>(n), SAMPLE_MAX_QUBITS));
    }
    std::vector<std::uint64_t> outcomes(shots, 0);
    if (shots != 0) {
        run_sample_passes(compile_sample_program(tableau), rng_, outcomes);
    }
    return outcomes;
}

std::expected<double, BackendError> StabilizerBackend::expectation_value(const Tableau& tableau,
                                                                         const PauliString& term) {
    if (!std::isfinite(term.coeff)) {
        return std::unexpected(BackendError::invalid_pauli_string("non-finite coefficient"));
    }
    const std::size_t n = tableau.num_qubits();
    const std::size_t words = words_for_bits(std::max<std::size_t>(n, 1));
    std::vector<Word> px(words, 0);
    std::vector<Word> pz(words, 0);
    std::vector<bool> seen(n, false);
    for (const auto& [qubit, pauli] : term.ops) {
        if (qubit >= n) {
            return std::unexpected(BackendError::qubit_out_of_range(qubit, static_cast<std::uint32_t>(n)));
        }
        if (seen[qubit]) {
            return std::unexpected(BackendError::duplicate_qubit(qubit));
        }
        seen[qubit] = true;
        const Word bit = Word{1} << (qubit % WORD_BITS);
        if (pauli == Pauli::X || pauli == Pauli::Y) {
            px[qubit / WORD_BITS] |= bit;
        }
        if (pauli == Pauli::Z || pauli == Pauli::Y) {
            pz[qubit / WORD_BITS] |= bit;
        }
    }

    Tableau work = tableau;
    work.to_generator_major();
    const auto anticommutes = [&](std::size_t generator) {
        const std::span<const Word> gx = work.x().row(generator);
        const std::span<const Word> gz = work.z().row(generator);
        Word parity = 0;
        for (std::size_t w = 0; w < words; ++w) {
            parity ^= (px[w] & gz[w]) ^ (pz[w] & gx[w]);
        }
        return (std::popcount(parity) & 1) != 0;
    };
    for (std::size_t i = n; i < 2 * n; ++i) {
        if (anticommutes(i)) {
            return term.coeff * 0.0;
        }
    }
    // P commutes with every stabiliser, so P = ±(product of the stabilisers
    // whose destabilisers anticommute with P); the scratch row collects it.
    const std::size_t scratch = 2 * n;
    work.zero_row(scratch);
    for (std::size_t i = 0; i < n; ++i) {
        if (anticommutes(i)) {
            work.rowsum(scratch, i + n);
        }
    }
    check_invariant(std::equal(px.begin(), px.end(), work.x().row(scratch).begin()) &&
                        std::equal(pz.begin(), pz.end(), work.z().row(scratch).begin()),
                    "expectation_value: stabiliser product differs from the Pauli term");
    return term.coeff * (work.sign(scratch) ? -1.0 : 1.0);
}

std::expected<void, BackendError> StabilizerBackend::unpermute_state(Tableau& tableau, std::span<const Qubit> perm) {
    tableau.permute_qubits(perm);
    return {};
}

// ---- the run path ---------------------------------------------------------

std::string StabRunError::message() const {
    return std::string(stage == RunStage::Walk ? "run stab: " : "sample: ") + error.message();
}

namespace {

StabRunError walk_error(BackendError error) { return StabRunError{RunStage::Walk, std::move(error)}; }

// The first error of the instruction walk on an n-qubit tableau, if any.
std::expected<void, BackendError> check_instruction(std::size_t n, const ir::Instruction& instruction) {
    const auto gate_error = [](std::expected<void, StabError> ok) -> std::expected<void, BackendError> {
        if (!ok) {
            return std::unexpected(to_backend_error(ok.error()));
        }
        return {};
    };
    return instruction.visit(ir::overloaded{
        [&](const GateInstance& gate) { return gate_error(check_gate(n, gate)); },
        [&](const ir::Measure& measure) -> std::expected<void, BackendError> {
            if (measure.qubit >= n) {
                return std::unexpected(BackendError::qubit_out_of_range(measure.qubit, static_cast<std::uint32_t>(n)));
            }
            return {};
        },
        [](const ir::Reset&) -> std::expected<void, BackendError> {
            return std::unexpected(BackendError::unsupported_instruction("reset"));
        },
        [](const ir::Barrier&) -> std::expected<void, BackendError> { return {}; },
        [](const ir::DiagonalPhase&) { return backend::diagonal_phase_unsupported(); },
        [&](const ir::TiledBlock& block) -> std::expected<void, BackendError> {
            for (const GateInstance& gate : block.gates) {
                if (auto ok = gate_error(check_gate(n, gate)); !ok) {
                    return ok;
                }
            }
            return {};
        },
    });
}

// EmptyCircuit, then the walk's qubit limit.
std::expected<void, BackendError> check_size(const ir::Circuit& circuit) {
    if (circuit.num_qubits() == 0 && circuit.empty()) {
        return std::unexpected(BackendError::empty_circuit());
    }
    if (circuit.num_qubits() > WALK_MAX_QUBITS) {
        return std::unexpected(BackendError::too_many_qubits(circuit.num_qubits(), WALK_MAX_QUBITS));
    }
    return {};
}

}  // namespace

std::expected<void, StabRunError> check_run(const ir::Circuit& circuit) {
    if (auto ok = check_size(circuit); !ok) {
        return std::unexpected(walk_error(std::move(ok.error())));
    }
    const std::size_t n = circuit.num_qubits();
    for (const ir::Instruction& instruction : circuit.instructions()) {
        if (auto ok = check_instruction(n, instruction); !ok) {
            return std::unexpected(walk_error(std::move(ok.error())));
        }
    }
    if (n > SAMPLE_MAX_QUBITS) {
        return std::unexpected(StabRunError{
            RunStage::Sample, BackendError::too_many_qubits(static_cast<std::uint32_t>(n), SAMPLE_MAX_QUBITS)});
    }
    return {};
}

std::expected<Tableau, BackendError> execute(StabilizerBackend& backend, const ir::Circuit& circuit) {
    if (auto ok = check_size(circuit); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    Tableau tableau(circuit.num_qubits());
    for (const ir::Instruction& instruction : circuit.instructions()) {
        std::expected<void, BackendError> step = instruction.visit(ir::overloaded{
            [&](const GateInstance& gate) { return backend.apply_gate(tableau, gate); },
            [&](const ir::Measure& measure) -> std::expected<void, BackendError> {
                auto outcome = backend.measure(tableau, measure.qubit);
                if (!outcome) {
                    return std::unexpected(std::move(outcome.error()));
                }
                return {};
            },
            [](const ir::Reset&) -> std::expected<void, BackendError> {
                return std::unexpected(BackendError::unsupported_instruction("reset"));
            },
            [](const ir::Barrier&) -> std::expected<void, BackendError> { return {}; },
            [&](const ir::DiagonalPhase& phase) { return backend.apply_diagonal_phase(tableau, phase); },
            [&](const ir::TiledBlock& block) { return backend.apply_tiled_block(tableau, block); },
        });
        if (!step) {
            return std::unexpected(std::move(step.error()));
        }
    }
    return tableau;
}

std::expected<std::map<std::uint64_t, std::uint64_t>, StabRunError> run_counts(StabilizerBackend& backend,
                                                                               const ir::Circuit& circuit,
                                                                               std::uint32_t shots) {
    if (auto ok = check_run(circuit); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    auto tableau = execute(backend, circuit);
    if (!tableau) {
        return std::unexpected(walk_error(std::move(tableau.error())));
    }
    auto counts = backend::sample_counts(backend, *tableau, shots);
    if (!counts) {
        return std::unexpected(StabRunError{RunStage::Sample, std::move(counts.error())});
    }
    return std::move(*counts);
}

}  // namespace nivra::stab
