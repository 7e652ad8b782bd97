#pragma once
// How far a gate matrix is from unitary.

#include "nivra/core/gate.h"

namespace nivra::sv::validation {

// max over all (r, s) of |(U·U^H − I)[r][s]|, rows r outer and s inner,
// starting from 0; NaN as soon as one modulus is NaN.
double unitarity_deviation(const GateMatrix& m);

}  // namespace nivra::sv::validation
