#pragma once
// Dense linear algebra of the MPS simulator on Eigen: grow-only scratch
// matrices, the thin Householder QR `qr_into` and a checked thin SVD.
//
// Threads. Eigen parallelises its products only through OpenMP, which this
// build leaves off, and its factorisations not at all, so every call here runs
// on the caller's thread. Matrices of up to 2^18 entries are meant to be
// worked on sequentially anyway, and with the bond cap of 128 the largest one
// (the two-site block, 256 × 256 = 65536 entries) stays a quarter below that.

#include <Eigen/Core>
#include <Eigen/QR>
#include <Eigen/SVD>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "nivra/core/complex.h"
#include "nivra/core/error.h"
#include "nivra/mps/tensor.h"

namespace nivra::mps {

using CMap = Eigen::Map<CMatrix>;

// A reusable scratch buffer handing out column-major matrix views. It only
// grows: a request larger than the capacity reallocates to exactly that many
// zeroed entries; smaller requests reuse the buffer, whose contents are then
// whatever the previous user left.
class ScratchMatrix {
public:
    // A rows × cols view; valid until the next call on this object.
    CMap view(std::size_t rows, std::size_t cols);
    std::size_t capacity() const { return buffer_.size(); }

private:
    std::vector<Complex> buffer_;
};

// The real counterpart of ScratchMatrix, under the same grow-only rule.
class ScratchRealMatrix {
public:
    // A rows × cols view; valid until the next call on this object.
    Eigen::Map<Eigen::MatrixXd> view(std::size_t rows, std::size_t cols);
    std::size_t capacity() const { return buffer_.size(); }

private:
    std::vector<double> buffer_;
};

// Real and imaginary planes of the two factors and of the result of a split
// complex product.
struct SplitProductWorkspace {
    ScratchRealMatrix a_re, a_im, b_re, b_im, c_re, c_im;

