#pragma once
// The three tuning environment variables of the kernels, each read once per
// process on first need and kept for its life (later changes to the
// environment have no effect).
//
//   NIVRA_PAR_MIN_AMPS  smallest state (amplitudes) run on the pool; default 262144; 0: always parallel
//   NIVRA_PAR_GRAIN     smallest task, in amplitude indices; default 64; 0 is taken as 1
//   NIVRA_CPU_MODEL     "epyc" / "ryzen" (ASCII case-insensitive), anything else Other; selects nothing
//
// A value that does not read as an unsigned decimal count ('+' allowed; no
// '-', spaces, exponent or overflow) is treated as unset.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace nivra::sv::kernels {

enum class RefCpu : std::uint8_t { Epyc = 0, Ryzen = 1, Other = 2 };

// The reading rules, applied to a variable's text (nullptr when unset).
std::optional<std::size_t> parse_tuning_count(const char* text);
RefCpu classify_cpu_model(const char* text);

// The once-read values.
std::optional<std::size_t> env_min_amps();
std::optional<std::size_t> env_grain();
RefCpu cpu_model();

}  // namespace nivra::sv::kernels
