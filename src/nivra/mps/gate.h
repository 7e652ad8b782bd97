#pragma once
// The dense two-qubit matrix a two-site update applies.

#include <expected>

#include "nivra/core/gate.h"
#include "nivra/mps/mps.h"

namespace nivra::mps {

// Gate::matrix of the instance, unchanged: basis index 2·x_first + x_second
// over its first and second target. Checks in order: external controls
// (ControlledGate), a matrix that is not 4×4 or any GateError
// (UnsupportedGate), then any of the 32 real numbers NaN or infinite
// (NonFiniteMatrix); each carries the gate kind's name.
std::expected<Matrix4, MpsError> matrix_4x4(const GateInstance& gate);

}  // namespace nivra::mps
