#include "nivra/sv/kernels/simd.h"

#include <atomic>

#include "nivra/core/error.h"

namespace nivra::sv::kernels::simd {

namespace {

// -1: no override; otherwise the forced Isa.
std::atomic<int> forced{-1};

const Table& table_of(Isa isa) {
    switch (isa) {
        case Isa::Portable:
            return portable::TABLE;
        case Isa::Avx2:
#if defined(__x86_64__)
            return avx2::TABLE;
#else
            break;
#endif
        case Isa::Avx512:
#if defined(__x86_64__)
            return avx512::TABLE;
#else
            break;
#endif
    }
    throw InvariantError("simd: no kernels for this instruction set");
}

const Table& active_table() { return table_of(active_isa()); }

}  // namespace

bool isa_supported(Isa isa) {
    switch (isa) {
        case Isa::Portable:
            return true;
        case Isa::Avx2:
#if defined(__x86_64__)
            return __builtin_cpu_supports("avx2");
#else
            return false;
#endif
        case Isa::Avx512:
#if defined(__x86_64__)
            return __builtin_cpu_supports("avx512f");
#else
            return false;
#endif
    }
    return false;
}

Isa detected_isa() {
    static const Isa isa = isa_supported(Isa::Avx512) ? Isa::Avx512
                           : isa_supported(Isa::Avx2) ? Isa::Avx2
                                                      : Isa::Portable;
    return isa;
}

Isa active_isa() {
    const int f = forced.load(std::memory_order_relaxed);
    return f < 0 ? detected_isa() : static_cast<Isa>(f);
}

void force_isa(std::optional<Isa> isa) {
    check_invariant(!isa || isa_supported(*isa), "force_isa: instruction set not supported here");
    forced.store(isa ? static_cast<int>(*isa) : -1, std::memory_order_relaxed);
}

void dense(Complex* amps, const detail::IndexSpace& space, const std::uint64_t* offsets, std::size_t dim,
           const Complex* matrix, const ParPolicy& policy) {
    active_table().dense_fn(amps, space, offsets, dim, matrix, policy);
}

void monomial(Complex* amps, const detail::IndexSpace& space, const std::uint64_t* offsets, std::size_t dim,
              const std::uint8_t* source, const Complex* coef, const ParPolicy& policy) {
    active_table().monomial_fn(amps, space, offsets, dim, source, coef, policy);
}

void rotate(Complex* amps, const double* cs, std::size_t count) { active_table().rotate_fn(amps, cs, count); }

}  // namespace nivra::sv::kernels::simd
