#include "nivra/qec/registry.h"

#include <array>
#include <cmath>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/qec/bp/osd.h"
#include "nivra/qec/bp/relay_bp.h"
#include "nivra/qec/matching/mwpm.h"
#include "nivra/qec/matching/union_find.h"

namespace nivra::qec {

namespace {

std::string join(std::span<const std::string_view> items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += ", ";
        out += items[i];
    }
    return out;
}

std::string join(std::span<const ParamDefault> params) {
    std::string out;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i > 0) out += ", ";
        out += params[i].name;
    }
    return out;
}

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
std::expected<DecoderPtr, BuildError> wrap(std::expected<T, E> built) {
    if (!built) return std::unexpected(BuildError::decoder(std::move(built.error())));
    return std::make_unique<const T>(std::move(*built));
}

// The BP run inside relay-bp-osd's OSD part always has this iteration limit.
constexpr std::uint32_t RELAY_OSD_MAX_ITER = 100;

std::expected<DecoderPtr, BuildError> build_relay(const DetectorErrorModel& dem, const ResolvedParams& params,
                                                  bool with_osd) {
    const double alpha = params.f64("alpha");
    const double gamma_min = params.f64("gamma_min");
    const double gamma_max = params.f64("gamma_max");
    if (auto ok = check_relay_params(alpha, gamma_min, gamma_max); !ok) return std::unexpected(ok.error());
    auto relay = RelayBpDecoder::with_params(dem, params.u64("legs"), params.u64("seed"), alpha, gamma_min, gamma_max);
    if (!with_osd) return wrap(std::move(relay));
    if (!relay) return std::unexpected(BuildError::decoder(std::move(relay.error())));
    auto osd = OsdDecoder::with_params(dem, RELAY_OSD_MAX_ITER, params.u64("osd_order"), alpha);
    if (!osd) return std::unexpected(BuildError::decoder(std::move(osd.error())));
    return std::make_unique<const RelayBpOsdDecoder>(std::move(*relay), std::move(*osd));
}

// The keywords of each family, with their defaults.
constexpr ParamDefault BP_PARAMS[] = {{"max_iter", std::uint32_t{100}}, {"alpha", 1.0}};
constexpr ParamDefault BP_OSD_PARAMS[] = {
    {"max_iter", std::uint32_t{100}}, {"alpha", 0.875}, {"osd_order", std::uint64_t{0}}};
constexpr ParamDefault RELAY_PARAMS[] = {{"legs", std::uint64_t{4}},
                                         {"alpha", 0.875},
                                         {"gamma_min", -0.3},
                                         {"gamma_max", 0.9},
                                         {"seed", std::uint64_t{0x5E1A4B9C}}};
constexpr ParamDefault RELAY_OSD_PARAMS[] = {{"legs", std::uint64_t{4}},
                                             {"alpha", 0.875},
                                             {"gamma_min", -0.3},
                                             {"gamma_max", 0.9},
                                             {"seed", std::uint64_t{0x5E1A4B9C}},
                                             {"osd_order", std::uint64_t{0}}};

// One row per decoder name, in the order decoder_names() lists them.
constexpr DecoderRow ROWS[] = {
    {"mwpm", {}, [](const DetectorErrorModel& dem, const ResolvedParams&) { return wrap(MwpmDecoder::create(dem)); }},
    {"union-find",
     {},
     [](const DetectorErrorModel& dem, const ResolvedParams&) { return wrap(UnionFindDecoder::create(dem)); }},
    {"union-find-weighted",
     {},
     [](const DetectorErrorModel& dem, const ResolvedParams&) { return wrap(UnionFindDecoder::create_weighted(dem)); }},
    {"bp", BP_PARAMS,
     [](const DetectorErrorModel& dem, const ResolvedParams& params) -> std::expected<DecoderPtr, BuildError> {
         const double alpha = params.f64("alpha");
         if (auto ok = require_finite("alpha", alpha); !ok) return std::unexpected(ok.error());
         return wrap(BpDecoder::with_params(dem, params.u32("max_iter"), alpha));
     }},
    {"bp-osd", BP_OSD_PARAMS,
     [](const DetectorErrorModel& dem, const ResolvedParams& params) -> std::expected<DecoderPtr, BuildError> {
         const double alpha = params.f64("alpha");
         if (auto ok = require_finite("alpha", alpha); !ok) return std::unexpected(ok.error());
         return wrap(OsdDecoder::with_params(dem, params.u32("max_iter"), params.u64("osd_order"), alpha));
     }},
    {"relay-bp", RELAY_PARAMS,
     [](const DetectorErrorModel& dem, const ResolvedParams& params) { return build_relay(dem, params, false); }},
    {"relay-bp-osd", RELAY_OSD_PARAMS,
     [](const DetectorErrorModel& dem, const ResolvedParams& params) { return build_relay(dem, params, true); }},
};

