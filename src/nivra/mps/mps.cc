#include "nivra/mps/mps.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "nivra/core/error.h"
#include "nivra/mps/linalg.h"

namespace nivra::mps {

// Grow-only scratch shared by every gate and sweep of one state.
struct Workspace {
    ScratchMatrix theta;     // two-site block
    ScratchMatrix gated;     // the block after the gate
    ScratchMatrix qr_input;  // the matrix a sweep step factors
    ScratchMatrix qr_q;
    ScratchMatrix qr_r;
    ScratchMatrix product;        // R·M or L·R^H before it is written to a site
    SplitProductWorkspace split;  // block products and sweep products
    QrWorkspace qr;
    ThinSvd svd;
    std::vector<double> ones;  // scale factors of a left step

    std::size_t entries() const {
        return theta.capacity() + gated.capacity() + qr_input.capacity() + qr_q.capacity() + qr_r.capacity() +
               product.capacity() + split.entries();
    }
};

std::size_t TruncationPolicy::kept_dimension(std::size_t rank, std::span<const double> tail) const {
    check_invariant(rank >= 1, "TruncationPolicy::kept_dimension: rank must be at least 1");
    check_invariant(tail.size() > rank, "TruncationPolicy::kept_dimension: tail weights shorter than rank + 1");
    const std::size_t cap = std::min(std::max(max_bond, std::size_t{1}), rank);
    switch (kind) {
        case Kind::Fixed:
            return cap;
        case Kind::Cutoff:
            for (std::size_t k = 1; k <= cap; ++k) {
                if (tail[k] <= threshold) {  // false for a NaN tail, which counts as above
                    return k;
                }
            }
            return cap;
    }
    invariant_failure("TruncationPolicy::kept_dimension: unknown kind");
}

MpsState MpsState::with_policy(std::size_t n, const TruncationPolicy& policy) {
    check_invariant(n <= std::numeric_limits<Qubit>::max(), "MpsState::with_policy: qubit count exceeds u32");
    MpsState state;
    state.policy_ = policy;
    state.sites_.assign(n, Site::zero());
    state.site_to_qubit_.resize(n);
    state.qubit_to_site_.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        state.site_to_qubit_[k] = static_cast<Qubit>(k);
        state.qubit_to_site_[k] = k;
    }
    return state;
}

MpsState::MpsState(const MpsState& other)
    : policy_(other.policy_),
      sites_(other.sites_),
      site_to_qubit_(other.site_to_qubit_),
      qubit_to_site_(other.qubit_to_site_),
      center_(other.center_),
      discarded_weight_(other.discarded_weight_),
      max_bond_reached_(other.max_bond_reached_),
      swap_count_(other.swap_count_),
      free_swap_count_(other.free_swap_count_) {}

MpsState& MpsState::operator=(const MpsState& other) {
    if (this != &other) {
        MpsState copy(other);
        *this = std::move(copy);
    }
    return *this;
}

MpsState::MpsState(MpsState&&) noexcept = default;
MpsState& MpsState::operator=(MpsState&&) noexcept = default;
MpsState::~MpsState() = default;

const Site& MpsState::site(std::size_t k) const {
    check_index(k, sites_.size(), "MpsState::site: chain position");
    return sites_[k];
}

std::size_t MpsState::workspace_entries() const { return workspace_ ? workspace_->entries() : 0; }

Workspace& MpsState::workspace() {
    if (!workspace_) {
        workspace_ = std::make_unique<Workspace>();
    }
    return *workspace_;
}

void MpsState::move_center_to(std::size_t target) {
    check_index(target, sites_.size(), "MpsState::move_center_to: target");
    if (center_ == target) {
        return;
    }
    Workspace& ws = workspace();
    while (center_ < target) {
        step_right(ws);
    }
    while (center_ > target) {
        step_left(ws);
    }
}

// Site k = centre becomes Q (left-canonical), R moves into site k + 1.
void MpsState::step_right(Workspace& ws) {
    const std::size_t k = center_;
    Site& here = sites_[k];
    Site& next = sites_[k + 1];
    check_invariant(here.chi_right == next.chi_left, "MpsState: neighbouring sites disagree on their bond");
    const std::size_t rows = 2 * here.chi_left;
    const std::size_t cols = here.chi_right;
    const std::size_t kept = std::min(rows, cols);

    CMap a = ws.qr_input.view(rows, cols);
    a = here.left_view();
    CMap q = ws.qr_q.view(rows, kept);
    CMap r = ws.qr_r.view(kept, cols);
    qr_into(a, ws.qr, q, r);
    here.fill_left_from(q, here.chi_left, kept);

    const std::size_t next_right = next.chi_right;
    CMap product = ws.product.view(kept, 2 * next_right);
    multiply_into(r, next.right_view(), product, ws.split);
    next.assign_right_view(product, kept, next_right);
    center_ = k + 1;
}

