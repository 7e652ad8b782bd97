#pragma once
// Backend names and the automatic choice of a simulator for "auto".
//
//   BackendRequest::from_user_str("sv")  -> StateVector
//   select_explained_full(circuit, caps) -> {kind, reason, out_of_core}
//
// The choice looks only at the circuit's structure (analyze) and at the
// accelerators the caller reports; every outcome carries a fixed reason text.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "nivra/ir/circuit.h"

namespace nivra::backend {

enum class BackendKind : std::uint8_t {
    StateVector = 0,
    Stabilizer = 1,
    Mps = 2,
    Metal = 3,    // recognised, not part of this library
    CudaF64 = 4,  // recognised, not part of this library
    CudaF32 = 5,  // recognised, not part of this library
};

// A parsed backend name: "auto" or one simulator kind.
struct BackendRequest {
    std::optional<BackendKind> kind;  // absent: "auto"

    static BackendRequest automatic() { return {}; }
    static BackendRequest of(BackendKind k) { return {k}; }
    bool is_auto() const { return !kind.has_value(); }

    // Exact, case-sensitive, untrimmed match against: auto, statevector (sv),
    // stabilizer (stab), mps, metal (gpu), cuda (cuda-f64), cuda-f32 (cuda-fp32).
    // Any other text gives
    //   unknown backend "<text>"; expected one of: auto, statevector (sv), ...
    static std::expected<BackendRequest, std::string> from_user_str(std::string_view text);

    friend bool operator==(const BackendRequest&, const BackendRequest&) = default;
};

// The caller's precision code.
enum class Precision : std::uint8_t { Auto = 0, F64 = 1, F32 = 2 };

// What the caller reports to the selection.
struct BackendCaps {
    bool metal = false;  // a Metal device is usable
    bool cuda = false;   // a CUDA device is usable
    Precision precision = Precision::Auto;
};

// The structural facts the selection uses.
struct CircuitAnalysis {
    std::uint32_t num_qubits = 0;
    // Layers of Circuit::layers holding at least one plain gate with exactly two targets.
    std::size_t two_q_layers = 0;
    // Every plain gate of a Clifford kind without external controls, and no
    // DiagonalPhase or TiledBlock.
    bool all_clifford = true;
    // Every plain two-target gate acts on qubits whose indices differ by 1.
    bool nearest_neighbor = true;
    // No plain gate with more than two targets or with external controls.
    bool mps_friendly = true;

    friend bool operator==(const CircuitAnalysis&, const CircuitAnalysis&) = default;
};

struct Selection {
    BackendKind kind = BackendKind::StateVector;
    std::string_view reason;                   // a static text
    std::optional<std::uint32_t> out_of_core;  // qubit count kept in core by a paging simulator

    friend bool operator==(const Selection&, const Selection&) = default;
};

// One pass over the instructions plus one layering.
CircuitAnalysis analyze(const ir::Circuit& circuit);

// The rule table applied to an analysis; the first rule that applies decides.
Selection select_for_analysis(const CircuitAnalysis& analysis, const BackendCaps& caps);

// select_for_analysis(analyze(circuit), caps). Never fails.
Selection select_explained_full(const ir::Circuit& circuit, const BackendCaps& caps);

}  // namespace nivra::backend
