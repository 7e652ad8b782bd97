#pragma once
// StabilizerBackend: the stabilizer simulator behind the Backend interface,
// its bit-sliced sampler, and the stabilizer path of a run.
//
// Randomness. The backend owns one StdRng; every random decision of a run
// draws from it in program order: a random mid-circuit measurement takes one
// next_u32 (outcome = its bit 31), and sampling takes one next_u64 per
// (pass, qubit) whose measurement is random, passes in order and qubits in
// order inside a pass, the last, partly used pass included. Determined
// measurements draw nothing. One seed therefore fixes the whole run.
//
// Sampling, bit-sliced. Shots go 64 to a pass: pass b holds shots 64b .. 64b+63
// and every sign of the tableau becomes a 64-bit phase word, bit s for shot
// 64b + s. Measuring all qubits in order 0 .. n-1 on a copy of the tableau,
// the X/Z row products are the same for every shot (and every pass); only the
// phase words differ. So each qubit's outcome word is an affine function of the
// pass's random draws d_0 .. d_{K-1}:
//
//     outcome word of q = flip_q XOR (XOR of d_k over the k in draws_q)
//
// found once by one symbolic pass over the copy; every pass then draws its K
// words and evaluates the affine forms. Outcome words (qubit q = word q) are
// turned into shot bitmasks (shot s = word s) by one 64×64 bit transpose.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/core/gate.h"
#include "nivra/core/pauli.h"
#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/stab/dispatch.h"
#include "nivra/stab/error.h"
#include "nivra/stab/tableau.h"

namespace nivra::stab {

using backend::BackendError;

// Largest circuit the stabilizer walk accepts (65536 itself is accepted).
inline constexpr std::uint32_t WALK_MAX_QUBITS = 65536;
// Largest qubit count sampling accepts: a shot is one 64-bit mask.
inline constexpr std::uint32_t SAMPLE_MAX_QUBITS = 64;
// Shots handed to a sink at a time by sample_chunked (512 KiB of outcomes).
inline constexpr std::size_t SAMPLE_CHUNK_SHOTS = std::size_t{1} << 16;

// UnsupportedGate, QubitOutOfRange and DuplicateQubit with the same payloads.
BackendError to_backend_error(const StabError& error);

// The bit-sliced measurement of every qubit of a tableau (n <= 64), as affine
// forms over one pass's random draws; see the top of this file.
struct SampleProgram {
    std::size_t num_qubits = 0;
    // K: the qubits whose measurement is random, in qubit order; draw k of a
    // pass belongs to the k-th of them.
    std::size_t num_random = 0;
    // Per qubit: bit k set = draw k is XORed into the outcome word.
    std::vector<std::uint64_t> draw_masks;
    // Per qubit: all ones or zero, XORed into the outcome word.
    std::vector<std::uint64_t> flips;
};

// Measures qubits 0 .. n-1 in order on a generator-major copy of the tableau
// (the tableau itself is not changed). Requires n <= 64 (else InvariantError).
SampleProgram compile_sample_program(const Tableau& tableau);

// The shots of passes [first_pass, first_pass + out.size() / 64 rounded up):
// draws K words per pass from rng, evaluates the program and writes shot
// 64·(pass - first_pass) + s to out[...] for every index inside `out`.
void run_sample_passes(const SampleProgram& program, StdRng& rng, std::span<std::uint64_t> out);

class StabilizerBackend {
public:
    using State = Tableau;

    explicit StabilizerBackend(StdRng rng) : rng_(std::move(rng)) {}
    // Keys the generator with seed_from_u64(seed).
    static StabilizerBackend with_seed(std::uint64_t seed) { return StabilizerBackend(StdRng::seed_from_u64(seed)); }
    // Keys the generator with 32 bytes of operating-system entropy.
    static std::expected<StabilizerBackend, EntropyError> from_entropy();

    StdRng& rng() { return rng_; }

    std::uint32_t max_qubits() const { return WALK_MAX_QUBITS; }
    // Tableau(n); fails only by std::bad_alloc.
    std::expected<Tableau, BackendError> new_state(std::uint32_t n);

