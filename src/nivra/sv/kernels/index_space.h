#pragma once
// The index walk shared by every kernel (internal to the kernels).
//
// A kernel that mixes amplitudes processes each *base index* once: an index
// whose target bits are 0 and whose control bits are 1. Instead of testing
// every index of 0..len, the walk enumerates base indices directly: base
// number k gets the "special" bit positions (targets and controls) inserted
// as zeros, lowest first, then the control bits set.
//
//     special = {1, 3}, len = 16:   k = 0b01 -> 0b0001, k = 0b10 -> 0b0100, k = 0b11 -> 0b0101
//
// Bits of k below the lowest special position pass through unchanged, so
// consecutive k give consecutive indices in runs of 2^lowest: the innermost
// loop walks contiguous memory and vectorises. When the special bits start
// at bit 0 (bits 0..c-1), consecutive k step by 2^c instead. Every base index is visited
// exactly once, whatever the split, so serial and parallel runs give the same
// result bit for bit.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "nivra/core/error.h"
#include "nivra/core/parallel.h"
#include "nivra/sv/kernels/kernels.h"

namespace nivra::sv::kernels::detail {

class IndexSpace {
public:
    // `special` holds every target and control bit, `ones` the control bits
    // (a subset of `special`). Throws InvariantError when a special bit lies
    // outside 0..len or `len` is not a power of two.
    IndexSpace(std::size_t len, std::uint64_t special, std::uint64_t ones) : ones_(ones), len_(len) {
        check_invariant(len != 0 && std::has_single_bit(len), "kernel: amplitude count is not a power of two");
        check_invariant((special & ~(static_cast<std::uint64_t>(len) - 1)) == 0,
                        "kernel: qubit index outside the state");
        check_invariant((ones & ~special) == 0, "kernel: control bit outside the special bits");
        for (std::uint64_t rest = special; rest != 0; rest &= rest - 1) {
            positions_[count_++] = static_cast<std::uint8_t>(std::countr_zero(rest));
        }
        num_bases_ = len >> count_;
        // Special bits 0..c-1 at the bottom make consecutive base indices
        // step by 2^c; the run lasts until the next special bit.
        unsigned bottom = 0;
        while (bottom < count_ && positions_[bottom] == bottom) {
            ++bottom;
        }
        stride_shift_ = bottom;
        const unsigned next = bottom < count_ ? positions_[bottom] : static_cast<unsigned>(std::countr_zero(len));
        run_mask_ = next >= bottom + 63 ? ~std::size_t{0} : (std::size_t{1} << (next - bottom)) - 1;
    }

    std::size_t num_bases() const { return num_bases_; }
    std::size_t len() const { return len_; }
    unsigned special_count() const { return count_; }
    // Consecutive base numbers step by 2^stride_shift() in runs that end
    // where the base number crosses a multiple of run_mask() + 1.
    unsigned stride_shift() const { return stride_shift_; }
    std::size_t run_mask() const { return run_mask_; }

    // Base number k (k < num_bases) to its amplitude index.
    std::uint64_t deposit(std::uint64_t k) const {
        for (unsigned j = 0; j < count_; ++j) {
            const std::uint64_t low = k & ((std::uint64_t{1} << positions_[j]) - 1);
            k = ((k ^ low) << 1) | low;
        }
        return k | ones_;
    }

    // body(base) for every base number in [begin, end), ascending.
    // The body is copied so that its captures live in this frame: stores
    // through the amplitude pointer then cannot alias them, and the compiler
    // keeps them in registers.
    template <class Body>
    void walk(std::size_t begin, std::size_t end, const Body& shared_body) const {
        Body body = shared_body;
        for (std::size_t k = begin; k < end;) {
            const std::size_t run_end = std::min(end, (k | run_mask_) + 1);
            const std::uint64_t base = deposit(k);
            const std::size_t run = run_end - k;
            const unsigned shift = stride_shift_;
            for (std::size_t j = 0; j < run; ++j) {
                body(base + (j << shift));
            }
            k = run_end;
        }
    }

private:
    std::uint8_t positions_[64] = {};
    unsigned count_ = 0;
    std::uint64_t ones_ = 0;
    std::size_t len_ = 0;
    std::size_t num_bases_ = 0;
    std::size_t run_mask_ = 0;
    unsigned stride_shift_ = 0;
};

// The block driver: runs body(base) for every base index of `space`, on the
// pool when the state has at least policy.min_amps amplitudes (tasks of at
// least policy.grain amplitude indices), otherwise serially in index order.
template <class Body>
void par_blocks(const IndexSpace& space, const ParPolicy& policy, Body&& body) {
    if (space.len() >= policy.min_amps) {
        const std::size_t grain =
            std::max<std::size_t>(1, std::max<std::size_t>(policy.grain, 1) >> space.special_count());
        parallel_for_chunks(space.num_bases(), grain,
                            [&](std::size_t begin, std::size_t end) { space.walk(begin, end, body); });
    } else {
        space.walk(0, space.num_bases(), body);
    }
}

// The split of par_blocks: run(begin, end) over ranges of base numbers, on
// the pool when the state is large enough, else once over all of them.
template <class Run>
void par_ranges(const IndexSpace& space, const ParPolicy& policy, std::size_t min_grain, Run&& run) {
    const std::size_t grain =
        std::max<std::size_t>(min_grain, std::max<std::size_t>(policy.grain, 1) >> space.special_count());
    parallel_for_chunks_if(space.len() >= policy.min_amps, space.num_bases(), grain, run);
}

// Negation is exact: the sign-flip kernels move bits only.
inline Complex neg(Complex a) { return {-a.real(), -a.imag()}; }

// Control mask of a control list; throws InvariantError for a qubit >= 64.
inline std::uint64_t control_mask_of(std::span<const Qubit> controls) {
    std::uint64_t mask = 0;
    for (Qubit c : controls) {
        check_invariant(c < 64, "kernel: control qubit beyond 63");
        mask |= std::uint64_t{1} << c;
    }
    return mask;
}

inline std::uint64_t bit_of(Qubit q) {
    check_invariant(q < 64, "kernel: target qubit beyond 63");
    return std::uint64_t{1} << q;
}

}  // namespace nivra::sv::kernels::detail
