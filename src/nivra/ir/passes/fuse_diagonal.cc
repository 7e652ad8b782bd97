#include "nivra/ir/passes/fuse_diagonal.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/ir/passes/util.h"

namespace nivra::ir {

namespace {

constexpr double TWO_PI = 6.283185307179586;
constexpr double NEGLIGIBLE = 1e-12;
constexpr unsigned MAX_WIDTH = 64;

using MaskList = boost::container::small_vector<std::uint64_t, 2>;

// Lexicographic over the masks; a prefix sorts before its extensions.
struct MaskListLess {
    bool operator()(const MaskList& a, const MaskList& b) const {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
    }
};

bool is_run_member(const Instruction& inst) {
    const GateInstance* g = inst.gate();
    if (g == nullptr) {
        return false;
    }
    return g->gate.is_diagonal() || (g->gate.kind() == GateKind::Cnot && g->controls.empty());
}

// The fused phase of one run, built gate by gate.
class RunFolder {
public:
    explicit RunFolder(std::uint32_t num_qubits) : n_(num_qubits) {
        for (unsigned q = 0; q < n_; ++q) {
            parity_[q] = std::uint64_t{1} << q;
        }
    }

    // Folds one run member in; false when its matrix cannot be built, which
    // leaves the whole run as it is.
    bool add(const GateInstance& g) {
        if (g.gate.kind() == GateKind::Cnot && g.controls.empty()) {
            check_invariant(g.targets.size() == 2, "FuseDiagonalRuns: Cnot without two targets");
            const Qubit c = checked(g.targets[0]);
            const Qubit t = checked(g.targets[1]);
            parity_[t] ^= parity_[c];
            touched_ |= (std::uint64_t{1} << c) | (std::uint64_t{1} << t);
            return true;
        }
        std::expected<GateMatrix, GateError> matrix = g.gate.matrix();
        if (!matrix) {
            return false;
        }
        const std::size_t k = g.targets.size();
        check_invariant(matrix->dim() == (std::size_t{1} << k), "FuseDiagonalRuns: matrix size differs from targets");
        // phase[x]: bit j of x stands for target j, which is bit (k-1-j) of the matrix index.
        std::array<double, 8> phase{};
        for (std::size_t x = 0; x < (std::size_t{1} << k); ++x) {
            std::size_t index = 0;
            for (std::size_t j = 0; j < k; ++j) {
                index |= ((x >> j) & 1U) << (k - 1 - j);
            }
            const Complex d = (*matrix)(index, index);
            phase[x] = std::atan2(d.imag(), d.real());
        }
        for (std::size_t subset = 0; subset < (std::size_t{1} << k); ++subset) {
            double angle = 0.0;
            const int size = std::popcount(subset);
            // x runs from the subset itself down through its submasks.
            for (std::size_t x = subset;; x = (x - 1) & subset) {
                if ((size - std::popcount(x)) % 2 == 0) {
                    angle += phase[x];
                } else {
                    angle -= phase[x];
                }
                if (x == 0) {
                    break;
                }
            }
            if (is_negligible_angle(angle)) {
                continue;
            }
            MaskList masks;
            for (std::size_t j = 0; j < k; ++j) {
                if ((subset >> j) & 1U) {
                    masks.push_back(parity_[checked(g.targets[j])]);
                }
            }
            for (Qubit c : g.controls) {
                masks.push_back(parity_[checked(c)]);
            }
            std::sort(masks.begin(), masks.end());
            terms_[masks] += angle;
        }
        for (Qubit q : g.targets) {
            touched_ |= std::uint64_t{1} << checked(q);
        }
        for (Qubit q : g.controls) {
            touched_ |= std::uint64_t{1} << checked(q);
        }
        ++diagonal_count_;
        return true;
    }

