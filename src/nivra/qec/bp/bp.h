#pragma once
// Normalised min-sum belief propagation on the Tanner graph of a detector error
// model: one variable per error mechanism, one check per detector. Unlike the
// matching decoders it accepts mechanisms that flip any number of detectors.
//
// Tanner graph layout (both directions flat, 32-bit indices):
//
//   edges numbered in mechanism order, within a mechanism by ascending detector
//   var_offsets[v] .. var_offsets[v+1]      edges of mechanism v (contiguous)
//   edge_check[e], edge_var[e]              the two ends of edge e
//   check_offsets[c] .. check_offsets[c+1]  positions in check_edges of check c
//   check_edges[i]                          an edge index, ascending per check
//   check_vars[i]                           edge_var[check_edges[i]] (for the stop test)
//
// Messages q (variable to check) and r (check to variable) are stored per edge,
// so the variable pass runs over contiguous memory and the check pass gathers.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "nivra/qec/decoder.h"
#include "nivra/qec/dem/dem.h"

namespace nivra::qec {

// Index of a Tanner-graph vertex or edge: 32-bit so the graph arrays stay half
// the size of machine words; models that do not fit are refused at construction.
using GraphIndex = std::uint32_t;

// Why a belief-propagation decoder refused to be built. The Python layer checks
// finiteness and the observable count before construction; these errors guard
// every other caller, so no parameter reaches the arithmetic unchecked.
struct ParamError {
    enum class Kind {
        NonFinite,           // `parameter` was NaN or infinite: `value`
        TooManyObservables,  // `count` observables, above the 64 a mask holds
        TooManyLegs,         // `count` legs, 2^32 or more
        GammaSpan,           // gamma_max - gamma_min overflowed to `value`
        GraphTooLarge,       // `count` of `parameter` ("mechanisms", "edges") exceed 32-bit indices
        TableTooLarge,       // `count` legs times `count2` mechanisms overflow the address space
    };
    Kind kind = Kind::NonFinite;
    std::string parameter;
    double value = 0.0;
    std::uint64_t count = 0;
    std::uint64_t count2 = 0;

    static ParamError non_finite(std::string parameter, double value) {
        return {Kind::NonFinite, std::move(parameter), value, 0, 0};
    }
    static ParamError too_many_observables(std::uint64_t count) {
        return {Kind::TooManyObservables, {}, 0.0, count, 0};
    }
    static ParamError too_many_legs(std::uint64_t legs) { return {Kind::TooManyLegs, {}, 0.0, legs, 0}; }
    static ParamError gamma_span(double span) { return {Kind::GammaSpan, {}, span, 0, 0}; }
    static ParamError graph_too_large(std::string what, std::uint64_t count) {
        return {Kind::GraphTooLarge, std::move(what), 0.0, count, 0};
    }
    static ParamError table_too_large(std::uint64_t legs, std::uint64_t mechanisms) {
        return {Kind::TableTooLarge, {}, 0.0, legs, mechanisms};
    }

    std::string message() const;

    friend bool operator==(const ParamError&, const ParamError&) = default;
};

// BP's soft output.
struct BpSoft {
    std::vector<std::uint8_t> hard;  // per mechanism: 1 where the posterior is negative (fired)
    std::vector<double> posteriors;  // per mechanism: log-likelihood ratio, positive = did not fire
    bool converged = false;          // `hard` reproduced the syndrome before the iteration limit
};

// Syndrome bits per check: 1 for each fired index below `num_checks`, larger
// indices ignored. Shared by the BP family and OSD.
void syndrome_bits(const Syndrome& syndrome, std::size_t num_checks, std::vector<std::uint8_t>& bits);

class BpDecoder final : public Decoder {
public:
    // Builds the Tanner graph of `dem`. Each mechanism's detector list is reduced
    // to the values it names an odd number of times, below num_detectors; priors
    // are ln((1 - p') / p') with p' = p clamped to [1e-12, 0.5]; `alpha` is
    // clamped to [1e-6, 1]. Refuses a non-finite `alpha`, more than 64
    // observables, and models whose mechanisms or edges do not fit GraphIndex.
    static std::expected<BpDecoder, ParamError> with_params(const DetectorErrorModel& dem, std::uint32_t max_iter,
                                                            double alpha);

    // Runs at most max_iter iterations, stopping as soon as the hard decision
    // reproduces the syndrome. Fired indices at or above num_checks are ignored.
    BpSoft decode_bp_soft(const Syndrome& syndrome) const;

