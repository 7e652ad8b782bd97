// The k-qubit path: gather the 2^k amplitudes of a block, multiply by the
// 2^k × 2^k matrix, scatter. Dimensions up to 32 are compile-time templates
// (the default fusion width is 4, so DIM = 16 is the hot case); wider
// matrices take a runtime-sized body with one scratch buffer per task.

#include <algorithm>
#include <bit>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/parallel.h"
#include "nivra/sv/kernels/dense.h"
#include "nivra/sv/kernels/index_space.h"
#include "nivra/sv/kernels/kernels.h"

namespace nivra::sv::kernels {

using detail::add;
using detail::IndexSpace;
using detail::mul;

TargetsOffsets targets_offsets_fixed(std::span<const Qubit> targets, std::uint8_t k) {
    check_invariant(k <= targets.size(), "targets_offsets_fixed: k exceeds the number of targets");
    check_invariant(k < 64, "targets_offsets_fixed: k of 64 or more");
    std::vector<Qubit> sorted(targets.begin(), targets.end());
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        check_invariant(sorted[i] < 64, "targets_offsets_fixed: target qubit beyond 63");
        check_invariant(i == 0 || sorted[i] != sorted[i - 1], "targets_offsets_fixed: a target repeats");
    }
    TargetsOffsets out;
    out.dim = std::uint64_t{1} << k;
    out.offsets.assign(out.dim, 0);
    for (std::uint64_t j = 0; j < out.dim; ++j) {
        std::uint64_t offset = 0;
        for (unsigned b = 0; b < k; ++b) {
            if ((j >> b) & 1) {
                offset |= std::uint64_t{1} << sorted[k - 1 - b];
            }
        }
        out.offsets[j] = offset;
    }
    out.fixed.reserve(sorted.size());
    for (Qubit q : sorted) {
        out.fixed.push_back(FixedBit{q, 0});
    }
    return out;
}

namespace {

template <std::size_t DIM>
void apply_fixed(Complex* amps, const IndexSpace& space, const TargetsOffsets& to, const Complex* matrix,
                 const ParPolicy& policy) {
    std::array<std::uint64_t, DIM> offsets{};
    std::copy_n(to.offsets.begin(), DIM, offsets.begin());
    detail::apply_dense<DIM>(amps, space, offsets, matrix, policy);
}

void apply_runtime(Complex* amps, const IndexSpace& space, const TargetsOffsets& to, const Complex* m,
                   const ParPolicy& policy) {
    const std::size_t dim = to.dim;
    const std::uint64_t* offsets = to.offsets.data();
    auto range = [&](std::size_t begin, std::size_t end) {
        // Per task, never shared: the gathered inputs of the current block.
        std::vector<Complex> scratch(dim);
        auto body = [&](std::uint64_t base) {
            for (std::size_t c = 0; c < dim; ++c) {
                scratch[c] = amps[base + offsets[c]];
            }
            for (std::size_t r = 0; r < dim; ++r) {
                const Complex* row = m + r * dim;
                Complex acc = mul(row[0], scratch[0]);
                for (std::size_t c = 1; c < dim; ++c) {
                    acc = add(acc, mul(row[c], scratch[c]));
                }
                amps[base + offsets[r]] = acc;
            }
        };
        for (std::size_t k = begin; k < end; ++k) {
            body(space.deposit(k));
        }
    };
    if (space.len() >= policy.min_amps) {
        const std::size_t grain =
            std::max<std::size_t>(1, std::max<std::size_t>(policy.grain, 1) >> space.special_count());
        parallel_for_chunks(space.num_bases(), grain, range);
    } else {
        range(0, space.num_bases());
    }
}

}  // namespace

void apply_kq_scalar_aos(Complex* amps, std::size_t len, std::span<const Qubit> targets, std::uint8_t k,
                         std::span<const Complex> matrix, std::uint64_t control_mask, const ParPolicy& policy) {
    check_invariant(targets.size() == k, "apply_kq_scalar_aos: target count differs from k");
    const TargetsOffsets to = targets_offsets_fixed(targets, k);
    const std::uint64_t dim = to.dim;
    check_invariant(matrix.size() / dim >= dim, "apply_kq_scalar_aos: matrix shorter than 4^k entries");
    std::uint64_t target_mask = 0;
    for (const FixedBit& f : to.fixed) {
        target_mask |= std::uint64_t{1} << f.qubit;
    }
    check_invariant((target_mask & control_mask) == 0, "apply_kq_scalar_aos: a control is also a target");
    IndexSpace space(len, target_mask | control_mask, control_mask);
    // The grain of this path counts blocks: a task spans at least policy.grain blocks.
    const unsigned shift = std::min(space.special_count(), 32u);
    const ParPolicy block_policy{policy.min_amps, std::max<std::size_t>(policy.grain, 1) << shift};
    const Complex* m = matrix.data();
    switch (k) {
        case 0:
            apply_fixed<1>(amps, space, to, m, block_policy);
            return;
        case 1:
            apply_fixed<2>(amps, space, to, m, block_policy);
            return;
        case 2:
            apply_fixed<4>(amps, space, to, m, block_policy);
            return;
        case 3:
            apply_fixed<8>(amps, space, to, m, block_policy);
            return;
        case 4:
            apply_fixed<16>(amps, space, to, m, block_policy);
            return;
        case 5:
            apply_fixed<32>(amps, space, to, m, block_policy);
            return;
        default:
            apply_runtime(amps, space, to, m, block_policy);
            return;
    }
}

}  // namespace nivra::sv::kernels
