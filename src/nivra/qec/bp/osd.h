#pragma once
// Ordered-statistics decoding (OSD) after belief propagation. When BP's hard
// decision does not reproduce the syndrome, the parity-check matrix H (one row
// per detector, one column per mechanism) is row-reduced over GF(2) with the
// columns taken in order of BP's posteriors, most-likely-fired first, and the
// syndrome solved for the pivot columns.
//
// Dense matrix layout, per thread, reused across shots:
//
//   row c = words [c*W, (c+1)*W), W = ceil((n + 1) / 64)
//   bit v of row c  (word v/64, bit v%64)  H[c][v], mechanism v touches check c
//   bit n of row c                         syndrome bit of check c (augmented column)

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>
#include <vector>

#include "nivra/qec/bp/bp.h"
#include "nivra/qec/decoder.h"
#include "nivra/qec/dem/dem.h"

namespace nivra::qec {

class OsdDecoder final : public Decoder {
public:
    // The largest number of free columns any search covers, whatever osd_order
    // asks: 2^20 - 1 candidates per shot.
    static constexpr std::size_t MAX_SEARCH_COLUMNS = 20;

    // Builds the BP decoder with the same model, `max_iter` and `alpha`; the
    // columns of H are the Tanner graph's parity-reduced detector lists. Fails
    // as BpDecoder::with_params does.
    static std::expected<OsdDecoder, ParamError> with_params(const DetectorErrorModel& dem, std::uint32_t max_iter,
                                                             std::uint64_t osd_order, double alpha);

    // BP's hard decision and false when BP converged, else osd_solve on BP's
    // soft output and true. One byte 0/1 per mechanism.
    std::pair<std::vector<std::uint8_t>, bool> decode_osd_ehat(const Syndrome& syndrome) const;

    // The observables flipped by decode_osd_ehat's estimate, and whether OSD ran.
    std::pair<Correction, bool> decode_osd(const Syndrome& syndrome) const;

    // For soft output made by another BP variant with the same model: the mask
    // of `soft.hard` when it converged, else of osd_solve on it.
    Correction correction_from_soft(const Syndrome& syndrome, const BpSoft& soft) const;

    // An estimate (one byte 0/1 per mechanism) that reproduces the syndrome
    // whenever the syndrome (fired indices below num_checks) lies in the column
    // space of H. Free columns keep `hard`, except the first
    // min(osd_order, 20) free ones, searched exhaustively for the lowest cost
    // (sum of posteriors clamped to [-1e9, 1e9] over fired mechanisms).
    // Preconditions: hard and posteriors have num_vars entries. Matrices that
    // must grow beyond memory_limit() throw AllocationError "cannot allocate
    // {size} for the OSD matrices of {m} checks and {n} mechanisms".
    std::vector<std::uint8_t> osd_solve(const Syndrome& syndrome, std::span<const std::uint8_t> hard,
                                        std::span<const double> posteriors) const;

    Correction decode(const Syndrome& syndrome) const override;

    const BpDecoder& bp() const { return bp_; }
    std::size_t num_checks() const { return num_checks_; }
    std::size_t num_vars() const { return num_vars_; }
    std::size_t osd_order() const { return osd_order_; }

private:
    explicit OsdDecoder(BpDecoder bp) : bp_(std::move(bp)) {}

    // BP converges at its first iteration on the zero estimate (OSD not run).
    bool bp_converges_at_zero(const Syndrome& syndrome) const;

    // The columns of H are bp_.checks_of(v): the same lists as the Tanner graph.
    BpDecoder bp_;
    std::size_t num_checks_ = 0;
    std::size_t num_vars_ = 0;
    std::size_t osd_order_ = 0;
};

}  // namespace nivra::qec