constexpr auto NAMES = [] {
    std::array<std::string_view, std::size(ROWS)> names{};
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = ROWS[i].name;
    return names;
}();

const DecoderRow* find_row(std::string_view name) {
    for (const DecoderRow& row : ROWS) {
        if (row.name == name) return &row;
    }
    return nullptr;
}

}  // namespace

void DecoderParams::set(std::string_view name, ParamValue value) {
    for (auto& [key, held] : given) {
        if (key == name) {
            held = value;
            return;
        }
    }
    given.emplace_back(std::string(name), value);
}

template <class T>
T ResolvedParams::get(std::string_view name) const {
    const ParamDefault* accepted = nullptr;
    for (const ParamDefault& param : accepted_) {
        if (param.name == name) accepted = &param;
    }
    if (accepted == nullptr) invariant_failure("decoder keyword not in its row: " + std::string(name));
    const ParamValue* value = &accepted->value;
    for (const auto& [key, held] : given_.given) {
        if (key == name) value = &held;
    }
    const T* typed = std::get_if<T>(value);
    if (typed == nullptr) invariant_failure("decoder keyword of another type: " + std::string(name));
    return *typed;
}

template std::uint32_t ResolvedParams::get<std::uint32_t>(std::string_view) const;
template std::uint64_t ResolvedParams::get<std::uint64_t>(std::string_view) const;
template double ResolvedParams::get<double>(std::string_view) const;

std::span<const DecoderRow> decoder_rows() { return ROWS; }

std::span<const std::string_view> decoder_names() { return NAMES; }

std::span<const ParamDefault> accepted_params(std::string_view name) {
    const DecoderRow* row = find_row(name);
    return row != nullptr ? row->params : std::span<const ParamDefault>{};
}

BuildError BuildError::unknown_parameter(std::string_view parameter, std::string_view name) {
    return {.kind = Kind::UnknownParameter, .name = std::string(name), .parameter = std::string(parameter)};
}

BuildError BuildError::too_many_observables(std::uint64_t count) {
    return {.kind = Kind::TooManyObservables, .count = count};
}

BuildError BuildError::non_finite(std::string_view parameter, double value) {
    return {.kind = Kind::NonFinite, .parameter = std::string(parameter), .value = value};
}

BuildError BuildError::gamma_order(double gamma_min, double gamma_max) {
    return {.kind = Kind::GammaOrder, .value = gamma_min, .value2 = gamma_max};
}

BuildError BuildError::decoder(Error error) { return {.kind = Kind::Decoder, .detail = std::move(error)}; }

BuildError BuildError::decoder(ParamError error) { return {.kind = Kind::Decoder, .detail = std::move(error)}; }

BuildError BuildError::unknown_decoder(std::string_view name) {
    return {.kind = Kind::UnknownDecoder, .name = std::string(name)};
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
            if (const auto* error = std::get_if<Error>(&detail)) return error->message();
            if (const auto* error = std::get_if<ParamError>(&detail)) return error->message();
            invariant_failure("BuildError: decoder error without detail");
        case Kind::UnknownDecoder:
            return "unknown decoder `" + name + "`; valid: " + join(decoder_names());
    }
    invariant_failure("BuildError: unknown kind");
}

std::expected<DecoderPtr, BuildError> build_decoder(const DetectorErrorModel& dem, std::string_view name,
                                                    const DecoderParams& params) {
    const DecoderRow* row = find_row(name);
    const std::span<const ParamDefault> accepted = row != nullptr ? row->params : std::span<const ParamDefault>{};
    for (const auto& [key, value] : params.given) {
        bool known = false;
        for (const ParamDefault& param : accepted) known = known || param.name == key;
        if (!known) return std::unexpected(BuildError::unknown_parameter(key, name));
    }
    // Prediction masks are 64 bits wide; this holds for every name, known or not.
    if (dem.num_observables > MAX_OBSERVABLES) {
        return std::unexpected(BuildError::too_many_observables(dem.num_observables));
    }
    if (row == nullptr) return std::unexpected(BuildError::unknown_decoder(name));
    return row->build(dem, ResolvedParams(row->params, params));
}

}  // namespace nivra::qec
