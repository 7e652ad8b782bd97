#include "nivra/python/qec_core.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/parallel.h"

namespace nivra::python {

namespace {

std::string join(std::span<const std::string_view> items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ", ";
        out += items[i];
    }
    return out;
}

// Fired detector indices are 32-bit: a model names detectors below 2^32.
constexpr std::uint64_t MAX_ROW_DETECTORS = std::uint64_t{1} << 32;

// Indices of the non-zero bytes of a dense row, ascending. Eight zero bytes
// are skipped at once: detector samples are mostly zeros.
void fired_of_dense(const std::uint8_t* row, std::size_t n, std::vector<std::uint32_t>& fired) {
    fired.clear();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, row + i, sizeof word);
        if (word == 0) continue;
        for (std::size_t k = i; k < i + 8; ++k) {
            if (row[k] != 0) fired.push_back(static_cast<std::uint32_t>(k));
        }
    }
    for (; i < n; ++i) {
        if (row[i] != 0) fired.push_back(static_cast<std::uint32_t>(i));
    }
}

// Eight bytes of a b8 row as one word whose bit 8*j + t is bit t of byte j.
std::uint64_t load_le64(const std::uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    } else {
        std::uint64_t word = 0;
        for (std::size_t j = 0; j < 8; ++j) word |= std::uint64_t{p[j]} << (8 * j);
        return word;
    }
}

// Indices of the set bits of a b8 row of `nbytes` bytes that lie below
// `num_detectors`, ascending, read lowest set bit first.
void fired_of_packed(const std::uint8_t* row, std::size_t nbytes, std::size_t num_detectors,
                     std::vector<std::uint32_t>& fired) {
    fired.clear();
    auto take = [&](std::uint64_t bits, std::size_t first_index) {
        while (bits != 0) {
            const std::size_t index = first_index + static_cast<std::size_t>(std::countr_zero(bits));
            if (index >= num_detectors) return;  // bits rise, so the rest lie beyond D too
            fired.push_back(static_cast<std::uint32_t>(index));
            bits &= bits - 1;
        }
    };
    std::size_t b = 0;
    for (; b + 8 <= nbytes; b += 8) take(load_le64(row + b), 8 * b);
    for (; b < nbytes; ++b) take(row[b], 8 * b);
}

// Runs rows [0, shots) through body(begin, end): on the calling thread for a
// single row, else split over the shared pool with at least one row per task.
template <class Body>
void for_rows(std::size_t shots, Body&& body) {
    if (shots == 0) return;
    if (shots == 1) {
        body(std::size_t{0}, std::size_t{1});
        return;
    }
    parallel_for_chunks(shots, 1, body);
}

void check_input_size(std::size_t size, std::size_t shots, std::size_t row_bytes, const char* what) {
    std::size_t expected = 0;
    if (!checked_mul(shots, row_bytes, expected) || expected != size) {
        invariant_failure(std::string(what) + ": input of " + std::to_string(size) + " bytes is not " +
                          std::to_string(shots) + " rows of " + std::to_string(row_bytes));
    }
}

}  // namespace

std::span<const std::string_view> accepted_params(std::string_view name) {
    static constexpr std::string_view BP[] = {"max_iter", "alpha"};
    static constexpr std::string_view BP_OSD[] = {"max_iter", "alpha", "osd_order"};
    static constexpr std::string_view RELAY[] = {"legs", "alpha", "gamma_min", "gamma_max", "seed"};
    static constexpr std::string_view RELAY_OSD[] = {"legs", "alpha", "gamma_min", "gamma_max", "seed", "osd_order"};
    if (name == "bp") return BP;
    if (name == "bp-osd") return BP_OSD;
    if (name == "relay-bp") return RELAY;
    if (name == "relay-bp-osd") return RELAY_OSD;
    return {};
}

BuildError BuildError::unknown_parameter(std::string_view parameter, std::string_view name) {
    BuildError e;
    e.kind = Kind::UnknownParameter;
    e.parameter = parameter;
    e.name = name;
    return e;
}

BuildError BuildError::too_many_observables(std::uint64_t count) {
    BuildError e;
    e.kind = Kind::TooManyObservables;
    e.count = count;
    return e;
}

BuildError BuildError::non_finite(std::string_view parameter, double value) {
    BuildError e;
    e.kind = Kind::NonFinite;
    e.parameter = parameter;
    e.value = value;
    return e;
}

BuildError BuildError::gamma_order(double gamma_min, double gamma_max) {
    BuildError e;
    e.kind = Kind::GammaOrder;
    e.value = gamma_min;
    e.value2 = gamma_max;
    return e;
}

BuildError BuildError::decoder(qec::Error error) {
    BuildError e;
    e.kind = Kind::Decoder;
    e.detail = std::move(error);
    return e;
}

BuildError BuildError::decoder(qec::ParamError error) {
    BuildError e;
    e.kind = Kind::Decoder;
    e.detail = std::move(error);
    return e;
}

BuildError BuildError::unknown_decoder(std::string_view name) {
    BuildError e;
    e.kind = Kind::UnknownDecoder;
    e.name = name;
    return e;
}