    std::size_t entries() const {
        return a_re.capacity() + a_im.capacity() + b_re.capacity() + b_im.capacity() + c_re.capacity() +
               c_im.capacity();
    }
};

// c = a·b over the complex numbers, computed as four real products of the
// factors' real and imaginary planes:
//
//     Re c = Re a·Re b − Im a·Im b        Im c = Re a·Im b + Im a·Re b
//
// On the baseline x86-64 instruction set (SSE2) Eigen's complex kernel
// multiplies at well under half the rate of its real one, which more than
// pays for splitting and merging the planes. `c` must not alias `a` or `b`;
// shapes that disagree are an InvariantError.
// With Product::Subtract it computes c ← c − a·b instead, in the same planes.
enum class Product { Assign, Subtract };

template <typename A, typename B>
void multiply_into(const Eigen::MatrixBase<A>& a, const Eigen::MatrixBase<B>& b, Eigen::Ref<CMatrix> c,
                   SplitProductWorkspace& workspace, Product mode = Product::Assign) {
    check_invariant(a.cols() == b.rows() && c.rows() == a.rows() && c.cols() == b.cols(),
                    "multiply_into: shapes do not match");
    const auto rows = static_cast<std::size_t>(a.rows());
    const auto inner = static_cast<std::size_t>(a.cols());
    const auto cols = static_cast<std::size_t>(b.cols());
    auto a_re = workspace.a_re.view(rows, inner);
    auto a_im = workspace.a_im.view(rows, inner);
    auto b_re = workspace.b_re.view(inner, cols);
    auto b_im = workspace.b_im.view(inner, cols);
    auto c_re = workspace.c_re.view(rows, cols);
    auto c_im = workspace.c_im.view(rows, cols);
    a_re = a.real();
    a_im = a.imag();
    b_re = b.real();
    b_im = b.imag();
    if (mode == Product::Assign) {
        c_re.noalias() = a_re * b_re;
        c_re.noalias() -= a_im * b_im;
        c_im.noalias() = a_re * b_im;
        c_im.noalias() += a_im * b_re;
    } else {
        c_re = c.real();
        c_im = c.imag();
        c_re.noalias() -= a_re * b_re;
        c_re.noalias() += a_im * b_im;
        c_im.noalias() -= a_re * b_im;
        c_im.noalias() -= a_im * b_re;
    }
    c.real() = c_re;
    c.imag() = c_im;
}

// Scratch of qr_into kept between calls: the reflector coefficients, the
// triangular factor of a block of reflectors, the planes of the block
// products and the vector single reflectors are applied with.
struct QrWorkspace {
    Eigen::Matrix<Complex, Eigen::Dynamic, 1> coefficients;
    CMatrix block_factor;
    ScratchMatrix reflectors;  // a block of reflectors with its unit diagonal written out
    ScratchMatrix coupling;    // V^H·mat, then T·V^H·mat
    SplitProductWorkspace split;
    Eigen::Matrix<Complex, Eigen::Dynamic, 1> apply_scratch;
};

// Thin unpivoted Householder QR of the m × n matrix `a`, k = min(m, n),
// blocked as Eigen's HouseholderQR (panels of 48 columns) with the block
// updates done as split real products: `q` (m × k) receives the first k
// columns of the identity with the reflector sequence applied from the left,
// so its columns are orthonormal; `r` (k × n) receives the upper-triangular
// factor, zeros below the diagonal written explicitly. `a` is overwritten by
// the packed factorisation. Shapes that disagree are an InvariantError.
void qr_into(Eigen::Ref<CMatrix> a, QrWorkspace& workspace, Eigen::Ref<CMatrix> q, Eigen::Ref<CMatrix> r);

// Parts of a block below this fraction of its largest real or imaginary part
// count as zero before it is factored. An MPS multiplies rounding residues
// (cos(π/2) is 6e-17, not 0) together in every update that meets them, so a
// few dozen exact-angle gates leave blocks that span hundreds of orders of
// magnitude. The Jacobi SVD multiplies such entries further and divides by the
// products (see ThinSvd); with no part below 2^-200 of the largest, the
// products stay well above 2^-511, where the textbook quotient of this build
// (core/complex.h) starts to underflow. Zeroing moves the block by 2^-200 of
// its scale: 140 orders of magnitude inside the 1e-16 to which any SVD
// reproduces it, and far below the 1e-7 of the largest singular value under
// which a two-site update drops a value anyway.
inline constexpr double NEGLIGIBLE_PART_RATIO = 0x1p-200;

// Sets every real and imaginary part of `m` whose magnitude lies below
// NEGLIGIBLE_PART_RATIO times the largest finite one to zero. NaN and
// infinite parts are kept, so a non-finite block stays non-finite.
void zero_negligible_parts(Eigen::Ref<CMatrix> m);

// Thin SVD: a = U·diag(s)·V^H with K = min(rows, cols) singular values in
// descending order, U rows × K and V cols × K, both with orthonormal columns.
//
// Eigen's divide-and-conquer BDCSVD does the work. Its 3.4.0 release returns
// plainly wrong factors for some rank-deficient matrices (a deflation fault
// in the merge step; a two-site block of an MPS hit it within a few dozen
// random gates), so every result is verified by random probes, O(rows·cols),
// and a result that fails is recomputed by the slower one-sided Jacobi SVD,
// which is verified in turn.
//
// Neither is safe on a block whose entries span hundreds of orders of
// magnitude. BDCSVD hands matrices of fewer than 16 columns to the Jacobi SVD
// (as this class does with every result of BDCSVD that fails), and the Jacobi
// SVD's complex 2×2 step makes an entry w real by multiplying with |w|/w.
// Under this build's textbook quotient that is |w|·conj(w)/|w|²: below
// |w| ≈ 1e-154 the square loses precision, and below about 1e-162 both
// products underflow to 0, so the quotient is NaN and so is a singular value.
// Such a w need not be in the input: the rotations multiply small entries
// together. Zeroing negligible parts first
// (zero_negligible_parts) makes it rare; a block that still fails both is
// factored a third way, with no complex quotient by a small number:
// Householder bidiagonalisation, whose every divisor has a square above the
// smallest normal double (a reflector is skipped otherwise), then the real
// Jacobi SVD of the real bidiagonal. It is verified like the others.
//
// The object keeps its factors (and reuses their storage while the shape
// stays) until the next compute.
class ThinSvd {
public:
    // Which algorithm produced the current factors.
    enum class Path : std::uint8_t { DivideAndConquer, Jacobi, RealBidiagonal };

    // False when the input holds a NaN or infinite entry, or when no
    // algorithm produced finite factors that pass verification; the factors
    // are then meaningless.
    bool compute(const Eigen::Ref<const CMatrix>& a);

    const Eigen::VectorXd& singular_values() const;
    const CMatrix& u() const;
    const CMatrix& v() const;
    Path path() const { return path_; }

private:
    // The factor of the path taken: `bdc` or `jacobi` from Eigen, or `own`.
    template <class T>
    const T& of_path(const T& bdc, const T& jacobi, const T& own) const;

    bool compute_by_real_bidiagonal(const Eigen::Ref<const CMatrix>& a);

    Eigen::BDCSVD<CMatrix> bdc_;
    Eigen::JacobiSVD<CMatrix> jacobi_;
    Eigen::VectorXd bidiagonal_s_;
    CMatrix bidiagonal_u_;
    CMatrix bidiagonal_v_;
    Path path_ = Path::DivideAndConquer;
};

// True when u·diag(s)·v^H reproduces `a` and u, v have orthonormal columns,
// each to a relative 1e-11, as seen by fixed pseudo-random probe vectors, and
// s is finite, non-negative and descending. Costs a few matrix-vector products.
bool verify_svd(const Eigen::Ref<const CMatrix>& a, const Eigen::VectorXd& s, const CMatrix& u, const CMatrix& v);

// True when every real and imaginary part is finite.
bool all_finite(const Eigen::Ref<const CMatrix>& m);

}  // namespace nivra::mps
