#pragma once
// Argument conversion with the Python-visible behaviour the API promises:
//   integers   -> TypeError for non-integers (floats included),
//                 OverflowError when negative or too large for the target type;
//   floats     -> any real number (int, float, objects with __float__/__index__);
//   texts      -> str only;
//   sequences  -> any sequence except str.
// A TypeError names the argument: "argument 'q': 'float' object cannot be
// interpreted as an integer". Other errors pass through unchanged, and so does
// a TypeError of to_u32, to_u64 and to_f64 when `name` is null (values taken
// from **kwargs, which the interpreter's own conversion reports).
//
// Every function here requires the interpreter lock. Failures are raised as
// nb::python_error (the Python error indicator is set).

#include <nanobind/nanobind.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace nivra::python {

std::uint32_t to_u32(nanobind::handle obj, const char* name);
std::uint64_t to_u64(nanobind::handle obj, const char* name);
double to_f64(nanobind::handle obj, const char* name);
std::string to_str(nanobind::handle obj, const char* name);
std::vector<std::uint32_t> to_u32_list(nanobind::handle obj, const char* name);
std::uint8_t to_u8(nanobind::handle obj, const char* name);
std::vector<double> to_f64_list(nanobind::handle obj, const char* name);
// A sequence (not a str) of sequences (not str) of floats.
std::vector<std::vector<double>> to_f64_rows(nanobind::handle obj, const char* name);
// The two items of `obj`, which must be a tuple (not any sequence) of length 2.
// The handles borrow from `obj`.
std::array<nanobind::handle, 2> to_pair(nanobind::handle obj, const char* name);
// Calls `each(item)` for every item of a sequence that is not a str.
void for_each_item(nanobind::handle obj, const char* name, void (*each)(void* context, nanobind::handle item),
                   void* context);

}  // namespace nivra::python