std::string BuildError::message() const {
    switch (kind) {
        case Kind::UnknownParameter:
            return "unknown parameter `" + parameter + "` for decoder `" + name + "`; valid: [" +
                   join(accepted_params(name)) + "]";
        case Kind::TooManyObservables:
            return "nivra decoders support at most 64 logical observables, got " + fmt::display(count);
        case Kind::NonFinite:
            return "parameter `" + parameter + "` must be finite, got " + fmt::display(value);
        case Kind::GammaOrder:
            return "gamma_min (" + fmt::display(value) + ") must be <= gamma_max (" + fmt::display(value2) + ")";
        case Kind::Decoder:
            if (const auto* error = std::get_if<qec::Error>(&detail)) return error->message();
            if (const auto* error = std::get_if<qec::ParamError>(&detail)) return error->message();
            invariant_failure("BuildError: decoder error without detail");
        case Kind::UnknownDecoder:
            return "unknown decoder `" + name + "`; valid: " + join(DECODER_NAMES);
    }
    invariant_failure("BuildError: unknown kind");
}

namespace {

std::expected<void, BuildError> require_finite(std::string_view parameter, double value) {
    if (std::isfinite(value)) return {};
    return std::unexpected(BuildError::non_finite(parameter, value));
}

// The checks of the relay decoders' floats, in their order.
std::expected<void, BuildError> check_relay_params(double alpha, double gamma_min, double gamma_max) {
    if (auto ok = require_finite("alpha", alpha); !ok) return ok;
    if (auto ok = require_finite("gamma_min", gamma_min); !ok) return ok;
    if (auto ok = require_finite("gamma_max", gamma_max); !ok) return ok;
    if (gamma_min > gamma_max) return std::unexpected(BuildError::gamma_order(gamma_min, gamma_max));
    return {};
}

template <class T, class E>
std::expected<AnyDecoder::Variant, BuildError> wrap(std::expected<T, E> built) {
    if (!built) return std::unexpected(BuildError::decoder(std::move(built.error())));
    return AnyDecoder::Variant(std::in_place_type<T>, std::move(*built));
}

std::expected<AnyDecoder::Variant, BuildError> build_variant(const qec::DetectorErrorModel& dem, std::string_view name,
                                                             const DecoderParams& params) {
    if (name == "mwpm") return wrap(qec::MwpmDecoder::create(dem));
    if (name == "union-find") return wrap(qec::UnionFindDecoder::create(dem));
    if (name == "union-find-weighted") return wrap(qec::UnionFindDecoder::create_weighted(dem));
    if (name == "bp") {
        const double alpha = params.alpha.value_or(DEFAULT_BP_ALPHA);
        if (auto ok = require_finite("alpha", alpha); !ok) return std::unexpected(ok.error());
        return wrap(qec::BpDecoder::with_params(dem, params.max_iter.value_or(DEFAULT_MAX_ITER), alpha));
    }
    if (name == "bp-osd") {
        const double alpha = params.alpha.value_or(DEFAULT_OSD_ALPHA);
        if (auto ok = require_finite("alpha", alpha); !ok) return std::unexpected(ok.error());
        return wrap(qec::OsdDecoder::with_params(dem, params.max_iter.value_or(DEFAULT_MAX_ITER),
                                                 params.osd_order.value_or(DEFAULT_OSD_ORDER), alpha));
    }
    if (name == "relay-bp" || name == "relay-bp-osd") {
        const bool with_osd = name == "relay-bp-osd";
        const double alpha = params.alpha.value_or(DEFAULT_RELAY_ALPHA);
        const double gamma_min = params.gamma_min.value_or(DEFAULT_GAMMA_MIN);
        const double gamma_max = params.gamma_max.value_or(DEFAULT_GAMMA_MAX);
        if (with_osd) {
            if (auto ok = require_finite("alpha", alpha); !ok) return std::unexpected(ok.error());
        }
        if (auto ok = check_relay_params(alpha, gamma_min, gamma_max); !ok) return std::unexpected(ok.error());
        auto relay =
            qec::RelayBpDecoder::with_params(dem, params.legs.value_or(DEFAULT_LEGS),
                                             params.seed.value_or(DEFAULT_RELAY_SEED), alpha, gamma_min, gamma_max);
        if (!with_osd) return wrap(std::move(relay));
        if (!relay) return std::unexpected(BuildError::decoder(std::move(relay.error())));
        auto osd =
            qec::OsdDecoder::with_params(dem, RELAY_OSD_MAX_ITER, params.osd_order.value_or(DEFAULT_OSD_ORDER), alpha);
        if (!osd) return std::unexpected(BuildError::decoder(std::move(osd.error())));
        return AnyDecoder::Variant(std::make_unique<qec::RelayBpOsdDecoder>(std::move(*relay), std::move(*osd)));
    }
    return std::unexpected(BuildError::unknown_decoder(name));
}

}  // namespace

