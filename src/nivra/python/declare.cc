#include "nivra/python/declare.h"

#include <string_view>

namespace nb = nanobind;

namespace nivra::python {

std::string default_text(const Arg& a) {
    switch (a.def) {
        case Arg::Default::Required:
            return {};
        case Arg::Default::Int:
            return "=" + std::to_string(a.int_value);
        case Arg::Default::Str:
            // Declared defaults are plain words; nothing in them needs escaping.
            return std::string("=\"") + a.str_value + "\"";
        case Arg::Default::None:
            return "=None";
    }
    invariant_failure("default_text: unknown default kind");
}

std::string text_signature(std::string_view name, bool method, std::span<const Arg> args) {
    std::string out(name);
    out += '(';
    bool first = true;
    auto separate = [&] {
        if (!first) out += ", ";
        first = false;
    };
    if (method) {
        separate();
        out += "$self";
    }
    for (const Arg& a : args) {
        separate();
        out += a.name;
        out += default_text(a);
    }
    out += ")\n--\n\n";
    return out;
}

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

void record_stub_types(const char* qualname, StubTypes (*types)()) {
    for (const Recorded& r : recorded()) {
        if (std::string_view(r.qualname) == qualname) return;
    }
    recorded().push_back({qualname, types});
}

nb::object stub_types() {
    nb::dict out;
    for (const Recorded& r : recorded()) {
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