    // The observables flipped by decode_bp_soft's hard decision, and whether it converged.
    std::pair<Correction, bool> decode_bp(const Syndrome& syndrome) const;

    Correction decode(const Syndrome& syndrome) const override;

    // XOR of the observable masks of the mechanisms with hard[v] != 0.
    // Precondition: hard.size() == num_vars().
    std::uint64_t mask_of(std::span<const std::uint8_t> hard) const;

    // --- Message passes shared with relay-BP. Buffers are indexed by edge or
    // by mechanism as named; sizes are checked. ---

    // Check-to-variable update: r(e) = ±alpha × (min |q| over the other edges
    // of its check), negative when the syndrome bit and the signs of the other
    // edges' q have odd parity. Checks with no edges are skipped.
    void check_update(std::span<const std::uint8_t> syndrome_bits, std::span<const double> q, std::span<double> r,
                      double alpha) const;

    // posterior(v) = prior(v) + r over v's edges in order (left to right).
    // Inline: both decoders call it once per mechanism per iteration.
    double posterior_of(GraphIndex v, std::span<const double> r) const {
        double posterior = priors_[v];
        for (GraphIndex e = var_offsets_[v]; e < var_offsets_[v + 1]; ++e) posterior += r[e];
        return posterior;
    }

    // True when the first iteration of any min-sum variant on this graph, with
    // normalization `alpha`, is known to satisfy `syndrome` with the all-zero
    // hard decision: the syndrome fires no check (indices at or above
    // num_checks are ignored), every prior is >= 0 (not NaN) and alpha >= 0.
    // Then every variable-to-check message starts >= 0, so each check's sign
    // parity is even, every check-to-variable message is >= 0 or NaN (0 x inf),
    // no posterior is negative, and the all-zero decision reproduces the empty
    // syndrome. BP stops there; relay-BP keeps it as a candidate of weight 0,
    // which no later candidate can beat. Decoders use this to return the
    // all-zero correction without iterating; a false answer only means "run".
    bool zero_syndrome_converges_at_once(const Syndrome& syndrome, double alpha) const;

    // True when, for every check, the XOR of hard over its mechanisms equals its syndrome bit.
    bool satisfies(std::span<const std::uint8_t> syndrome_bits, std::span<const std::uint8_t> hard) const;

    std::size_t num_checks() const { return num_checks_; }
    std::size_t num_observables() const { return num_observables_; }
    std::size_t num_vars() const { return num_vars_; }
    std::size_t num_edges() const { return num_edges_; }
    double alpha() const { return alpha_; }
    std::uint32_t max_iter() const { return max_iter_; }

    std::span<const double> priors() const { return priors_; }
    std::span<const std::uint64_t> obs_masks() const { return obs_masks_; }
    std::span<const GraphIndex> var_offsets() const { return var_offsets_; }
    std::span<const GraphIndex> edge_check() const { return edge_check_; }
    std::span<const GraphIndex> edge_var() const { return edge_var_; }
    std::span<const GraphIndex> check_offsets() const { return check_offsets_; }
    std::span<const GraphIndex> check_edges() const { return check_edges_; }

    // The checks of mechanism v: its parity-reduced detectors below num_checks, ascending.
    std::span<const GraphIndex> checks_of(std::size_t v) const;

private:
    BpDecoder() = default;

    std::vector<double> priors_;
    std::vector<std::uint64_t> obs_masks_;
    std::vector<GraphIndex> var_offsets_;
    std::vector<GraphIndex> edge_check_;
    std::vector<GraphIndex> edge_var_;
    std::vector<GraphIndex> check_offsets_;
    std::vector<GraphIndex> check_edges_;
    std::vector<GraphIndex> check_vars_;  // edge_var_[check_edges_[i]], so the stop test reads one array
    std::size_t num_checks_ = 0;
    std::size_t num_observables_ = 0;
    std::size_t num_vars_ = 0;
    std::size_t num_edges_ = 0;
    double alpha_ = 1.0;
    std::uint32_t max_iter_ = 0;
    bool priors_nonnegative_ = false;  // every prior >= 0 (none negative, none NaN)
};

// The error of a non-finite parameter, or nothing when `value` is finite.
std::expected<void, ParamError> require_finite(const char* parameter, double value);

}  // namespace nivra::qec
