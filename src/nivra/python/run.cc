// run() and RunResult: argument conversion and backend choice, then one of
// the simulation paths (run/run.h: state vector, stabilizer, MPS) or the noisy
// branch, executed with the interpreter lock released; RunResult holds the
// histogram of shots.
//
// Threads and borrows. run() converts its arguments, parses the names and
// resolves "auto" with the lock held, then releases the lock around one path.
// The Circuit (and NoiseModel) stay borrowed shared until run() returns, so
// another thread may read them but a builder raises "Already borrowed".
//
// Ctrl-C. A path runs to its end once started: the signal handler only sets
// the interpreter's flag, and KeyboardInterrupt is raised as soon as run()
// returns (its result is dropped). Nothing is lost, but a long run is not cut
// short.

#include "nivra/run/run.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "nivra/backend/backend.h"
#include "nivra/backend/select.h"
#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/core/rng.h"
#include "nivra/ir/circuit.h"
#include "nivra/python/classes.h"
#include "nivra/python/declare.h"
#include "nivra/python/noise.h"
#include "nivra/python/objects.h"
#include "nivra/python/register.h"
#include "nivra/sv/state.h"

namespace nb = nanobind;

namespace nivra::python {

namespace {

using backend::BackendKind;
using run::Histogram;
using run::PathOutcome;
using run::PathResult;

backend::Precision parse_precision(const std::string& text) {
    if (text == "auto") return backend::Precision::Auto;
    if (text == "f64" || text == "double" || text == "fp64") return backend::Precision::F64;
    if (text == "f32" || text == "single" || text == "fp32") return backend::Precision::F32;
    raise_message(PyExc_ValueError, "unknown precision " + fmt::quoted(text) + "; expected one of: auto, f64, f32");
}

// --- RunResult ------------------------------------------------------------------

// The value behind RunResult; immutable once made by run().
struct PyRunResult {
    Histogram counts;
    std::optional<sv::CpuState> statevector;
};

nb::object make_run_result(PathResult result) {
    return make_instance<PyRunResult>(nb::type<PyRunResult>(), std::move(result.counts), std::move(result.state));
}

nb::object result_counts(const PyRunResult& result) {
    const Histogram& histogram = result.counts;
    nb::object out = nb::steal(PyDict_New());
    if (!out.is_valid()) throw nb::python_error();
    for (const auto& [outcome, count] : histogram.entries) {
        const std::string text = run::histogram_key(outcome, histogram.num_qubits);
        nb::object key = nb::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        nb::object value = nb::steal(PyLong_FromUnsignedLongLong(count));
        if (!key.is_valid() || !value.is_valid() || PyDict_SetItem(out.ptr(), key.ptr(), value.ptr()) != 0) {
            throw nb::python_error();
        }
    }
    return out;
}

nb::object result_statevector(const PyRunResult& result) {
    if (!result.statevector) {
        raise_message(PyExc_ValueError,
                      "statevector is only available on the \"sv\", \"metal\", and in-core \"cuda\"/\"cuda-f32\" "
                      "backends");
    }
    const sv::CpuState& state = *result.statevector;
    const std::size_t len = state.len();
    // A fresh copy on every call, written straight into uninitialised memory
    // that the array's capsule owns and frees.
    auto copy = allocate_checked(
        saturating_mul(len, sizeof(Complex)),
        [&] { return "the returned copy of a " + fmt::display(state.num_qubits) + "-qubit state vector"; },
        [&] { return std::make_unique<AlignedBuf>(state.amps); });
    Complex* data = copy->data();
    nb::capsule owner(copy.get(), [](void* p) noexcept { delete static_cast<AlignedBuf*>(p); });
    copy.release();
    return nb::ndarray<nb::numpy, std::complex<double>, nb::ndim<1>>(data, {len}, owner).cast();
}

constexpr auto RESULT_COUNTS =
    method<&result_counts>("RunResult.counts",
                           "The histogram as a dict from bit string (qubit 0 rightmost) to shot count.")
        .returning("dict[str, int]");
constexpr auto RESULT_STATEVECTOR =
    method<&result_statevector>("RunResult.statevector",
                                "The final amplitudes as a complex128 array of length 2**num_qubits "
                                "(amplitude i has qubit q equal to bit q of i).")
        .returning("npt.NDArray[np.complex128]");

PyType_Slot result_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&no_constructor)},
    {0, nullptr},
};

