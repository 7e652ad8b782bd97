#pragma once
// The description of noise: error channels (QuantumError), per-qubit readout
// confusion (ReadoutError), and the error of a noisy run (NoiseError).
//
// A channel follows a gate. Its factors act on the gate's targets in order:
//
//   PauliMixture, arity 1 or 2   terms (w, [P0]) or (w, [P0, P1]); P0 acts on
//                                target 0, P1 on target 1; one term is drawn
//                                with probability w (cumulative, in term order)
//   Kraus, arity 1               2×2 operators K (row-major m00 m01 m10 m11) on
//                                target 0; one operator is drawn with
//                                probability ||K ψ||², then ψ ← K ψ / ||K ψ||

#include <array>
#include <boost/container/small_vector.hpp>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/core/complex.h"
#include "nivra/core/pauli.h"

namespace nivra::sv::noise {

// One term of a Pauli mixture: factor j acts on target j of the gate.
struct PauliTerm {
    double weight = 0.0;
    boost::container::small_vector<Pauli, 2> factors;

    friend bool operator==(const PauliTerm&, const PauliTerm&) = default;
};

struct PauliMixture {
    std::vector<PauliTerm> terms;  // in draw order
    std::uint8_t num_qubits = 1;   // 1 or 2; every term has this many factors

    friend bool operator==(const PauliMixture&, const PauliMixture&) = default;
};

// A 2×2 Kraus operator, row-major (m00, m01, m10, m11).
using KrausOp = std::array<Complex, 4>;

struct Kraus {
    std::vector<KrausOp> ops;  // in draw order

    friend bool operator==(const Kraus&, const Kraus&) = default;
};

// An error channel: a Pauli mixture or a single-qubit Kraus channel. A plain
// value, copied into every model entry it is attached to.
//
// Invariants (checked by the two constructors, InvariantError when broken):
// at least one term or operator; a mixture has arity 1 or 2 and every term
// exactly `num_qubits` factors. Weights and matrix entries are not checked:
// any values run (a run draws by cumulative sums and never reads past a list).
class QuantumError {
public:
    enum class Kind : std::uint8_t { PauliMixture, Kraus };

    static QuantumError pauli_mixture(std::vector<PauliTerm> terms, std::uint8_t num_qubits);
    static QuantumError kraus(std::vector<KrausOp> ops);

    Kind kind() const { return static_cast<Kind>(channel_.index()); }
    // The number of target qubits the channel needs: num_qubits of a mixture, 1 for Kraus.
    std::uint8_t arity() const;

    // The payload; null when the channel is of the other kind.
    const noise::PauliMixture* as_mixture() const { return std::get_if<noise::PauliMixture>(&channel_); }
    const noise::Kraus* as_kraus() const { return std::get_if<noise::Kraus>(&channel_); }

    friend bool operator==(const QuantumError&, const QuantumError&) = default;

private:
    explicit QuantumError(std::variant<noise::PauliMixture, noise::Kraus> channel) : channel_(std::move(channel)) {}

    std::variant<noise::PauliMixture, noise::Kraus> channel_;
};

// ---- Builders --------------------------------------------------------------
// Each has preconditions that the Python layer checks first with messages of
// its own; a violated one throws InvariantError carrying the text given.

// A single-qubit mixture from (label, weight) pairs, the terms in input order
// with weight ÷ sum (the sum taken left to right from −0.0).
//   no terms, or a sum not > 0 (NaN included)  "pauli_error weights must sum to > 0"
//   then a label other than "I" "X" "Y" "Z"    "pauli_error label {:?} is not a single-qubit
//                                               Pauli (I/X/Y/Z); pauli_error is 1q-only — use
//                                               depolarizing_error(p, 2) for 2-qubit noise"
QuantumError pauli_error(std::span<const std::pair<std::string, double>> terms);

// The depolarizing mixture on 1 or 2 qubits: 4^n terms, every non-identity one
// with weight p ÷ 4^n, the identity (p × −3) × 0.25 + 1 or (p × −15) × 0.0625 + 1.
// Term order I X Y Z; for n = 2 the pairs (a, b), a outer, a on target 0.
//   p outside [0, 1] (NaN included)  "depolarizing p must be in [0,1]"
//   then n not 1 or 2                "v1 depolarizing is 1q or 2q"
QuantumError depolarizing_error(double p, std::uint8_t num_qubits);

// (1 − p, [I]), (p, [X]) and (1 − p, [I]), (p, [Z]).
// p outside [0, 1]: "bit_flip p must be in [0,1], got {}" / "phase_flip p must be in [0,1], got {}".
QuantumError bit_flip_error(double p);
QuantumError phase_flip_error(double p);

// Kraus K0 = [[1, 0], [0, √(1 − γ)]], K1 = [[0, √γ], [0, 0]]; real entries.
// γ outside [0, 1]: "gamma must be in [0,1], got {}".
QuantumError amplitude_damping_error(double gamma);

// Kraus K0 = [[1, 0], [0, √(1 − λ)]], K1 = [[0, 0], [0, √λ]]; real entries.
// λ outside [0, 1]: "lambda must be in [0,1], got {}".
QuantumError phase_damping_error(double lambda);

// ---- Readout ---------------------------------------------------------------

// A qubit's readout confusion matrix, rows by true bit, columns by reported bit:
// [[P(0|0), P(1|0)], [P(0|1), P(1|1)]], row-major. Not checked here (the
// Python layer checks ranges and row sums).
struct ReadoutError {
    std::array<double, 4> probs{1.0, 0.0, 0.0, 1.0};

    // P(reported 1 − b | true b): entry [b][1 − b]. b must be 0 or 1.
    double flip_probability(unsigned bit) const { return probs[bit == 0 ? 1 : 2]; }

    friend bool operator==(const ReadoutError&, const ReadoutError&) = default;
};

// ---- Errors of a noisy run ---------------------------------------------------

struct NoiseError {
    enum class Kind : std::uint8_t {
        Backend,       // backend: a state-vector operation failed
        MidCircuit,    // instruction: "measure" or "reset"
        Unsupported,   // instruction: "tiled-block"
        ChannelArity,  // instruction (the gate kind name), channel_arity, targets
    };

    Kind kind = Kind::Backend;
    backend::BackendError backend{};
    std::string_view instruction;  // static text
    std::uint32_t channel_arity = 0;
    std::uint64_t targets = 0;

    static NoiseError from_backend(backend::BackendError error) { return {Kind::Backend, std::move(error), {}, 0, 0}; }
    static NoiseError mid_circuit(std::string_view instruction) { return {Kind::MidCircuit, {}, instruction, 0, 0}; }
    static NoiseError unsupported(std::string_view instruction) { return {Kind::Unsupported, {}, instruction, 0, 0}; }
    static NoiseError channel_arity_mismatch(std::string_view gate, std::uint32_t arity, std::uint64_t targets) {
        return {Kind::ChannelArity, {}, gate, arity, targets};
    }

    //   Backend       the BackendError's text unchanged
    //   MidCircuit    "mid-circuit {} is not supported under noise in v1 (terminal measurement only)"
    //   Unsupported   "instruction {} is not supported under noise in v1"
    //   ChannelArity  "noise channel acts on {} qubits but gate `{}` has {} target" ("targets"
    //                 unless exactly 1), e.g. "noise channel acts on 2 qubits but gate `H` has 1 target"
    std::string message() const;

    friend bool operator==(const NoiseError&, const NoiseError&) = default;
};

}  // namespace nivra::sv::noise
