#include "nivra/sv/noise/apply.h"

#include <algorithm>
#include <atomic>
#include <boost/container/small_vector.hpp>
#include <cmath>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/core/parallel.h"
#include "nivra/sv/backend.h"
#include "nivra/sv/kernels/kernels.h"
#include "nivra/sv/measure.h"
#include "nivra/sv/sampling.h"

namespace nivra::sv::noise {

namespace {

using kernels::M2;

const M2 PAULI_X{Complex(0, 0), Complex(1, 0), Complex(1, 0), Complex(0, 0)};
const M2 PAULI_Y{Complex(0, 0), Complex(0, -1), Complex(0, 1), Complex(0, 0)};
const M2 PAULI_Z{Complex(1, 0), Complex(0, 0), Complex(0, 0), Complex(-1, 0)};

// re² + im², written out: std::norm squares std::abs (a hypotenuse) in libstdc++.
inline double norm2(Complex z) { return z.real() * z.real() + z.imag() * z.imag(); }

// The index of the first weight after which the running sum (from 0.0)
// exceeds u; the last index when rounding keeps the sum at or below u.
template <class Weight>
std::size_t pick_by_running_sum(std::size_t count, double u, Weight&& weight) {
    double sum = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        sum += weight(k);
        if (sum > u) {
            return k;
        }
    }
    return count - 1;
}

void apply_pauli_mixture(CpuState& state, const PauliMixture& mixture, std::span<const Qubit> targets, StdRng& rng) {
    const double u = rng.next_unit_f64();
    const std::size_t pick =
        pick_by_running_sum(mixture.terms.size(), u, [&](std::size_t k) { return mixture.terms[k].weight; });
    const PauliTerm& term = mixture.terms[pick];
    for (std::size_t j = 0; j < term.factors.size(); ++j) {
        const M2* matrix = nullptr;
        switch (term.factors[j]) {
            case Pauli::I:
                continue;
            case Pauli::X:
                matrix = &PAULI_X;
                break;
            case Pauli::Y:
                matrix = &PAULI_Y;
                break;
            case Pauli::Z:
                matrix = &PAULI_Z;
                break;
        }
        check_invariant(matrix != nullptr, "apply_channel: unknown Pauli code");
        check_index(j, targets.size(), "apply_channel: Pauli factor target");
        kernels::apply_1q(state.amps.data(), state.len(), targets[j], {}, *matrix);
    }
}

void apply_kraus(CpuState& state, const Kraus& kraus, Qubit target, StdRng& rng) {
    Complex* amps = state.amps.data();
    const std::size_t len = state.len();
    const std::size_t stride = std::size_t{1} << target;
    const std::size_t count = kraus.ops.size();

    // One pass over the pairs (i, i + stride), i ascending with bit `target`
    // clear; each operator keeps its own sequential sum.
    boost::container::small_vector<double, 4> weights(count, 0.0);
    for (std::size_t base = 0; base < len; base += 2 * stride) {
        for (std::size_t i = base; i < base + stride; ++i) {
            const Complex a0 = amps[i];
            const Complex a1 = amps[i + stride];
            for (std::size_t k = 0; k < count; ++k) {
                const KrausOp& m = kraus.ops[k];
                weights[k] += norm2(m[0] * a0 + m[1] * a1) + norm2(m[2] * a0 + m[3] * a1);
            }
        }
    }

    const double u = rng.next_unit_f64();
    const std::size_t pick = pick_by_running_sum(count, u, [&](std::size_t k) { return weights[k]; });
    const double w = weights[pick];
    // Also false for NaN: a channel that breaks the state leaves it as it was.
    if (!(w >= 1e-300)) {
        return;
    }
    const double c = 1.0 / std::sqrt(w);
    const KrausOp& m = kraus.ops[pick];
    for (std::size_t base = 0; base < len; base += 2 * stride) {
        for (std::size_t i = base; i < base + stride; ++i) {
            const Complex a0 = amps[i];
            const Complex a1 = amps[i + stride];
            amps[i] = c * (m[0] * a0 + m[1] * a1);
            amps[i + stride] = c * (m[2] * a0 + m[3] * a1);
        }
    }
}

// How many shots fit in half the memory the process may use at once (at least one).
std::size_t memory_bounded_shots(std::uint32_t num_qubits) {
    // The state (16 B per amplitude) and the sampler's alias table.
    const std::uint64_t per_shot = (sizeof(Complex) + sampling::TABLE_BYTES_PER_AMP) << num_qubits;
    return static_cast<std::size_t>(std::max<std::uint64_t>(1, (memory_limit() / 2) / per_shot));
}

}  // namespace

