#include "nivra/sv/validation.h"

#include <cmath>

namespace nivra::sv::validation {

double unitarity_deviation(const GateMatrix& m) {
    const std::size_t n = m.dim();
    const auto e = m.entries();
    double deviation = 0.0;
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t s = 0; s < n; ++s) {
            // Row r times the conjugate of row s.
            double re = 0.0, im = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                const Complex a = e[r * n + k], b = e[s * n + k];
                re += a.real() * b.real() + a.imag() * b.imag();
                im += a.imag() * b.real() - a.real() * b.imag();
            }
            if (r == s) {
                re -= 1.0;
            }
            const double modulus = std::hypot(re, im);
            if (std::isnan(modulus)) {
                return modulus;
            }
            if (modulus > deviation) {
                deviation = modulus;
            }
        }
    }
    return deviation;
}

}  // namespace nivra::sv::validation
