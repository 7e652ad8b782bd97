#include "nivra/sv/kernels/diagonal_phase.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/parallel.h"
#include "nivra/sv/kernels/simd.h"

namespace nivra::sv::kernels {

namespace {

// Above this many distinct mask bits the pattern table would not pay for
// itself in cache; θ is then evaluated per index.
constexpr unsigned MAX_TABLE_BITS = 18;

struct CosSin {
    double c;
    double s;
};

// Indices are rotated GROUP at a time: their (cos θ, sin θ) pairs side by
// side, then one simd::rotate over the run.
constexpr std::size_t GROUP = 64;
// Up to 2^6 runs of GROUP (cos θ, sin θ) pairs (64 KiB) are laid out ahead.
constexpr unsigned MAX_RUN_BITS = 6;

inline CosSin cos_sin(double theta) { return {std::cos(theta), std::sin(theta)}; }

template <class Body>
void for_each_index(std::size_t n, const ParPolicy& policy, std::size_t len, Body&& body) {
    if (len >= policy.min_amps) {
        parallel_for_chunks(n, std::max<std::size_t>(policy.grain, 1), [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                body(i);
            }
        });
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            body(i);
        }
    }
}

// Runs range(begin, end) over 0..len on the pool when the state is large
// enough, else once; tasks start on multiples of GROUP so that every group
// lies in one task.
template <class Range>
void for_each_group_range(std::size_t len, const ParPolicy& policy, Range&& range) {
    if (len >= policy.min_amps) {
        const std::size_t groups = (len + GROUP - 1) / GROUP;
        parallel_for_chunks(groups, std::max<std::size_t>(policy.grain / GROUP, 1),
                            [&](std::size_t b, std::size_t e) { range(b * GROUP, std::min(len, e * GROUP)); });
    } else {
        range(0, len);
    }
}

// Maps an index to the pattern of its bits at the positions of `support`,
// packed to the low bits (bit j = the j-th lowest support position), one
// 256-entry lookup per byte of the index.
class Compressor {
public:
    Compressor(std::uint64_t support, unsigned index_bits) : bytes_((index_bits + 7) / 8) {
        tables_.assign(bytes_ * 256, 0);
        for (unsigned byte = 0; byte < bytes_; ++byte) {
            for (unsigned v = 0; v < 256; ++v) {
                std::uint32_t packed = 0;
                for (unsigned b = 0; b < 8; ++b) {
                    const unsigned pos = byte * 8 + b;
                    if (pos < 64 && ((v >> b) & 1) && ((support >> pos) & 1)) {
                        const std::uint64_t below = support & ((std::uint64_t{1} << pos) - 1);
                        packed |= std::uint32_t{1} << std::popcount(below);
                    }
                }
                tables_[byte * 256 + v] = packed;
            }
        }
    }
    std::uint32_t operator()(std::uint64_t x) const {
        std::uint32_t packed = 0;
        for (unsigned byte = 0; byte < bytes_; ++byte) {
            packed |= tables_[byte * 256 + ((x >> (8 * byte)) & 0xFF)];
        }
        return packed;
    }

private:
    unsigned bytes_;
    std::vector<std::uint32_t> tables_;
};

// The index whose support bits carry `pattern` and whose other bits are 0.
std::uint64_t expand(std::uint64_t pattern, std::uint64_t support) {
    std::uint64_t x = 0;
    for (std::uint64_t rest = support; rest != 0 && pattern != 0; rest &= rest - 1, pattern >>= 1) {
        if (pattern & 1) {
            x |= rest & (~rest + 1);
        }
    }
    return x;
}

// LANE_MASKS[b][i]: all ones where bit i of b is set, else 0.
constexpr auto LANE_MASKS = [] {
    std::array<std::array<std::uint64_t, 8>, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        for (unsigned i = 0; i < 8; ++i) {
            table[b][i] = ((b >> i) & 1) ? ~std::uint64_t{0} : 0;
        }
    }
    return table;
}();

// The terms in flat arrays: term t has masks[first[t] .. first[t+1]) and angles[t].
struct FlatTerms {
    std::vector<std::uint64_t> masks;
    std::vector<std::size_t> first;
    std::vector<double> angles;

    explicit FlatTerms(std::span<const ir::PhaseTerm> terms) {
        first.push_back(0);
        for (const ir::PhaseTerm& term : terms) {
            masks.insert(masks.end(), term.masks.begin(), term.masks.end());
            first.push_back(masks.size());
            angles.push_back(term.angle);
        }
    }
};

}  // namespace

double phase_angle(std::uint64_t x, std::span<const ir::PhaseTerm> terms) {
    double theta = 0.0;
    for (const ir::PhaseTerm& term : terms) {
        bool applies = true;
        for (std::uint64_t mask : term.masks) {
            if (!__builtin_parityll(mask & x)) {
                applies = false;
                break;
            }
        }
        if (applies) {
            theta += term.angle;
        }
    }
    return theta;
}

