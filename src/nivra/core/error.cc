#include "nivra/core/error.h"

#include <new>

namespace nivra {

void invariant_failure(const std::string& message) { throw InvariantError(message); }

std::size_t mul_size_or_throw(std::size_t a, std::size_t b) {
    std::size_t out = 0;
    if (!checked_mul(a, b, out)) {
        throw std::bad_array_new_length();
    }
    return out;
}

}  // namespace nivra
