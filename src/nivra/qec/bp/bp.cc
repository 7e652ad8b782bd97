#include "nivra/qec/bp/bp.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/qec/scratch.h"

namespace nivra::qec {

std::string ParamError::message() const {
    switch (kind) {
        case Kind::NonFinite:
            return "parameter `" + parameter + "` must be finite, got " + fmt::display(value);
        case Kind::TooManyObservables:
            return "nivra decoders support at most 64 logical observables, got " + fmt::display(count);
        case Kind::TooManyLegs:
            return "parameter `legs` must be below 2^32, got " + fmt::display(count);
        case Kind::GammaSpan:
            return "gamma_max - gamma_min must be finite, got " + fmt::display(value);
        case Kind::GraphTooLarge:
            return "detector error model too large for belief propagation: " + fmt::display(count) + " " + parameter +
                   " exceed the 32-bit index range";
        case Kind::TableTooLarge:
            return "relay-BP strength table of " + fmt::display(count) + " legs x " + fmt::display(count2) +
                   " mechanisms does not fit in memory";
    }
    invariant_failure("ParamError: unknown kind");
}

std::expected<void, ParamError> require_finite(const char* parameter, double value) {
    if (std::isfinite(value)) return {};
    return std::unexpected(ParamError::non_finite(parameter, value));
}

void syndrome_bits(const Syndrome& syndrome, std::size_t num_checks, std::vector<std::uint8_t>& bits) {
    bits.assign(num_checks, 0);
    for (std::uint32_t c : syndrome.fired) {
        if (c < num_checks) bits[c] = 1;
    }
}

namespace {

// The detectors of `list` named an odd number of times, ascending, below `limit`.
void odd_detectors_below(std::span<const std::uint32_t> list, std::size_t limit, std::vector<std::uint32_t>& out) {
    out.assign(list.begin(), list.end());
    std::sort(out.begin(), out.end());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < out.size();) {
        std::size_t j = i;
        while (j < out.size() && out[j] == out[i]) ++j;
        if ((j - i) % 2 == 1 && out[i] < limit) out[kept++] = out[i];
        i = j;
    }
    out.resize(kept);
}

}  // namespace