void apply_diagonal_phase_scalar_aos(Complex* amps, std::size_t len, std::span<const ir::PhaseTerm> terms,
                                     const ParPolicy& policy) {
    check_invariant(len != 0 && std::has_single_bit(len), "diagonal phase: amplitude count is not a power of two");
    const unsigned index_bits = static_cast<unsigned>(std::countr_zero(len));
    std::uint64_t support = 0;
    for (const ir::PhaseTerm& term : terms) {
        for (std::uint64_t mask : term.masks) {
            support |= mask;
        }
    }
    // Mask bits at or above the qubit count never meet an index bit.
    support &= static_cast<std::uint64_t>(len) - 1;
    const unsigned support_bits = static_cast<unsigned>(std::popcount(support));

    if (support_bits <= MAX_TABLE_BITS && (std::size_t{1} << support_bits) < len) {
        const std::size_t patterns = std::size_t{1} << support_bits;
        std::vector<CosSin> table(patterns);
        for_each_index(patterns, policy, patterns,
                       [&](std::size_t p) { table[p] = cos_sin(phase_angle(expand(p, support), terms)); });
        const Compressor compress(support, index_bits);
        // Groups start on multiples of GROUP, so the pattern of x0 + j is the
        // pattern of x0 OR that of j: one lookup per group for the high bits.
        std::array<std::uint32_t, GROUP> low{};
        for (std::size_t j = 0; j < GROUP; ++j) {
            low[j] = compress(j);
        }
        // With few distinct high patterns, each group's (cos, sin) run is
        // laid out once per pattern and rotated from directly.
        const std::uint64_t high_support = support & ~static_cast<std::uint64_t>(GROUP - 1);
        const unsigned high_bits = static_cast<unsigned>(std::popcount(high_support));
        std::vector<double> runs;
        if (high_bits <= MAX_RUN_BITS) {
            runs.resize((std::size_t{1} << high_bits) * 2 * GROUP);
            for (std::size_t h = 0; h < (std::size_t{1} << high_bits); ++h) {
                const std::uint32_t high = compress(expand(h, high_support));
                for (std::size_t j = 0; j < GROUP; ++j) {
                    const CosSin v = table[high | low[j]];
                    runs[(2 * h) * GROUP + 2 * j] = v.c;
                    runs[(2 * h) * GROUP + 2 * j + 1] = v.s;
                }
            }
        }
        const unsigned low_count = static_cast<unsigned>(std::popcount(support & (GROUP - 1)));
        auto range = [&](std::size_t begin, std::size_t end) {
            double cs[2 * GROUP];
            for (std::size_t x0 = begin; x0 < end; x0 += GROUP) {
                const std::size_t count = std::min(GROUP, end - x0);
                const std::uint32_t high = compress(x0);
                if (!runs.empty()) {
                    simd::rotate(amps + x0, runs.data() + 2 * GROUP * (high >> low_count), count);
                    continue;
                }
                for (std::size_t j = 0; j < count; ++j) {
                    const CosSin v = table[high | low[j]];
                    cs[2 * j] = v.c;
                    cs[2 * j + 1] = v.s;
                }
                simd::rotate(amps + x0, cs, count);
            }
        };
        for_each_group_range(len, policy, range);
        return;
    }
    // θ for GROUP = 64 consecutive indices x0 | j (x0 a multiple of 64) at
    // once. parity(m & (x0 | j)) = parity(m & x0) XOR parity(m & j), so each
    // mask costs one parity per group plus a precomputed 64-bit pattern of
    // parity(m & j); the term loop is outermost, so the 64 sums are
    // independent chains while each adds its angles in term order. A term
    // that does not apply adds +0.0, which leaves θ unchanged: θ starts at
    // +0.0 and a sum is −0.0 only when both operands are, so θ is never −0.0.
    const FlatTerms flat(terms);
    std::vector<std::uint64_t> low_parity(flat.masks.size());
    for (std::size_t m = 0; m < flat.masks.size(); ++m) {
        std::uint64_t pattern = 0;
        for (std::uint64_t j = 0; j < GROUP; ++j) {
            pattern |= static_cast<std::uint64_t>(__builtin_parityll(flat.masks[m] & j)) << j;
        }
        low_parity[m] = pattern;
    }
    auto range = [&](std::size_t begin, std::size_t end) {
        for (std::size_t x0 = begin; x0 < end; x0 += GROUP) {
            const std::size_t count = std::min(GROUP, end - x0);
            double theta[GROUP] = {};
            for (std::size_t t = 0; t < flat.angles.size(); ++t) {
                std::uint64_t applies = ~std::uint64_t{0};
                for (std::size_t m = flat.first[t]; m < flat.first[t + 1]; ++m) {
                    const bool high_odd = __builtin_parityll(flat.masks[m] & x0);
                    applies &= high_odd ? ~low_parity[m] : low_parity[m];
                }
                // angle where the bit is set, +0.0 elsewhere, eight lanes per byte of `applies`.
                const std::uint64_t angle_bits = std::bit_cast<std::uint64_t>(flat.angles[t]);
                for (std::size_t byte = 0; byte < GROUP / 8; ++byte) {
                    const std::uint64_t* lanes = LANE_MASKS[(applies >> (8 * byte)) & 0xFF].data();
                    for (std::size_t i = 0; i < 8; ++i) {
                        theta[8 * byte + i] += std::bit_cast<double>(angle_bits & lanes[i]);
                    }
                }
            }
            double cs[2 * GROUP];
            for (std::size_t j = 0; j < count; ++j) {
                cs[2 * j] = std::cos(theta[j]);
                cs[2 * j + 1] = std::sin(theta[j]);
            }
            simd::rotate(amps + x0, cs, count);
        }
    };
    for_each_group_range(len, policy, range);
}

}  // namespace nivra::sv::kernels
