#include "nivra/sv/measure.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/core/parallel.h"
#include "nivra/sv/kernels/kernels.h"

namespace nivra::sv {

namespace {

// Runs block(b, begin, end, sums) for every SUM_BLOCK-sized block, each block
// filling its own K partial sums (from 0.0, in index order), and returns the
// block sums added in block order from 0.0. `block` returns false when it met
// a non-finite value; then `finite` is false.
template <std::size_t K, class Block>
std::array<double, K> blocked_sums(std::size_t len, Block&& block, bool& finite,
                                   std::size_t parallel_min_amps = PAR_MIN_AMPS) {
    const std::size_t blocks = (len + SUM_BLOCK - 1) / SUM_BLOCK;
    std::vector<std::array<double, K>> partial(blocks);
    std::vector<unsigned char> ok(blocks, 1);
    auto run = [&](std::size_t b_begin, std::size_t b_end) {
        for (std::size_t b = b_begin; b < b_end; ++b) {
            std::array<double, K> sums{};
            const std::size_t begin = b * SUM_BLOCK;
            const std::size_t end = std::min(len, begin + SUM_BLOCK);
            ok[b] = block(begin, end, sums) ? 1 : 0;
            partial[b] = sums;
        }
    };
    parallel_for_chunks_if(len >= parallel_min_amps, blocks, 1, run);
    std::array<double, K> total{};
    finite = true;
    for (std::size_t b = 0; b < blocks; ++b) {
        finite = finite && ok[b] != 0;
        for (std::size_t k = 0; k < K; ++k) {
            total[k] += partial[b][k];
        }
    }
    return total;
}

}  // namespace

std::expected<void, BackendError> check_shape(const CpuState& state) {
    if (state.amps.size() == 0) {
        return std::unexpected(BackendError::invalid_state(REASON_EMPTY));
    }
    if (state.num_qubits >= 64) {
        return std::unexpected(BackendError::invalid_state(REASON_TOO_WIDE));
    }
    if (state.amps.size() != (std::uint64_t{1} << state.num_qubits)) {
        return std::unexpected(BackendError::invalid_state(REASON_LENGTH));
    }
    return {};
}

namespace {

std::expected<void, BackendError> check_norm(const CpuState& state, bool finite, double sum) {
    if (!finite) {
        return std::unexpected(BackendError::invalid_state(REASON_NON_FINITE));
    }
    const double budget = 1e-10 * std::sqrt(static_cast<double>(state.amps.size()));
    if (!(std::abs(sum - 1.0) <= budget)) {
        return std::unexpected(BackendError::invalid_state(REASON_DRIFT));
    }
    return {};
}

inline double norm2(Complex a) { return a.real() * a.real() + a.imag() * a.imag(); }

}  // namespace

namespace {

// One pass over the amplitudes: finiteness and the norm, and with `out` the
// probabilities times `scale`, each finished block handed to `sink`. Sums run
// in fixed blocks, so the result does not depend on the thread count.
std::expected<void, BackendError> scan_state(const CpuState& state, double scale, double* out,
                                             std::size_t parallel_min_amps = PAR_MIN_AMPS,
                                             ScaledBlockSink sink = nullptr, void* context = nullptr) {
    if (auto shape = check_shape(state); !shape) {
        return shape;
    }
    const Complex* amps = state.amps.data();
    bool finite = true;
    const auto sums = blocked_sums<1>(
        state.len(),
        [&](std::size_t begin, std::size_t end, std::array<double, 1>& s) {
            for (std::size_t i = begin; i < end; ++i) {
                const double p = norm2(amps[i]);
                if (!std::isfinite(p)) {
                    return false;
                }
                if (out != nullptr) {
                    out[i] = p * scale;
                }
                s[0] += p;
            }
            if (sink != nullptr) {
                sink(context, begin, end, out);
            }
            return true;
        },
        finite, parallel_min_amps);
    return check_norm(state, finite, sums[0]);
}

}  // namespace

std::expected<void, BackendError> validate_state_into(const CpuState& state, double scale, double* out,
                                                      std::size_t parallel_min_amps, ScaledBlockSink sink,
                                                      void* context) {
    check_invariant(out != nullptr, "validate_state_into: no output buffer");
    return scan_state(state, scale, out, parallel_min_amps, sink, context);
}

std::expected<void, BackendError> check_state(const CpuState& state) { return scan_state(state, 1.0, nullptr); }

std::expected<std::vector<double>, BackendError> validate_state(const CpuState& state) {
    if (auto shape = check_shape(state); !shape) {
        return std::unexpected(shape.error());
    }
    std::vector<double> p(state.len());
    if (auto ok = validate_state_into(state, 1.0, p.data()); !ok) {
        return std::unexpected(ok.error());
    }
    return p;
}

std::expected<std::uint8_t, BackendError> measure_qubit(CpuState& state, Qubit q, StdRng& rng) {
    if (q >= state.num_qubits) {
        return std::unexpected(BackendError::qubit_out_of_range(q, state.num_qubits));
    }
    if (auto shape = check_shape(state); !shape) {
        return std::unexpected(shape.error());
    }
    const Complex* amps = state.amps.data();
    const std::uint64_t s = std::uint64_t{1} << q;
    bool finite = true;
    // sums: total, p0, p1 in one pass.
    const auto sums = blocked_sums<3>(
        state.len(),
        [&](std::size_t begin, std::size_t end, std::array<double, 3>& acc) {
            for (std::size_t i = begin; i < end; ++i) {
                const double p = norm2(amps[i]);
                if (!std::isfinite(p)) {
                    return false;
                }
                acc[0] += p;
                acc[(i & s) == 0 ? 1 : 2] += p;
            }
            return true;
        },
        finite);
    if (auto ok = check_norm(state, finite, sums[0]); !ok) {
        return std::unexpected(ok.error());
    }
    const double p0 = std::clamp(sums[1], 0.0, 1.0);
    const double p1 = std::clamp(sums[2], 0.0, 1.0);
    std::uint8_t outcome = 0;
    if (p0 < 1e-300 && p1 < 1e-300) {
        return std::unexpected(BackendError::degenerate_measurement(q, std::max(p0, p1)));
    }
    if (p0 < 1e-300) {
        outcome = 1;
    } else if (p1 < 1e-300) {
        outcome = 0;
    } else {
        outcome = rng.next_unit_f64() < p1 ? 1 : 0;
    }
    const double kept = std::sqrt(outcome == 1 ? p1 : p0);
    const std::uint64_t want = outcome == 1 ? s : 0;
    Complex* out = state.amps.data();
    auto collapse = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            out[i] = (i & s) == want ? Complex(out[i].real() / kept, out[i].imag() / kept) : Complex(0.0, 0.0);
        }
    };
    if (state.len() >= PAR_MIN_AMPS) {
        parallel_for_chunks(state.len(), SUM_BLOCK, collapse);
    } else {
        collapse(0, state.len());
    }
    return outcome;
}

