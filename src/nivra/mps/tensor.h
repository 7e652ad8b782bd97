#pragma once
// Site: one tensor of a matrix product state, with a physical index of
// dimension 2 between a left and a right bond.
//
// Layout. Entry (l, p, r), l < chi_left, p ∈ {0, 1}, r < chi_right, lies at
//
//     data[(2·l + p)·chi_right + r]
//
// and the one buffer is read as two row-major matrices:
//
//     left view   (2·chi_left) × chi_right     row 2·l + p,  column r
//     right view  chi_left × (2·chi_right)     row l,        column p·chi_right + r
//
//     right view of a site with chi_left = 2, chi_right = 3:
//         l=0: [ (0,0,0) (0,0,1) (0,0,2) | (0,1,0) (0,1,1) (0,1,2) ]
//         l=1: [ (1,0,0) (1,0,1) (1,0,2) | (1,1,0) (1,1,1) (1,1,2) ]
//     the same buffer as the left view, whose rows are the six half-rows above.

#include <Eigen/Core>
#include <cstddef>
#include <span>
#include <vector>

#include "nivra/core/complex.h"

namespace nivra::mps {

// Column-major, Eigen's native order: what the factorisations work on.
using CMatrix = Eigen::Matrix<Complex, Eigen::Dynamic, Eigen::Dynamic>;
// Row-major: the layout of a site's two views.
using RowMatrix = Eigen::Matrix<Complex, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using RowMap = Eigen::Map<RowMatrix>;
using ConstRowMap = Eigen::Map<const RowMatrix>;

struct Site {
    // Invariant: data.size() == chi_left · 2 · chi_right. The fields are open
    // so the state's algorithms can rewrite a site in place; every view checks
    // the invariant and throws InvariantError ("assertion failed: size ==
    // Some(len)") when it does not hold.
    std::vector<Complex> data;
    std::size_t chi_left = 1;
    std::size_t chi_right = 1;

    // The product-state site |0⟩ with both bonds 1.
    static Site zero();

    // Entry (l, p, r); throws InvariantError outside the tensor.
    Complex& at(std::size_t l, std::size_t p, std::size_t r);
    const Complex& at(std::size_t l, std::size_t p, std::size_t r) const;

    RowMap left_view();
    ConstRowMap left_view() const;
    RowMap right_view();
    ConstRowMap right_view() const;

    // Sets the bonds to (chi_left, chi_right) and left-view entry (row, col)
    // to q(row, col) for row < 2·chi_left, col < chi_right. `q` must have at
    // least that many rows and columns (else InvariantError).
    void fill_left_from(const Eigen::Ref<const CMatrix>& q, std::size_t chi_left, std::size_t chi_right);

    // Sets the bonds to (chi_left, chi_right) and right-view entry (i, j) to
    // conj(v(j, i)) · scale[i] for i < chi_left, j < 2·chi_right: the site
    // becomes diag(scale)·V^H restricted to the first chi_left columns of V.
    // Each product is a complex product with a zero imaginary part. `v` needs
    // at least 2·chi_right rows and chi_left columns, `scale` chi_left entries.
    void fill_right_from_scaled_conj(const Eigen::Ref<const CMatrix>& v, std::span<const double> scale,
                                     std::size_t chi_left, std::size_t chi_right);

    // Sets the bonds to (chi_left, chi_right) and the right view to `m`, which
    // must be exactly chi_left × (2·chi_right).
    void assign_right_view(const Eigen::Ref<const CMatrix>& m, std::size_t chi_left, std::size_t chi_right);

private:
    // Throws unless data.size() == chi_left · 2 · chi_right.
    void check_size() const;
    // Sets the bonds and resizes data to match them.
    void reshape(std::size_t new_chi_left, std::size_t new_chi_right);
};

}  // namespace nivra::mps
