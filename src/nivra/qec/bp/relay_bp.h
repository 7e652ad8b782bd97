#pragma once
// Relay-BP: several legs of memory belief propagation run one after another on
// the Tanner graph of BpDecoder, each leg starting from the previous leg's
// messages. In leg l mechanism v keeps a share gamma(l, v) of its previous
// variable-to-check message (negative gamma over-relaxes). Every iterate whose
// hard decision reproduces the syndrome is a candidate; the one with the fewest
// flipped mechanisms wins, the earliest among equals.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <utility>
#include <vector>

#include "nivra/qec/bp/bp.h"
#include "nivra/qec/decoder.h"
#include "nivra/qec/dem/dem.h"
#include "nivra/qec/bp/osd.h"

namespace nivra::qec {

class RelayBpDecoder final : public Decoder {
public:
    // Legs must stay below this bound: the per-leg iteration count and the
    // strength table are defined only there.
    static constexpr std::uint64_t LEGS_LIMIT = std::uint64_t{1} << 32;

    // Builds the graph, priors and masks as BpDecoder::with_params(dem, 100,
    // alpha) does, but keeps `alpha` unclamped for its own updates. `legs` 0 is
    // taken as 1; each leg runs max(100 / legs, 8) iterations. The strengths
    //   gamma(l, v) = gamma_min + (gamma_max - gamma_min) * U(seed, l, v)
    // (U a stateless splitmix64-style draw in [0, 1)) are computed here once.
    // Refuses, in this order: non-finite alpha, gamma_min, gamma_max; legs of
    // 2^32 or more; a non-finite gamma_max - gamma_min; the graph errors of
    // BpDecoder; a strength table whose size overflows. A table larger than
    // memory_limit() throws AllocationError "cannot allocate {size} for the
    // relay-BP memory strengths of {legs} legs and {n} mechanisms".
    static std::expected<RelayBpDecoder, ParamError> with_params(const DetectorErrorModel& dem, std::uint64_t legs,
                                                                 std::uint64_t seed, double alpha, double gamma_min,
                                                                 double gamma_max);

    // The stateless draw U(seed, leg, mechanism) in [0, 1) behind the strengths.
    static double strength_unit(std::uint64_t seed, std::uint64_t leg, std::uint64_t mechanism);

    // Runs every leg's iterations in full. `hard` is the best candidate when
    // there is one (converged = true), else the last iterate's decision;
    // posteriors come from the final messages.
    BpSoft decode_soft(const Syndrome& syndrome) const;

    // The observables flipped by decode_soft's `hard`, and its converged flag.
    std::pair<Correction, bool> decode_relay(const Syndrome& syndrome) const;

    Correction decode(const Syndrome& syndrome) const override;

    // Memory strength of mechanism v in leg l.
    double gamma(std::size_t leg, std::size_t v) const;

    const BpDecoder& graph() const { return graph_; }
    std::size_t legs() const { return legs_; }
    std::uint32_t iters_per_leg() const { return iters_per_leg_; }
    double alpha() const { return alpha_; }
    std::size_t num_checks() const { return graph_.num_checks(); }
    std::size_t num_observables() const { return graph_.num_observables(); }
    std::size_t num_vars() const { return graph_.num_vars(); }
    std::size_t num_edges() const { return graph_.num_edges(); }

private:
    explicit RelayBpDecoder(BpDecoder graph) : graph_(std::move(graph)) {}

    BpDecoder graph_;
    // legs_ rows of num_vars strengths: gammas_[l * num_vars + v].
    std::vector<double> gammas_;
    std::size_t legs_ = 1;
    double alpha_ = 1.0;
    std::uint32_t iters_per_leg_ = 0;
};

// Relay-BP with OSD after it: OSD runs on the relay's soft output when no
// candidate was found (the OSD decoder's own BP never runs).
class RelayBpOsdDecoder final : public Decoder {
public:
    // Both parts must be built from the same model.
    RelayBpOsdDecoder(RelayBpDecoder relay, OsdDecoder osd);

    Correction decode(const Syndrome& syndrome) const override;

    const RelayBpDecoder& relay() const { return relay_; }
    const OsdDecoder& osd() const { return osd_; }

private:
    RelayBpDecoder relay_;
    OsdDecoder osd_;
};

}  // namespace nivra::qec