std::expected<BpDecoder, ParamError> BpDecoder::with_params(const DetectorErrorModel& dem, std::uint32_t max_iter,
                                                            double alpha) {
    if (auto ok = require_finite("alpha", alpha); !ok) return std::unexpected(ok.error());
    if (dem.num_observables > MAX_OBSERVABLES) {
        return std::unexpected(ParamError::too_many_observables(dem.num_observables));
    }
    constexpr std::uint64_t INDEX_LIMIT = std::numeric_limits<GraphIndex>::max();
    if (dem.errors.size() > INDEX_LIMIT) {
        return std::unexpected(ParamError::graph_too_large("mechanisms", dem.errors.size()));
    }

    BpDecoder bp;
    bp.num_checks_ = dem.num_detectors;
    bp.num_observables_ = dem.num_observables;
    bp.num_vars_ = dem.errors.size();
    bp.alpha_ = std::clamp(alpha, 1e-6, 1.0);
    bp.max_iter_ = max_iter;

    bp.priors_.reserve(bp.num_vars_);
    bp.obs_masks_.reserve(bp.num_vars_);
    bp.var_offsets_.reserve(bp.num_vars_ + 1);
    bp.var_offsets_.push_back(0);
    std::vector<std::uint32_t> reduced;
    std::uint64_t num_edges = 0;
    for (const DemError& mechanism : dem.errors) {
        odd_detectors_below(mechanism.detectors, bp.num_checks_, reduced);
        num_edges += reduced.size();
        if (num_edges > INDEX_LIMIT) {
            // Counted over the whole model so the error names the true total.
            std::uint64_t total = 0;
            for (const DemError& m : dem.errors) {
                odd_detectors_below(m.detectors, bp.num_checks_, reduced);
                total += reduced.size();
            }
            return std::unexpected(ParamError::graph_too_large("edges", total));
        }
        const auto v = static_cast<GraphIndex>(bp.var_offsets_.size() - 1);
        for (std::uint32_t c : reduced) {
            bp.edge_check_.push_back(c);
            bp.edge_var_.push_back(v);
        }
        bp.var_offsets_.push_back(static_cast<GraphIndex>(num_edges));

        const double p = std::clamp(mechanism.p, 1e-12, 0.5);
        bp.priors_.push_back(std::log((1.0 - p) / p));
        // XOR: an observable listed twice is flipped twice, i.e. not at all.
        std::uint64_t mask = 0;
        for (std::uint32_t k : mechanism.observables) {
            check_index(k, bp.num_observables_, "BpDecoder observable");
            mask ^= std::uint64_t{1} << k;
        }
        bp.obs_masks_.push_back(mask);
    }
    bp.num_edges_ = static_cast<std::size_t>(num_edges);

    // The check side grows with the detector count, which a short model can
    // make huge ("detector D4294967294"): offsets and a cursor per check, two
    // indices per edge.
    const std::uint64_t check_bytes =
        saturating_add(saturating_mul(saturating_add(saturating_mul(bp.num_checks_, 2), 1), sizeof(GraphIndex)),
                       saturating_mul(bp.num_edges_, 2 * sizeof(GraphIndex)));
    allocate_checked(
        check_bytes,
        [&] {
            return "the belief-propagation graph of " + fmt::display(std::uint64_t{bp.num_checks_}) + " checks";
        },
        [&] {
            // Counting sort: placing edges in ascending order keeps each check's list sorted.
            bp.check_offsets_.assign(bp.num_checks_ + 1, 0);
            for (GraphIndex c : bp.edge_check_) ++bp.check_offsets_[c + 1];
            for (std::size_t c = 0; c < bp.num_checks_; ++c) bp.check_offsets_[c + 1] += bp.check_offsets_[c];
            bp.check_edges_.resize(bp.num_edges_);
            std::vector<GraphIndex> next(bp.check_offsets_.begin(), bp.check_offsets_.end() - 1);
            for (std::size_t e = 0; e < bp.num_edges_; ++e) {
                bp.check_edges_[next[bp.edge_check_[e]]++] = static_cast<GraphIndex>(e);
            }
            bp.check_vars_.resize(bp.num_edges_);
            for (std::size_t i = 0; i < bp.num_edges_; ++i) bp.check_vars_[i] = bp.edge_var_[bp.check_edges_[i]];
        });
    bp.priors_nonnegative_ =
        std::all_of(bp.priors_.begin(), bp.priors_.end(), [](double prior) { return prior >= 0.0; });
    return bp;
}

std::span<const GraphIndex> BpDecoder::checks_of(std::size_t v) const {
    check_index(v, num_vars_, "BpDecoder::checks_of");
    return std::span<const GraphIndex>(edge_check_).subspan(var_offsets_[v], var_offsets_[v + 1] - var_offsets_[v]);
}

void BpDecoder::check_update(std::span<const std::uint8_t> syndrome, std::span<const double> q, std::span<double> r,
                             double alpha) const {
    check_invariant(syndrome.size() == num_checks_ && q.size() == num_edges_ && r.size() == num_edges_,
                    "BpDecoder::check_update: buffer sizes do not match the graph");
    constexpr double INF = std::numeric_limits<double>::infinity();
    const GraphIndex* edges = check_edges_.data();
    for (std::size_t c = 0; c < num_checks_; ++c) {
        const GraphIndex begin = check_offsets_[c];
        const GraphIndex end = check_offsets_[c + 1];
        if (begin == end) continue;
        double min1 = INF;
        double min2 = INF;
        std::size_t min_edge = std::numeric_limits<std::size_t>::max();
        unsigned parity = syndrome[c];
        for (GraphIndex i = begin; i < end; ++i) {
            const GraphIndex e = edges[i];
            const double value = q[e];
            const double magnitude = std::fabs(value);
            // Min/max selects rather than branches (which edge holds the minimum
            // is data the branch predictor cannot learn). A NaN magnitude leaves
            // min1, min2 and min_edge unchanged.
            const double upper = min1 > magnitude ? min1 : magnitude;
            min2 = upper < min2 ? upper : min2;
            min_edge = magnitude < min1 ? e : min_edge;
            min1 = magnitude < min1 ? magnitude : min1;
            parity ^= static_cast<unsigned>(value < 0.0);
        }
        const double magnitudes[2] = {alpha * min1, alpha * min2};
        for (GraphIndex i = begin; i < end; ++i) {
            const GraphIndex e = edges[i];
            const double magnitude = magnitudes[e == min_edge ? 1 : 0];
            // An odd parity negates: flipping the sign bit is exactly unary minus.
            const std::uint64_t odd = parity ^ static_cast<unsigned>(q[e] < 0.0);
            r[e] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) ^ (odd << 63));
        }
    }
}

