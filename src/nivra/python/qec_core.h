#pragma once
// The decoding drivers behind nivra.qec, free of Python: building a decoder by
// name with keyword parameters, and decoding rows of detector samples in
// parallel on the shared pool. The Python layer (qec.cc) converts arrays and
// arguments and releases the interpreter lock around decode_rows and
// decode_packed; nothing here touches Python objects.
//
// Row formats:
//   dense detector row     D bytes, non-zero = fired
//   dense prediction row   O bytes, 0 or 1
//   bit-packed row (b8)    ceil(N/8) bytes; flag k is bit (k % 8) of byte k / 8
//                          (least significant first). Input bits at positions
//                          >= D are ignored; output bits at positions >= O are 0.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "nivra/qec/bp/bp.h"
#include "nivra/qec/decoder.h"
#include "nivra/qec/dem/dem.h"
#include "nivra/qec/error.h"
#include "nivra/qec/matching/mwpm.h"
#include "nivra/qec/bp/osd.h"
#include "nivra/qec/bp/relay_bp.h"
#include "nivra/qec/matching/union_find.h"

namespace nivra::python {

// The names a decoder can be built by, in the order decoder_names() lists them.
inline constexpr std::array<std::string_view, 7> DECODER_NAMES = {
    "mwpm", "union-find", "union-find-weighted", "bp", "bp-osd", "relay-bp", "relay-bp-osd",
};

// The keywords `name` accepts, in the order error messages list them; empty
// for names outside DECODER_NAMES.
std::span<const std::string_view> accepted_params(std::string_view name);

// Keyword parameters as given; an absent one takes the decoder's default.
struct DecoderParams {
    std::optional<std::uint32_t> max_iter;
    std::optional<double> alpha;
    std::optional<std::uint64_t> osd_order;
    std::optional<std::uint64_t> legs;
    std::optional<double> gamma_min;
    std::optional<double> gamma_max;
    std::optional<std::uint64_t> seed;
};

// Defaults of the keywords.
inline constexpr std::uint32_t DEFAULT_MAX_ITER = 100;
inline constexpr double DEFAULT_BP_ALPHA = 1.0;
inline constexpr double DEFAULT_OSD_ALPHA = 0.875;
inline constexpr std::uint64_t DEFAULT_OSD_ORDER = 0;
inline constexpr std::uint64_t DEFAULT_LEGS = 4;
inline constexpr std::uint64_t DEFAULT_RELAY_SEED = 0x5E1A4B9C;
inline constexpr double DEFAULT_RELAY_ALPHA = 0.875;
inline constexpr double DEFAULT_GAMMA_MIN = -0.3;
inline constexpr double DEFAULT_GAMMA_MAX = 0.9;
// The BP run inside relay-bp-osd's OSD part always has this iteration limit.
inline constexpr std::uint32_t RELAY_OSD_MAX_ITER = 100;

// Why a decoder could not be built.
struct BuildError {
    enum class Kind {
        UnknownParameter,    // `parameter` is not accepted by decoder `name`
        TooManyObservables,  // the model has `count` observables, above 64
        NonFinite,           // `parameter` was NaN or infinite: `value`
        GammaOrder,          // gamma_min `value` > gamma_max `value2`
        Decoder,             // a construction error of the decoder itself: `detail`
        UnknownDecoder,      // `name` is not in DECODER_NAMES
    };
    Kind kind = Kind::UnknownDecoder;
    std::string name;
    std::string parameter;
    double value = 0.0;
    double value2 = 0.0;
    std::uint64_t count = 0;
    std::variant<std::monostate, qec::Error, qec::ParamError> detail;

    static BuildError unknown_parameter(std::string_view parameter, std::string_view name);
    static BuildError too_many_observables(std::uint64_t count);
    static BuildError non_finite(std::string_view parameter, double value);
    static BuildError gamma_order(double gamma_min, double gamma_max);
    static BuildError decoder(qec::Error error);
    static BuildError decoder(qec::ParamError error);
    static BuildError unknown_decoder(std::string_view name);

    std::string message() const;
};

// The decoder held by a Python Decoder: one alternative per decoder type.
// Decoding always goes through the qec::Decoder interface of the held value.
class AnyDecoder {
public:
    using Variant = std::variant<qec::MwpmDecoder, qec::UnionFindDecoder, qec::BpDecoder, qec::OsdDecoder,
                                 qec::RelayBpDecoder, std::unique_ptr<qec::RelayBpOsdDecoder>>;

    // Builds decoder `name` for `dem`, defaults filling absent keywords.
    // Checks, in order: more than 64 observables (before the name is looked
    // at); then per name the finiteness of alpha (bp, bp-osd, relay-bp-osd),
    // of alpha, gamma_min, gamma_max and gamma_min <= gamma_max (relay-bp,
    // relay-bp-osd); the decoder's own construction errors; an unknown name.
    // Keywords the name does not accept are the caller's to refuse (they are
    // ignored here). Throws std::bad_alloc / std::length_error when the
    // decoder's tables do not fit in memory.
    static std::expected<AnyDecoder, BuildError> build(const qec::DetectorErrorModel& dem, std::string_view name,
                                                       const DecoderParams& params);

    const qec::Decoder& get() const;
    const Variant& variant() const { return decoder_; }

private:
    explicit AnyDecoder(Variant decoder) : decoder_(std::move(decoder)) {}

    Variant decoder_;
};

// Decodes `shots` dense rows of `num_detectors` bytes (row-major in `bytes`)
// and returns shots x num_observables prediction bytes (0 or 1). Rows run in
// parallel on the shared pool, at least one row per task; a single row runs on
// the calling thread. With num_observables 0 no decoder is called. The
// result does not depend on the thread count. Throws InvariantError when
// bytes.size() != shots * num_detectors, std::length_error when the output
// size overflows.
std::vector<std::uint8_t> decode_rows(const qec::Decoder& decoder, std::span<const std::uint8_t> bytes,
                                      std::size_t shots, std::size_t num_detectors, std::size_t num_observables);

// Number of bytes of a bit-packed row of `flags` flags: ceil(flags / 8).
constexpr std::size_t packed_row_bytes(std::size_t flags) { return flags / 8 + (flags % 8 != 0 ? 1 : 0); }

// The bit-packed counterpart of decode_rows: `packed` holds shots rows of
// packed_row_bytes(num_detectors) bytes; the result shots rows of
// packed_row_bytes(num_observables) bytes. Set bits are read directly, lowest
// first, never unpacked into a dense row.
std::vector<std::uint8_t> decode_packed(const qec::Decoder& decoder, std::span<const std::uint8_t> packed,
                                        std::size_t shots, std::size_t num_detectors, std::size_t num_observables);

// Copies a strided 2-D byte view (rows x cols, strides in bytes, any sign)
// into a contiguous row-major buffer. The caller guarantees that every
// addressed byte lies inside one live allocation. Throws std::length_error
// when rows * cols overflows.
std::vector<std::uint8_t> gather_rows(const std::uint8_t* data, std::size_t rows, std::size_t cols,
                                      std::ptrdiff_t row_stride, std::ptrdiff_t col_stride);

}  // namespace nivra::python