// --- run --------------------------------------------------------------------------

// The circuit and the model are borrowed shared from their conversion to the
// end of the call.
nb::object run(Reading<PyCircuit> circuit_arg, std::uint32_t shots, std::string backend_text,
               std::string precision_text, std::optional<std::uint64_t> seed, NoiseArg noise) {
    const PyCircuit& circuit = circuit_arg.value;
    auto request = backend::BackendRequest::from_user_str(backend_text);
    if (!request) raise_message(PyExc_ValueError, request.error());
    const backend::Precision precision = parse_precision(precision_text);

    if (noise.present()) {
        if (!request->is_auto() && *request->kind != BackendKind::StateVector) {
            raise_message(PyExc_ValueError,
                          "noise is only supported on the \"sv\" backend, got " + fmt::quoted(backend_text));
        }
        const std::uint64_t noisy_seed = seed ? *seed : thread_rng_next_u64();
        std::expected<Histogram, std::string> counts;
        {
            nb::gil_scoped_release unlocked;
            counts = run_noisy_histogram(circuit.circuit, noise, shots, noisy_seed);
        }
        if (!counts) raise_message(PyExc_ValueError, counts.error());
        return make_run_result(PathResult{std::move(*counts), std::nullopt});
    }

    const BackendKind kind =
        request->is_auto()
            ? backend::select_explained_full(circuit.circuit, backend::BackendCaps{false, false, precision}).kind
            : *request->kind;
    PathOutcome result;
    switch (kind) {
        case BackendKind::Metal:
            raise_message(PyExc_ValueError,
                          "the \"metal\" backend is not available in this build; build the wheel with "
                          "`--features python,metal` on macOS (Apple Silicon)");
        case BackendKind::CudaF64:
        case BackendKind::CudaF32:
            raise_message(PyExc_ValueError,
                          "the \"cuda\" / \"cuda-f32\" backend is not available in this build; build the wheel with "
                          "`--features python,cuda` on a Linux + NVIDIA host");
        case BackendKind::StateVector: {
            nb::gil_scoped_release unlocked;
            result = run::run_statevector(circuit.circuit, shots, seed);
            break;
        }
        case BackendKind::Stabilizer: {
            nb::gil_scoped_release unlocked;
            result = run::run_stabilizer(circuit.circuit, shots, seed);
            break;
        }
        case BackendKind::Mps: {
            nb::gil_scoped_release unlocked;
            result = run::run_mps(circuit.circuit, shots, seed);
            break;
        }
    }
    if (!result) raise_message(PyExc_ValueError, result.error());
    return make_run_result(std::move(*result));
}

constexpr auto RUN =
    function<&run>("run",
                   {"circuit", kwonly, arg("shots") = 1024, arg("backend") = "auto", arg("precision") = "auto",
                    arg("seed") = none, arg("noise") = none},
                   "Run `circuit` once on one backend and sample the final state `shots` times.\n\n"
                   "`backend` is \"auto\", \"statevector\"/\"sv\", \"stabilizer\"/\"stab\" or \"mps\"; a `seed` makes "
                   "the run\n"
                   "reproducible. With a `noise` model each shot is a noisy state-vector trajectory. The interpreter "
                   "lock is\n"
                   "released while the run executes; a Ctrl-C meanwhile is raised when the run returns.")
        .returning("RunResult");

}  // namespace

void register_run(nb::module_& m) {
    nb::object cls;
    {
        BareClassScope bare(m);
        cls =
            nb::class_<PyRunResult>(m, "RunResult", "The histogram of a run and, on the \"sv\" path, its final state.",
                                    nb::is_final(), nb::type_slots(result_slots));
    }
    add_all<RESULT_COUNTS, RESULT_STATEVECTOR>(cls);
    add<RUN>(m);
}

}  // namespace nivra::python
