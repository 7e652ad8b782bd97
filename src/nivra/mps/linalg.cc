#include "nivra/mps/linalg.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "nivra/core/error.h"

namespace nivra::mps {

CMap ScratchMatrix::view(std::size_t rows, std::size_t cols) {
    const std::size_t needed = mul_size_or_throw(rows, cols);
    if (needed > buffer_.size()) {
        buffer_.assign(needed, Complex(0.0, 0.0));
    }
    return CMap(buffer_.data(), static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols));
}

void qr_into(const Eigen::Ref<const CMatrix>& a, QrWorkspace& workspace, Eigen::Ref<CMatrix> q, Eigen::Ref<CMatrix> r) {
    const Eigen::Index m = a.rows();
    const Eigen::Index n = a.cols();
    const Eigen::Index k = std::min(m, n);
    check_invariant(q.rows() == m && q.cols() == k, "qr_into: q must be m x min(m, n)");
    check_invariant(r.rows() == k && r.cols() == n, "qr_into: r must be min(m, n) x n");

    workspace.qr.compute(a);
    const CMatrix& packed = workspace.qr.matrixQR();
    for (Eigen::Index j = 0; j < n; ++j) {
        for (Eigen::Index i = 0; i < k; ++i) {
            r(i, j) = i <= j ? packed(i, j) : Complex(0.0, 0.0);
        }
    }
    q.setIdentity();
    workspace.qr.householderQ().applyThisOnTheLeft(q, workspace.apply_scratch);
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

bool ThinSvd::compute(const Eigen::Ref<const CMatrix>& a) {
    // Eigen's SVDs assume finite input (some internal steps only assert it),
    // so a NaN or infinity never reaches them.
    if (!all_finite(a)) {
        return false;
    }
    use_jacobi_ = false;
    bdc_.compute(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
    if (bdc_.info() == Eigen::Success && verify_svd(a, bdc_.singularValues(), bdc_.matrixU(), bdc_.matrixV())) {
        return true;
    }
    ++fallbacks_;
    use_jacobi_ = true;
    jacobi_.compute(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
    return jacobi_.info() == Eigen::Success &&
           verify_svd(a, jacobi_.singularValues(), jacobi_.matrixU(), jacobi_.matrixV());
}

const Eigen::VectorXd& ThinSvd::singular_values() const {
    return use_jacobi_ ? jacobi_.singularValues() : bdc_.singularValues();
}

const CMatrix& ThinSvd::u() const { return use_jacobi_ ? jacobi_.matrixU() : bdc_.matrixU(); }

const CMatrix& ThinSvd::v() const { return use_jacobi_ ? jacobi_.matrixV() : bdc_.matrixV(); }

}  // namespace nivra::mps
