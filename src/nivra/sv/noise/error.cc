#include "nivra/sv/noise/error.h"

#include <cmath>

#include "nivra/core/error.h"
#include "nivra/core/format.h"

namespace nivra::sv::noise {

namespace {

constexpr Pauli PAULIS[4] = {Pauli::I, Pauli::X, Pauli::Y, Pauli::Z};

// 0 <= x <= 1; NaN fails.
bool in_unit_interval(double x) { return x >= 0.0 && x <= 1.0; }

void require_unit_interval(double x, const char* what) {
    if (!in_unit_interval(x)) {
        invariant_failure(std::string(what) + " must be in [0,1], got " + fmt::display(x));
    }
}

QuantumError flip_error(double p, Pauli flip) {
    std::vector<PauliTerm> terms;
    terms.push_back(PauliTerm{1.0 - p, {Pauli::I}});
    terms.push_back(PauliTerm{p, {flip}});
    return QuantumError::pauli_mixture(std::move(terms), 1);
}

// K0 = [[1, 0], [0, √(1 − x)]] and K1 holding √x at `k1_entry` (row-major).
QuantumError damping_error(double x, std::size_t k1_entry) {
    const KrausOp k0{Complex(1.0, 0.0), Complex(0.0, 0.0), Complex(0.0, 0.0), Complex(std::sqrt(1.0 - x), 0.0)};
    KrausOp k1{};
    k1[k1_entry] = Complex(std::sqrt(x), 0.0);
    return QuantumError::kraus({k0, k1});
}

}  // namespace

QuantumError QuantumError::pauli_mixture(std::vector<PauliTerm> terms, std::uint8_t num_qubits) {
    check_invariant(num_qubits == 1 || num_qubits == 2, "QuantumError::pauli_mixture: arity must be 1 or 2");
    check_invariant(!terms.empty(), "QuantumError::pauli_mixture: no terms");
    for (const PauliTerm& term : terms) {
        check_invariant(term.factors.size() == num_qubits,
                        "QuantumError::pauli_mixture: a term's factor count differs from the arity");
        for (Pauli p : term.factors) {
            check_invariant(static_cast<unsigned>(p) < 4, "QuantumError::pauli_mixture: unknown Pauli code");
        }
    }
    return QuantumError(noise::PauliMixture{std::move(terms), num_qubits});
}

QuantumError QuantumError::kraus(std::vector<KrausOp> ops) {
    check_invariant(!ops.empty(), "QuantumError::kraus: no operators");
    return QuantumError(noise::Kraus{std::move(ops)});
}

std::uint8_t QuantumError::arity() const {
    if (const auto* mixture = as_mixture()) {
        return mixture->num_qubits;
    }
    return 1;
}

QuantumError pauli_error(std::span<const std::pair<std::string, double>> terms) {
    static constexpr const char* SUM_MESSAGE = "pauli_error weights must sum to > 0";
    if (terms.empty()) {
        invariant_failure(SUM_MESSAGE);
    }
    // From −0.0 so that a list of −0.0 weights sums to −0.0, which is not > 0.
    double sum = -0.0;
    for (const auto& term : terms) {
        sum += term.second;
    }
    if (!(sum > 0.0)) {
        invariant_failure(SUM_MESSAGE);
    }
    std::vector<PauliTerm> out;
    out.reserve(terms.size());
    for (const auto& [label, weight] : terms) {
        static constexpr std::string_view LABELS[4] = {"I", "X", "Y", "Z"};
        std::size_t code = 0;
        while (code < 4 && label != LABELS[code]) {
            ++code;
        }
        if (code == 4) {
            invariant_failure("pauli_error label " + fmt::quoted(label) +
                              " is not a single-qubit Pauli (I/X/Y/Z); pauli_error is 1q-only — use "
                              "depolarizing_error(p, 2) for 2-qubit noise");
        }
        out.push_back(PauliTerm{weight / sum, {PAULIS[code]}});
    }
    return QuantumError::pauli_mixture(std::move(out), 1);
}

QuantumError depolarizing_error(double p, std::uint8_t num_qubits) {
    if (!in_unit_interval(p)) {
        invariant_failure("depolarizing p must be in [0,1]");
    }
    if (num_qubits != 1 && num_qubits != 2) {
        invariant_failure("v1 depolarizing is 1q or 2q");
    }
    std::vector<PauliTerm> terms;
    if (num_qubits == 1) {
        const double other = p / 4.0;
        const double identity = (p * -3.0) * 0.25 + 1.0;
        for (Pauli a : PAULIS) {
            terms.push_back(PauliTerm{a == Pauli::I ? identity : other, {a}});
        }
    } else {
        const double other = p / 16.0;
        const double identity = (p * -15.0) * 0.0625 + 1.0;
        for (Pauli a : PAULIS) {
            for (Pauli b : PAULIS) {
                const bool is_identity = a == Pauli::I && b == Pauli::I;
                terms.push_back(PauliTerm{is_identity ? identity : other, {a, b}});
            }
        }
    }
    return QuantumError::pauli_mixture(std::move(terms), num_qubits);
}

QuantumError bit_flip_error(double p) {
    require_unit_interval(p, "bit_flip p");
    return flip_error(p, Pauli::X);
}

QuantumError phase_flip_error(double p) {
    require_unit_interval(p, "phase_flip p");
    return flip_error(p, Pauli::Z);
}

QuantumError amplitude_damping_error(double gamma) {
    require_unit_interval(gamma, "gamma");
    return damping_error(gamma, 1);
}

QuantumError phase_damping_error(double lambda) {
    require_unit_interval(lambda, "lambda");
    return damping_error(lambda, 3);
}

std::string NoiseError::message() const {
    switch (kind) {
        case Kind::Backend:
            return backend.message();
        case Kind::MidCircuit:
            return "mid-circuit " + std::string(instruction) +
                   " is not supported under noise in v1 (terminal measurement only)";
        case Kind::Unsupported:
            return "instruction " + std::string(instruction) + " is not supported under noise in v1";
        case Kind::ChannelArity:
            return "noise channel acts on " + fmt::display(channel_arity) + " qubits but gate `" +
                   std::string(instruction) + "` has " + fmt::display(targets) +
                   (targets == 1 ? " target" : " targets");
    }
    invariant_failure("NoiseError::message: unknown kind");
}

}  // namespace nivra::sv::noise