std::expected<double, BackendError> expectation(const CpuState& state, const PauliString& term) {
    if (auto shape = check_shape(state); !shape) {
        return std::unexpected(shape.error());
    }
    const std::size_t len = state.len();
    const Complex* psi = state.amps.data();

    // Qubit checks are evaluated now but reported after validation and the
    // coefficient test; the Z mask uses only in-range qubits.
    std::optional<BackendError> qubit_error;
    bool z_only = true;
    std::uint64_t z_mask = 0;
    std::uint64_t seen = 0;
    for (const auto& [qubit, pauli] : term.ops) {
        if (qubit >= state.num_qubits) {
            qubit_error = BackendError::qubit_out_of_range(qubit, state.num_qubits);
            break;
        }
        const std::uint64_t bit = std::uint64_t{1} << qubit;
        if (seen & bit) {
            qubit_error = BackendError::duplicate_qubit(qubit);
            break;
        }
        seen |= bit;
        if (pauli == Pauli::X || pauli == Pauli::Y) {
            z_only = false;
        } else if (pauli == Pauli::Z) {
            z_mask |= bit;
        }
    }

    bool finite = true;
    if (z_only && !qubit_error) {
        // Validation and the signed probability sum in one pass, no copy.
        const auto sums = blocked_sums<2>(
            len,
            [&](std::size_t begin, std::size_t end, std::array<double, 2>& acc) {
                for (std::size_t i = begin; i < end; ++i) {
                    const double p = norm2(psi[i]);
                    if (!std::isfinite(p)) {
                        return false;
                    }
                    acc[0] += p;
                    if (__builtin_parityll(i & z_mask)) {
                        acc[1] -= p;
                    } else {
                        acc[1] += p;
                    }
                }
                return true;
            },
            finite);
        if (auto ok = check_norm(state, finite, sums[0]); !ok) {
            return std::unexpected(ok.error());
        }
        if (!std::isfinite(term.coeff)) {
            return std::unexpected(BackendError::invalid_pauli_string("non-finite coefficient"));
        }
        return term.coeff * sums[1];
    }

    if (auto ok = check_state(state); !ok) {
        return std::unexpected(ok.error());
    }
    if (!std::isfinite(term.coeff)) {
        return std::unexpected(BackendError::invalid_pauli_string("non-finite coefficient"));
    }
    if (qubit_error) {
        return std::unexpected(*qubit_error);
    }

    AlignedBuf phi = allocate_checked(
        std::uint64_t{len} * sizeof(Complex),
        [&] { return "the Pauli-applied copy of a " + fmt::display(state.num_qubits) + "-qubit state vector"; },
        [&] { return AlignedBuf(state.amps); });
    constexpr kernels::M2 X = {Complex(0, 0), Complex(1, 0), Complex(1, 0), Complex(0, 0)};
    constexpr kernels::M2 Y = {Complex(0, 0), Complex(0, -1), Complex(0, 1), Complex(0, 0)};
    constexpr kernels::M2 Z = {Complex(1, 0), Complex(0, 0), Complex(0, 0), Complex(-1, 0)};
    for (const auto& [qubit, pauli] : term.ops) {
        switch (pauli) {
            case Pauli::I:
                break;
            case Pauli::X:
                kernels::apply_1q(phi.data(), len, qubit, {}, X);
                break;
            case Pauli::Y:
                kernels::apply_1q(phi.data(), len, qubit, {}, Y);
                break;
            case Pauli::Z:
                kernels::apply_1q(phi.data(), len, qubit, {}, Z);
                break;
        }
    }
    const Complex* ph = phi.data();
    bool unused = true;
    const auto overlap = blocked_sums<1>(
        len,
        [&](std::size_t begin, std::size_t end, std::array<double, 1>& acc) {
            for (std::size_t i = begin; i < end; ++i) {
                acc[0] += psi[i].real() * ph[i].real() + psi[i].imag() * ph[i].imag();
            }
            return true;
        },
        unused);
    return term.coeff * overlap[0];
}

}  // namespace nivra::sv
