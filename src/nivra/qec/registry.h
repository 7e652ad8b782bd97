#pragma once
// Building a decoder by name with keyword parameters: one table of rows
// {name, accepted keywords with their defaults, builder}. The names listed by
// decoder_names(), the keywords accepted_params() reports and the construction
// all read that table, so a decoder is added with its own files and one row
// (registry.cc).

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "nivra/qec/bp/bp.h"
#include "nivra/qec/decoder.h"
#include "nivra/qec/dem/dem.h"
#include "nivra/qec/error.h"

namespace nivra::qec {

// A keyword value. The alternative of a keyword's default is the type its
// value is given in (the Python layer converts to it: max_iter to 32 bits,
// counts and seeds to 64 bits, the rest to double).
using ParamValue = std::variant<std::uint32_t, std::uint64_t, double>;

// A keyword a decoder accepts and the value it takes when absent.
struct ParamDefault {
    std::string_view name;
    ParamValue value;
};

// Keyword parameters as given, in the order given; a later value of a name
// replaces an earlier one.
struct DecoderParams {
    std::vector<std::pair<std::string, ParamValue>> given;

    void set(std::string_view name, ParamValue value);
};

// Why a decoder could not be built.
struct BuildError {
    enum class Kind {
        UnknownParameter,    // `parameter` is not accepted by decoder `name`
        TooManyObservables,  // the model has `count` observables, above 64
        NonFinite,           // `parameter` was NaN or infinite: `value`
        GammaOrder,          // gamma_min `value` > gamma_max `value2`
        Decoder,             // a construction error of the decoder itself: `detail`
        UnknownDecoder,      // `name` is not a decoder name
    };
    Kind kind = Kind::UnknownDecoder;
    std::string name{};
    std::string parameter{};
    double value = 0.0;
    double value2 = 0.0;
    std::uint64_t count = 0;
    std::variant<std::monostate, Error, ParamError> detail{};

    static BuildError unknown_parameter(std::string_view parameter, std::string_view name);
    static BuildError too_many_observables(std::uint64_t count);
    static BuildError non_finite(std::string_view parameter, double value);
    static BuildError gamma_order(double gamma_min, double gamma_max);
    static BuildError decoder(Error error);
    static BuildError decoder(ParamError error);
    static BuildError unknown_decoder(std::string_view name);

    std::string message() const;
};

// The keywords of one build: given values over the row's defaults.
class ResolvedParams {
public:
    ResolvedParams(std::span<const ParamDefault> accepted, const DecoderParams& given)
        : accepted_(accepted), given_(given) {}

    // The value of keyword `name` (given, else its default). Throws
    // InvariantError when the row does not accept `name` or when the value
    // has another type than the default's.
    std::uint32_t u32(std::string_view name) const { return get<std::uint32_t>(name); }
    std::uint64_t u64(std::string_view name) const { return get<std::uint64_t>(name); }
    double f64(std::string_view name) const { return get<double>(name); }

private:
    template <class T>
    T get(std::string_view name) const;

    std::span<const ParamDefault> accepted_;
    const DecoderParams& given_;
};

using DecoderPtr = std::unique_ptr<const Decoder>;

// One decoder a name builds. `build` runs the decoder's own checks of its
// keywords (in the order their messages promise) and its construction.
struct DecoderRow {
    std::string_view name;
    std::span<const ParamDefault> params;  // in the order error messages list them
    std::expected<DecoderPtr, BuildError> (*build)(const DetectorErrorModel& dem, const ResolvedParams& params);
};

// Every row, in the order decoder_names() lists them.
std::span<const DecoderRow> decoder_rows();

// The names a decoder can be built by.
std::span<const std::string_view> decoder_names();

// The keywords `name` accepts with their defaults, in the order error messages
// list them; empty for an unknown name.
std::span<const ParamDefault> accepted_params(std::string_view name);

// Builds decoder `name` for `dem`, defaults filling absent keywords. Checks,
// in order: a given keyword the name does not accept (for an unknown name,
// any keyword); more than 64 observables (before the name is looked at); then
// the row's own checks (per name the finiteness of alpha for bp, bp-osd,
// relay-bp-osd; of alpha, gamma_min, gamma_max and gamma_min <= gamma_max for
// relay-bp, relay-bp-osd; the decoder's construction errors); an unknown
// name. Throws std::bad_alloc / std::length_error when the decoder's tables
// do not fit in memory.
std::expected<DecoderPtr, BuildError> build_decoder(const DetectorErrorModel& dem, std::string_view name,
                                                    const DecoderParams& params);

}  // namespace nivra::qec
