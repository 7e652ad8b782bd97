#include "nivra/qec/bp/osd.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/qec/scratch.h"

namespace nivra::qec {

std::expected<OsdDecoder, ParamError> OsdDecoder::with_params(const DetectorErrorModel& dem, std::uint32_t max_iter,
                                                              std::uint64_t osd_order, double alpha) {
    auto bp = BpDecoder::with_params(dem, max_iter, alpha);
    if (!bp) return std::unexpected(bp.error());
    OsdDecoder osd(std::move(*bp));
    osd.num_checks_ = osd.bp_.num_checks();
    osd.num_vars_ = osd.bp_.num_vars();
    osd.osd_order_ = static_cast<std::size_t>(osd_order);
    return osd;
}

namespace {

constexpr std::size_t NO_ROW = std::numeric_limits<std::size_t>::max();

// Per-thread elimination buffers, reused across shots.
struct OsdScratch {
    std::vector<std::uint64_t> matrix;                               // num_checks rows of `words` words
    std::vector<std::uint64_t> columns;                              // num_vars columns of ceil(num_checks / 64) words
    std::vector<std::uint64_t> used_rows;                            // rows already chosen as pivots, one bit each
    std::vector<std::uint64_t> others;                               // rows to reduce with the current pivot row
    std::vector<std::pair<std::uint64_t, GraphIndex>> by_posterior;  // (order key, column)
    std::vector<std::pair<std::uint64_t, GraphIndex>> sort_spare;
    std::vector<std::size_t> pivot_row_of_column;  // NO_ROW for free columns
    std::vector<std::size_t> pivot_column_of_row;  // NO_ROW for rows not used as a pivot
    std::vector<std::uint64_t> fired_free;         // free columns with hard = 1, packed like a row
    std::vector<GraphIndex> free_order;            // free columns in posterior order
    std::vector<std::uint32_t> term_masks;         // per search term, ascending mechanism index:
    std::vector<std::uint32_t> term_bases;         // value in candidate m = base ^ parity(mask & m)
    std::vector<double> term_costs;                // clamped posterior
    std::vector<std::uint32_t> fired_terms;        // terms with value 1 in the candidate at hand
    std::vector<std::uint32_t> free_slot;          // searched slot + 1 per column, 0 if not searched
    std::vector<std::uint32_t> pivot_mask;         // per column: mask of its pivot row
};

// Key whose unsigned order is the IEEE total order of `x` (so -0.0 < +0.0),
// with every NaN taken as +infinity.
std::uint64_t posterior_order_key(double x) {
    if (std::isnan(x)) x = std::numeric_limits<double>::infinity();
    const auto bits = std::bit_cast<std::uint64_t>(x);
    constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;
    return (bits & SIGN) != 0 ? ~bits : bits | SIGN;
}

// Below this many columns a comparison sort beats clearing the radix counts.
constexpr std::size_t RADIX_SORT_MIN = 512;

// Sorts (key, column) pairs by key, keeping the input order among equal keys:
// least-significant-digit radix sort, one byte per pass, skipping the bytes
// that all keys share. `spare` is scratch of the same length.
void stable_sort_by_key(std::vector<std::pair<std::uint64_t, GraphIndex>>& items,
                        std::vector<std::pair<std::uint64_t, GraphIndex>>& spare) {
    const std::size_t n = items.size();
    if (n < RADIX_SORT_MIN) {
        // Columns are distinct and ascending on input, so comparing whole pairs keeps ties in input order.
        std::sort(items.begin(), items.end());
        return;
    }
    std::array<std::array<std::size_t, 256>, 8> counts{};
    for (const auto& item : items) {
        for (std::size_t digit = 0; digit < 8; ++digit) ++counts[digit][(item.first >> (8 * digit)) & 0xFF];
    }
    spare.resize(n);
    for (std::size_t digit = 0; digit < 8; ++digit) {
        auto& count = counts[digit];
        if (n == 0 || count[(items[0].first >> (8 * digit)) & 0xFF] == n) continue;
        std::size_t offset = 0;
        for (std::size_t& c : count) offset += std::exchange(c, offset);
        for (const auto& item : items) spare[count[(item.first >> (8 * digit)) & 0xFF]++] = item;
        items.swap(spare);
    }
}

double clamped_cost(double posterior) { return std::clamp(posterior, -1e9, 1e9); }

// Parity without a population count: the portable build has no popcnt instruction.
unsigned parity32(std::uint32_t x) { return static_cast<unsigned>(__builtin_parity(x)); }
unsigned parity64(std::uint64_t x) { return static_cast<unsigned>(__builtin_parityll(x)); }

// The sizes of one elimination: n columns (mechanisms), m rows (checks), row
// words holding n + 1 bits (the columns and the augmented one), column words
// holding m bits.
struct Dims {
    std::size_t n;
    std::size_t m;
    std::size_t words;
    std::size_t column_words;
};

// Two synchronised copies of [H | s]: rows for the row operations and the
// solve, columns (without the augmented one) to find the rows holding a
// column's bit without scanning every row.
void load_augmented_matrix(OsdScratch& s, const BpDecoder& bp, const Syndrome& syndrome, const Dims& d) {
    const std::size_t n = d.n, m = d.m, words = d.words, column_words = d.column_words;
    const std::uint64_t matrix_words = saturating_mul(m, words);
    const std::uint64_t columns_words = saturating_mul(n, column_words);
    auto fill = [&] {
        s.matrix.assign(mul_size_or_throw(m, words), 0);
        s.columns.assign(mul_size_or_throw(n, column_words), 0);
    };
    // The thread's buffers are reused: only a shot that must grow them is
    // compared with the memory limit (which already excludes what they hold).
    if (matrix_words > s.matrix.capacity() || columns_words > s.columns.capacity()) {
        allocate_checked(
            saturating_mul(saturating_add(matrix_words, columns_words), sizeof(std::uint64_t)),
            [&] {
                return "the OSD matrices of " + fmt::display(std::uint64_t{m}) + " checks and " +
                       fmt::display(std::uint64_t{n}) + " mechanisms";
            },
            fill);
    } else {
        fill();
    }
    std::uint64_t* const matrix = s.matrix.data();
    std::uint64_t* const columns = s.columns.data();
    for (std::size_t v = 0; v < n; ++v) {
        for (GraphIndex c : bp.checks_of(v)) {
            matrix[c * words + v / 64] |= std::uint64_t{1} << (v % 64);
            columns[v * column_words + c / 64] |= std::uint64_t{1} << (c % 64);
        }
    }
    const std::uint64_t augmented_bit = std::uint64_t{1} << (n % 64);
    for (std::uint32_t c : syndrome.fired) {
        if (c < m) matrix[c * words + n / 64] |= augmented_bit;
    }
}

// Full reduction: each pivot column ends with a single set bit, in its pivot
// row. Pivot row p of column j is the lowest unused row holding bit j; it is
// XORed into every other row holding bit j (the set `others`), which in the
// column copy flips `others` in each column where row p has a bit. Columns are
// taken in s.by_posterior order.
void reduce_fully(OsdScratch& s, const Dims& d) {
    const std::size_t n = d.n, m = d.m, words = d.words, column_words = d.column_words;
    std::uint64_t* const matrix = s.matrix.data();
    std::uint64_t* const columns = s.columns.data();
    const std::uint64_t augmented_bit = std::uint64_t{1} << (n % 64);
    s.pivot_row_of_column.assign(n, NO_ROW);
    s.pivot_column_of_row.assign(m, NO_ROW);
    s.used_rows.assign(column_words, 0);
    s.others.resize(column_words);
    std::size_t rows_used = 0;
    for (std::size_t position = 0; position < n && rows_used < m; ++position) {
        const std::size_t j = s.by_posterior[position].second;
        std::uint64_t* const column = columns + j * column_words;
        std::size_t pivot = NO_ROW;
        for (std::size_t w = 0; w < column_words; ++w) {
            const std::uint64_t unused = column[w] & ~s.used_rows[w];
            if (unused != 0) {
                pivot = w * 64 + static_cast<std::size_t>(std::countr_zero(unused));
                break;
            }
        }
        if (pivot == NO_ROW) continue;
        s.pivot_column_of_row[pivot] = j;
        s.pivot_row_of_column[j] = pivot;
        s.used_rows[pivot / 64] |= std::uint64_t{1} << (pivot % 64);
        ++rows_used;

        std::copy(column, column + column_words, s.others.begin());
        s.others[pivot / 64] &= ~(std::uint64_t{1} << (pivot % 64));
        if (std::all_of(s.others.begin(), s.others.end(), [](std::uint64_t w) { return w == 0; })) continue;
        const std::uint64_t* const pivot_row = matrix + pivot * words;
        for (std::size_t w = 0; w < column_words; ++w) {
            for (std::uint64_t bits = s.others[w]; bits != 0; bits &= bits - 1) {
                std::uint64_t* const row = matrix + (w * 64 + static_cast<std::size_t>(std::countr_zero(bits))) * words;
                for (std::size_t k = 0; k < words; ++k) row[k] ^= pivot_row[k];
            }
        }
        for (std::size_t w = 0; w < words; ++w) {
            std::uint64_t bits = pivot_row[w];
            if (w == n / 64) bits &= ~augmented_bit;
            for (; bits != 0; bits &= bits - 1) {
                std::uint64_t* const target =
                    columns + (w * 64 + static_cast<std::size_t>(std::countr_zero(bits))) * column_words;
                for (std::size_t k = 0; k < column_words; ++k) target[k] ^= s.others[k];
            }
        }
    }
}

// Order 0: free columns take BP's decision; pivot columns solve their rows.
std::vector<std::uint8_t> order_zero_solution(OsdScratch& s, std::span<const std::uint8_t> hard, const Dims& d) {
    const std::size_t n = d.n, m = d.m, words = d.words;
    const std::uint64_t* const matrix = s.matrix.data();
    std::vector<std::uint8_t> e0(n, 0);
    s.fired_free.assign(words, 0);
    for (std::size_t v = 0; v < n; ++v) {
        if (s.pivot_row_of_column[v] == NO_ROW && hard[v] != 0) {
            e0[v] = 1;
            s.fired_free[v / 64] |= std::uint64_t{1} << (v % 64);
        }
    }
    for (std::size_t r = 0; r < m; ++r) {
        const std::size_t j = s.pivot_column_of_row[r];
        if (j == NO_ROW) continue;
        const std::uint64_t* row = matrix + r * words;
        // The augmented bit is not in fired_free, so it is added separately.
        std::uint64_t folded = 0;
        for (std::size_t w = 0; w < words; ++w) folded ^= row[w] & s.fired_free[w];
        e0[j] = static_cast<std::uint8_t>(parity64(folded) ^ ((row[n / 64] >> (n % 64)) & 1u));
    }
    return e0;
}

// The search over the first k free columns (in posterior order) as terms.
// Each pivot column's value depends on the searched free columns through its
// row's bits there (mask); every other column is fixed at e0.
void list_search_terms(OsdScratch& s, const std::vector<std::uint8_t>& e0, std::span<const double> posteriors,
                       std::size_t k, const Dims& d) {
    const std::size_t n = d.n, m = d.m, words = d.words;
    const std::uint64_t* const matrix = s.matrix.data();
    s.free_slot.assign(n, 0);
    for (std::size_t t = 0; t < k; ++t) s.free_slot[s.free_order[t]] = static_cast<std::uint32_t>(t + 1);
    s.pivot_mask.assign(n, 0);
    for (std::size_t r = 0; r < m; ++r) {
        const std::size_t j = s.pivot_column_of_row[r];
        if (j == NO_ROW) continue;
        const std::uint64_t* row = matrix + r * words;
        std::uint32_t mask = 0;
        for (std::size_t t = 0; t < k; ++t) {
            const GraphIndex u = s.free_order[t];
            mask |= static_cast<std::uint32_t>((row[u / 64] >> (u % 64)) & 1u) << t;
        }
        s.pivot_mask[j] = mask;
    }
    // Terms in mechanism order, so every candidate's cost is summed in index
    // order; mechanisms that are 0 in every candidate add nothing and are left out.
    s.term_masks.clear();
    s.term_bases.clear();
    s.term_costs.clear();
    for (std::size_t v = 0; v < n; ++v) {
        std::uint32_t mask = 0;
        if (s.free_slot[v] != 0) {
            mask = std::uint32_t{1} << (s.free_slot[v] - 1);
        } else if (s.pivot_row_of_column[v] != NO_ROW) {
            mask = s.pivot_mask[v];
        }
        if (mask == 0 && e0[v] == 0) continue;
        s.term_masks.push_back(mask);
        s.term_bases.push_back(e0[v]);
        s.term_costs.push_back(clamped_cost(posteriors[v]));
    }
    s.fired_terms.resize(s.term_masks.size());
}

// The cheapest of the 2^k candidates (the first in candidate order on ties),
// 0 being e0 itself.
std::uint32_t best_candidate(OsdScratch& s, std::size_t k) {
    // The fired terms are listed first (branch-free), then summed in order: the
    // sum's dependency chain is as long as the candidate's weight, not the term count.
    const std::size_t num_terms = s.term_masks.size();
    const std::uint32_t* const term_masks = s.term_masks.data();
    const std::uint32_t* const term_bases = s.term_bases.data();
    const double* const term_costs = s.term_costs.data();
    std::uint32_t* const fired_terms = s.fired_terms.data();
    const auto cost_of = [&](std::uint32_t candidate) {
        std::size_t fired = 0;
        for (std::size_t t = 0; t < num_terms; ++t) {
            fired_terms[fired] = static_cast<std::uint32_t>(t);
            fired += term_bases[t] ^ parity32(term_masks[t] & candidate);
        }
        double cost = 0.0;
        for (std::size_t i = 0; i < fired; ++i) cost += term_costs[fired_terms[i]];
        return cost;
    };
    double best_cost = cost_of(0);
    std::uint32_t best = 0;
    const std::uint32_t candidates = std::uint32_t{1} << k;
    for (std::uint32_t candidate = 1; candidate < candidates; ++candidate) {
        const double cost = cost_of(candidate);
        if (cost < best_cost) {
            best_cost = cost;
            best = candidate;
        }
    }
    return best;
}

}  // namespace

std::vector<std::uint8_t> OsdDecoder::osd_solve(const Syndrome& syndrome, std::span<const std::uint8_t> hard,
                                                std::span<const double> posteriors) const {
    check_invariant(hard.size() == num_vars_ && posteriors.size() == num_vars_,
                    "OsdDecoder::osd_solve: soft output length differs from the mechanism count");
    const ThreadScratch<OsdScratch> lease("OsdDecoder");
    OsdScratch& s = *lease;
    const std::size_t n = num_vars_;
    const std::size_t m = num_checks_;
    const Dims dims{n, m, n / 64 + 1, (m + 63) / 64};

    // Columns most strongly believed to have fired first; ties keep index order.
    s.by_posterior.resize(n);
    for (std::size_t v = 0; v < n; ++v) {
        s.by_posterior[v] = {posterior_order_key(posteriors[v]), static_cast<GraphIndex>(v)};
    }
    stable_sort_by_key(s.by_posterior, s.sort_spare);

    load_augmented_matrix(s, bp_, syndrome, dims);
    reduce_fully(s, dims);
    std::vector<std::uint8_t> e0 = order_zero_solution(s, hard, dims);
    if (osd_order_ == 0) return e0;

    s.free_order.clear();
    for (const auto& [key, v] : s.by_posterior) {
        if (s.pivot_row_of_column[v] == NO_ROW) s.free_order.push_back(v);
    }
    const std::size_t k = std::min({s.free_order.size(), osd_order_, MAX_SEARCH_COLUMNS});
    if (k == 0) return e0;

    list_search_terms(s, e0, posteriors, k, dims);
    const std::uint32_t best = best_candidate(s, k);
    if (best == 0) return e0;
    for (std::size_t v = 0; v < n; ++v) {
        if (s.free_slot[v] != 0) {
            e0[v] ^= static_cast<std::uint8_t>((best >> (s.free_slot[v] - 1)) & 1u);
        } else if (s.pivot_row_of_column[v] != NO_ROW) {
            e0[v] ^= static_cast<std::uint8_t>(parity32(s.pivot_mask[v] & best));
        }
    }
    return e0;
}

bool OsdDecoder::bp_converges_at_zero(const Syndrome& syndrome) const {
    return bp_.max_iter() > 0 && bp_.zero_syndrome_converges_at_once(syndrome, bp_.alpha());
}

std::pair<std::vector<std::uint8_t>, bool> OsdDecoder::decode_osd_ehat(const Syndrome& syndrome) const {
    if (bp_converges_at_zero(syndrome)) return {std::vector<std::uint8_t>(num_vars_, 0), false};
    BpSoft soft = bp_.decode_bp_soft(syndrome);
    if (soft.converged) return {std::move(soft.hard), false};
    return {osd_solve(syndrome, soft.hard, soft.posteriors), true};
}

std::pair<Correction, bool> OsdDecoder::decode_osd(const Syndrome& syndrome) const {
    if (bp_converges_at_zero(syndrome)) return {correction_from_mask(0, bp_.num_observables()), false};
    auto [estimate, used_osd] = decode_osd_ehat(syndrome);
    return {correction_from_mask(bp_.mask_of(estimate), bp_.num_observables()), used_osd};
}

Correction OsdDecoder::correction_from_soft(const Syndrome& syndrome, const BpSoft& soft) const {
    if (soft.converged) return correction_from_mask(bp_.mask_of(soft.hard), bp_.num_observables());
    return correction_from_mask(bp_.mask_of(osd_solve(syndrome, soft.hard, soft.posteriors)), bp_.num_observables());
}

Correction OsdDecoder::decode(const Syndrome& syndrome) const { return decode_osd(syndrome).first; }

}  // namespace nivra::qec
