// The k-qubit path: gather the 2^k amplitudes of a block, multiply by the
// 2^k × 2^k matrix, scatter (simd::dense; dimensions up to 32, the fusion
// limit, are compiled for their size, wider ones keep one scratch buffer per
// task).

#include <algorithm>
#include <bit>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/parallel.h"
#include "nivra/sv/kernels/index_space.h"
#include "nivra/sv/kernels/kernels.h"
#include "nivra/sv/kernels/simd.h"

namespace nivra::sv::kernels {

using detail::IndexSpace;

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
    simd::dense(amps, space, to.offsets.data(), dim, matrix.data(), block_policy);
}

}  // namespace nivra::sv::kernels
