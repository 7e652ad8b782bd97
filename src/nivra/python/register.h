#pragma once
// One registration function per area of the module, called by module.cc in
// the order the module's names appear.

#include <nanobind/nanobind.h>

namespace nivra::python {

inline constexpr const char* VERSION = "0.3.0";


}  // namespace nivra::python