    // dispatch::apply_gate with the error mapped by to_backend_error.
    std::expected<void, BackendError> apply_gate(Tableau& tableau, const GateInstance& gate);
    // Always UnsupportedInstruction("diagonal_phase").
    std::expected<void, BackendError> apply_diagonal_phase(Tableau& tableau, const ir::DiagonalPhase& phase);
    // apply_gate for each gate in order; the first error ends it.
    std::expected<void, BackendError> apply_tiled_block(Tableau& tableau, const ir::TiledBlock& block);
    // Tableau::measure with this backend's generator.
    std::expected<std::uint8_t, BackendError> measure(Tableau& tableau, Qubit qubit);

    // `shots` outcomes (bit q = qubit q), bit-sliced 64 shots a pass; the
    // tableau is not changed (layout included). More than 64 qubits:
    // TooManyQubits {n, 64} before any work or draw.
    std::expected<std::vector<std::uint64_t>, BackendError> sample(const Tableau& tableau, std::uint32_t shots);
    // The same outcomes and draws, handed to `sink` at most SAMPLE_CHUNK_SHOTS at a time.
    std::expected<void, BackendError> sample_chunked(const Tableau& tableau, std::uint32_t shots,
                                                     backend::OutcomeSink sink, void* context);

    // coeff · ⟨P⟩ for a Pauli product P; on a stabilizer state ⟨P⟩ is +1, -1
    // or 0. Checks in order: a non-finite coeff (InvalidPauliString
    // "non-finite coefficient"), then each operator's qubit: range
    // (QubitOutOfRange), then repetition (DuplicateQubit).
    std::expected<double, BackendError> expectation_value(const Tableau& tableau, const PauliString& term);

    // Relabels qubits: afterwards qubit q of the tableau is qubit perm[q] of
    // the input. `perm` must be a permutation of 0 .. n-1 (else InvariantError).
    std::expected<void, BackendError> unpermute_state(Tableau& tableau, std::span<const Qubit> perm);

private:
    StdRng rng_;
};

static_assert(backend::Backend<StabilizerBackend>);
static_assert(backend::ChunkedSampler<StabilizerBackend>);

// The stabilizer path of a run, in three steps the caller takes in order:
// check_run, execute, then sampling (sample / sample_chunked / sample_counts).

// The step of a run an error belongs to: the run path shows walk errors after
// "run stab: " and sampling errors after "sample: ".
enum class RunStage : std::uint8_t { Walk, Sample };

struct StabRunError {
    RunStage stage = RunStage::Walk;
    BackendError error;

    // "run stab: " or "sample: ", then the error's message.
    std::string message() const;
    friend bool operator==(const StabRunError&, const StabRunError&) = default;
};

// Every error the walk and the sampling of this circuit would raise is fixed
// by the circuit alone (measurement outcomes change no check), so this finds
// the first of them without a tableau: EmptyCircuit, TooManyQubits {n, 65536},
// the instructions in order (as execute walks them), then sampling's
// TooManyQubits {n, 64}. Call it before execute so that a run that is bound to
// fail allocates nothing. Its error is the one the later steps would raise.
std::expected<void, StabRunError> check_run(const ir::Circuit& circuit);

// The walk: EmptyCircuit, TooManyQubits {n, 65536}, Tableau(n), then each
// instruction in order (gate: apply_gate; Measure: measure, outcome dropped;
// Reset: UnsupportedInstruction("reset"); Barrier: nothing; DiagonalPhase:
// UnsupportedInstruction("diagonal_phase"); TiledBlock: its gates in order).
// The first error ends it and drops the tableau.
std::expected<Tableau, BackendError> execute(StabilizerBackend& backend, const ir::Circuit& circuit);

// check_run, execute, then the shots counted per outcome (ascending), drawing
// as sample(tableau, shots) does. Memory beyond the tableau is bounded by the
// number of distinct outcomes.
std::expected<std::map<std::uint64_t, std::uint64_t>, StabRunError> run_counts(StabilizerBackend& backend,
                                                                               const ir::Circuit& circuit,
                                                                               std::uint32_t shots);

}  // namespace nivra::stab