bool BpDecoder::zero_syndrome_converges_at_once(const Syndrome& syndrome, double alpha) const {
    if (!(alpha >= 0.0 && priors_nonnegative_)) return false;
    return std::all_of(syndrome.fired.begin(), syndrome.fired.end(),
                       [&](std::uint32_t c) { return c >= num_checks_; });
}

bool BpDecoder::satisfies(std::span<const std::uint8_t> syndrome, std::span<const std::uint8_t> hard) const {
    check_invariant(syndrome.size() == num_checks_ && hard.size() == num_vars_,
                    "BpDecoder::satisfies: buffer sizes do not match the graph");
    for (std::size_t c = 0; c < num_checks_; ++c) {
        unsigned parity = 0;
        for (GraphIndex i = check_offsets_[c]; i < check_offsets_[c + 1]; ++i) parity ^= hard[check_vars_[i]];
        if (parity != syndrome[c]) return false;
    }
    return true;
}

namespace {

// Per-thread message buffers, reused across shots. A decode never calls back
// into another decode on the same thread, so the guard only catches misuse.
struct BpScratch {
    std::vector<std::uint8_t> syndrome;
    std::vector<double> q;
    std::vector<double> r;
};

}  // namespace

BpSoft BpDecoder::decode_bp_soft(const Syndrome& syndrome) const {
    const ThreadScratch<BpScratch> lease("BpDecoder");
    BpScratch& bp_scratch = *lease;
    std::vector<std::uint8_t>& bits = bp_scratch.syndrome;
    std::vector<double>& q = bp_scratch.q;
    std::vector<double>& r = bp_scratch.r;
    syndrome_bits(syndrome, num_checks_, bits);
    q.resize(num_edges_);
    for (std::size_t e = 0; e < num_edges_; ++e) q[e] = priors_[edge_var_[e]];
    r.assign(num_edges_, 0.0);

    BpSoft soft;
    soft.hard.assign(num_vars_, 0);
    soft.posteriors.assign(num_vars_, 0.0);
    for (std::uint32_t t = 0; t < max_iter_; ++t) {
        check_update(bits, q, r, alpha_);
        for (std::size_t v = 0; v < num_vars_; ++v) {
            const double posterior = posterior_of(static_cast<GraphIndex>(v), r);
            soft.hard[v] = posterior < 0.0 ? 1 : 0;
            for (GraphIndex e = var_offsets_[v]; e < var_offsets_[v + 1]; ++e) q[e] = posterior - r[e];
        }
        if (satisfies(bits, soft.hard)) {
            soft.converged = true;
            break;
        }
    }
    for (std::size_t v = 0; v < num_vars_; ++v) {
        soft.posteriors[v] = posterior_of(static_cast<GraphIndex>(v), r);
        soft.hard[v] = soft.posteriors[v] < 0.0 ? 1 : 0;
    }
    return soft;
}

std::uint64_t BpDecoder::mask_of(std::span<const std::uint8_t> hard) const {
    check_invariant(hard.size() == num_vars_, "BpDecoder::mask_of: estimate length differs from the mechanism count");
    std::uint64_t mask = 0;
    for (std::size_t v = 0; v < num_vars_; ++v) {
        if (hard[v] != 0) mask ^= obs_masks_[v];
    }
    return mask;
}

std::pair<Correction, bool> BpDecoder::decode_bp(const Syndrome& syndrome) const {
    // Without an iteration BP reports no convergence, so the shortcut needs one.
    if (max_iter_ > 0 && zero_syndrome_converges_at_once(syndrome, alpha_)) {
        return {correction_from_mask(0, num_observables_), true};
    }
    BpSoft soft = decode_bp_soft(syndrome);
    return {correction_from_mask(mask_of(soft.hard), num_observables_), soft.converged};
}

Correction BpDecoder::decode(const Syndrome& syndrome) const { return decode_bp(syndrome).first; }

}  // namespace nivra::qec
