#pragma once
// What every decoder shares: one shot in (Syndrome), one prediction out
// (Correction), and the Decoder interface the Python layer calls per row.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "nivra/qec/error.h"

namespace nivra::qec {

// One shot: the detectors that fired.
struct Syndrome {
    // Detector indices, ascending without repeats as the batch drivers build
    // them. Decoders ignore indices at or above their model's detector count.
    std::vector<std::uint32_t> fired;
    // Length of the row `fired` was taken from (decoders do not read it).
    std::size_t num_detectors = 0;
};

// One shot's prediction: flips[k] is 1 when logical observable k is predicted
// flipped, else 0; exactly one byte per observable of the decoder's model.
struct Correction {
    std::vector<std::uint8_t> flips;

    friend bool operator==(const Correction&, const Correction&) = default;
};

// Predictions are accumulated as 64-bit masks (bit k = observable k), so
// decoders serve models of at most this many observables.
inline constexpr std::size_t MAX_OBSERVABLES = 64;

// Byte j = bit j of `mask`, for j < num_observables. Throws InvariantError
// when num_observables exceeds MAX_OBSERVABLES.
Correction correction_from_mask(std::uint64_t mask, std::size_t num_observables);

// The mask with bit k set for each listed observable k (an index listed twice
// sets the bit once). Throws InvariantError for an index >= MAX_OBSERVABLES.
std::uint64_t observable_mask(std::span<const std::uint32_t> observables);

// The decoder interface. Decoders are immutable after construction, and
// decode() may run on many threads at once for one decoder; those needing
// work space keep it per thread.
class Decoder {
public:
    virtual ~Decoder() = default;

    // Predicts the observables flipped in one shot. Never fails.
    virtual Correction decode(const Syndrome& syndrome) const = 0;

    // decode() of each syndrome in input order, on the calling thread. Never
    // returns an error; an empty input gives an empty list.
    virtual std::expected<std::vector<Correction>, Error> decode_batch(std::span<const Syndrome> syndromes) const;

protected:
    Decoder() = default;
    Decoder(const Decoder&) = default;
    Decoder(Decoder&&) = default;
    Decoder& operator=(const Decoder&) = default;
    Decoder& operator=(Decoder&&) = default;
};

}  // namespace nivra::qec
