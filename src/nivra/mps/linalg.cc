#include "nivra/mps/linalg.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "nivra/core/error.h"

namespace nivra::mps {

CMap ScratchMatrix::view(std::size_t rows, std::size_t cols) {
    const std::size_t needed = mul_size_or_throw(rows, cols);
    if (needed > buffer_.size()) {
        buffer_.assign(needed, Complex(0.0, 0.0));
    }
    return CMap(buffer_.data(), static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols));
}

Eigen::Map<Eigen::MatrixXd> ScratchRealMatrix::view(std::size_t rows, std::size_t cols) {
    const std::size_t needed = mul_size_or_throw(rows, cols);
    if (needed > buffer_.size()) {
        buffer_.assign(needed, 0.0);
    }
    return Eigen::Map<Eigen::MatrixXd>(buffer_.data(), static_cast<Eigen::Index>(rows),
                                       static_cast<Eigen::Index>(cols));
}

namespace {

// Panel width of the blocked factorisation and block size of the reflector
// application: Eigen's own choices for HouseholderQR and HouseholderSequence.
constexpr Eigen::Index QR_PANEL_WIDTH = 48;
constexpr Eigen::Index REFLECTOR_BLOCK = 48;

// mat ← (I − V·T·V^H)·mat, or with T^H in place of T when `adjoint`, where V
// is the unit lower-triangular block of Householder vectors stored below the
// diagonal of `vectors` (entries on and above it are not read) and T the
// block's upper-triangular factor. This is Eigen's
// apply_block_householder_on_the_left with the two large products split into
// real ones (see multiply_into).
void apply_block_reflector(Eigen::Ref<CMatrix> mat, const Eigen::Ref<const CMatrix>& vectors, const CMatrix& t_factor,
                           bool adjoint, QrWorkspace& workspace) {
    const auto rows = static_cast<std::size_t>(vectors.rows());
    const auto count = static_cast<std::size_t>(vectors.cols());
    const auto cols = static_cast<std::size_t>(mat.cols());
    CMap v = workspace.reflectors.view(rows, count);
    for (Eigen::Index j = 0; j < vectors.cols(); ++j) {
        for (Eigen::Index i = 0; i < vectors.rows(); ++i) {
            v(i, j) = i > j ? vectors(i, j) : Complex(i == j ? 1.0 : 0.0, 0.0);
        }
    }
    CMap coupling = workspace.coupling.view(count, cols);
    multiply_into(v.adjoint(), mat, coupling, workspace.split);
    if (adjoint) {
        coupling = t_factor.triangularView<Eigen::Upper>().adjoint() * coupling;
    } else {
        coupling = t_factor.triangularView<Eigen::Upper>() * coupling;
    }
    multiply_into(v, coupling, mat, workspace.split, Product::Subtract);
}

}  // namespace

void qr_into(Eigen::Ref<CMatrix> a, QrWorkspace& workspace, Eigen::Ref<CMatrix> q, Eigen::Ref<CMatrix> r) {
    const Eigen::Index m = a.rows();
    const Eigen::Index n = a.cols();
    const Eigen::Index k = std::min(m, n);
    check_invariant(q.rows() == m && q.cols() == k, "qr_into: q must be m x min(m, n)");
    check_invariant(r.rows() == k && r.cols() == n, "qr_into: r must be min(m, n) x n");

    if (workspace.coefficients.size() < k) {
        workspace.coefficients.resize(k);
    }
    if (workspace.apply_scratch.size() < std::max(m, n)) {
        workspace.apply_scratch.resize(std::max(m, n));
    }
    auto coefficients = workspace.coefficients.head(k);

    // Factorisation: each panel by single reflectors, then the reflectors of
    // the panel applied to the trailing columns as one block.
    for (Eigen::Index start = 0; start < k; start += QR_PANEL_WIDTH) {
        const Eigen::Index width = std::min(k - start, QR_PANEL_WIDTH);
        const Eigen::Index trailing = n - start - width;
        auto panel = a.block(start, start, m - start, width);
        auto panel_coefficients = coefficients.segment(start, width);
        Eigen::internal::householder_qr_inplace_unblocked(panel, panel_coefficients, workspace.apply_scratch.data());
        if (trailing > 0) {
            workspace.block_factor.resize(width, width);
            Eigen::internal::make_block_householder_triangular_factor(workspace.block_factor, panel,
                                                                      panel_coefficients.conjugate());
            apply_block_reflector(a.block(start, start + width, m - start, trailing), panel, workspace.block_factor,
                                  /*adjoint=*/true, workspace);
        }
    }

    for (Eigen::Index j = 0; j < n; ++j) {
        for (Eigen::Index i = 0; i < k; ++i) {
            r(i, j) = i <= j ? a(i, j) : Complex(0.0, 0.0);
        }
    }

    // Q = H_0·H_1·…·H_{k-1} applied to the first k identity columns, last
    // reflector first. Reflector j touches rows j.. only, so when it is
    // applied every column before j still holds its identity entry alone and
    // is skipped.
    q.setIdentity();
    if (k < REFLECTOR_BLOCK) {
        for (Eigen::Index j = k - 1; j >= 0; --j) {
            q.block(j, j, m - j, k - j)
                .applyHouseholderOnTheLeft(a.col(j).tail(m - j - 1), std::conj(coefficients[j]),
                                           workspace.apply_scratch.data());
        }
        return;
    }
    const Eigen::Index block = k < 2 * REFLECTOR_BLOCK ? (k + 1) / 2 : REFLECTOR_BLOCK;
    for (Eigen::Index done = 0; done < k; done += block) {
        const Eigen::Index end = k - done;
        const Eigen::Index start = std::max<Eigen::Index>(0, end - block);
        const Eigen::Index width = end - start;
        auto vectors = a.block(start, start, m - start, width);
        workspace.block_factor.resize(width, width);
        Eigen::internal::make_block_householder_triangular_factor(workspace.block_factor, vectors,
                                                                  coefficients.segment(start, width).conjugate());
        apply_block_reflector(q.block(start, start, m - start, k - start), vectors, workspace.block_factor,
                              /*adjoint=*/false, workspace);
    }
}

