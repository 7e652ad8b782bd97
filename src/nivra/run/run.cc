#include "nivra/run/run.h"

#include <algorithm>
#include <bit>

#include "nivra/backend/backend.h"
#include "nivra/core/error.h"
#include "nivra/core/rng.h"
#include "nivra/mps/backend.h"
#include "nivra/stab/backend.h"
#include "nivra/sv/backend.h"

namespace nivra::run {

std::string histogram_key(std::uint64_t outcome, std::uint32_t num_qubits) {
    const std::size_t bits = outcome == 0 ? 1 : static_cast<std::size_t>(64 - std::countl_zero(outcome));
    const std::size_t width = std::max<std::size_t>(num_qubits, bits);
    std::string key(width, '0');
    for (std::size_t b = 0; b < bits; ++b) {
        if ((outcome >> b) & 1) key[width - 1 - b] = '1';
    }
    return key;
}

void append_count(Histogram& histogram, std::uint64_t outcome, std::uint64_t count) {
    // A key wider than the others would break the text order.
    check_invariant(histogram.num_qubits >= 64 || outcome >> histogram.num_qubits == 0,
                    "histogram: outcome outside the qubit count");
    check_invariant(histogram.entries.empty() || histogram.entries.back().first < outcome,
                    "histogram: outcomes out of order");
    histogram.entries.emplace_back(outcome, count);
}

Histogram counts_map(const std::map<std::uint64_t, std::uint64_t>& counts, std::uint32_t num_qubits) {
    Histogram histogram;
    histogram.num_qubits = num_qubits;
    histogram.entries.reserve(counts.size());
    for (const auto& [outcome, count] : counts) append_count(histogram, outcome, count);
    return histogram;
}

namespace {

using backend::BackendError;

std::string entropy_failure(const EntropyError& error) { return "from_entropy failed: " + error.message(); }

}  // namespace

PathOutcome run_statevector(const ir::Circuit& circuit, std::uint32_t shots, std::optional<std::uint64_t> seed) {
    std::optional<sv::NaiveSvBackend> sv;
    if (seed) {
        sv.emplace(sv::NaiveSvBackend::with_seed(*seed));
    } else {
        auto rng = StdRng::from_entropy();
        if (!rng) return std::unexpected(entropy_failure(rng.error()));
        sv.emplace(std::move(*rng), sv::NaiveSvBackend::MAX_QUBITS);
    }
    const std::uint32_t n = circuit.num_qubits();
    // The driver refuses these before allocating anyway; refusing them here
    // also spares optimising a circuit that cannot run (the passes keep the
    // qubit count and leave a 0-qubit circuit empty, so the error is the same).
    if (n == 0 && circuit.empty()) return std::unexpected("run sv: " + BackendError::empty_circuit().message());
    if (n > sv->max_qubits()) {
        return std::unexpected("run sv: " + BackendError::too_many_qubits(n, sv->max_qubits()).message());
    }
    ir::Circuit optimized = circuit;
    if (auto stats = optimized.optimize(); !stats) {
        return std::unexpected("run sv: " + BackendError::optimization(stats.error()).message());
    }
    auto out = backend::run_with_outcomes(*sv, optimized);
    if (!out) return std::unexpected("run sv: " + out.error().message());
    if (const auto& perm = optimized.permutation()) {
        auto undone = backend::undo_permutation(*sv, out->state, out->records, *perm);
        if (!undone) return std::unexpected("run sv: " + undone.error().message());
    }
    // Counted as drawn, in bounded chunks: the same draws as one sample() of
    // every shot, without holding `shots` outcomes at once.
    auto counts = backend::sample_counts(*sv, out->state, shots);
    if (!counts) return std::unexpected("sample: " + counts.error().message());
    return PathResult{counts_map(*counts, n), std::move(out->state)};
}

namespace {

using OutcomeCounts = std::map<std::uint64_t, std::uint64_t>;

// The stabilizer's and the MPS's own run_counts, found by argument-dependent
// lookup on the backend's namespace.
template <class Backend>
std::expected<OutcomeCounts, std::string> counted_run(Backend& backend, const ir::Circuit& circuit,
                                                      std::uint32_t shots) {
    auto counts = run_counts(backend, circuit, shots);
    if (!counts) return std::unexpected(counts.error().message());
    return std::move(*counts);
}

template <class Backend>
PathOutcome run_counted_path(const ir::Circuit& circuit, std::uint32_t shots, std::optional<std::uint64_t> seed) {
    std::optional<Backend> chosen;
    if (seed) {
        chosen.emplace(Backend::with_seed(*seed));
    } else {
        auto made = Backend::from_entropy();
        if (!made) return std::unexpected(entropy_failure(made.error()));
        chosen.emplace(std::move(*made));
    }
    auto counts = counted_run(*chosen, circuit, shots);
    if (!counts) return std::unexpected(std::move(counts.error()));
    return PathResult{counts_map(*counts, circuit.num_qubits()), std::nullopt};
}

}  // namespace

PathOutcome run_stabilizer(const ir::Circuit& circuit, std::uint32_t shots, std::optional<std::uint64_t> seed) {
    return run_counted_path<stab::StabilizerBackend>(circuit, shots, seed);
}

PathOutcome run_mps(const ir::Circuit& circuit, std::uint32_t shots, std::optional<std::uint64_t> seed) {
    return run_counted_path<mps::MpsBackend>(circuit, shots, seed);
}

}  // namespace nivra::run
