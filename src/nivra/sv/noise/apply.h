#pragma once
// Noisy execution on the state vector: one independent stochastic trajectory
// per shot, every gate followed by the channels the model attaches to it.
//
//   auto counts = run_noisy(circuit, model, 1000, seed);   // 2^n counters, or a NoiseError
//
// Reproducibility. Shot s of a run seeded `seed` draws only from its own
// generator, StdRng::seed_from_u64(trajectory_seed(seed, s)), in this order:
//   one draw per applied channel (gates in circuit order, channels in list order),
//   one draw for the final sample (NaiveSvBackend::sample of one shot),
//   one draw per qubit with a readout error, qubits ascending.
// A shot's outcome therefore depends on (seed, s) alone: never on the thread
// count, the scheduling, or the number of other shots.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/sv/noise/error.h"
#include "nivra/sv/noise/model.h"
#include "nivra/sv/state.h"

namespace nivra::sv::noise {

// The generator seed of shot `shot`: with G = 0x9E3779B97F4A7C15,
// z = seed·G + (shot + G) modulo 2^64, then the SplitMix64 finaliser
// z ^= z >> 30; z *= 0xBF58476D1CE4E5B9; z ^= z >> 27; z *= 0x94D049BB133111EB; z ^= z >> 31.
std::uint64_t trajectory_seed(std::uint64_t seed, std::uint64_t shot);

// Applies one channel after a gate on `targets` (the gate's targets in order),
// drawing once from `rng`:
//   PauliMixture  u picks the first term whose running weight sum exceeds u
//                 (the last term if none does); factor j acts on targets[j]
//                 through kernels::apply_1q (I does nothing).
//   Kraus         acts on targets[0]: branch weights w_k = ||K_k ψ||² (one
//                 sequential sum per operator over ascending pair indices), u
//                 picks k by the same running-sum rule, then ψ ← K_k ψ / √w_k,
//                 or ψ unchanged when w_k < 1e-300. Serial.
// Preconditions (InvariantError): error.arity() <= targets.size(); the targets
// it uses lie below state.num_qubits; the state's length is 2^num_qubits.
void apply_channel(CpuState& state, const QuantumError& error, std::span<const Qubit> targets, StdRng& rng);

// A circuit bound to a model for trajectories: each instruction's channel
// list, looked up once, and the readout errors of the circuit's qubits.
// Holds pointers into both: they must outlive it unchanged.
class NoisyCircuit {
public:
    // Checks in order:
    //   num_qubits >= 64       Backend(InvalidState "num_qubits exceeds platform usize::BITS")
    //   a channel that needs more qubits than its gate has targets (a 2-qubit
    //   mixture after a 1-target gate)    ChannelArity, for the first such gate
    // Each gate instruction gets model.errors_for(kind name, targets), so
    // external controls never take part in the lookup; other instructions get
    // no channels.
    static std::expected<NoisyCircuit, NoiseError> prepare(const ir::Circuit& circuit, const NoiseModel& model);

    std::uint32_t num_qubits() const { return circuit_->num_qubits(); }

    // The channels that follow instruction `index`.
    std::span<const QuantumError* const> channels(std::size_t index) const;

    // Runs shot `shot` of a run seeded `seed` and returns its reported outcome
    // (bit q = qubit q). From |0...0>, in order: more than 28 qubits fails with
    // Backend(TooManyQubits); each instruction: a gate through
    // NaiveSvBackend::apply_gate (its error as Backend), then its channels;
    // Measure / Reset fail with MidCircuit "measure" / "reset" wherever they
    // stand; Barrier nothing; DiagonalPhase applied (no channels);
    // TiledBlock fails with Unsupported "tiled-block". Then one sample (its
    // validation error as Backend), then the readout flips: for each qubit q
    // ascending with a readout error, with b = bit q, draw u and flip bit q
    // when u < P(1 − b | b).
    std::expected<std::uint64_t, NoiseError> run_trajectory(std::uint64_t seed, std::uint64_t shot) const;

private:
    NoisyCircuit() = default;

    const ir::Circuit* circuit_ = nullptr;
    // Instruction i's channels are channels_[channel_begin_[i] .. channel_begin_[i + 1]).
    std::vector<std::size_t> channel_begin_;
    std::vector<const QuantumError*> channels_;
    // The qubits below num_qubits that have a readout error, ascending.
    std::vector<std::pair<Qubit, ReadoutError>> readout_;
};

struct TrajectoryLimits {
    // Most shots in flight at once; 0: as many as the pool has threads, fewer
    // when memory is short (each shot holds a state of 16·2^n bytes plus its
    // sampling tables of 12·2^n bytes; in-flight shots are kept within half
    // of memory_limit(), and at least one runs). Results never depend on it.
    std::size_t max_parallel_shots = 0;
};

// Runs `shots` trajectories on the shared pool and returns 2^n counters,
// entry x the number of shots whose reported outcome was x. Checks before any
// shot, in order: the checks of NoisyCircuit::prepare, then more than 28
// qubits (Backend(TooManyQubits {n, 28}), also for zero shots, before the
// counters are allocated). The circuit runs as given (no optimisation).
//
// When shots fail, the first error recorded is returned and the workers stop
// taking shots; errors that come from the circuit itself are the same for
// every shot. Each in-flight shot runs isolated, so a worker waiting inside a
// shot's parallel kernel never starts a second shot. An InvariantError or
// std::bad_alloc inside a shot stops the run and is rethrown.
std::expected<std::vector<std::uint64_t>, NoiseError> run_noisy(const ir::Circuit& circuit, const NoiseModel& model,
                                                                std::uint32_t shots, std::uint64_t seed,
                                                                const TrajectoryLimits& limits = {});

}  // namespace nivra::sv::noise
