#include "nivra/mps/tensor.h"

#include <string>

#include "nivra/core/error.h"

namespace nivra::mps {

namespace {

std::size_t tensor_size(std::size_t chi_left, std::size_t chi_right) {
    return mul_size_or_throw(mul_size_or_throw(chi_left, 2), chi_right);
}

}  // namespace

Site Site::zero() {
    Site site;
    site.data = {Complex(1.0, 0.0), Complex(0.0, 0.0)};
    return site;
}

void Site::check_size() const {
    std::size_t len = 0;
    const bool fits = checked_mul(chi_left, std::size_t{2}, len) && checked_mul(len, chi_right, len);
    if (!fits || data.size() != len) [[unlikely]] {
        invariant_failure("assertion failed: size == Some(len)");
    }
}

void Site::reshape(std::size_t new_chi_left, std::size_t new_chi_right) {
    data.resize(tensor_size(new_chi_left, new_chi_right));
    chi_left = new_chi_left;
    chi_right = new_chi_right;
}

Complex& Site::at(std::size_t l, std::size_t p, std::size_t r) {
    check_size();
    check_index(l, chi_left, "Site::at: left bond");
    check_index(p, 2, "Site::at: physical index");
    check_index(r, chi_right, "Site::at: right bond");
    return data[(2 * l + p) * chi_right + r];
}

const Complex& Site::at(std::size_t l, std::size_t p, std::size_t r) const {
    return const_cast<Site*>(this)->at(l, p, r);
}

RowMap Site::left_view() {
    check_size();
    return RowMap(data.data(), static_cast<Eigen::Index>(2 * chi_left), static_cast<Eigen::Index>(chi_right));
}

ConstRowMap Site::left_view() const {
    check_size();
    return ConstRowMap(data.data(), static_cast<Eigen::Index>(2 * chi_left), static_cast<Eigen::Index>(chi_right));
}

RowMap Site::right_view() {
    check_size();
    return RowMap(data.data(), static_cast<Eigen::Index>(chi_left), static_cast<Eigen::Index>(2 * chi_right));
}

ConstRowMap Site::right_view() const {
    check_size();
    return ConstRowMap(data.data(), static_cast<Eigen::Index>(chi_left), static_cast<Eigen::Index>(2 * chi_right));
}

void Site::fill_left_from(const Eigen::Ref<const CMatrix>& q, std::size_t new_chi_left, std::size_t new_chi_right) {
    const std::size_t rows = mul_size_or_throw(new_chi_left, 2);
    check_invariant(static_cast<std::size_t>(q.rows()) >= rows && static_cast<std::size_t>(q.cols()) >= new_chi_right,
                    "Site::fill_left_from: source matrix too small");
    reshape(new_chi_left, new_chi_right);
    RowMap view = left_view();
    view = q.topLeftCorner(view.rows(), view.cols());
}

void Site::fill_right_from_scaled_conj(const Eigen::Ref<const CMatrix>& v, std::span<const double> scale,
                                       std::size_t new_chi_left, std::size_t new_chi_right) {
    const std::size_t cols = mul_size_or_throw(new_chi_right, 2);
    check_invariant(static_cast<std::size_t>(v.rows()) >= cols && static_cast<std::size_t>(v.cols()) >= new_chi_left,
                    "Site::fill_right_from_scaled_conj: source matrix too small");
    check_invariant(scale.size() >= new_chi_left, "Site::fill_right_from_scaled_conj: too few scale factors");
    reshape(new_chi_left, new_chi_right);
    for (std::size_t i = 0; i < new_chi_left; ++i) {
        const Complex factor(scale[i], 0.0);
        Complex* row = data.data() + i * cols;
        const Complex* column = v.data() + static_cast<std::size_t>(v.outerStride()) * i;
        for (std::size_t j = 0; j < cols; ++j) {
            row[j] = std::conj(column[j]) * factor;
        }
    }
}

void Site::assign_right_view(const Eigen::Ref<const CMatrix>& m, std::size_t new_chi_left, std::size_t new_chi_right) {
    check_invariant(static_cast<std::size_t>(m.rows()) == new_chi_left &&
                        static_cast<std::size_t>(m.cols()) == mul_size_or_throw(new_chi_right, 2),
                    "Site::assign_right_view: shape mismatch");
    reshape(new_chi_left, new_chi_right);
    right_view() = m;
}

}  // namespace nivra::mps
