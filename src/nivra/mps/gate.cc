#include "nivra/mps/gate.h"

#include <cmath>

namespace nivra::mps {

std::expected<Matrix4, MpsError> matrix_4x4(const GateInstance& gate) {
    const std::string_view name = gate.gate.name();
    if (!gate.controls.empty()) {
        return std::unexpected(MpsError::controlled_gate(name));
    }
    auto matrix = gate.gate.matrix();
    if (!matrix || !matrix->is_m4()) {
        return std::unexpected(MpsError::unsupported_gate(name));
    }
    const Matrix4& m = matrix->m4();
    for (const Complex& z : m) {
        if (!std::isfinite(z.real()) || !std::isfinite(z.imag())) {
            return std::unexpected(MpsError::non_finite_matrix(name));
        }
    }
    return m;
}

}  // namespace nivra::mps