std::uint64_t trajectory_seed(std::uint64_t seed, std::uint64_t shot) {
    constexpr std::uint64_t G = 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = seed * G + (shot + G);
    z ^= z >> 30;
    z *= 0xBF58476D1CE4E5B9ULL;
    z ^= z >> 27;
    z *= 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return z;
}

void apply_channel(CpuState& state, const QuantumError& error, std::span<const Qubit> targets, StdRng& rng) {
    check_invariant(error.arity() <= targets.size(), "apply_channel: the channel needs more targets than the gate has");
    check_invariant(state.num_qubits < 64 && state.len() == (std::size_t{1} << state.num_qubits),
                    "apply_channel: state length is not 2^num_qubits");
    for (std::size_t j = 0; j < error.arity(); ++j) {
        check_invariant(targets[j] < state.num_qubits, "apply_channel: target outside the state");
    }
    if (const PauliMixture* mixture = error.as_mixture()) {
        apply_pauli_mixture(state, *mixture, targets, rng);
    } else {
        apply_kraus(state, *error.as_kraus(), targets[0], rng);
    }
}

std::expected<NoisyCircuit, NoiseError> NoisyCircuit::prepare(const ir::Circuit& circuit, const NoiseModel& model) {
    const std::uint32_t n = circuit.num_qubits();
    if (n >= 64) {
        return std::unexpected(NoiseError::from_backend(BackendError::invalid_state(REASON_TOO_WIDE)));
    }
    NoisyCircuit out;
    out.circuit_ = &circuit;
    out.channel_begin_.reserve(circuit.size() + 1);
    out.channel_begin_.push_back(0);
    for (const ir::Instruction& instruction : circuit.instructions()) {
        if (const GateInstance* gate = instruction.gate()) {
            const std::span<const Qubit> targets(gate->targets.data(), gate->targets.size());
            for (const QuantumError* error : model.errors_for(gate->gate.name(), targets)) {
                if (error->arity() > targets.size()) {
                    return std::unexpected(
                        NoiseError::channel_arity_mismatch(gate->gate.name(), error->arity(), targets.size()));
                }
                out.channels_.push_back(error);
            }
        }
        out.channel_begin_.push_back(out.channels_.size());
    }
    for (Qubit q = 0; q < n; ++q) {
        if (const ReadoutError* readout = model.readout_error(q)) {
            out.readout_.emplace_back(q, *readout);
        }
    }
    return out;
}

std::span<const QuantumError* const> NoisyCircuit::channels(std::size_t index) const {
    check_index(index + 1, channel_begin_.size(), "NoisyCircuit::channels");
    return std::span<const QuantumError* const>(channels_).subspan(channel_begin_[index],
                                                                   channel_begin_[index + 1] - channel_begin_[index]);
}

