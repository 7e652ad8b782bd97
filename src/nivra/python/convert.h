#pragma once
// Argument conversion with the Python-visible behaviour the API promises:
//   integers   -> TypeError for non-integers (floats included),
//                 OverflowError when negative or too large for the target type;
//   floats     -> any real number (int, float, objects with __float__/__index__);
//   texts      -> str only;
//   sequences  -> any sequence except str.
// A TypeError names the argument: "argument 'q': 'float' object cannot be
// interpreted as an integer". Other errors pass through unchanged.
//
// Every function here requires the interpreter lock. Failures are raised as
// nb::python_error (the Python error indicator is set).

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nivra::python {

std::uint32_t to_u32(nanobind::handle obj, const char* name);
std::uint64_t to_u64(nanobind::handle obj, const char* name);
double to_f64(nanobind::handle obj, const char* name);
std::string to_str(nanobind::handle obj, const char* name);
std::vector<std::uint32_t> to_u32_list(nanobind::handle obj, const char* name);

// Raises ValueError with `message` (used for every domain error).
[[noreturn]] void raise_value_error(const std::string& message);

}  // namespace nivra::python
