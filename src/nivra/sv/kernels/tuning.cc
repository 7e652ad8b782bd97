#include "nivra/sv/kernels/tuning.h"

#include <cstdlib>
#include <string>

#include "nivra/core/number.h"
#include "nivra/sv/kernels/kernels.h"

namespace nivra::sv::kernels {

std::optional<std::size_t> parse_tuning_count(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    // parse_u64 accepts only '+' and ASCII digits, so text that is not valid
    // UTF-8 never reads as a number.
    auto value = parse_u64(text);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(*value);
}

RefCpu classify_cpu_model(const char* text) {
    if (text == nullptr) {
        return RefCpu::Other;
    }
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (lowered == "epyc") {
        return RefCpu::Epyc;
    }
    if (lowered == "ryzen") {
        return RefCpu::Ryzen;
    }
    return RefCpu::Other;
}

// Function-local statics: initialised once under the compiler's thread-safe
// guard, then read without locks.
std::optional<std::size_t> env_min_amps() {
    static const std::optional<std::size_t> value = parse_tuning_count(std::getenv("NIVRA_PAR_MIN_AMPS"));
    return value;
}

std::optional<std::size_t> env_grain() {
    static const std::optional<std::size_t> value = parse_tuning_count(std::getenv("NIVRA_PAR_GRAIN"));
    return value;
}

RefCpu cpu_model() {
    static const RefCpu value = classify_cpu_model(std::getenv("NIVRA_CPU_MODEL"));
    return value;
}

ParPolicy tuned_policy() {
    (void)cpu_model();
    ParPolicy policy;
    policy.min_amps = env_min_amps().value_or(262144);
    if (auto grain = env_grain()) {
        policy.grain = *grain == 0 ? 1 : *grain;
    }
    return policy;
}

}  // namespace nivra::sv::kernels
