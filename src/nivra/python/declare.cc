#include "nivra/python/declare.h"

namespace nb = nanobind;

namespace nivra::python {

namespace {

struct Recorded {
    const char* qualname;
    StubTypes (*types)();
};

// Written while the module body runs and read by stub_types(), both under the
// interpreter lock.
std::vector<Recorded>& recorded() {
    static std::vector<Recorded> entries;
    return entries;
}

}  // namespace

// Repeats are dropped when read, not here: a search per record would cost
// every import a quadratic walk over a hundred-odd declarations.
void record_stub_types(const char* qualname, StubTypes (*types)()) { recorded().push_back({qualname, types}); }

nb::object stub_types() {
    nb::dict out;
    for (const Recorded& r : recorded()) {
        if (out.contains(r.qualname)) continue;
        const StubTypes types = r.types();
        nb::list params;
        for (const std::string& p : types.params) params.append(nb::str(p.data(), p.size()));
        out[r.qualname] = nb::make_tuple(params, nb::str(types.result.data(), types.result.size()));
    }
    return out;
}

}  // namespace nivra::python

// Exported beside PyInit__native for the stub generator, which calls it with
// the interpreter lock held (ctypes.PyDLL): a new dict, or null with the error set.
extern "C" __attribute__((visibility("default"))) PyObject* nivra_stub_types() noexcept {
    try {
        return nivra::python::stub_types().release().ptr();
    } catch (...) {
        nivra::python::set_python_error_from_current_exception();
        return nullptr;
    }
}
