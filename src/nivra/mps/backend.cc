#include "nivra/mps/backend.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "nivra/core/error.h"
#include "nivra/core/parallel.h"
#include "nivra/mps/gate.h"
#include "nivra/mps/tensor.h"

namespace nivra::mps {

BackendError map_mps_err(const MpsError& error) {
    switch (error.kind) {
        case MpsError::Kind::QubitOutOfRange:
            return BackendError::qubit_out_of_range(error.qubit, error.num_qubits);
        case MpsError::Kind::UnsupportedGate:
        case MpsError::Kind::ControlledGate:
            return BackendError::unsupported_gate(error.name);
        case MpsError::Kind::NonAdjacent:
            return BackendError::invalid_state(NON_ADJACENT_REASON);
        case MpsError::Kind::NonFiniteMatrix:
            return BackendError::non_finite_param(error.name);
        case MpsError::Kind::DegenerateMeasurement:
            return BackendError::degenerate_measurement(error.qubit, error.probability);
        case MpsError::Kind::SvdFailed:
            return BackendError::invalid_state(SVD_FAILED_REASON);
    }
    invariant_failure("map_mps_err: unknown MpsError kind");
}

namespace {

enum class Path : std::uint8_t { OneQubit, TwoQubit, Refused };

// One- and two-qubit gates by their kind's width, UnitaryKq by its own; wider ones are refused.
Path path_of(const Gate& gate) {
    const std::size_t width = gate.arity();
    return width == 1 ? Path::OneQubit : width == 2 ? Path::TwoQubit : Path::Refused;
}

bool finite(const Complex& z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

}  // namespace

std::expected<GatePlan, BackendError> plan_gate(const GateInstance& gate, std::uint32_t num_qubits) {
    const std::string_view name = gate.gate.name();
    const Path path = path_of(gate.gate);
    if (path == Path::Refused) {
        return std::unexpected(BackendError::unsupported_gate(name));
    }
    GatePlan plan;
    if (path == Path::OneQubit) {
        check_invariant(!gate.targets.empty(), "plan_gate: one-qubit gate without a target");
        if (!gate.controls.empty()) {
            return std::unexpected(BackendError::unsupported_gate(name));
        }
        auto matrix = gate.gate.matrix();
        if (!matrix || !matrix->is_m2()) {
            return std::unexpected(BackendError::unsupported_gate(name));
        }
        plan.m2 = matrix->m2();
        if (!std::all_of(plan.m2.begin(), plan.m2.end(), finite)) {
            return std::unexpected(BackendError::non_finite_param(name));
        }
        const Qubit q = gate.targets[0];
        if (q >= num_qubits) {
            return std::unexpected(BackendError::qubit_out_of_range(q, num_qubits));
        }
        plan.kind = GatePlan::Kind::OneQubit;
        plan.q0 = q;
        return plan;
    }

    check_invariant(gate.targets.size() >= 2, "plan_gate: two-qubit gate with fewer than two targets");
    for (const Qubit q : gate.targets) {
        if (q >= num_qubits) {
            return std::unexpected(BackendError::qubit_out_of_range(q, num_qubits));
        }
    }
    plan.q0 = gate.targets[0];
    plan.q1 = gate.targets[1];
    if (plan.q0 == plan.q1) {
        return std::unexpected(BackendError::duplicate_qubit(plan.q0));
    }
    if (!gate.controls.empty()) {
        return std::unexpected(BackendError::unsupported_gate(name));
    }
    if (gate.gate.kind() == GateKind::Swap) {
        plan.kind = GatePlan::Kind::Relabel;
        return plan;
    }
    auto matrix = matrix_4x4(gate);
    if (!matrix) {
        return std::unexpected(map_mps_err(matrix.error()));
    }
    plan.kind = GatePlan::Kind::TwoQubit;
    plan.m4 = *matrix;
    return plan;
}

std::expected<MpsBackend, EntropyError> MpsBackend::from_entropy() {
    auto rng = StdRng::from_entropy();
    if (!rng) {
        return std::unexpected(std::move(rng.error()));
    }
    return MpsBackend(std::move(*rng));
}

std::expected<MpsState, BackendError> MpsBackend::new_state(std::uint32_t n) {
    if (n > MAX_QUBITS) {
        return std::unexpected(BackendError::too_many_qubits(n, MAX_QUBITS));
    }
    return MpsState::with_policy(n, policy_);
}

std::expected<void, BackendError> MpsBackend::apply_gate(MpsState& state, const GateInstance& gate) {
    auto plan = plan_gate(gate, static_cast<std::uint32_t>(state.num_qubits()));
    if (!plan) {
        return std::unexpected(std::move(plan.error()));
    }
    switch (plan->kind) {
        case GatePlan::Kind::OneQubit:
            state.apply_1q(plan->q0, plan->m2);
            return {};
        case GatePlan::Kind::Relabel:
            state.swap_by_relabel(plan->q0, plan->q1);
            return {};
        case GatePlan::Kind::TwoQubit:
            if (auto applied = state.apply_2q_routed(plan->q0, plan->q1, plan->m4); !applied) {
                return std::unexpected(map_mps_err(applied.error()));
            }
            return {};
    }
    invariant_failure("MpsBackend::apply_gate: unknown plan");
}

std::expected<void, BackendError> MpsBackend::apply_diagonal_phase(MpsState&, const ir::DiagonalPhase&) {
    return backend::diagonal_phase_unsupported();
}

std::expected<void, BackendError> MpsBackend::apply_tiled_block(MpsState& state, const ir::TiledBlock& block) {
    return backend::apply_tiled_block_by_gates(*this, state, block);
}

std::expected<std::uint8_t, BackendError> MpsBackend::measure(MpsState& state, Qubit qubit) {
    const std::size_t n = state.num_qubits();
    if (qubit >= n) {
        return std::unexpected(BackendError::qubit_out_of_range(qubit, static_cast<std::uint32_t>(n)));
    }
    const std::size_t k = state.qubit_to_site()[qubit];
    state.move_center_to(k);
    Site& site = state.sites_[k];
    site.left_view();  // checks the size invariant before the raw loops
    const std::size_t chi_right = site.chi_right;

    double p0 = 0.0;
    double p1 = 0.0;
    for (std::size_t l = 0; l < site.chi_left; ++l) {
        const Complex* slice0 = site.data.data() + 2 * l * chi_right;
        const Complex* slice1 = slice0 + chi_right;
        for (std::size_t r = 0; r < chi_right; ++r) {
            p0 += slice0[r].real() * slice0[r].real() + slice0[r].imag() * slice0[r].imag();
            p1 += slice1[r].real() * slice1[r].real() + slice1[r].imag() * slice1[r].imag();
        }
    }
    const double total = p0 + p1;
    if (!(total > 0.0) || !std::isfinite(total)) {
        return std::unexpected(BackendError::degenerate_measurement(qubit, total));
    }
    const double u = rng_.next_unit_f64();
    const std::uint8_t outcome = u >= p0 / total ? 1 : 0;
    const double kept_probability = outcome == 1 ? p1 : p0;
    const Complex factor(std::sqrt(total / kept_probability), 0.0);
    for (std::size_t l = 0; l < site.chi_left; ++l) {
        Complex* kept = site.data.data() + (2 * l + outcome) * chi_right;
        Complex* dropped = site.data.data() + (2 * l + (1 - outcome)) * chi_right;
        for (std::size_t r = 0; r < chi_right; ++r) {
            dropped[r] = Complex(0.0, 0.0);
            kept[r] = kept[r] * factor;
        }
    }
    return outcome;
}

namespace {

// Shots of one batch walk the chain together, so each site costs one
// matrix product (batch × χL)·(χL × 2χR) instead of one vector product per
// shot. Batch boundaries depend only on shot indices, so the outcomes do not
// depend on how batches are spread over threads.
constexpr std::size_t SHOT_BATCH = 32;
// Below this much work per chunk (complex multiply-adds) the batches run on
// the calling thread.
constexpr std::size_t PARALLEL_MIN_WORK = std::size_t{1} << 20;

// Samples `out.size()` shots from `chain` (centre 0, sites 1.. right-canonical).
// `draws` holds n uniforms per shot, shot-major.
void sample_batch(const MpsState& chain, std::span<const double> draws, std::span<std::uint64_t> out) {
    const std::size_t n = chain.num_qubits();
    const std::size_t batch = out.size();
    std::vector<Complex> env(batch, Complex(1.0, 0.0));  // batch × χL, row s = shot s's environment
    std::vector<Complex> product;                        // batch × 2χR
    std::vector<Complex> next_env;
    std::fill(out.begin(), out.end(), 0);
    std::size_t chi_left = 1;
    for (std::size_t k = 0; k < n; ++k) {
        const Site& site = chain.site(k);
        check_invariant(site.chi_left == chi_left, "sample: neighbouring sites disagree on their bond");
        const std::size_t chi_right = site.chi_right;
        product.resize(batch * 2 * chi_right);
        next_env.resize(batch * chi_right);
        ConstRowMap env_view(env.data(), static_cast<Eigen::Index>(batch), static_cast<Eigen::Index>(chi_left));
        RowMap product_view(product.data(), static_cast<Eigen::Index>(batch), static_cast<Eigen::Index>(2 * chi_right));
        product_view.noalias() = env_view * site.right_view();

        const std::uint64_t bit = std::uint64_t{1} << chain.site_to_qubit()[k];
        for (std::size_t s = 0; s < batch; ++s) {
            const Complex* m0 = product.data() + s * 2 * chi_right;
            const Complex* m1 = m0 + chi_right;
            double w0 = 0.0;
            double w1 = 0.0;
            for (std::size_t r = 0; r < chi_right; ++r) {
                w0 += m0[r].real() * m0[r].real() + m0[r].imag() * m0[r].imag();
            }
            for (std::size_t r = 0; r < chi_right; ++r) {
                w1 += m1[r].real() * m1[r].real() + m1[r].imag() * m1[r].imag();
            }
            const double u = draws[s * n + k];
            const bool one = (w0 + w1) * u >= w0;
            const Complex* kept = one ? m1 : m0;
            const double w = one ? w1 : w0;
            if (one) {
                out[s] |= bit;
            }
            const double factor = w > 0.0 ? std::sqrt(1.0 / w) : 0.0;
            Complex* e = next_env.data() + s * chi_right;
            for (std::size_t r = 0; r < chi_right; ++r) {
                e[r] = kept[r] * factor;
            }
        }
        env.swap(next_env);
        chi_left = chi_right;
    }
}

}  // namespace

template <class Emit>
std::expected<void, BackendError> MpsBackend::sample_into(const MpsState& state, std::uint32_t shots, Emit&& emit) {
    const std::size_t n = state.num_qubits();
    if (n > SAMPLE_MAX_QUBITS) {
        return std::unexpected(BackendError::too_many_qubits(static_cast<std::uint32_t>(n), SAMPLE_MAX_QUBITS));
    }
    if (shots == 0) {
        return {};
    }
    std::vector<std::uint64_t> out;
    if (n == 0) {
        for (std::size_t done = 0; done < shots;) {
            const std::size_t count = std::min<std::size_t>(SAMPLE_CHUNK_SHOTS, shots - done);
            out.assign(count, 0);
            emit(std::span<const std::uint64_t>(out));
            done += count;
        }
        return {};
    }

    MpsState chain(state);
    chain.move_center_to(0);
    double norm_sq = 0.0;
    for (const Complex& z : chain.site(0).data) {
        norm_sq += z.real() * z.real() + z.imag() * z.imag();
    }
    // Such a chain would yield garbage outcomes without any draw failing.
    if (!(norm_sq > 0.0) || !std::isfinite(norm_sq)) {
        return std::unexpected(BackendError::degenerate_measurement(chain.site_to_qubit()[0], norm_sq));
    }

    std::size_t work_per_shot = 0;
    for (const Site& site : chain.sites()) {
        work_per_shot += site.chi_left * 2 * site.chi_right;
    }
    std::vector<double> draws;
    for (std::size_t done = 0; done < shots;) {
        const std::size_t count = std::min<std::size_t>(SAMPLE_CHUNK_SHOTS, shots - done);
        draws.resize(count * n);
        for (double& u : draws) {
            u = rng_.next_unit_f64();
        }
        out.assign(count, 0);
        const std::size_t batches = (count + SHOT_BATCH - 1) / SHOT_BATCH;
        auto run_batches = [&](std::size_t first, std::size_t last) {
            for (std::size_t b = first; b < last; ++b) {
                const std::size_t begin = b * SHOT_BATCH;
                const std::size_t size = std::min(SHOT_BATCH, count - begin);
                sample_batch(chain, std::span<const double>(draws).subspan(begin * n, size * n),
                             std::span<std::uint64_t>(out).subspan(begin, size));
            }
        };
        if (batches > 1 && count * work_per_shot >= PARALLEL_MIN_WORK) {
            parallel_for_chunks(batches, 1, run_batches);
        } else {
            run_batches(0, batches);
        }
        emit(std::span<const std::uint64_t>(out));
        done += count;
    }
    return {};
}

std::expected<std::vector<std::uint64_t>, BackendError> MpsBackend::sample(const MpsState& state, std::uint32_t shots) {
    std::vector<std::uint64_t> outcomes;
    auto sampled = sample_into(state, shots, [&](std::span<const std::uint64_t> chunk) {
        if (outcomes.empty()) {
            outcomes.reserve(shots);
        }
        outcomes.insert(outcomes.end(), chunk.begin(), chunk.end());
    });
    if (!sampled) {
        return std::unexpected(std::move(sampled.error()));
    }
    return outcomes;
}

std::expected<void, BackendError> MpsBackend::sample_chunked(const MpsState& state, std::uint32_t shots,
                                                             backend::OutcomeSink sink, void* context) {
    return sample_into(state, shots, [&](std::span<const std::uint64_t> chunk) { sink(context, chunk); });
}

std::expected<double, BackendError> MpsBackend::expectation_value(const MpsState& state, const PauliString& term) {
    const std::size_t n = state.num_qubits();
    for (const auto& [qubit, pauli] : term.ops) {
        if (qubit >= n) {
            return std::unexpected(BackendError::qubit_out_of_range(qubit, static_cast<std::uint32_t>(n)));
        }
    }
    const Complex zero(0.0, 0.0);
    const Complex one(1.0, 0.0);
    const Complex i(0.0, 1.0);
    MpsState applied(state);
    for (const auto& [qubit, pauli] : term.ops) {
        switch (pauli) {
            case Pauli::I:
                break;
            case Pauli::X:
                applied.apply_1q(qubit, Matrix2{zero, one, one, zero});
                break;
            case Pauli::Y:
                applied.apply_1q(qubit, Matrix2{zero, -i, i, zero});
                break;
            case Pauli::Z:
                applied.apply_1q(qubit, Matrix2{one, zero, zero, -one});
                break;
        }
    }

    // E ← Σ_p A(p)^H·E·B(p). With T = E·(right view of B), T's buffer read as
    // a left view (row 2·l + p) turns the sum over p into one product:
    // E ← (left view of A)^H·T.
    RowMatrix env = RowMatrix::Constant(1, 1, one);
    std::vector<Complex> t;
    for (std::size_t k = 0; k < n; ++k) {
        const Site& bra = state.site(k);
        const Site& ket = applied.site(k);
        check_invariant(bra.chi_left == ket.chi_left && bra.chi_right == ket.chi_right &&
                            static_cast<std::size_t>(env.rows()) == bra.chi_left &&
                            static_cast<std::size_t>(env.cols()) == ket.chi_left,
                        "expectation_value: bond dimensions disagree");
        const auto chi_left = static_cast<Eigen::Index>(ket.chi_left);
        const auto chi_right = static_cast<Eigen::Index>(ket.chi_right);
        t.resize(ket.data.size());
        RowMap(t.data(), chi_left, 2 * chi_right).noalias() = env * ket.right_view();
        RowMatrix next = bra.left_view().adjoint() * ConstRowMap(t.data(), 2 * chi_left, chi_right);
        env = std::move(next);
    }
    return env(0, 0).real() * term.coeff;
}

std::expected<void, BackendError> MpsBackend::unpermute_state(MpsState& state, std::span<const Qubit> perm) {
    state.relabel(perm);
    return {};
}

std::string MpsRunError::message() const {
    return std::string(stage == RunStage::Walk ? "run mps" : "sample") + ": " + error.message();
}

namespace {

MpsRunError walk_error(BackendError error) { return MpsRunError{RunStage::Walk, std::move(error)}; }

std::expected<void, BackendError> check_instruction(std::uint32_t n, const ir::Instruction& instruction) {
    return instruction.visit(ir::overloaded{
        [&](const GateInstance& gate) -> std::expected<void, BackendError> {
            if (auto plan = plan_gate(gate, n); !plan) {
                return std::unexpected(std::move(plan.error()));
            }
            return {};
        },
        [&](const ir::Measure& measure) -> std::expected<void, BackendError> {
            if (measure.qubit >= n) {
                return std::unexpected(BackendError::qubit_out_of_range(measure.qubit, n));
            }
            return {};
        },
        [](const ir::Reset&) -> std::expected<void, BackendError> {
            return std::unexpected(BackendError::unsupported_instruction("reset"));
        },
        [](const ir::Barrier&) -> std::expected<void, BackendError> { return {}; },
        [](const ir::DiagonalPhase&) -> std::expected<void, BackendError> {
            return backend::diagonal_phase_unsupported();
        },
        [&](const ir::TiledBlock& block) -> std::expected<void, BackendError> {
            for (const GateInstance& gate : block.gates) {
                if (auto plan = plan_gate(gate, n); !plan) {
                    return std::unexpected(std::move(plan.error()));
                }
            }
            return {};
        },
    });
}

}  // namespace

std::expected<void, MpsRunError> check_run(const ir::Circuit& circuit) {
    const std::uint32_t n = circuit.num_qubits();
    if (n == 0 && circuit.empty()) {
        return std::unexpected(walk_error(BackendError::empty_circuit()));
    }
    if (n > MAX_QUBITS) {
        return std::unexpected(walk_error(BackendError::too_many_qubits(n, MAX_QUBITS)));
    }
    for (const ir::Instruction& instruction : circuit.instructions()) {
        if (auto ok = check_instruction(n, instruction); !ok) {
            return std::unexpected(walk_error(std::move(ok.error())));
        }
    }
    if (n > SAMPLE_MAX_QUBITS) {
        return std::unexpected(MpsRunError{RunStage::Sample, BackendError::too_many_qubits(n, SAMPLE_MAX_QUBITS)});
    }
    return {};
}

std::expected<std::map<std::uint64_t, std::uint64_t>, MpsRunError> run_counts(MpsBackend& backend,
                                                                              const ir::Circuit& circuit,
                                                                              std::uint32_t shots) {
    if (auto ok = check_run(circuit); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    auto state = backend::run(backend, circuit);
    if (!state) {
        return std::unexpected(walk_error(std::move(state.error())));
    }
    auto counts = backend::sample_counts(backend, *state, shots);
    if (!counts) {
        return std::unexpected(MpsRunError{RunStage::Sample, std::move(counts.error())});
    }
    return std::move(*counts);
}

}  // namespace nivra::mps