// Site k = centre becomes Q^H (right-canonical), R^H moves into site k - 1.
void MpsState::step_left(Workspace& ws) {
    const std::size_t k = center_;
    Site& here = sites_[k];
    Site& prev = sites_[k - 1];
    check_invariant(prev.chi_right == here.chi_left, "MpsState: neighbouring sites disagree on their bond");
    const std::size_t rows = 2 * here.chi_right;
    const std::size_t cols = here.chi_left;
    const std::size_t kept = std::min(rows, cols);

    CMap b_adjoint = ws.qr_input.view(rows, cols);
    b_adjoint = here.right_view().adjoint();
    CMap q = ws.qr_q.view(rows, kept);
    CMap r = ws.qr_r.view(kept, cols);
    qr_into(b_adjoint, ws.qr, q, r);
    if (ws.ones.size() < kept) {
        ws.ones.assign(kept, 1.0);
    }
    here.fill_right_from_scaled_conj(q, ws.ones, kept, here.chi_right);

    const std::size_t prev_left = prev.chi_left;
    CMap product = ws.product.view(2 * prev_left, kept);
    multiply_into(prev.left_view(), r.adjoint(), product, ws.split);
    prev.fill_left_from(product, prev_left, kept);
    center_ = k - 1;
}

void MpsState::apply_1q(std::size_t qubit, const Matrix2& u) {
    check_index(qubit, qubit_to_site_.size(), "MpsState::apply_1q: qubit");
    Site& site = sites_[qubit_to_site_[qubit]];
    site.left_view();  // checks the size invariant before the raw loop
    const std::size_t chi_right = site.chi_right;
    for (std::size_t l = 0; l < site.chi_left; ++l) {
        Complex* slice0 = site.data.data() + 2 * l * chi_right;
        Complex* slice1 = slice0 + chi_right;
        for (std::size_t r = 0; r < chi_right; ++r) {
            const Complex a0 = slice0[r];
            const Complex a1 = slice1[r];
            slice0[r] = u[0] * a0 + u[1] * a1;
            slice1[r] = u[2] * a0 + u[3] * a1;
        }
    }
}

std::expected<void, MpsError> MpsState::apply_2q_adjacent(std::size_t a, std::size_t b, const Matrix4& g) {
    check_index(a, sites_.size(), "MpsState::apply_2q_adjacent: site a");
    check_index(b, sites_.size(), "MpsState::apply_2q_adjacent: site b");
    if ((a > b ? a - b : b - a) != 1) {
        return std::unexpected(MpsError::non_adjacent(static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b)));
    }
    const std::size_t lo = std::min(a, b);
    move_center_to(lo);
    Workspace& ws = workspace();
    Site& left = sites_[lo];
    Site& right = sites_[lo + 1];
    check_invariant(left.chi_right == right.chi_left, "MpsState: neighbouring sites disagree on their bond");
    const std::size_t chi_l = left.chi_left;
    const std::size_t chi_r = right.chi_right;

    // θ: row 2·l + p (site lo), column p'·χR + r (site lo + 1).
    CMap theta = ws.theta.view(2 * chi_l, 2 * chi_r);
    multiply_into(left.left_view(), right.right_view(), theta, ws.split);

    // θ'(out) = Σ_in G[out][in]·θ(in) over the four (p, p') slices. The gate's
    // basis index is 2·x_a + x_b, so which of its bits is p depends on
    // whether site a is the left one.
    const bool a_is_left = a == lo;
    auto split = [a_is_left](std::size_t index) {
        const std::size_t x_a = index >> 1;
        const std::size_t x_b = index & 1;
        return a_is_left ? std::pair{x_a, x_b} : std::pair{x_b, x_a};
    };
    CMap gated = ws.gated.view(2 * chi_l, 2 * chi_r);
    gated.setZero();
    for (std::size_t out = 0; out < 4; ++out) {
        const auto [p_out, p2_out] = split(out);
        for (std::size_t in = 0; in < 4; ++in) {
            const Complex weight = g[out * 4 + in];
            if (weight.real() == 0.0 && weight.imag() == 0.0) {
                continue;
            }
            const auto [p_in, p2_in] = split(in);
            for (std::size_t r = 0; r < chi_r; ++r) {
                const Complex* src = &theta(0, static_cast<Eigen::Index>(p2_in * chi_r + r));
                Complex* dst = &gated(0, static_cast<Eigen::Index>(p2_out * chi_r + r));
                for (std::size_t l = 0; l < chi_l; ++l) {
                    dst[2 * l + p_out] += weight * src[2 * l + p_in];
                }
            }
        }
    }

    // Rounding residues (entries an exact computation would make 0, such as
    // cos(π/2) = 6e-17) are multiplied together by every update that meets
    // them, so a few dozen exact-angle gates leave blocks that span hundreds
    // of orders of magnitude. Far below the block's scale they end here,
    // before the factorisation and before U and V carry them into the sites.
    zero_negligible_parts(gated);
    if (!ws.svd.compute(gated)) {
        return std::unexpected(MpsError::svd_failed());
    }
    const Eigen::VectorXd& s = ws.svd.singular_values();
    const std::size_t count = static_cast<std::size_t>(s.size());
    check_invariant(count >= 1, "MpsState::apply_2q_adjacent: SVD returned no singular values");

    // Values at or below the threshold are numerically zero; rank is at least 1.
    const double threshold = std::max(s[0], std::numeric_limits<double>::min()) * 1e-7;
    std::size_t rank = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (s[static_cast<Eigen::Index>(i)] > threshold) {
            ++rank;
        }
    }
    rank = std::max<std::size_t>(rank, 1);

    // Summed from the smallest value up, so the small tail is not lost in the large head.
    std::vector<double> tail(count + 1, 0.0);
    for (std::size_t i = count; i-- > 0;) {
        const double value = s[static_cast<Eigen::Index>(i)];
        tail[i] = tail[i + 1] + value * value;
    }
    const std::size_t chi = policy_.kept_dimension(rank, tail);
    const double discarded = tail[chi];
    const double kept_weight = tail[0] - discarded;
    const double scale = kept_weight > 0.0 ? std::sqrt(1.0 / kept_weight) : 1.0;

    discarded_weight_ += discarded;
    max_bond_reached_ = std::max(max_bond_reached_, chi);

    std::vector<double> kept(chi);
    for (std::size_t i = 0; i < chi; ++i) {
        kept[i] = s[static_cast<Eigen::Index>(i)] * scale;
    }
    left.fill_left_from(ws.svd.u(), chi_l, chi);
    right.fill_right_from_scaled_conj(ws.svd.v(), kept, chi, chi_r);
    center_ = lo + 1;
    return {};
}

