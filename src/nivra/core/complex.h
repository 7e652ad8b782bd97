#pragma once
// The amplitude and matrix entry type: two 64-bit floats, real then imaginary,
// stored contiguously (std::complex guarantees the array layout).
//
// Products and quotients follow the plain textbook formulas
//   (a+bi)(c+di) = (ac-bd) + (ad+bc)i,  (a+bi)/(c+di) = ((ac+bd) + (bc-ad)i)/(c²+d²)
// because results are fixed bit for bit. The build passes -fcx-limited-range so
// that the compiler emits exactly these formulas instead of the Annex G
// infinity/NaN recovery and Smith's division; -ffp-contract=off keeps them
// from being fused into multiply-adds.

#include <complex>

namespace nivra {

using Complex = std::complex<double>;

}  // namespace nivra
