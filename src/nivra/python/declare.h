#pragma once
// Python callables declared once. A function, method, property or constructor
// is a typed C++ function plus one declaration of its Python name, parameters
// (with keyword-only marker and defaults) and docstring:
//
//   nb::object run(Reading<PyCircuit> circuit, std::uint32_t shots, ...);
//   constexpr auto RUN = function<&run>("run", {"circuit", kwonly, arg("shots") = 1024, ...}, "Run ...")
//                            .returning("RunResult");
//   add<RUN>(m);
//
// From the declaration come the CPython builtin (a METH_FASTCALL|METH_KEYWORDS
// trampoline over parse_args), its docstring with the text signature header
//   "run(circuit, *, shots=1024, ...)\n--\n\nRun ..."
// the conversion of every argument by its C++ type (Param<T>, in signature
// order, before the body runs), and the Python annotations the stub generator
// reads back through nivra_stub_types() (see stub_types below).
//
// Parameter types and their conversions (convert.h has the messages):
//   std::uint8_t/uint32_t/uint64_t, double, std::string   int / float / str
//   std::vector<std::uint32_t>, std::vector<double>       Sequence[...] (not a str)
//   std::vector<std::vector<double>>                      Sequence[Sequence[float]]
//   std::optional<T>                                      None or T
//   const T&  (T a bound class)                           an instance of T's class
//   Reading<T> / Writing<T>                               the same, borrowed shared / exclusively
//   nb::handle                                            the object as given; its annotation is
//                                                         written in the declaration: arg("q", "int")
// A method's first C++ parameter is `self` (T&, const T&, Reading<T> or
// Writing<T>, taken before any argument is converted); a constructor's first
// is the class being instantiated (nb::handle); with "**name" among the
// parameters the last is an nb::list of the extra (key, value) pairs.
//
// Return types: void (None), integers (int), double (float), std::string
// (str), or nb::object, whose annotation the declaration gives with
// .returning(...).

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/python/borrow.h"
#include "nivra/python/callable.h"
#include "nivra/python/convert.h"
#include "nivra/python/objects.h"

namespace nivra::python {

// --- Parameters -------------------------------------------------------------------

struct NoneDefault {};
// The default None: `arg("seed") = none`.
inline constexpr NoneDefault none{};

// One entry of a parameter list: a parameter (with an optional default and
// annotation), the keyword-only marker "*", or "**name" collecting unknown
// keywords.
struct Arg {
    enum class Default : std::uint8_t { Required, Int, Str, None };

    const char* name;
    const char* py_type = nullptr;  // annotation, where the C++ type does not decide it
    Default def = Default::Required;
    long long int_value = 0;
    const char* str_value = nullptr;

    constexpr Arg() : name("") {}
    constexpr Arg(const char* name) : name(name) {}
    constexpr Arg(const char* name, const char* py_type) : name(name), py_type(py_type) {}

    // `arg("shots") = 1024`: a copy with the default (only on a temporary, so
    // that plain assignment between Args stays the ordinary one).
    template <std::integral I>
    constexpr Arg operator=(I value) && {
        Arg a = *this;
        a.def = Default::Int;
        a.int_value = static_cast<long long>(value);
        return a;
    }
    constexpr Arg operator=(const char* value) && {
        Arg a = *this;
        a.def = Default::Str;
        a.str_value = value;
        return a;
    }
    constexpr Arg operator=(NoneDefault) && {
        Arg a = *this;
        a.def = Default::None;
        return a;
    }

