#include "nivra/qec/bp/relay_bp.h"

#include <algorithm>
#include <cmath>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/qec/scratch.h"

namespace nivra::qec {

double RelayBpDecoder::strength_unit(std::uint64_t seed, std::uint64_t leg, std::uint64_t mechanism) {
    // Unsigned arithmetic wraps modulo 2^64, which the stream relies on.
    const std::uint64_t s = seed + leg * 0x9E3779B97F4A7C15ull + mechanism * 0xD1B54A32D192ED03ull;
    std::uint64_t z = (s ^ (s >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
}

std::expected<RelayBpDecoder, ParamError> RelayBpDecoder::with_params(const DetectorErrorModel& dem, std::uint64_t legs,
                                                                      std::uint64_t seed, double alpha,
                                                                      double gamma_min, double gamma_max) {
    if (auto ok = require_finite("alpha", alpha); !ok) return std::unexpected(ok.error());
    if (auto ok = require_finite("gamma_min", gamma_min); !ok) return std::unexpected(ok.error());
    if (auto ok = require_finite("gamma_max", gamma_max); !ok) return std::unexpected(ok.error());
    if (legs >= LEGS_LIMIT) return std::unexpected(ParamError::too_many_legs(legs));
    const double span = gamma_max - gamma_min;
    if (!std::isfinite(span)) return std::unexpected(ParamError::gamma_span(span));

    auto graph = BpDecoder::with_params(dem, 100, alpha);
    if (!graph) return std::unexpected(graph.error());
    RelayBpDecoder relay(std::move(*graph));
    relay.legs_ = legs == 0 ? 1 : static_cast<std::size_t>(legs);
    relay.alpha_ = alpha;
    relay.iters_per_leg_ = static_cast<std::uint32_t>(std::max<std::uint64_t>(100 / relay.legs_, 8));

    const std::size_t n = relay.graph_.num_vars();
    std::size_t entries = 0;
    std::size_t bytes = 0;
    if (!checked_mul(relay.legs_, n, entries) || !checked_mul(entries, sizeof(double), bytes) ||
        entries > relay.gammas_.max_size()) {
        return std::unexpected(ParamError::table_too_large(relay.legs_, n));
    }
    relay.gammas_ = allocate_checked(
        bytes,
        [&] {
            return "the relay-BP memory strengths of " + fmt::display(std::uint64_t{relay.legs_}) + " legs and " +
                   fmt::display(std::uint64_t{n}) + " mechanisms";
        },
        [&] { return std::vector<double>(entries); });
    for (std::size_t l = 0; l < relay.legs_; ++l) {
        double* row = relay.gammas_.data() + l * n;
        for (std::size_t v = 0; v < n; ++v) row[v] = gamma_min + span * strength_unit(seed, l, v);
    }
    return relay;
}

double RelayBpDecoder::gamma(std::size_t leg, std::size_t v) const {
    check_index(leg, legs_, "RelayBpDecoder::gamma leg");
    check_index(v, graph_.num_vars(), "RelayBpDecoder::gamma mechanism");
    return gammas_[leg * graph_.num_vars() + v];
}

namespace {

// Per-thread message buffers, reused across shots and carried from leg to leg within one.
struct RelayScratch {
    std::vector<std::uint8_t> syndrome;
    std::vector<double> q;
    std::vector<double> r;
    std::vector<std::uint8_t> hard;
};

}  // namespace

BpSoft RelayBpDecoder::decode_soft(const Syndrome& syndrome) const {
    const ThreadScratch<RelayScratch> lease("RelayBpDecoder");
    RelayScratch& s = *lease;
    const std::size_t n = graph_.num_vars();
    const std::size_t num_edges = graph_.num_edges();
    const std::span<const double> priors = graph_.priors();
    const std::span<const GraphIndex> var_offsets = graph_.var_offsets();
    const std::span<const GraphIndex> edge_var = graph_.edge_var();

    syndrome_bits(syndrome, graph_.num_checks(), s.syndrome);
    s.q.resize(num_edges);
    for (std::size_t e = 0; e < num_edges; ++e) s.q[e] = priors[edge_var[e]];
    s.r.assign(num_edges, 0.0);
    s.hard.assign(n, 0);
    double* const q = s.q.data();
    const double* const r = s.r.data();

    BpSoft soft;
    std::size_t best_weight = 0;
    for (std::size_t leg = 0; leg < legs_; ++leg) {
        const double* const gammas = gammas_.data() + leg * n;
        for (std::uint32_t iteration = 0; iteration < iters_per_leg_; ++iteration) {
            graph_.check_update(s.syndrome, s.q, s.r, alpha_);
            for (std::size_t v = 0; v < n; ++v) {
                const double posterior = graph_.posterior_of(static_cast<GraphIndex>(v), s.r);
                s.hard[v] = posterior < 0.0 ? 1 : 0;
                const double g = gammas[v];
                for (GraphIndex e = var_offsets[v]; e < var_offsets[v + 1]; ++e) {
                    q[e] = (1.0 - g) * (posterior - r[e]) + g * q[e];
                }
            }
            if (graph_.satisfies(s.syndrome, s.hard)) {
                const auto weight = static_cast<std::size_t>(std::count(s.hard.begin(), s.hard.end(), 1));
                if (!soft.converged || weight < best_weight) {
                    soft.converged = true;
                    best_weight = weight;
                    soft.hard = s.hard;
                }
            }
        }
    }
    if (!soft.converged) soft.hard = s.hard;
    soft.posteriors.resize(n);
    for (std::size_t v = 0; v < n; ++v) soft.posteriors[v] = graph_.posterior_of(static_cast<GraphIndex>(v), s.r);
    return soft;
}

std::pair<Correction, bool> RelayBpDecoder::decode_relay(const Syndrome& syndrome) const {
    // Every leg runs at least 8 iterations, so the first one always happens.
    // The strengths are fixed at construction, so skipping a shot's iterations
    // changes nothing for later shots.
    if (graph_.zero_syndrome_converges_at_once(syndrome, alpha_)) {
        return {correction_from_mask(0, graph_.num_observables()), true};
    }
    BpSoft soft = decode_soft(syndrome);
    return {correction_from_mask(graph_.mask_of(soft.hard), graph_.num_observables()), soft.converged};
}

Correction RelayBpDecoder::decode(const Syndrome& syndrome) const { return decode_relay(syndrome).first; }

RelayBpOsdDecoder::RelayBpOsdDecoder(RelayBpDecoder relay, OsdDecoder osd)
    : relay_(std::move(relay)), osd_(std::move(osd)) {
    check_invariant(relay_.num_vars() == osd_.num_vars() && relay_.num_checks() == osd_.num_checks() &&
                        relay_.num_observables() == osd_.bp().num_observables(),
                    "RelayBpOsdDecoder: relay and OSD parts were built from different models");
}

Correction RelayBpOsdDecoder::decode(const Syndrome& syndrome) const {
    // The relay converges on the all-zero candidate, so OSD would not run.
    if (relay_.graph().zero_syndrome_converges_at_once(syndrome, relay_.alpha())) {
        return correction_from_mask(0, relay_.num_observables());
    }
    return osd_.correction_from_soft(syndrome, relay_.decode_soft(syndrome));
}

}  // namespace nivra::qec