std::expected<std::uint64_t, NoiseError> NoisyCircuit::run_trajectory(std::uint64_t seed, std::uint64_t shot) const {
    NaiveSvBackend backend(StdRng::seed_from_u64(trajectory_seed(seed, shot)));
    auto state = backend.new_state(num_qubits());
    if (!state) {
        return std::unexpected(NoiseError::from_backend(state.error()));
    }
    const std::vector<ir::Instruction>& instructions = circuit_->instructions();
    for (std::size_t i = 0; i < instructions.size(); ++i) {
        const ir::Instruction& instruction = instructions[i];
        switch (instruction.kind()) {
            case ir::Instruction::Kind::Gate: {
                const GateInstance& gate = instruction.get<GateInstance>();
                if (auto ok = backend.apply_gate(*state, gate); !ok) {
                    return std::unexpected(NoiseError::from_backend(ok.error()));
                }
                const std::span<const Qubit> targets(gate.targets.data(), gate.targets.size());
                for (const QuantumError* error : channels(i)) {
                    apply_channel(*state, *error, targets, backend.rng());
                }
                break;
            }
            case ir::Instruction::Kind::Measure:
                return std::unexpected(NoiseError::mid_circuit("measure"));
            case ir::Instruction::Kind::Reset:
                return std::unexpected(NoiseError::mid_circuit("reset"));
            case ir::Instruction::Kind::Barrier:
                break;
            case ir::Instruction::Kind::DiagonalPhase:
                if (auto ok = backend.apply_diagonal_phase(*state, instruction.get<ir::DiagonalPhase>()); !ok) {
                    return std::unexpected(NoiseError::from_backend(ok.error()));
                }
                break;
            case ir::Instruction::Kind::TiledBlock:
                return std::unexpected(NoiseError::unsupported("tiled-block"));
        }
    }
    auto drawn = backend.sample(*state, 1);
    if (!drawn) {
        return std::unexpected(NoiseError::from_backend(drawn.error()));
    }
    check_invariant(drawn->size() == 1, "run_trajectory: one sample expected");
    std::uint64_t outcome = (*drawn)[0];
    for (const auto& [qubit, readout] : readout_) {
        const unsigned bit = static_cast<unsigned>((outcome >> qubit) & 1);
        const double flip = readout.flip_probability(bit);
        if (backend.rng().next_unit_f64() < flip) {
            outcome ^= std::uint64_t{1} << qubit;
        }
    }
    return outcome;
}

std::expected<std::vector<std::uint64_t>, NoiseError> run_noisy(const ir::Circuit& circuit, const NoiseModel& model,
                                                                std::uint32_t shots, std::uint64_t seed,
                                                                const TrajectoryLimits& limits) {
    auto prepared = NoisyCircuit::prepare(circuit, model);
    if (!prepared) {
        return std::unexpected(prepared.error());
    }
    const std::uint32_t n = circuit.num_qubits();
    if (n > NaiveSvBackend::MAX_QUBITS) {
        return std::unexpected(NoiseError::from_backend(BackendError::too_many_qubits(n, NaiveSvBackend::MAX_QUBITS)));
    }
    const std::size_t outcomes = std::size_t{1} << n;
    std::vector<std::uint64_t> counts = allocate_checked(
        std::uint64_t{outcomes} * sizeof(std::uint64_t),
        [&] { return "the outcome counters of a " + fmt::display(n) + "-qubit noisy run"; },
        [&] { return std::vector<std::uint64_t>(outcomes, 0); });
    if (shots == 0) {
        return counts;
    }

    std::size_t lanes = std::min<std::size_t>({pool_threads(), memory_bounded_shots(n), shots});
    if (limits.max_parallel_shots != 0) {
        lanes = std::min(lanes, limits.max_parallel_shots);
    }

    // Shots are handed out one at a time from a shared counter; a shot's
    // outcome depends on its index only, and counting commutes, so the counts
    // do not depend on which lane ran which shot.
    std::atomic<std::uint64_t> next_shot{0};
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::optional<NoiseError> first_error;

    auto lane = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::uint64_t shot = next_shot.fetch_add(1, std::memory_order_relaxed);
            if (shot >= shots) {
                return;
            }
            std::optional<std::expected<std::uint64_t, NoiseError>> result;
            try {
                // Isolated: while this shot waits in a parallel kernel, its
                // thread only helps that kernel and never picks up another
                // lane, so a thread holds at most one shot's state.
                run_isolated([&] { result.emplace(prepared->run_trajectory(seed, shot)); });
            } catch (...) {
                stop.store(true, std::memory_order_relaxed);
                throw;
            }
            if (!*result) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!first_error) {
                    first_error = result->error();
                }
                stop.store(true, std::memory_order_relaxed);
                return;
            }
            check_index(**result, counts.size(), "run_noisy: outcome");
            std::atomic_ref<std::uint64_t>(counts[**result]).fetch_add(1, std::memory_order_relaxed);
        }
    };

    if (lanes == 1) {
        lane();
    } else {
        parallel_lanes(lanes, lane);
    }
    if (first_error) {
        return std::unexpected(*first_error);
    }
    return counts;
}

}  // namespace nivra::sv::noise