    constexpr bool is_kwonly_marker() const { return name[0] == '*' && name[1] == '\0'; }
    constexpr bool is_var_keywords() const { return name[0] == '*' && name[1] == '*'; }
    constexpr bool is_parameter() const { return name[0] != '*'; }
};

constexpr Arg arg(const char* name) { return Arg(name); }
constexpr Arg arg(const char* name, const char* py_type) { return Arg(name, py_type); }
// Everything after it is keyword-only.
inline constexpr Arg kwonly{"*"};

// How an argument of type T is converted, and its annotation in the stubs.
template <class T>
struct Param;

template <>
struct Param<std::uint8_t> {
    static std::uint8_t convert(nanobind::handle obj, const char* name) { return to_u8(obj, name); }
    static std::string py_type() { return "int"; }
};
template <>
struct Param<std::uint32_t> {
    static std::uint32_t convert(nanobind::handle obj, const char* name) { return to_u32(obj, name); }
    static std::string py_type() { return "int"; }
};
template <>
struct Param<std::uint64_t> {
    static std::uint64_t convert(nanobind::handle obj, const char* name) { return to_u64(obj, name); }
    static std::string py_type() { return "int"; }
};
template <>
struct Param<double> {
    static double convert(nanobind::handle obj, const char* name) { return to_f64(obj, name); }
    static std::string py_type() { return "float"; }
};
template <>
struct Param<std::string> {
    static std::string convert(nanobind::handle obj, const char* name) { return to_str(obj, name); }
    static std::string py_type() { return "str"; }
};
template <>
struct Param<std::vector<std::uint32_t>> {
    static std::vector<std::uint32_t> convert(nanobind::handle obj, const char* name) { return to_u32_list(obj, name); }
    static std::string py_type() { return "Sequence[int]"; }
};
template <>
struct Param<std::vector<double>> {
    static std::vector<double> convert(nanobind::handle obj, const char* name) { return to_f64_list(obj, name); }
    static std::string py_type() { return "Sequence[float]"; }
};
template <>
struct Param<std::vector<std::vector<double>>> {
    static std::vector<std::vector<double>> convert(nanobind::handle obj, const char* name) {
        return to_f64_rows(obj, name);
    }
    static std::string py_type() { return "Sequence[Sequence[float]]"; }
};
template <>
struct Param<nanobind::handle> {
    static nanobind::handle convert(nanobind::handle obj, const char*) { return obj; }
    static std::string py_type() { return {}; }  // the declaration's
};
template <class T>
struct Param<std::optional<T>> {
    static std::optional<T> convert(nanobind::handle obj, const char* name) {
        if (obj.is_none()) return std::nullopt;
        return Param<T>::convert(obj, name);
    }
    static std::string py_type() { return Param<T>::py_type() + " | None"; }
};

// The Python name of T's bound class.
template <class T>
std::string class_name() {
    return nanobind::cast<std::string>(nanobind::type<T>().attr("__name__"));
}

template <class T>
    requires std::is_class_v<T>
struct Param<const T&> {
    static const T& convert(nanobind::handle obj, const char* name) {
        // The class name is looked up only for the message.
        if (!nanobind::isinstance<T>(obj)) raise_wrong_class(obj, name, class_name<T>().c_str());
        return native<T>(obj.ptr());
    }
    static std::string py_type() { return class_name<T>(); }
};

// An instance borrowed shared while the call runs (from its conversion on).
template <class T>
struct Reading {
    const T& value;
    BorrowFlag::Shared guard;

    explicit Reading(const T& v) : value(v), guard(v.borrow) {}
    const T* operator->() const { return &value; }
};

// An instance borrowed exclusively while the call runs (from its conversion on).
template <class T>
struct Writing {
    T& value;
    BorrowFlag::Exclusive guard;

    explicit Writing(T& v) : value(v), guard(v.borrow) {}
    T* operator->() const { return &value; }
};

template <class T>
struct Param<Reading<T>> {
    static Reading<T> convert(nanobind::handle obj, const char* name) {
        return Reading<T>(Param<const T&>::convert(obj, name));
    }
    static std::string py_type() { return class_name<T>(); }
};

// `self` of a method: the descriptor has already checked its class.
template <class T>
struct Self;
template <class T>
struct Self<T&> {
    static T& convert(PyObject* self) { return native<std::remove_const_t<T>>(self); }
};
template <class T>
struct Self<Reading<T>> {
    static Reading<T> convert(PyObject* self) { return Reading<T>(native<T>(self)); }
};
template <class T>
struct Self<Writing<T>> {
    static Writing<T> convert(PyObject* self) { return Writing<T>(native<T>(self)); }
};

// A result as a Python object, and its annotation.
template <class R>
struct Result;
template <>
struct Result<nanobind::object> {
    static nanobind::object convert(nanobind::object value) { return value; }
    static constexpr const char* py_type = nullptr;  // the declaration's
};
template <class R>
    requires std::unsigned_integral<R>
struct Result<R> {
    static nanobind::object convert(R value) { return nanobind::int_(value); }
    static constexpr const char* py_type = "int";
};
template <>
struct Result<double> {
    static nanobind::object convert(double value) { return nanobind::float_(value); }
    static constexpr const char* py_type = "float";
};
template <>
struct Result<std::string> {
    static nanobind::object convert(const std::string& value) { return nanobind::str(value.data(), value.size()); }
    static constexpr const char* py_type = "str";
};

// --- Declarations -----------------------------------------------------------------

enum class Kind : std::uint8_t { Function, Method, StaticMethod, Property, Constructor };

template <class F>
struct Signature;
template <class R, class... P>
struct Signature<R (*)(P...)> {
    using Return = R;
    using Params = std::tuple<P...>;
};
template <class F>
struct Signature<const F> : Signature<F> {};

// One declared callable: F and what Python sees of it.
template <auto F, std::size_t N>
struct Def {
    static constexpr auto function = F;

