#pragma once
// Codes and detector error models built from their definitions, for the tests
// and benchmarks of the belief-propagation decoders. Not part of the library:
// only *.test.cc files and bench/ include this header.
//
// Matrices over GF(2) are dense: BitMatrix[row][col] is 0 or 1.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/rng.h"
#include "nivra/qec/decoder.h"
#include "nivra/qec/dem/dem.h"

namespace nivra::qec::testing {

using BitMatrix = std::vector<std::vector<std::uint8_t>>;

// A model the test writes out by hand; one that does not parse is a fault of
// the test, so it throws rather than handing back an empty model.
inline DetectorErrorModel parse_dem(std::string_view text) {
    auto dem = DetectorErrorModel::parse(text);
    if (!dem) invariant_failure("test model does not parse: " + dem.error().message());
    return std::move(*dem);
}

inline BitMatrix zero_matrix(std::size_t rows, std::size_t cols) {
    return BitMatrix(rows, std::vector<std::uint8_t>(cols, 0));
}

// Reduces `rows` in place to row echelon form over GF(2); returns the rank.
inline std::size_t row_reduce(BitMatrix& rows) {
    if (rows.empty()) return 0;
    const std::size_t cols = rows[0].size();
    std::size_t rank = 0;
    for (std::size_t c = 0; c < cols && rank < rows.size(); ++c) {
        std::size_t pivot = rank;
        while (pivot < rows.size() && rows[pivot][c] == 0) ++pivot;
        if (pivot == rows.size()) continue;
        std::swap(rows[rank], rows[pivot]);
        for (std::size_t r = 0; r < rows.size(); ++r) {
            if (r != rank && rows[r][c] != 0) {
                for (std::size_t k = 0; k < cols; ++k) rows[r][k] ^= rows[rank][k];
            }
        }
        ++rank;
    }
    return rank;
}

inline std::size_t rank_of(BitMatrix rows) { return row_reduce(rows); }

// A basis of the null space {x : H x = 0} of `h` (num_cols columns).
inline BitMatrix kernel_basis(BitMatrix h, std::size_t num_cols) {
    const std::size_t rank = row_reduce(h);
    std::vector<std::size_t> pivot_col;
    std::vector<std::uint8_t> is_pivot(num_cols, 0);
    for (std::size_t r = 0; r < rank; ++r) {
        std::size_t c = 0;
        while (h[r][c] == 0) ++c;
        pivot_col.push_back(c);
        is_pivot[c] = 1;
    }
    BitMatrix basis;
    for (std::size_t f = 0; f < num_cols; ++f) {
        if (is_pivot[f]) continue;
        std::vector<std::uint8_t> x(num_cols, 0);
        x[f] = 1;
        for (std::size_t r = 0; r < rank; ++r) x[pivot_col[r]] = h[r][f];
        basis.push_back(std::move(x));
    }
    return basis;
}

// Z-type logical operators of a CSS code: vectors in ker(h_x) independent of
// the rows of h_z, one per logical qubit. An X error e flips logical k when
// logicals[k] . e is odd.
inline BitMatrix z_logicals(const BitMatrix& h_x, const BitMatrix& h_z, std::size_t num_qubits) {
    BitMatrix span = h_z;
    std::size_t rank = rank_of(span);
    BitMatrix logicals;
    for (auto& candidate : kernel_basis(h_x, num_qubits)) {
        BitMatrix trial = span;
        trial.push_back(candidate);
        const std::size_t trial_rank = rank_of(trial);
        if (trial_rank > rank) {
            span = std::move(trial);
            rank = trial_rank;
            logicals.push_back(std::move(candidate));
        }
    }
    return logicals;
}

// A monomial x^a y^b of the bivariate-bicycle construction.
struct Monomial {
    std::size_t x_power;
    std::size_t y_power;
};

// The l*m x l*m matrix of a sum of monomials, x = S_l (x) I_m and y = I_l (x) S_m with S
// the cyclic shift: basis vector (i, j) -> (i + a, j + b), index i * m + j.
inline BitMatrix bb_polynomial(std::size_t l, std::size_t m, const std::vector<Monomial>& terms) {
    BitMatrix out = zero_matrix(l * m, l * m);
    for (const Monomial& term : terms) {
        for (std::size_t i = 0; i < l; ++i) {
            for (std::size_t j = 0; j < m; ++j) {
                const std::size_t col = i * m + j;
                const std::size_t row = ((i + term.x_power) % l) * m + (j + term.y_power) % m;
                out[row][col] ^= 1;
            }
        }
    }
    return out;
}

inline BitMatrix transpose(const BitMatrix& a, std::size_t cols) {
    BitMatrix t = zero_matrix(cols, a.size());
    for (std::size_t r = 0; r < a.size(); ++r) {
        for (std::size_t c = 0; c < cols; ++c) t[c][r] = a[r][c];
    }
    return t;
}

// [left | right] side by side.
inline BitMatrix hstack(const BitMatrix& left, const BitMatrix& right) {
    BitMatrix out = left;
    for (std::size_t r = 0; r < out.size(); ++r) out[r].insert(out[r].end(), right[r].begin(), right[r].end());
    return out;
}

struct CssCode {
    BitMatrix h_x;
    BitMatrix h_z;
    std::size_t num_qubits = 0;
};

// Bivariate bicycle code with A = x^3 + y + y^2, B = y^3 + x + x^2:
// H_X = [A | B], H_Z = [B^T | A^T]. (l, m) = (6, 6) is [[72, 12, 6]] and
// (12, 6) is the [[144, 12, 12]] gross code.
inline CssCode bivariate_bicycle(std::size_t l, std::size_t m) {
    const BitMatrix a = bb_polynomial(l, m, {{3, 0}, {0, 1}, {0, 2}});
    const BitMatrix b = bb_polynomial(l, m, {{0, 3}, {1, 0}, {2, 0}});
    return CssCode{hstack(a, b), hstack(transpose(b, l * m), transpose(a, l * m)), 2 * l * m};
}

// Hypergraph product of the classical codes h1 (r1 x n1) and h2 (r2 x n2):
// H_X = [h1 (x) I_n2 | I_r1 (x) h2^T], H_Z = [I_n1 (x) h2 | h1^T (x) I_r2].
inline CssCode hypergraph_product(const BitMatrix& h1, std::size_t n1, const BitMatrix& h2, std::size_t n2) {
    const std::size_t r1 = h1.size();
    const std::size_t r2 = h2.size();
    const std::size_t n = n1 * n2 + r1 * r2;
    CssCode code{zero_matrix(r1 * n2, n), zero_matrix(n1 * r2, n), n};
    for (std::size_t i = 0; i < r1; ++i) {
        for (std::size_t j = 0; j < n2; ++j) {
            for (std::size_t a = 0; a < n1; ++a) code.h_x[i * n2 + j][a * n2 + j] = h1[i][a];
            for (std::size_t b = 0; b < r2; ++b) code.h_x[i * n2 + j][n1 * n2 + i * r2 + b] = h2[b][j];
        }
    }
    for (std::size_t a = 0; a < n1; ++a) {
        for (std::size_t b = 0; b < r2; ++b) {
            for (std::size_t j = 0; j < n2; ++j) code.h_z[a * r2 + b][a * n2 + j] = h2[b][j];
            for (std::size_t i = 0; i < r1; ++i) code.h_z[a * r2 + b][n1 * n2 + i * r2 + b] = h1[i][a];
        }
    }
    return code;
}

// Code-capacity model of X errors: one mechanism per qubit with probability p,
// flipping the Z checks on it and the Z logicals whose support holds it.
inline DetectorErrorModel code_capacity_dem(const CssCode& code, double p) {
    const BitMatrix logicals = z_logicals(code.h_x, code.h_z, code.num_qubits);
    DetectorErrorModel dem;
    for (std::size_t q = 0; q < code.num_qubits; ++q) {
        std::vector<DemIndex> detectors;
        std::vector<DemIndex> observables;
        for (std::size_t c = 0; c < code.h_z.size(); ++c) {
            if (code.h_z[c][q]) detectors.push_back(static_cast<DemIndex>(c));
        }
        for (std::size_t k = 0; k < logicals.size(); ++k) {
            if (logicals[k][q]) observables.push_back(static_cast<DemIndex>(k));
        }
        dem.errors.push_back(DemError::make(std::move(detectors), std::move(observables), p));
    }
    dem.num_detectors = code.h_z.size();
    dem.num_observables = logicals.size();
    return dem;
}

// Rotated surface code of distance d (odd), memory experiment against X errors
// with phenomenological noise: `rounds` noisy Z-check rounds and a final
// perfect one (the data readout); before every round each data qubit flips
// with probability p, and each noisy outcome is misread with probability p.
// Detector (t, c) = outcome of check c in round t XOR round t - 1, index
// t * num_checks + c, for t = 0 .. rounds.
inline DetectorErrorModel surface_code_phenomenological(std::size_t d, std::size_t rounds, double p) {
    // Plaquette (a, b), 0 <= a, b <= d, touches data (a-1|a, b-1|b) inside the
    // d x d grid; Z type when a + b is even, in the bulk or on rows a = 0, d.
    CssCode code{{}, {}, d * d};
    for (std::size_t a = 0; a <= d; ++a) {
        for (std::size_t b = 0; b <= d; ++b) {
            const bool bulk = a >= 1 && a <= d - 1 && b >= 1 && b <= d - 1;
            const bool z_type = (a + b) % 2 == 0;
            const bool z_boundary = (a == 0 || a == d) && b >= 1 && b <= d - 1;
            const bool x_boundary = (b == 0 || b == d) && a >= 1 && a <= d - 1;
            if (!(bulk || (z_type && z_boundary) || (!z_type && x_boundary))) continue;
            std::vector<std::uint8_t> row(d * d, 0);
            for (std::size_t i : {a - 1, a}) {
                for (std::size_t j : {b - 1, b}) {
                    if (i < d && j < d) row[i * d + j] = 1;  // a - 1 wraps above d when a = 0
                }
            }
            (z_type ? code.h_z : code.h_x).push_back(std::move(row));
        }
    }
    const BitMatrix logicals = z_logicals(code.h_x, code.h_z, code.num_qubits);
    check_invariant(logicals.size() == 1, "surface code: expected one logical qubit");
    const std::size_t checks = code.h_z.size();
    DetectorErrorModel dem;
    for (std::size_t t = 0; t <= rounds; ++t) {
        for (std::size_t q = 0; q < d * d; ++q) {
            std::vector<DemIndex> detectors;
            for (std::size_t c = 0; c < checks; ++c) {
                if (code.h_z[c][q]) detectors.push_back(static_cast<DemIndex>(t * checks + c));
            }
            std::vector<DemIndex> observables;
            if (logicals[0][q]) observables.push_back(0);
            dem.errors.push_back(DemError::make(std::move(detectors), std::move(observables), p));
        }
        for (std::size_t c = 0; c < checks && t < rounds; ++c) {
            dem.errors.push_back(DemError::make(
                {static_cast<DemIndex>(t * checks + c), static_cast<DemIndex>((t + 1) * checks + c)}, {}, p));
        }
    }
    dem.num_detectors = (rounds + 1) * checks;
    dem.num_observables = 1;
    return dem;
}

// A random model: `num_vars` mechanisms each flipping `column_weight` distinct
// detectors out of `num_checks` and each observable with probability 1/2.
inline DetectorErrorModel random_sparse_dem(StdRng& rng, std::size_t num_checks, std::size_t num_vars,
                                            std::size_t column_weight, std::size_t num_observables, double p) {
    DetectorErrorModel dem;
    for (std::size_t v = 0; v < num_vars; ++v) {
        std::vector<DemIndex> detectors;
        while (detectors.size() < column_weight) {
            const auto c = static_cast<DemIndex>(rng.next_u64() % num_checks);
            bool seen = false;
            for (DemIndex d : detectors) seen = seen || d == c;
            if (!seen) detectors.push_back(c);
        }
        std::vector<DemIndex> observables;
        for (std::size_t k = 0; k < num_observables; ++k) {
            if (rng.next_u32() & 1u) observables.push_back(static_cast<DemIndex>(k));
        }
        dem.errors.push_back(DemError::make(std::move(detectors), std::move(observables), p));
    }
    dem.num_detectors = num_checks;
    dem.num_observables = num_observables;
    return dem;
}

// A sampled shot of a model: which mechanisms fired, its syndrome (each
// detector flipped an odd number of times) and its observable mask.
struct Shot {
    std::vector<std::uint8_t> error;
    Syndrome syndrome;
    std::uint64_t observables = 0;
};

// The syndrome and observable mask of `error` (one byte per mechanism): the
// dense reference H e and L e.
inline Shot shot_of(const DetectorErrorModel& dem, std::vector<std::uint8_t> error) {
    Shot shot;
    std::vector<std::uint8_t> bits(dem.num_detectors, 0);
    for (std::size_t v = 0; v < dem.errors.size(); ++v) {
        if (!error[v]) continue;
        for (DemIndex c : dem.errors[v].detectors) {
            if (c < dem.num_detectors) bits[c] ^= 1;
        }
        for (DemIndex k : dem.errors[v].observables) shot.observables ^= std::uint64_t{1} << k;
    }
    for (std::size_t c = 0; c < bits.size(); ++c) {
        if (bits[c]) shot.syndrome.fired.push_back(static_cast<std::uint32_t>(c));
    }
    shot.syndrome.num_detectors = dem.num_detectors;
    shot.error = std::move(error);
    return shot;
}

// Each mechanism fires independently with its own probability.
inline Shot sample_shot(const DetectorErrorModel& dem, StdRng& rng) {
    std::vector<std::uint8_t> error(dem.errors.size(), 0);
    for (std::size_t v = 0; v < error.size(); ++v) error[v] = rng.next_unit_f64() < dem.errors[v].p ? 1 : 0;
    return shot_of(dem, std::move(error));
}

inline std::uint64_t mask_of_correction(const Correction& correction) {
    std::uint64_t mask = 0;
    for (std::size_t k = 0; k < correction.flips.size(); ++k) mask |= std::uint64_t{correction.flips[k] & 1u} << k;
    return mask;
}

}  // namespace nivra::qec::testing
