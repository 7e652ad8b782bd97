#include "nivra/mps/linalg.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "nivra/core/error.h"

namespace nivra::mps {
namespace {

CMatrix random_matrix(Eigen::Index rows, Eigen::Index cols, std::mt19937_64& gen) {
    std::normal_distribution<double> normal;
    CMatrix m(rows, cols);
    for (Eigen::Index j = 0; j < cols; ++j)
        for (Eigen::Index i = 0; i < rows; ++i) m(i, j) = Complex(normal(gen), normal(gen));
    return m;
}

TEST(QrInto, FactorsTallWideSquareAndRankDeficientMatrices) {
    std::mt19937_64 gen(7);
    QrWorkspace workspace;
    ScratchMatrix q_scratch, r_scratch;
    struct Shape {
        Eigen::Index rows, cols;
    };
    for (Shape shape : {Shape{8, 3}, Shape{3, 8}, Shape{6, 6}, Shape{130, 64}, Shape{64, 130}, Shape{200, 100},
                        Shape{97, 256}, Shape{1, 1}}) {
        CMatrix a = random_matrix(shape.rows, shape.cols, gen);
        if (shape.cols >= 2) a.col(1) = a.col(0) * Complex(2.0, -1.0);  // rank deficient
        const Eigen::Index k = std::min(shape.rows, shape.cols);
        // Leave garbage in the reused scratch: qr_into must write every entry it promises.
        CMap q = q_scratch.view(static_cast<std::size_t>(shape.rows), static_cast<std::size_t>(k));
        CMap r = r_scratch.view(static_cast<std::size_t>(k), static_cast<std::size_t>(shape.cols));
        q.setConstant(Complex(9.0, 9.0));
        r.setConstant(Complex(9.0, 9.0));
        CMatrix packed = a;  // overwritten by the factorisation
        qr_into(packed, workspace, q, r);

        EXPECT_LT((q.adjoint() * q - CMatrix::Identity(k, k)).cwiseAbs().maxCoeff(), 1e-12);
        for (Eigen::Index j = 0; j < shape.cols; ++j)
            for (Eigen::Index i = j + 1; i < k; ++i) EXPECT_EQ(r(i, j), Complex(0.0, 0.0));
        EXPECT_LT((q * r - a).cwiseAbs().maxCoeff(), 1e-12 * (1.0 + a.cwiseAbs().maxCoeff()));
    }
}

TEST(QrInto, RejectsMismatchedShapes) {
    QrWorkspace workspace;
    CMatrix a = CMatrix::Identity(4, 2);
    CMatrix q(4, 3), r(2, 2);
    EXPECT_THROW(qr_into(a, workspace, q, r), InvariantError);
}

TEST(ThinSvd, ReconstructsWithDescendingValues) {
    std::mt19937_64 gen(11);
    ThinSvd svd;
    for (auto [rows, cols] : {std::pair{4, 4}, std::pair{40, 8}, std::pair{8, 40}, std::pair{256, 256}}) {
        CMatrix a = random_matrix(rows, cols, gen);
        ASSERT_TRUE(svd.compute(a));
        const Eigen::VectorXd& s = svd.singular_values();
        ASSERT_EQ(s.size(), std::min(rows, cols));
        for (Eigen::Index i = 1; i < s.size(); ++i) EXPECT_GE(s[i - 1], s[i]);
        CMatrix rebuilt = svd.u() * s.cast<Complex>().asDiagonal() * svd.v().adjoint();
        EXPECT_LT((rebuilt - a).cwiseAbs().maxCoeff(), 1e-11 * a.cwiseAbs().maxCoeff());
        EXPECT_LT((svd.u().adjoint() * svd.u() - CMatrix::Identity(s.size(), s.size())).cwiseAbs().maxCoeff(), 1e-11);
    }
}

TEST(ThinSvd, RefusesNonFiniteInput) {
    ThinSvd svd;
    CMatrix a = CMatrix::Identity(20, 20);
    a(3, 4) = Complex(std::numeric_limits<double>::quiet_NaN(), 0.0);
    EXPECT_FALSE(svd.compute(a));
    a(3, 4) = Complex(0.0, std::numeric_limits<double>::infinity());
    EXPECT_FALSE(svd.compute(a));
    CMatrix small = CMatrix::Identity(2, 2);  // below the size where Eigen switches algorithm
    small(1, 1) = Complex(std::numeric_limits<double>::infinity(), 0.0);
    EXPECT_FALSE(svd.compute(small));
}

TEST(ThinSvd, CorrectWhereEigensDivideAndConquerFails) {
    // An upper bidiagonal matrix with a tiny diagonal entry in the middle, met
    // as a two-site block in a routed random circuit; Eigen 3.4.0's BDCSVD
    // returns a factorisation off by 4e-2 for it.
    const double diag[16] = {
        -1.0115627952829689,    0.10333677751476007,     0.35565108926492733,    0.10315852979028824,
        3.9778362365565117e-14, 0.034512055983473559,    -0.070104457545251742,  -0.0061420830471560876,
        0.037759596262756191,   3.3724750643379403e-17,  1.1337656765946225e-17, -1.5569868778215615e-17,
        8.0037085147881403e-18, -8.8993571388744973e-18, 5.0260353813419782e-18, -4.5074995922319873e-18};
    const double super[15] = {0.08943747899251725,    0.13986359290515218,    0.24882134119616792,
                              0.082789855718786817,   0.43790135410251685,    -0.18228005665881811,
                              -0.069329679288070531,  -0.0080326110099885432, -2.2597284267653571e-16,
                              2.6640095065178894e-17, -1.429019055022883e-17, -1.3201408102075821e-17,
                              1.0010241574159965e-17, 3.0009372532780081e-18, 1.8126990988481823e-18};
    CMatrix a = CMatrix::Zero(16, 16);
    for (int i = 0; i < 16; ++i) a(i, i) = diag[i];
    for (int i = 0; i < 15; ++i) a(i, i + 1) = super[i];

    ThinSvd svd;
    ASSERT_TRUE(svd.compute(a));
    const Eigen::VectorXd& s = svd.singular_values();
    CMatrix rebuilt = svd.u() * s.cast<Complex>().asDiagonal() * svd.v().adjoint();
    EXPECT_LT((rebuilt - a).cwiseAbs().maxCoeff(), 1e-13);
    EXPECT_NEAR(s[7], 0.038592883560199694, 1e-12);  // the value BDCSVD gets wrong
    EXPECT_TRUE(verify_svd(a, s, svd.u(), svd.v()));
}

// Factors `a` and checks the result against `a` itself.
void expect_exact_svd(const CMatrix& a, ThinSvd& svd) {
    ASSERT_TRUE(svd.compute(a));
    const Eigen::VectorXd& s = svd.singular_values();
    ASSERT_EQ(s.size(), std::min(a.rows(), a.cols()));
    for (Eigen::Index i = 1; i < s.size(); ++i) EXPECT_GE(s[i - 1], s[i]);
    const CMatrix rebuilt = svd.u() * s.cast<Complex>().asDiagonal() * svd.v().adjoint();
    EXPECT_LT((rebuilt - a).cwiseAbs().maxCoeff(), 1e-14);
    const CMatrix identity = CMatrix::Identity(s.size(), s.size());
    EXPECT_LT((svd.u().adjoint() * svd.u() - identity).cwiseAbs().maxCoeff(), 1e-14);
    EXPECT_LT((svd.v().adjoint() * svd.v() - identity).cwiseAbs().maxCoeff(), 1e-14);
}

TEST(ThinSvd, FactorsBlocksSpanningHundredsOfOrdersOfMagnitude) {
    // Eigen's Jacobi SVD (which BDCSVD uses below 16 columns) makes a tiny
    // entry w real through |w|/w, which the textbook quotient of this build
    // turns into 0/0: both return a NaN singular value for these blocks.
    using C = Complex;
    ThinSvd svd;

    // A two-site block of the exact-angle circuit that first showed it:
    // entries from 0.5 down to 1e-209, rank 2.
    CMatrix block(4, 4);
    block << C(0.49629301450316438, 0.49629301450316415), C(-9.8130778667735917e-18, 4.3578819960526224e-33),
        C(-0.49629301450316438, -0.49629301450316415), C(-9.8130778667735933e-18, 4.3578819960526231e-33),
        C(-5.4548223995898828e-81, -3.1087480411993599e-81), C(-2.9402867174471594e-49, 5.8805734348943208e-50),
        C(5.4548223995898828e-81, 3.1087480411993599e-81), C(2.9402867174471594e-49, -5.8805734348943208e-50),
        C(3.545114826179691e-113, -1.5506594980096988e-113), C(-3.8167103715481422e-17, -0.085944677035426603),
        C(3.545114826179691e-113, -1.5506594980096988e-113), C(-3.8167103715481422e-17, -0.085944677035426603),
        C(0, 2.4333972048578046e-209), C(1.480654765119212e-177, 0), C(0, 2.4333972048578046e-209),
        C(1.480654765119212e-177, 0);
    expect_exact_svd(block, svd);
    EXPECT_EQ(svd.path(), ThinSvd::Path::RealBidiagonal);
    EXPECT_NEAR(svd.singular_values()[0], 0.99258602900632831, 1e-15);
    EXPECT_NEAR(svd.singular_values()[1], 0.12154412787727575, 1e-15);
    EXPECT_LT(svd.singular_values()[2], 1e-30);

    // No part below 2^-200 of the largest, so zeroing negligible parts leaves
    // it as it is; the Jacobi rotations still multiply the small entries down
    // into the range where the quotient fails.
    CMatrix spread(4, 4);
    spread << C(-8.7096741095068906e-57, 4.0231954166381645e-57), C(0, 0), C(0, 0), C(1.7364724514425826e-53, 0),
        C(-6.7777129035907975e-44, 0), C(0, 0), C(-0.0094967395417463393, 0.065177366226581032), C(0, 0),
        C(-3.0897119305747743e-08, -1.4308924598911426e-07), C(1.639060900269118e-42, -2.9570404260827727e-45),
        C(-2.8524646466428894e-49, 0), C(-0.095357565342717554, 0.91091851384656686),
        C(2.6766807366734367e-20, -4.4755633854295824e-20), C(0, 0), C(-9.85533055845256e-38, 0),
        C(1.8200198611595413, 0.13033617639807732);
    CMatrix zeroed = spread;
    zero_negligible_parts(zeroed);
    ASSERT_EQ(zeroed, spread);
    expect_exact_svd(spread, svd);
    EXPECT_EQ(svd.path(), ThinSvd::Path::RealBidiagonal);

    // Ordinary blocks keep the ordinary path.
    expect_exact_svd(CMatrix::Identity(6, 4), svd);
    EXPECT_EQ(svd.path(), ThinSvd::Path::DivideAndConquer);
}

TEST(ZeroNegligibleParts, ZeroesPartsFarBelowTheLargestAndKeepsNonFiniteOnes) {
    const double limit = 0.5 * NEGLIGIBLE_PART_RATIO;  // largest part 0.5 below
    const double below = std::nextafter(limit, 0.0);
    const double subnormal = std::numeric_limits<double>::denorm_min();
    CMatrix m(3, 2);
    m << Complex(0.5, below), Complex(-limit, 1e-17),  //
        Complex(-below, 0.25), Complex(subnormal, -1e-70), Complex(0.0, -0.5), Complex(1e-60, -limit);
    zero_negligible_parts(m);
    CMatrix expected(3, 2);
    expected << Complex(0.5, 0.0), Complex(-limit, 1e-17),  //
        Complex(0.0, 0.25), Complex(0.0, 0.0), Complex(0.0, -0.5), Complex(1e-60, -limit);
    EXPECT_EQ(m, expected);

    // The scale is the largest finite part; NaN and infinities stay.
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    CMatrix non_finite(2, 2);
    non_finite << Complex(inf, 1e-70), Complex(1.0, 1e-70), Complex(nan, 2.0), Complex(1e-40, -inf);
    zero_negligible_parts(non_finite);
    EXPECT_TRUE(std::isinf(non_finite(0, 0).real()));
    EXPECT_TRUE(std::isnan(non_finite(1, 0).real()));
    EXPECT_TRUE(std::isinf(non_finite(1, 1).imag()));
    EXPECT_EQ(non_finite(0, 0).imag(), 0.0);
    EXPECT_EQ(non_finite(0, 1), Complex(1.0, 0.0));
    EXPECT_EQ(non_finite(1, 1).real(), 1e-40);

    // A block of a larger matrix: only the block is measured and changed.
    CMatrix outer = CMatrix::Constant(4, 4, Complex(1e-100, 1e-100));
    outer(0, 0) = Complex(1e30, 0.0);
    outer.block(1, 1, 3, 3).setConstant(Complex(1e-40, 1e-70));
    outer(2, 2) = Complex(1.0, 0.0);
    zero_negligible_parts(outer.block(1, 1, 3, 3));
    EXPECT_EQ(outer(0, 1), Complex(1e-100, 1e-100));
    EXPECT_EQ(outer(1, 1), Complex(1e-40, 0.0));
    EXPECT_EQ(outer(2, 2), Complex(1.0, 0.0));

    CMatrix zero = CMatrix::Zero(3, 3);
    zero_negligible_parts(zero);
    EXPECT_EQ(zero, CMatrix::Zero(3, 3));
}

TEST(VerifySvd, RejectsWrongFactors) {
    std::mt19937_64 gen(13);
    CMatrix a = random_matrix(30, 20, gen);
    Eigen::JacobiSVD<CMatrix> svd(a, Eigen::ComputeThinU | Eigen::ComputeThinV);
    const Eigen::VectorXd s = svd.singularValues();
    const CMatrix u = svd.matrixU(), v = svd.matrixV();
    EXPECT_TRUE(verify_svd(a, s, u, v));

    Eigen::VectorXd wrong_value = s;
    wrong_value[5] *= 1.0 + 1e-9;
    EXPECT_FALSE(verify_svd(a, wrong_value, u, v));
    Eigen::VectorXd unsorted = s;
    std::swap(unsorted[2], unsorted[3]);
    EXPECT_FALSE(verify_svd(a, unsorted, u, v));
    CMatrix scaled_u = u;
    scaled_u.col(4) *= 2.0;  // still reconstructs after compensating s, but not orthonormal
    Eigen::VectorXd compensated = s;
    compensated[4] /= 2.0;
    EXPECT_FALSE(verify_svd(a, compensated, scaled_u, v));
    EXPECT_FALSE(verify_svd(a, s.head(19), u.leftCols(19), v.leftCols(19)));

    ThinSvd zero;
    ASSERT_TRUE(zero.compute(CMatrix::Zero(20, 20)));
    EXPECT_EQ(zero.singular_values().maxCoeff(), 0.0);
}

TEST(ScratchMatrix, GrowsOnlyAndKeepsCapacity) {
    ScratchMatrix scratch;
    EXPECT_EQ(scratch.capacity(), 0u);
    CMap big = scratch.view(10, 10);
    EXPECT_EQ(scratch.capacity(), 100u);
    EXPECT_EQ(big(9, 9), Complex(0.0, 0.0));  // zeroed when allocated
    big(0, 0) = Complex(5.0, 0.0);
    CMap small = scratch.view(2, 3);
    EXPECT_EQ(scratch.capacity(), 100u);
    EXPECT_EQ(small.rows(), 2);
    EXPECT_EQ(small.cols(), 3);
    EXPECT_EQ(small(0, 0), Complex(5.0, 0.0));  // reused, not cleared
    scratch.view(20, 6);
    EXPECT_EQ(scratch.capacity(), 120u);
}

}  // namespace
}  // namespace nivra::mps
