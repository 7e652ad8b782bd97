#include "nivra/sv/backend.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <boost/container/small_vector.hpp>
#include <cmath>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/sv/kernels/diagonal_phase.h"
#include "nivra/sv/kernels/kernels.h"
#include "nivra/sv/kernels/permute.h"
#include "nivra/sv/kernels/tiled.h"
#include "nivra/sv/measure.h"
#include "nivra/sv/sampling.h"
#include "nivra/sv/validation.h"

namespace nivra::sv {

CpuState CpuState::zero_state(std::uint32_t num_qubits) {
    check_invariant(num_qubits < 64, "CpuState::zero_state: 64 or more qubits");
    CpuState state;
    const std::size_t len = std::size_t{1} << num_qubits;
    state.amps = allocate_checked(
        std::uint64_t{len} * sizeof(Complex),
        [&] { return "a " + fmt::display(num_qubits) + "-qubit state vector"; }, [&] { return AlignedBuf(len); });
    state.amps[0] = Complex(1.0, 0.0);
    state.num_qubits = num_qubits;
    return state;
}

NaiveSvBackend::NaiveSvBackend(StdRng rng, std::uint32_t max_qubits) : rng_(std::move(rng)), max_qubits_(max_qubits) {
    check_invariant(max_qubits <= MAX_QUBITS, "NaiveSvBackend: qubit limit above 28");
}

NaiveSvBackend NaiveSvBackend::with_seed(std::uint64_t seed) { return NaiveSvBackend(StdRng::seed_from_u64(seed)); }

std::expected<CpuState, BackendError> NaiveSvBackend::new_state(std::uint32_t num_qubits) {
    if (num_qubits > max_qubits_) {
        return std::unexpected(BackendError::too_many_qubits(num_qubits, max_qubits_));
    }
    return CpuState::zero_state(num_qubits);
}

namespace {

// The qubit checks of the gate path: targets in order, then controls; range
// before repetition for each qubit.
std::expected<void, BackendError> check_qubits(const GateInstance& g, std::uint32_t num_qubits) {
    boost::container::small_vector<Qubit, 6> seen;
    auto visit = [&](Qubit q) -> std::expected<void, BackendError> {
        if (q >= num_qubits) {
            return std::unexpected(BackendError::qubit_out_of_range(q, num_qubits));
        }
        if (std::find(seen.begin(), seen.end(), q) != seen.end()) {
            return std::unexpected(BackendError::duplicate_qubit(q));
        }
        seen.push_back(q);
        return {};
    };
    for (Qubit q : g.targets) {
        if (auto ok = visit(q); !ok) {
            return ok;
        }
    }
    for (Qubit q : g.controls) {
        if (auto ok = visit(q); !ok) {
            return ok;
        }
    }
    return {};
}

std::uint64_t mask_of(std::span<const Qubit> qubits) {
    std::uint64_t mask = 0;
    for (Qubit q : qubits) {
        check_invariant(q < 64, "qubit index beyond 63");
        mask |= std::uint64_t{1} << q;
    }
    return mask;
}

}  // namespace

std::expected<void, BackendError> NaiveSvBackend::apply_gate(CpuState& state, const GateInstance& g) {
    const std::size_t arity = g.gate.arity();
    if (g.targets.size() != arity) {
        return std::unexpected(BackendError::arity_mismatch(g.gate.name(), arity, g.targets.size()));
    }
    if (auto ok = check_qubits(g, state.num_qubits); !ok) {
        return ok;
    }
    Complex* amps = state.amps.data();
    const std::size_t len = state.len();
    if (g.gate.kind() == GateKind::UnitaryKq) {
        const std::uint8_t k = g.gate.kq_width();
        check_invariant(k < 32 && g.gate.matrix_data().size() == (std::uint64_t{1} << (2 * k)),
                        "apply_gate: UnitaryKq does not hold 4^k entries");
        kernels::apply_kq_scalar_aos(amps, len, std::span<const Qubit>(g.targets.data(), g.targets.size()), k,
                                     g.gate.matrix_data(),
                                     mask_of(std::span<const Qubit>(g.controls.data(), g.controls.size())));
        return {};
    }
    auto matrix = g.gate.matrix();
    if (!matrix) {
        return std::unexpected(BackendError::from_gate_error(matrix.error(), g.gate.name()));
    }
    const double deviation = validation::unitarity_deviation(*matrix);
    if (!(deviation <= 1e-10)) {
        return std::unexpected(BackendError::non_unitary_matrix(deviation));
    }
    const std::span<const Qubit> controls(g.controls.data(), g.controls.size());
    if (matrix->is_m2()) {
        kernels::apply_1q(amps, len, g.targets[0], controls, matrix->m2());
    } else if (matrix->is_m4()) {
        kernels::apply_2q(amps, len, g.targets[0], g.targets[1], controls, matrix->m4());
    } else {
        kernels::apply_3q(amps, len, g.targets[0], g.targets[1], g.targets[2], controls, matrix->m8());
    }
    return {};
}

std::expected<void, BackendError> NaiveSvBackend::apply_diagonal_phase(CpuState& state,
                                                                       const ir::DiagonalPhase& phase) {
    kernels::apply_diagonal_phase_scalar_aos(state.amps.data(), state.len(), phase.terms);
    return {};
}

std::expected<void, BackendError> NaiveSvBackend::apply_tiled_block(CpuState& state, const ir::TiledBlock& block) {
    const std::uint32_t n = state.num_qubits;
    const unsigned k = block.tile;
    const bool whole_state = n <= k;
    check_invariant(state.len() == (std::uint64_t{1} << std::min<std::uint32_t>(n, 63)) && n < 64,
                    "apply_tiled_block: state length is not 2^num_qubits");
    std::vector<kernels::TileGate> gates;
    gates.reserve(block.gates.size());
    for (const GateInstance& g : block.gates) {
        auto matrix = g.gate.matrix();
        if (!matrix) {
            return std::unexpected(BackendError::from_gate_error(matrix.error(), g.gate.name()));
        }
        if (matrix->is_m8()) {
            return std::unexpected(BackendError::unsupported_gate(g.gate.name()));
        }
        const std::size_t needed = matrix->is_m2() ? 1 : 2;
        check_invariant(g.targets.size() == needed, "apply_tiled_block: target count does not match the matrix");
        std::uint64_t used = 0;
        for (Qubit t : g.targets) {
            check_invariant(t < n && (whole_state || t < k), "apply_tiled_block: target outside the tile");
            used |= std::uint64_t{1} << t;
        }
        kernels::TileGate tile{*matrix, g.targets[0], needed == 2 ? g.targets[1] : 0, 0, 0};
        for (Qubit c : g.controls) {
            check_invariant(c < n, "apply_tiled_block: control outside the state");
            const std::uint64_t bit = std::uint64_t{1} << c;
            check_invariant((used & bit) == 0, "apply_tiled_block: a qubit repeats in a gate");
            used |= bit;
            if (whole_state || c < k) {
                tile.low_controls |= bit;
            } else {
                tile.high_controls |= bit;
            }
        }
        check_invariant(std::popcount(used) == static_cast<int>(g.targets.size() + g.controls.size()),
                        "apply_tiled_block: a qubit repeats in a gate");
        gates.push_back(tile);
    }

    Complex* amps = state.amps.data();
    if (whole_state) {
        for (const kernels::TileGate& g : gates) {
            kernels::apply_tile_gate(amps, state.len(), g, g.low_controls);
        }
        return {};
    }
    kernels::apply_tiled(amps, state.len(), k, gates, kernels::cache_tile_bits());
    return {};
}

std::expected<std::uint8_t, BackendError> NaiveSvBackend::measure(CpuState& state, Qubit qubit) {
    return measure_qubit(state, qubit, rng_);
}

std::expected<std::vector<std::uint64_t>, BackendError> NaiveSvBackend::sample(const CpuState& state,
                                                                               std::uint32_t shots) {
    return sampling::sample(state, shots, rng_);
}

std::expected<void, BackendError> NaiveSvBackend::sample_chunked(const CpuState& state, std::uint32_t shots,
                                                                 backend::OutcomeSink sink, void* context) {
    return sampling::sample_chunked(state, shots, rng_, sink, context);
}

std::expected<std::map<std::uint64_t, std::uint64_t>, BackendError> NaiveSvBackend::sample_counts(const CpuState& state,
                                                                                                  std::uint32_t shots) {
    return sampling::sample_counts(state, shots, rng_);
}

std::expected<double, BackendError> NaiveSvBackend::expectation_value(const CpuState& state, const PauliString& term) {
    return expectation(state, term);
}

std::expected<void, BackendError> NaiveSvBackend::unpermute_state(CpuState& state, std::span<const Qubit> perm) {
    unpermute(state, perm);
    return {};
}

void unpermute(CpuState& state, std::span<const Qubit> perm) {
    const std::uint32_t n = state.num_qubits;
    check_invariant(perm.size() == n, "unpermute_state: permutation length differs from the qubit count");
    std::uint64_t seen = 0;
    for (Qubit p : perm) {
        check_index(p, n, "unpermute_state: permutation entry");
        check_invariant(p < 64 && (seen & (std::uint64_t{1} << p)) == 0,
                        "unpermute_state: permutation repeats an entry");
        seen |= std::uint64_t{1} << p;
    }
    const std::size_t len = state.len();
    if (len == 0) {
        return;
    }
    check_invariant(len == (std::uint64_t{1} << n), "unpermute_state: state length is not 2^num_qubits");
    // In place: a second buffer would double the peak memory of a run.
    kernels::permute_qubits(state.amps.data(), len, perm);
}

}  // namespace nivra::sv
