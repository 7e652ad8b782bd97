// The nivra._native module body. Each area registers its names in the order
// the module exposes them; nothing else starts at import (the thread pool and
// the tuning values start on first use).

#include <nanobind/nanobind.h>

#include "nivra/python/declare.h"
#include "nivra/python/register.h"

namespace nb = nanobind;

namespace nivra::python {
namespace {

std::string version() { return VERSION; }

constexpr auto VERSION_FN = function<&version>("version", "The package version.");

}  // namespace
}  // namespace nivra::python

NB_MODULE(_native, m) {
    using namespace nivra::python;
    // Objects still alive when the interpreter exits are freed by it; nothing
    // is printed about them.
    nb::set_leak_warnings(false);
    m.attr("__version__") = VERSION;
    add<VERSION_FN>(m);
    register_circuit(m);
    register_energy(m);
    register_run(m);
    register_noise(m);
    register_qec(m);  // last: the submodule follows every top-level name
}