std::expected<void, MpsError> MpsState::apply_2q_routed(Qubit q0, Qubit q1, const Matrix4& g) {
    check_index(q0, qubit_to_site_.size(), "MpsState::apply_2q_routed: first qubit");
    check_index(q1, qubit_to_site_.size(), "MpsState::apply_2q_routed: second qubit");
    check_invariant(q0 != q1, "MpsState::apply_2q_routed: the two qubits must differ");
    const std::size_t s0 = qubit_to_site_[q0];
    const std::size_t s1 = qubit_to_site_[q1];
    const std::size_t lo = std::min(s0, s1);
    std::size_t hi = std::max(s0, s1);
    if (hi > lo + 1) {
        static const Matrix4 swap_matrix = Gate::swap().matrix()->m4();
        while (hi > lo + 1) {
            if (auto swapped = apply_2q_adjacent(hi - 1, hi, swap_matrix); !swapped) {
                return swapped;
            }
            std::swap(site_to_qubit_[hi - 1], site_to_qubit_[hi]);
            qubit_to_site_[site_to_qubit_[hi - 1]] = hi - 1;
            qubit_to_site_[site_to_qubit_[hi]] = hi;
            ++swap_count_;
            --hi;
        }
    }
    return apply_2q_adjacent(qubit_to_site_[q0], qubit_to_site_[q1], g);
}

void MpsState::swap_by_relabel(Qubit q0, Qubit q1) {
    check_index(q0, qubit_to_site_.size(), "MpsState::swap_by_relabel: first qubit");
    check_index(q1, qubit_to_site_.size(), "MpsState::swap_by_relabel: second qubit");
    const std::size_t s0 = qubit_to_site_[q0];
    const std::size_t s1 = qubit_to_site_[q1];
    std::swap(site_to_qubit_[s0], site_to_qubit_[s1]);
    qubit_to_site_[site_to_qubit_[s0]] = s0;
    qubit_to_site_[site_to_qubit_[s1]] = s1;
    ++free_swap_count_;
}

void MpsState::relabel(std::span<const Qubit> perm) {
    const std::size_t n = qubit_to_site_.size();
    check_invariant(perm.size() == n, "MpsState::relabel: permutation length differs from the qubit count");
    std::vector<bool> seen(n, false);
    for (const Qubit q : perm) {
        check_index(q, n, "MpsState::relabel: permutation entry");
        check_invariant(!seen[q], "MpsState::relabel: permutation repeats an entry");
        seen[q] = true;
    }
    std::vector<std::size_t> new_qubit_to_site(n);
    for (std::size_t q = 0; q < n; ++q) {
        new_qubit_to_site[q] = qubit_to_site_[perm[q]];
        site_to_qubit_[new_qubit_to_site[q]] = static_cast<Qubit>(q);
    }
    qubit_to_site_ = std::move(new_qubit_to_site);
}

}  // namespace nivra::mps
