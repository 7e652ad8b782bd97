#include "nivra/backend/select.h"

#include <array>

#include "nivra/core/error.h"
#include "nivra/core/format.h"

namespace nivra::backend {

namespace {

struct NameEntry {
    std::string_view name;
    std::string_view alias;  // empty: none
    BackendKind kind;
};

// In the order of the error message's list.
constexpr std::array<NameEntry, 6> NAMES = {{
    {"statevector", "sv", BackendKind::StateVector},
    {"stabilizer", "stab", BackendKind::Stabilizer},
    {"mps", "", BackendKind::Mps},
    {"metal", "gpu", BackendKind::Metal},
    {"cuda", "cuda-f64", BackendKind::CudaF64},
    {"cuda-f32", "cuda-fp32", BackendKind::CudaF32},
}};

std::string name_list() {
    std::string out = "auto";
    for (const NameEntry& entry : NAMES) {
        out += ", ";
        out += entry.name;
        if (!entry.alias.empty()) {
            out += " (";
            out += entry.alias;
            out += ")";
        }
    }
    return out;
}

}  // namespace

std::expected<BackendRequest, std::string> BackendRequest::from_user_str(std::string_view text) {
    if (text == "auto") {
        return BackendRequest::automatic();
    }
    for (const NameEntry& entry : NAMES) {
        if (text == entry.name || (!entry.alias.empty() && text == entry.alias)) {
            return BackendRequest::of(entry.kind);
        }
    }
    return std::unexpected("unknown backend " + fmt::quoted(text) + "; expected one of: " + name_list());
}

CircuitAnalysis analyze(const ir::Circuit& circuit) {
    CircuitAnalysis a;
    const auto& instructions = circuit.instructions();
    for (const ir::Instruction& instruction : instructions) {
        switch (instruction.kind()) {
            case ir::Instruction::Kind::Measure:
            case ir::Instruction::Kind::Reset:
            case ir::Instruction::Kind::Barrier:
                break;
            case ir::Instruction::Kind::DiagonalPhase:
            case ir::Instruction::Kind::TiledBlock:
                a.all_clifford = false;
                break;
            case ir::Instruction::Kind::Gate: {
                const GateInstance& g = *instruction.gate();
                const bool controlled = !g.controls.empty();
                if (!g.gate.is_clifford() || controlled) {
                    a.all_clifford = false;
                }
                if (g.targets.size() == 2) {
                    const Qubit t0 = g.targets[0], t1 = g.targets[1];
                    if ((t0 > t1 ? t0 - t1 : t1 - t0) != 1) {
                        a.nearest_neighbor = false;
                    }
                } else if (g.targets.size() > 2) {
                    a.mps_friendly = false;
                }
                if (controlled) {
                    a.mps_friendly = false;
                }
                break;
            }
        }
    }
    for (const auto& layer : circuit.layers()) {
        for (std::size_t position : layer) {
            check_index(position, instructions.size(), "analyze: layer entry");
            const GateInstance* g = instructions[position].gate();
            if (g != nullptr && g->targets.size() == 2) {
                ++a.two_q_layers;
                break;
            }
        }
    }
    a.num_qubits = circuit.num_qubits();
    return a;
}

Selection select_for_analysis(const CircuitAnalysis& a, const BackendCaps& caps) {
    const std::uint32_t n = a.num_qubits;
    if (a.all_clifford) {
        return {BackendKind::Stabilizer, "all gates are Clifford", std::nullopt};
    }
    if (n >= 29) {
        if (a.nearest_neighbor && a.mps_friendly && a.two_q_layers < 65) {
            return {BackendKind::Mps, "nearest-neighbor and shallow; too large for exact simulation", std::nullopt};
        }
        if (caps.cuda) {
            if (caps.precision == Precision::F64) {
                if (n <= 30) {
                    return {BackendKind::CudaF64, "large dense circuit; CUDA FP64 state vector", std::nullopt};
                }
                return {BackendKind::CudaF64, "too large for in-core; CUDA FP64 out-of-core paging", 29u};
            }
            if (n <= 31) {
                return {BackendKind::CudaF32, "large dense circuit; CUDA FP32 state vector", std::nullopt};
            }
            return {BackendKind::CudaF32, "too large for in-core; CUDA FP32 out-of-core paging", 30u};
        }
        return {BackendKind::StateVector, "too large for exact and not MPS-suitable", std::nullopt};
    }
    if (n >= 24 && caps.metal) {
        return {BackendKind::Metal, "large dense circuit; Metal GPU state vector (FP32) outpaces the CPU at this scale",
                std::nullopt};
    }
    return {BackendKind::StateVector, "exact and fits in memory", std::nullopt};
}

Selection select_explained_full(const ir::Circuit& circuit, const BackendCaps& caps) {
    return select_for_analysis(analyze(circuit), caps);
}

}  // namespace nivra::backend
