#pragma once
// Minimum-weight perfect matching decoder. Construction turns the matching
// graph into two dense tables over detectors (rows) and nodes (columns; the
// last column is the boundary): integer shortest-path lengths and the
// observable masks of those paths. A shot pairs its fired detectors (defects)
// so that the total path length is smallest, any defect may instead go to the
// boundary, and the prediction is the XOR of the chosen paths' masks. The
// pairing is a maximum-weight matching on "gains" (length saved by pairing two
// defects instead of sending both to the boundary), solved on the calling
// thread's reusable Blossom.
//
// Table layout (row-major, stride = num_detectors + 1):
//   dist[s * stride + t]   length of a shortest path from detector s to node t,
//                          NO_PATH (or more) where none exists; paths never
//                          pass through the boundary node
//   obs[s * stride + t]    XOR of the edge masks along that path (0 where none)
// Both take num_detectors * (num_detectors + 1) * 8 bytes.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <utility>
#include <vector>

#include "nivra/qec/decoder.h"
#include "nivra/qec/dem/dem.h"
#include "nivra/qec/error.h"
#include "nivra/qec/matching/matching.h"

namespace nivra::qec {

class MwpmDecoder final : public Decoder {
public:
    // Signed path lengths: edge lengths are ln((1 - p) / p) scaled by 2^24,
    // negative for boundary edges with p > 0.5.
    using Length = std::int64_t;

    // Stands for "no path"; every table entry at or above it means no path.
    static constexpr Length NO_PATH = 0x1FFFFFFFFFFFFFFF;
    // Integer edge lengths are the float weights times this, rounded half away from zero.
    static constexpr double WEIGHT_SCALE = 16777216.0;

    // Builds the matching graph of `dem` (its errors pass through unchanged) and the tables.
    // Throws InvariantError when the model has more than 64 observables and
    // AllocationError "cannot allocate {size} for the MWPM tables of {n}
    // detectors" when the tables exceed memory_limit() or cannot be allocated
    // (their size is computed before the graph is built).
    static std::expected<MwpmDecoder, Error> create(const DetectorErrorModel& dem);

    // The tables for `graph`: one shortest-path search per detector, run in
    // parallel on the shared pool (the result does not depend on the thread
    // count). An edge between two detectors whose length would be negative
    // (merged p > 0.5) is given length 0, so the search always settles;
    // boundary edges keep their sign (the boundary is never expanded).
    // Sums saturate at NO_PATH - 1, so a real path never reads as none.
    static MwpmDecoder from_graph(const MatchingGraph& graph);

    // The integer length of an edge weight: weight * 2^24 rounded half away
    // from zero, saturated to 64 bits, NaN giving 0.
    static Length integer_weight(double weight);

    Correction decode(const Syndrome& syndrome) const override;

    // One shot's pairing: for each defect (fired index below num_detectors, in
    // syndrome order) the position of its partner in `defects`, or -1 when it
    // goes to the boundary (or has nowhere to go); and the predicted mask.
    struct Matching {
        std::vector<std::uint32_t> defects;
        std::vector<std::int64_t> partner;
        std::uint64_t mask = 0;
    };
    Matching match(const Syndrome& syndrome) const;

    Length distance(std::size_t detector, std::size_t node) const;
    std::uint64_t path_mask(std::size_t detector, std::size_t node) const;
    std::size_t num_detectors() const { return num_detectors_; }
    std::size_t num_observables() const { return num_observables_; }

private:
    MwpmDecoder() = default;
    // The prediction mask of one shot; fills `matching` when given.
    std::uint64_t decode_mask(const Syndrome& syndrome, Matching* matching) const;

    std::vector<Length> dist_;
    std::vector<std::uint64_t> obs_;
    std::size_t num_detectors_ = 0;
    std::size_t num_observables_ = 0;
    std::size_t stride_ = 1;
};

}  // namespace nivra::qec
