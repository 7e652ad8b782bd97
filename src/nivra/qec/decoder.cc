#include "nivra/qec/decoder.h"

#include "nivra/core/error.h"

namespace nivra::qec {

Correction correction_from_mask(std::uint64_t mask, std::size_t num_observables) {
    check_invariant(num_observables <= MAX_OBSERVABLES, "correction_from_mask: more than 64 observables");
    Correction correction;
    correction.flips.resize(num_observables);
    for (std::size_t j = 0; j < num_observables; ++j) {
        correction.flips[j] = static_cast<std::uint8_t>((mask >> j) & 1u);
    }
    return correction;
}

std::uint64_t observable_mask(std::span<const std::uint32_t> observables) {
    std::uint64_t mask = 0;
    for (std::uint32_t k : observables) {
        check_index(k, MAX_OBSERVABLES, "observable_mask");
        mask |= std::uint64_t{1} << k;
    }
    return mask;
}

std::expected<std::vector<Correction>, Error> Decoder::decode_batch(std::span<const Syndrome> syndromes) const {
    std::vector<Correction> out;
    out.reserve(syndromes.size());
    for (const Syndrome& syndrome : syndromes) {
        out.push_back(decode(syndrome));
    }
    return out;
}

}  // namespace nivra::qec
