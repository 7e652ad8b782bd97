#pragma once
// Failure conventions shared by every subsystem.
//
// Domain failures are values: a fallible operation returns std::expected<T, E>
// where E is the subsystem's error type and E::message() gives the exact text
// shown to users. An InvariantError is different: it means the library itself
// broke a promise (an index the code trusted was out of range, a size did not
// fit). It is thrown, never returned, and reaches Python as RuntimeError.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace nivra {

class InvariantError : public std::logic_error {
public:
    explicit InvariantError(const std::string& what) : std::logic_error(what) {}
};

// Throws InvariantError with `message`. Kept out of line so call sites stay small.
[[noreturn]] void invariant_failure(const std::string& message);

// Checks a condition the code relies on; unlike assert it is never compiled out.
inline void check_invariant(bool condition, const char* message) {
    if (!condition) [[unlikely]] {
        invariant_failure(message);
    }
}

// Index check for containers the code trusts: throws instead of reading out of bounds.
inline void check_index(std::size_t index, std::size_t size, const char* what) {
    if (index >= size) [[unlikely]] {
        invariant_failure(std::string(what) + ": index " + std::to_string(index) + " out of bounds for length " +
                          std::to_string(size));
    }
}

// Checked arithmetic for sizes derived from user input. Each returns false on
// overflow and leaves `out` unspecified.
template <class T>
[[nodiscard]] inline bool checked_add(T a, T b, T& out) {
    return !__builtin_add_overflow(a, b, &out);
}
template <class T>
[[nodiscard]] inline bool checked_mul(T a, T b, T& out) {
    return !__builtin_mul_overflow(a, b, &out);
}

// Multiplies sizes or throws std::bad_array_new_length (a std::bad_alloc: no
// allocator could satisfy the request, so it reaches Python as MemoryError).
std::size_t mul_size_or_throw(std::size_t a, std::size_t b);

}  // namespace nivra