bool all_finite(const Eigen::Ref<const CMatrix>& m) {
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
        for (Eigen::Index i = 0; i < m.rows(); ++i) {
            const Complex z = m(i, j);
            if (!std::isfinite(z.real()) || !std::isfinite(z.imag())) {
                return false;
            }
        }
    }
    return true;
}

namespace {

// Relative accuracy a verified SVD must reach. A backward-stable SVD of a
// 256 × 256 block stays near 1e-14; the faults this guards against are
// errors of order one.
constexpr double SVD_TOLERANCE = 1e-11;

// Fixed pseudo-random probe entries (splitmix64 mapped to [-1, 1]^2): the
// check is reproducible and draws nothing from any simulation generator.
class ProbeSource {
public:
    Complex next() {
        const double re = unit();
        const double im = unit();
        return Complex(re, im);
    }

private:
    double unit() {
        state_ += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        return static_cast<double>(z >> 11) * 0x1.0p-52 - 1.0;
    }
    std::uint64_t state_ = 0x2545F4914F6CDD1Dull;
};

Eigen::VectorXcd probe(Eigen::Index size, ProbeSource& source) {
    Eigen::VectorXcd x(size);
    for (Eigen::Index i = 0; i < size; ++i) {
        x[i] = source.next();
    }
    return x;
}

// ‖q^H·q·z − z‖ small for a probe z: q has orthonormal columns.
bool orthonormal_columns(const CMatrix& q, ProbeSource& source) {
    const Eigen::VectorXcd z = probe(q.cols(), source);
    const Eigen::VectorXcd back = q.adjoint() * (q * z);
    return (back - z).norm() <= SVD_TOLERANCE * z.norm();
}

}  // namespace

bool verify_svd(const Eigen::Ref<const CMatrix>& a, const Eigen::VectorXd& s, const CMatrix& u, const CMatrix& v) {
    const Eigen::Index k = std::min(a.rows(), a.cols());
    if (s.size() != k || u.rows() != a.rows() || u.cols() != k || v.rows() != a.cols() || v.cols() != k) {
        return false;
    }
    for (Eigen::Index i = 0; i < k; ++i) {
        if (!std::isfinite(s[i]) || s[i] < 0.0 || (i > 0 && s[i] > s[i - 1])) {
            return false;
        }
    }
    if (!all_finite(u) || !all_finite(v)) {
        return false;
    }
    ProbeSource source;
    const double scale = a.norm();
    for (int round = 0; round < 2; ++round) {
        const Eigen::VectorXcd x = probe(a.cols(), source);
        const Eigen::VectorXcd direct = a * x;
        const Eigen::VectorXcd factored = u * (s.cast<Complex>().asDiagonal() * (v.adjoint() * x));
        if (!((direct - factored).norm() <= SVD_TOLERANCE * scale * x.norm())) {
            return false;
        }
    }
    return orthonormal_columns(u, source) && orthonormal_columns(v, source);
}

