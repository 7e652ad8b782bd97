#pragma once
// Number readers shared by every text format (Pauli sums, detector error
// models, OpenQASM) and the tuning environment variables. They implement one
// locale-independent grammar instead of strtod, whose accepted forms and
// out-of-range behaviour differ.

#include <cstdint>
#include <optional>
#include <string_view>

namespace nivra {

// Reads a whole token as a double, correctly rounded:
//   [+-]? ( digits [. digits?] | . digits ) ( [eE] [+-]? digits )?
//   [+-]? ( inf | infinity | nan )            letters in any case
// A value too large reads as ±infinity and one too small as ±0.0. Returns
// nothing when any part of the token is outside the grammar (including
// white space, hex forms and digit separators).
std::optional<double> parse_f64(std::string_view token);

// Reads a whole token as an unsigned 64-bit integer: an optional '+', then one
// or more ASCII digits; nothing when the value does not fit.
std::optional<std::uint64_t> parse_u64(std::string_view token);

}  // namespace nivra