    Kind kind;
    const char* qualname;  // "run", "Circuit.h", "Circuit.__new__": in messages
    std::array<Arg, N> args;
    const char* doc;
    const char* returns = nullptr;  // the result's annotation, for an nb::object result

    constexpr Def returning(const char* py_type) const {
        Def d = *this;
        d.returns = py_type;
        return d;
    }
    // The Python name: the qualname after its last dot.
    constexpr const char* name() const {
        const char* last = qualname;
        for (const char* p = qualname; *p != '\0'; ++p) {
            if (*p == '.') last = p + 1;
        }
        return last;
    }
    constexpr std::size_t num_params() const {
        std::size_t n = 0;
        for (const Arg& a : args) n += a.is_parameter() ? 1 : 0;
        return n;
    }
    constexpr bool var_keywords() const {
        for (const Arg& a : args) {
            if (a.is_var_keywords()) return true;
        }
        return false;
    }
};

template <auto F, std::size_t N>
constexpr Def<F, N> declare(Kind kind, const char* qualname, const std::array<Arg, N>& args, const char* doc) {
    return Def<F, N>{kind, qualname, args, doc};
}

// The declaration of F as a callable of kind K: `(qualname, {parameters}, doc)`,
// or `(qualname, doc)` without parameters.
template <auto F, Kind K>
struct Declare {
    template <std::size_t N>
    constexpr Def<F, N> operator()(const char* qualname, const Arg (&args)[N], const char* doc) const {
        return declare<F>(K, qualname, std::to_array(args), doc);
    }
    constexpr Def<F, 0> operator()(const char* qualname, const char* doc) const {
        return Def<F, 0>{K, qualname, {}, doc};
    }
};

template <auto F>
inline constexpr Declare<F, Kind::Function> function{};
template <auto F>
inline constexpr Declare<F, Kind::Method> method{};
template <auto F>
inline constexpr Declare<F, Kind::StaticMethod> static_method{};
// A read-only property; `doc` (or null) is the property's own docstring.
template <auto F>
inline constexpr Declare<F, Kind::Property> property{};
// A class's tp_new; `doc` is the class docstring, which carries the text signature.
template <auto F>
inline constexpr Declare<F, Kind::Constructor> constructor{};

namespace detail {

// The parameter names of D in order, markers left out.
template <const auto& D>
constexpr auto param_names() {
    std::array<const char*, D.num_params()> names{};
    std::size_t k = 0;
    for (const Arg& a : D.args) {
        if (a.is_parameter()) names[k++] = a.name;
    }
    return names;
}

template <const auto& D>
constexpr std::array<Arg, D.num_params()> params() {
    std::array<Arg, D.num_params()> out{};
    std::size_t k = 0;
    for (const Arg& a : D.args) {
        if (a.is_parameter()) out[k++] = a;
    }
    return out;
}

template <const auto& D>
constexpr ParamSpec param_spec() {
    std::size_t positional = 0;
    std::size_t required = 0;
    bool kwonly_seen = false;
    for (const Arg& a : D.args) {
        if (a.is_kwonly_marker()) kwonly_seen = true;
        if (!a.is_parameter()) continue;
        if (!kwonly_seen) ++positional;
        if (a.def == Arg::Default::Required) ++required;
    }
    return ParamSpec{D.qualname, {}, positional, required, D.var_keywords()};
}

// Whether the declared default of `a` can initialise a parameter of type T
// (None is the converter's to interpret).
template <class T>
constexpr bool default_fits(const Arg& a) {
    using V = std::remove_cvref_t<T>;
    switch (a.def) {
        case Arg::Default::Required:
        case Arg::Default::None:
            return true;
        case Arg::Default::Int:
            if constexpr (std::is_integral_v<V>) {
                return std::in_range<V>(a.int_value);
            } else {
                return false;
            }
        case Arg::Default::Str:
            return std::is_constructible_v<V, const char*>;
    }
    return false;
}

// Every default of D fits its parameter, and no required parameter follows
// one with a default (parse_args takes the first `required` as the required ones).
template <const auto& D, class P, std::size_t Lead, std::size_t... I>
constexpr bool well_formed(std::index_sequence<I...>) {
    constexpr auto declared = params<D>();
    bool defaulted = false;
    for (const Arg& a : declared) {
        if (a.def == Arg::Default::Required && defaulted) return false;
        defaulted = defaulted || a.def != Arg::Default::Required;
    }
    return (default_fits<std::tuple_element_t<Lead + I, P>>(declared[I]) && ...);
}

// The argument for `a` of C++ type T: converted, or the default when absent.
template <class T>
T argument(PyObject* obj, const Arg& a) {
    using V = std::remove_cvref_t<T>;
    if (obj != nullptr) return Param<T>::convert(obj, a.name);
    switch (a.def) {
        case Arg::Default::None:
            return Param<T>::convert(nanobind::none(), a.name);
        case Arg::Default::Int:
            if constexpr (std::is_integral_v<V>) {
                return static_cast<V>(a.int_value);
            } else {
                break;
            }
        case Arg::Default::Str:
            if constexpr (std::is_constructible_v<V, const char*>) {
                return V(a.str_value);
            } else {
                break;
            }
        case Arg::Default::Required:
            break;
    }
    invariant_failure(std::string("declared default does not fit parameter ") + a.name);
}

template <auto F>
using Params = typename Signature<decltype(F)>::Params;

struct NoExtra {};
// The extra keywords of D: a list only when it collects them (an empty list
// costs an allocation per call).
template <const auto& D>
using Extra = std::conditional_t<D.var_keywords(), nanobind::list, NoExtra>;

// Calls F with `lead` (self or the class, already converted; nothing when
// Lead is 0), the declared parameters converted in order, then `extra` when D
// collects keywords.
template <const auto& D, auto F, std::size_t Lead, class LeadValue, std::size_t... I>
auto call(LeadValue&& lead, PyObject** out, Extra<D>& extra, std::index_sequence<I...>) {
    using P = Params<F>;
    [[maybe_unused]] static constexpr auto declared = params<D>();
    auto lead_part = [&] {
        if constexpr (Lead == 1) {
            return std::tuple<std::tuple_element_t<0, P>>{std::forward<LeadValue>(lead)};
        } else {
            return std::tuple<>{};
        }
    }();
    // Braced initialisation converts in signature order.
    std::tuple<std::tuple_element_t<Lead + I, P>...> declared_part{
        argument<std::tuple_element_t<Lead + I, P>>(out[I], declared[I])...};
    auto extra_part = [&] {
        if constexpr (D.var_keywords()) {
            return std::tuple<nanobind::list>{std::move(extra)};
        } else {
            return std::tuple<>{};
        }
    }();
    return std::apply(F, std::tuple_cat(std::move(lead_part), std::move(declared_part), std::move(extra_part)));
}

}  // namespace detail

// --- Invocation ---------------------------------------------------------------------

// Parses and converts the arguments of D and calls its function; the result
// as a Python object. `lead` is self (methods) or the class (constructors).
template <const auto& D>
nanobind::object invoke(PyObject* lead, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr auto F = std::remove_cvref_t<decltype(D)>::function;
    using P = detail::Params<F>;
    using R = typename Signature<decltype(F)>::Return;
    constexpr std::size_t count = D.num_params();
    constexpr std::size_t has_lead = D.kind == Kind::Method || D.kind == Kind::Property || D.kind == Kind::Constructor;
    static_assert(std::tuple_size_v<P> == has_lead + count + (D.var_keywords() ? 1 : 0),
                  "the declaration names every parameter of the function");
    static_assert(detail::well_formed<D, P, has_lead>(std::make_index_sequence<count>{}),
                  "every default fits its parameter, and required parameters come first");
    static constexpr auto names = detail::param_names<D>();
    static constexpr ParamSpec base = detail::param_spec<D>();
    PyObject* out[count == 0 ? 1 : count];
    detail::Extra<D> extra;
    if constexpr (D.kind != Kind::Property) {
        ParamSpec spec = base;
        spec.names = std::span<const char* const>(names.data(), count);
        if constexpr (D.var_keywords()) {
            parse_args(spec, args, nargs, kwnames, out, &extra);
        } else {
            parse_args(spec, args, nargs, kwnames, out);
        }
    }
    auto run = [&] {
        if constexpr (D.kind == Kind::Constructor) {
            return detail::call<D, F, 1>(nanobind::handle(lead), out, extra, std::make_index_sequence<count>{});
        } else if constexpr (has_lead) {
            using SelfType = std::tuple_element_t<0, P>;
            return detail::call<D, F, 1>(Self<SelfType>::convert(lead), out, extra, std::make_index_sequence<count>{});
        } else {
            return detail::call<D, F, 0>(nullptr, out, extra, std::make_index_sequence<count>{});
        }
    };
    if constexpr (std::is_void_v<R>) {
        run();
        return nanobind::none();
    } else {
        return Result<R>::convert(run());
    }
}

// The METH_FASTCALL | METH_KEYWORDS entry point of D.
template <const auto& D>
PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        return invoke<D>(self, args, nargs, kwnames).release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// --- Text signatures and stub annotations -----------------------------------------------

// Compile-time text: each writer appends at out[n..] and returns the new
// length; with `out` null it only counts, so a first pass sizes the array the
// second one fills.
constexpr std::size_t put_text(char* out, std::size_t n, std::string_view part) {
    for (char c : part) {
        if (out != nullptr) out[n] = c;
        ++n;
    }
    return n;
}

// `value` in decimal.
constexpr std::size_t put_decimal(char* out, std::size_t n, long long value) {
    if (value < 0) n = put_text(out, n, "-");
    unsigned long long rest = value < 0 ? 0ULL - static_cast<unsigned long long>(value) : value;
    char digits[20] = {};
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    while (count > 0) n = put_text(out, n, std::string_view(&digits[--count], 1));
    return n;
}

// The rendered default of `a` ("=1024", "=\"auto\"", "=None"), nothing without one.
constexpr std::size_t put_default(char* out, std::size_t n, const Arg& a) {
    switch (a.def) {
        case Arg::Default::Required:
            return n;
        case Arg::Default::Int:
            return put_decimal(out, put_text(out, n, "="), a.int_value);
        case Arg::Default::Str:
            // Declared defaults are plain words; nothing in them needs escaping.
            return put_text(out, put_text(out, put_text(out, n, "=\""), a.str_value), "\"");
        case Arg::Default::None:
            return put_text(out, n, "=None");
    }
    return n;
}

// "name($self, a, *, b=1)\n--\n\n" (the header CPython reads __text_signature__
// from), then `doc`.
constexpr std::size_t put_signed_doc(char* out, std::string_view name, bool method, std::span<const Arg> args,
                                     std::string_view doc) {
    std::size_t n = put_text(out, put_text(out, 0, name), "(");
    bool first = true;
    if (method) {
        n = put_text(out, n, "$self");
        first = false;
    }
    for (const Arg& a : args) {
        if (!first) n = put_text(out, n, ", ");
        first = false;
        n = put_default(out, put_text(out, n, a.name), a);
    }
    return put_text(out, put_text(out, n, ")\n--\n\n"), doc);
}

namespace detail {

// The Python name D's text signature shows: a constructor's is its class's.
template <const auto& D>
constexpr std::string_view signature_name() {
    const std::string_view qualname(D.qualname);
    return D.kind == Kind::Constructor ? qualname.substr(0, qualname.find('.')) : std::string_view(D.name());
}

// D's docstring with its text signature first, NUL-terminated, written at compile time.
template <const auto& D>
inline constexpr auto SIGNED_DOC = [] {
    constexpr bool method = D.kind == Kind::Method;
    std::array<char, put_signed_doc(nullptr, signature_name<D>(), method, D.args, D.doc) + 1> text{};
    put_signed_doc(text.data(), signature_name<D>(), method, D.args, D.doc);
    return text;
}();

}  // namespace detail

// The annotations of one declaration: one per parameter ("**name" included), then the result's.
struct StubTypes {
    std::vector<std::string> params;
    std::string result;
};

// Keeps `types` under `qualname` for stub_types(); the types are computed when
// asked for, once every class exists. Only the first record of a qualname counts.
void record_stub_types(const char* qualname, StubTypes (*types)());

// {qualname: ([parameter annotations], result annotation)} of every declaration
// added so far. The stub generator reads it through the exported C function
// nivra_stub_types() (ctypes), so the module's namespace stays as documented.
nanobind::object stub_types();

namespace detail {

template <const auto& D, std::size_t... I>
StubTypes stub_types_of(std::index_sequence<I...>) {
    constexpr auto F = std::remove_cvref_t<decltype(D)>::function;
    using P = Params<F>;
    using R = typename Signature<decltype(F)>::Return;
    constexpr std::size_t lead = D.kind == Kind::Method || D.kind == Kind::Property || D.kind == Kind::Constructor;
    [[maybe_unused]] static constexpr auto declared = params<D>();
    StubTypes types;
    [[maybe_unused]] auto annotation = [](const Arg& a, std::string derived) {
        if (a.py_type != nullptr) return std::string(a.py_type);
        if (derived.empty()) invariant_failure(std::string("no annotation for parameter ") + a.name);
        return derived;
    };
    (types.params.push_back(annotation(declared[I], Param<std::tuple_element_t<lead + I, P>>::py_type())), ...);
    for (const Arg& a : D.args) {
        if (a.is_var_keywords()) types.params.push_back(a.py_type != nullptr ? a.py_type : "object");
    }
    if constexpr (D.kind == Kind::Constructor) {
        const std::string_view qualname(D.qualname);
        types.result = qualname.substr(0, qualname.find('.'));
    } else if constexpr (std::is_void_v<R>) {
        types.result = "None";
    } else {
        const char* result = D.returns != nullptr ? D.returns : Result<R>::py_type;
        if (result == nullptr) invariant_failure(std::string("no result annotation for ") + D.qualname);
        types.result = result;
    }
    return types;
}

template <const auto& D>
StubTypes stub_types_of() {
    return stub_types_of<D>(std::make_index_sequence<D.num_params()>{});
}

}  // namespace detail

// The method table entry of D (static storage, made on first use), its types recorded.
template <const auto& D>
PyMethodDef* method_def() {
    // A property's getter has no docstring of its own: the property carries D.doc.
    constexpr const char* doc = [] {
        if constexpr (D.kind == Kind::Property) {
            return static_cast<const char*>(nullptr);
        } else {
            return detail::SIGNED_DOC<D>.data();
        }
    }();
    static PyMethodDef def{D.name(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&trampoline<D>)),
                           METH_FASTCALL | METH_KEYWORDS, doc};
    record_stub_types(D.qualname, &detail::stub_types_of<D>);
    return &def;
}