std::expected<AnyDecoder, BuildError> AnyDecoder::build(const qec::DetectorErrorModel& dem, std::string_view name,
                                                        const DecoderParams& params) {
    // Prediction masks are 64 bits wide; this holds for every name, known or not.
    if (dem.num_observables > qec::MAX_OBSERVABLES) {
        return std::unexpected(BuildError::too_many_observables(dem.num_observables));
    }
    auto built = build_variant(dem, name, params);
    if (!built) return std::unexpected(std::move(built.error()));
    return AnyDecoder(std::move(*built));
}

const qec::Decoder& AnyDecoder::get() const {
    return std::visit(
        [](const auto& held) -> const qec::Decoder& {
            if constexpr (std::is_same_v<std::decay_t<decltype(held)>, std::unique_ptr<qec::RelayBpOsdDecoder>>) {
                check_invariant(held != nullptr, "AnyDecoder: empty relay-bp-osd decoder");
                return *held;
            } else {
                return held;
            }
        },
        decoder_);
}

std::vector<std::uint8_t> decode_rows(const qec::Decoder& decoder, std::span<const std::uint8_t> bytes,
                                      std::size_t shots, std::size_t num_detectors, std::size_t num_observables) {
    check_invariant(num_detectors <= MAX_ROW_DETECTORS, "decode_rows: detector count exceeds 2^32");
    check_input_size(bytes.size(), shots, num_detectors, "decode_rows");
    std::vector<std::uint8_t> out(mul_size_or_throw(shots, num_observables), 0);
    if (num_observables == 0) return out;
    for_rows(shots, [&](std::size_t begin, std::size_t end) {
        qec::Syndrome syndrome;
        syndrome.num_detectors = num_detectors;
        for (std::size_t row = begin; row < end; ++row) {
            fired_of_dense(bytes.data() + row * num_detectors, num_detectors, syndrome.fired);
            const qec::Correction correction = decoder.decode(syndrome);
            std::uint8_t* out_row = out.data() + row * num_observables;
            const std::size_t n = std::min(correction.flips.size(), num_observables);
            for (std::size_t j = 0; j < n; ++j) out_row[j] = correction.flips[j] != 0 ? 1 : 0;
        }
    });
    return out;
}

std::vector<std::uint8_t> decode_packed(const qec::Decoder& decoder, std::span<const std::uint8_t> packed,
                                        std::size_t shots, std::size_t num_detectors, std::size_t num_observables) {
    check_invariant(num_detectors <= MAX_ROW_DETECTORS, "decode_packed: detector count exceeds 2^32");
    const std::size_t in_row = packed_row_bytes(num_detectors);
    const std::size_t out_row_bytes = packed_row_bytes(num_observables);
    check_input_size(packed.size(), shots, in_row, "decode_packed");
    std::vector<std::uint8_t> out(mul_size_or_throw(shots, out_row_bytes), 0);
    if (num_observables == 0) return out;
    for_rows(shots, [&](std::size_t begin, std::size_t end) {
        qec::Syndrome syndrome;
        syndrome.num_detectors = num_detectors;
        for (std::size_t row = begin; row < end; ++row) {
            fired_of_packed(packed.data() + row * in_row, in_row, num_detectors, syndrome.fired);
            const qec::Correction correction = decoder.decode(syndrome);
            std::uint8_t* out_row = out.data() + row * out_row_bytes;
            const std::size_t n = std::min(correction.flips.size(), num_observables);
            for (std::size_t j = 0; j < n; ++j) {
                out_row[j / 8] |= static_cast<std::uint8_t>((correction.flips[j] != 0 ? 1u : 0u) << (j % 8));
            }
        }
    });
    return out;
}

std::vector<std::uint8_t> gather_rows(const std::uint8_t* data, std::size_t rows, std::size_t cols,
                                      std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) {
    std::vector<std::uint8_t> out(mul_size_or_throw(rows, cols));
    if (out.empty()) return out;
    const auto signed_cols = static_cast<std::ptrdiff_t>(cols);
    if (col_stride == 1) {
        if (row_stride == signed_cols) {
            std::memcpy(out.data(), data, out.size());
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                std::memcpy(out.data() + r * cols, data + static_cast<std::ptrdiff_t>(r) * row_stride, cols);
            }
        }
        return out;
    }
    // Other layouts (column-major, sliced, reversed) are copied tile by tile,
    // so that reads along either axis stay within a few cache lines.
    constexpr std::size_t TILE = 64;
    for (std::size_t r0 = 0; r0 < rows; r0 += TILE) {
        const std::size_t r1 = std::min(rows, r0 + TILE);
        for (std::size_t c0 = 0; c0 < cols; c0 += TILE) {
            const std::size_t c1 = std::min(cols, c0 + TILE);
            for (std::size_t c = c0; c < c1; ++c) {
                const std::uint8_t* column = data + static_cast<std::ptrdiff_t>(c) * col_stride;
                for (std::size_t r = r0; r < r1; ++r) {
                    out[r * cols + c] = column[static_cast<std::ptrdiff_t>(r) * row_stride];
                }
            }
        }
    }
    return out;
}

}  // namespace nivra::python