    // Replace the run only when its CNOTs cancel out, it spans two or more
    // qubits, and it holds at least two diagonal gates.
    bool replaceable() const {
        for (unsigned q = 0; q < n_; ++q) {
            if (parity_[q] != (std::uint64_t{1} << q)) {
                return false;
            }
        }
        return std::popcount(touched_) >= 2 && diagonal_count_ >= 2;
    }

    DiagonalPhase build() const {
        DiagonalPhase out;
        out.width = n_;
        for (const auto& [masks, angle] : terms_) {
            if (!is_negligible_angle(angle)) {
                out.terms.push_back(PhaseTerm{masks, angle});
            }
        }
        return out;
    }

private:
    Qubit checked(Qubit q) const {
        check_index(q, n_, "FuseDiagonalRuns qubit");
        return q;
    }

    std::uint32_t n_;
    std::array<std::uint64_t, MAX_WIDTH> parity_{};
    std::uint64_t touched_ = 0;
    std::size_t diagonal_count_ = 0;
    // Terms are summed as they are produced, in production order per list.
    std::map<MaskList, double, MaskListLess> terms_;
};

// The replacement test on the run's structure alone (CNOT parities, touched
// qubits, diagonal count), so that runs that stay as they are cost no matrix.
bool structurally_replaceable(const std::vector<Instruction>& input, std::size_t begin, std::size_t end,
                              std::uint32_t n) {
    std::array<std::uint64_t, MAX_WIDTH> parity{};
    for (unsigned q = 0; q < n; ++q) {
        parity[q] = std::uint64_t{1} << q;
    }
    std::uint64_t touched = 0;
    std::size_t diagonal_count = 0;
    auto bit = [n](Qubit q) {
        check_index(q, n, "FuseDiagonalRuns qubit");
        return std::uint64_t{1} << q;
    };
    for (std::size_t j = begin; j < end; ++j) {
        const GateInstance& g = *input[j].gate();
        if (g.gate.kind() == GateKind::Cnot && g.controls.empty()) {
            check_invariant(g.targets.size() == 2, "FuseDiagonalRuns: Cnot without two targets");
            touched |= bit(g.targets[0]) | bit(g.targets[1]);
            parity[g.targets[1]] ^= parity[g.targets[0]];
            continue;
        }
        for (Qubit q : g.targets) {
            touched |= bit(q);
        }
        for (Qubit q : g.controls) {
            touched |= bit(q);
        }
        ++diagonal_count;
    }
    if (std::popcount(touched) < 2 || diagonal_count < 2) {
        return false;
    }
    for (unsigned q = 0; q < n; ++q) {
        if (parity[q] != (std::uint64_t{1} << q)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool is_negligible_angle(double angle) {
    double a = std::fmod(angle, TWO_PI);
    if (a < 0.0) {
        a += TWO_PI;
    }
    return a < NEGLIGIBLE || TWO_PI - a < NEGLIGIBLE;
}

std::expected<PassStats, PassError> FuseDiagonalRuns::run(Circuit& circuit) const {
    const std::uint32_t n = circuit.num_qubits();
    std::vector<Instruction>& input = circuit.instructions_mut();
    const std::size_t before = input.size();
    if (n > MAX_WIDTH) {
        return std::unexpected(PassError::internal_invariant(DIAGONAL_WIDTH_TEXT));
    }

    detail::OutputList output(before);
    std::size_t changes = 0;
    std::size_t i = 0;
    while (i < before) {
        if (!is_run_member(input[i])) {
            output.copy(i);
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < before && is_run_member(input[end])) {
            ++end;
        }
        bool ok = structurally_replaceable(input, i, end, n);
        RunFolder folder(n);
        for (std::size_t j = i; j < end && ok; ++j) {
            ok = folder.add(*input[j].gate());
        }
        if (ok && folder.replaceable()) {
            output.add_at(i, folder.build());
            ++changes;
        } else {
            for (std::size_t j = i; j < end; ++j) {
                output.copy(j);
            }
        }
        i = end;
    }
    detail::install(circuit, output);
    return PassStats{before, circuit.size(), changes};
}

}  // namespace nivra::ir