void zero_negligible_parts(Eigen::Ref<CMatrix> m) {
    // Complex is two doubles, real then imaginary; columns may be strided.
    const Eigen::Index parts = 2 * m.rows();
    double largest = 0.0;
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
        const double* column = reinterpret_cast<const double*>(m.col(j).data());
        for (Eigen::Index i = 0; i < parts; ++i) {
            const double part = std::abs(column[i]);
            if (part > largest && part <= std::numeric_limits<double>::max()) {
                largest = part;
            }
        }
    }
    const double negligible = largest * NEGLIGIBLE_PART_RATIO;
    for (Eigen::Index j = 0; j < m.cols(); ++j) {
        double* column = reinterpret_cast<double*>(m.col(j).data());
        for (Eigen::Index i = 0; i < parts; ++i) {
            if (std::abs(column[i]) < negligible) {
                column[i] = 0.0;
            }
        }
    }
}

bool ThinSvd::compute(const Eigen::Ref<const CMatrix>& a) {
    // Eigen's SVDs assume finite input (some internal steps only assert it),
    // so a NaN or infinity never reaches them.
    if (!all_finite(a)) {
        return false;
    }
    path_ = Path::DivideAndConquer;
    bdc_.compute(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
    if (bdc_.info() == Eigen::Success && verify_svd(a, bdc_.singularValues(), bdc_.matrixU(), bdc_.matrixV())) {
        return true;
    }
    path_ = Path::Jacobi;
    jacobi_.compute(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
    if (jacobi_.info() == Eigen::Success &&
        verify_svd(a, jacobi_.singularValues(), jacobi_.matrixU(), jacobi_.matrixV())) {
        return true;
    }
    path_ = Path::RealBidiagonal;
    return compute_by_real_bidiagonal(a) && verify_svd(a, bidiagonal_s_, bidiagonal_u_, bidiagonal_v_);
}

// The path BDCSVD takes for large matrices (scale, bidiagonalise a tall copy,
// factor the real bidiagonal B, apply the reflectors to B's singular vectors),
// with the real Jacobi SVD in place of divide and conquer for B.
bool ThinSvd::compute_by_real_bidiagonal(const Eigen::Ref<const CMatrix>& a) {
    const bool wide = a.rows() < a.cols();
    double scale = a.cwiseAbs().maxCoeff();
    if (scale == 0.0) {
        scale = 1.0;
    }
    const CMatrix tall = wide ? CMatrix(a.adjoint() / scale) : CMatrix(a / scale);
    Eigen::internal::UpperBidiagonalization<CMatrix> bidiagonal(tall);
    const Eigen::MatrixXd b = bidiagonal.bidiagonal().toDenseMatrix();
    const Eigen::JacobiSVD<Eigen::MatrixXd> real_svd(b, Eigen::ComputeFullU | Eigen::ComputeFullV);
    if (real_svd.info() != Eigen::Success) {
        return false;
    }
    const Eigen::Index k = tall.cols();
    CMatrix& left = wide ? bidiagonal_v_ : bidiagonal_u_;
    CMatrix& right = wide ? bidiagonal_u_ : bidiagonal_v_;
    left = CMatrix::Zero(tall.rows(), k);
    left.topRows(k) = real_svd.matrixU().cast<Complex>();
    bidiagonal.householderU().applyThisOnTheLeft(left);
    right = real_svd.matrixV().cast<Complex>();
    bidiagonal.householderV().applyThisOnTheLeft(right);
    bidiagonal_s_ = real_svd.singularValues() * scale;
    return true;
}

template <class T>
const T& ThinSvd::of_path(const T& bdc, const T& jacobi, const T& own) const {
    switch (path_) {
        case Path::DivideAndConquer:
            return bdc;
        case Path::Jacobi:
            return jacobi;
        case Path::RealBidiagonal:
            return own;
    }
    invariant_failure("ThinSvd: unknown path");
}

const Eigen::VectorXd& ThinSvd::singular_values() const {
    return of_path(bdc_.singularValues(), jacobi_.singularValues(), bidiagonal_s_);
}

const CMatrix& ThinSvd::u() const { return of_path(bdc_.matrixU(), jacobi_.matrixU(), bidiagonal_u_); }

const CMatrix& ThinSvd::v() const { return of_path(bdc_.matrixV(), jacobi_.matrixV(), bidiagonal_v_); }

}  // namespace nivra::mps