// Adds D to `scope`: a module for functions, a class for the other kinds.
template <const auto& D>
void add(nanobind::handle scope) {
    static_assert(D.kind != Kind::Constructor,
                  "a constructor is the class's tp_new: construct<D>, with class_doc<D>()");
    if constexpr (D.kind == Kind::Function) {
        nanobind::module_ m = nanobind::borrow<nanobind::module_>(scope);
        add_function(m, method_def<D>());
    } else if constexpr (D.kind == Kind::Method) {
        add_method(scope, method_def<D>());
    } else if constexpr (D.kind == Kind::StaticMethod) {
        add_static_method(scope, method_def<D>());
    } else {
        add_property(scope, method_def<D>(), D.doc);
    }
}

// tp_new of a class built by constructor D: its function receives the class and
// returns the whole instance (or raises), so no half-made object is ever seen.
template <const auto& D>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        VectorcallArgs call(args, kwargs);
        return invoke<D>(reinterpret_cast<PyObject*>(type), call.args(), call.nargs(), call.kwnames()).release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// The docstring of D's class (static storage), its text signature first; its
// types recorded as "<Class>.__new__".
template <const auto& D>
const char* class_doc() {
    static_assert(D.kind == Kind::Constructor);
    record_stub_types(D.qualname, &detail::stub_types_of<D>);
    return detail::SIGNED_DOC<D>.data();
}

// Adds every declaration to `scope`, in order.
template <const auto&... D>
void add_all(nanobind::handle scope) {
    (add<D>(scope), ...);
}

}  // namespace nivra::python
