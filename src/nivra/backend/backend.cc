#include "nivra/backend/backend.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "nivra/core/format.h"

namespace nivra::backend {

namespace {

using Kind = BackendError::Kind;

BackendError make(Kind kind) {
    BackendError e;
    e.kind = kind;
    return e;
}

constexpr std::array<std::string_view, 15> KIND_NAMES = {
    "QubitOutOfRange",        "DuplicateQubit",
    "ArityMismatch",          "UnsupportedGate",
    "UnsupportedInstruction", "SymbolicParam",
    "NonFiniteParam",         "NonUnitaryMatrix",
    "EmptyCircuit",           "DegenerateMeasurement",
    "TooManyQubits",          "InvalidPauliString",
    "InvalidState",           "MpsTruncationUnsupported",
    "Optimization",
};

std::string text(std::string_view s) { return std::string(s); }

// Builds the "{ name: value, ... }" part of a debug form.
class Fields {
public:
    Fields& add(std::string_view name, std::string value) {
        out_ += first_ ? " { " : ", ";
        first_ = false;
        out_ += name;
        out_ += ": ";
        out_ += value;
        return *this;
    }
    std::string finish() { return out_ + " }"; }

private:
    std::string out_;
    bool first_ = true;
};

}  // namespace

std::string_view backend_error_kind_name(BackendError::Kind kind) {
    const auto index = static_cast<std::size_t>(kind);
    check_index(index, KIND_NAMES.size(), "BackendError kind");
    return KIND_NAMES[index];
}

BackendError BackendError::qubit_out_of_range(std::uint32_t qubit, std::uint32_t num_qubits) {
    BackendError e = make(Kind::QubitOutOfRange);
    e.qubit = qubit;
    e.num_qubits = num_qubits;
    return e;
}

BackendError BackendError::duplicate_qubit(std::uint32_t qubit) {
    BackendError e = make(Kind::DuplicateQubit);
    e.qubit = qubit;
    return e;
}

BackendError BackendError::arity_mismatch(std::string_view kind, std::uint64_t expected, std::uint64_t got) {
    BackendError e = make(Kind::ArityMismatch);
    e.name = kind;
    e.expected = expected;
    e.got = got;
    return e;
}

BackendError BackendError::unsupported_gate(std::string_view kind) {
    BackendError e = make(Kind::UnsupportedGate);
    e.name = kind;
    return e;
}

BackendError BackendError::unsupported_instruction(std::string_view instruction) {
    BackendError e = make(Kind::UnsupportedInstruction);
    e.name = instruction;
    return e;
}

BackendError BackendError::symbolic_param() { return make(Kind::SymbolicParam); }

BackendError BackendError::non_finite_param(std::string_view kind) {
    BackendError e = make(Kind::NonFiniteParam);
    e.name = kind;
    return e;
}

BackendError BackendError::non_unitary_matrix(double deviation) {
    BackendError e = make(Kind::NonUnitaryMatrix);
    e.value = deviation;
    return e;
}

BackendError BackendError::empty_circuit() { return make(Kind::EmptyCircuit); }

BackendError BackendError::degenerate_measurement(std::uint32_t qubit, double probability) {
    BackendError e = make(Kind::DegenerateMeasurement);
    e.qubit = qubit;
    e.value = probability;
    return e;
}

BackendError BackendError::too_many_qubits(std::uint32_t requested, std::uint32_t limit) {
    BackendError e = make(Kind::TooManyQubits);
    e.requested = requested;
    e.limit = limit;
    return e;
}

BackendError BackendError::invalid_pauli_string(std::string_view reason) {
    BackendError e = make(Kind::InvalidPauliString);
    e.name = reason;
    return e;
}

BackendError BackendError::invalid_state(std::string_view reason) {
    BackendError e = make(Kind::InvalidState);
    e.name = reason;
    return e;
}

BackendError BackendError::mps_truncation_unsupported(std::uint64_t max_bond, double trunc_error) {
    BackendError e = make(Kind::MpsTruncationUnsupported);
    e.max_bond = max_bond;
    e.value = trunc_error;
    return e;
}

BackendError BackendError::optimization(ir::PassError error) {
    BackendError e = make(Kind::Optimization);
    e.pass_error = error;
    return e;
}

BackendError BackendError::from_gate_error(GateError error, std::string_view kind) {
    switch (error) {
        case GateError::SymbolicParam:
            return symbolic_param();
        case GateError::NonFiniteParam:
            return non_finite_param(kind);
        case GateError::Unrepresentable:
            return unsupported_gate(kind);
    }
    invariant_failure("BackendError::from_gate_error: unknown GateError");
}

std::string BackendError::message() const {
    switch (kind) {
        case Kind::QubitOutOfRange:
            return "qubit " + fmt::display(qubit) + " out of range for " + fmt::display(num_qubits) + "-qubit state";
        case Kind::DuplicateQubit:
            return "duplicate qubit " + fmt::display(qubit) + " in gate or query";
        case Kind::ArityMismatch:
            return "gate `" + text(name) + "` expects " + fmt::display(expected) + " qubits, got " + fmt::display(got);
        case Kind::UnsupportedGate:
            return "gate `" + text(name) + "` is not supported by this backend";
        case Kind::UnsupportedInstruction:
            return "IR instruction `" + text(name) + "` is not supported by this backend";
        case Kind::SymbolicParam:
            return "backend requires concrete parameters; got symbolic";
        case Kind::NonFiniteParam:
            return "gate `" + text(name) + "` has a non-finite (NaN or infinite) parameter";
        case Kind::NonUnitaryMatrix:
            return "user-supplied matrix is not unitary (max deviation = " + fmt::sci(value) + ")";
        case Kind::EmptyCircuit:
            return "cannot run an empty circuit";
        case Kind::DegenerateMeasurement:
            return "measurement of qubit " + fmt::display(qubit) + " on degenerate branch (p = " + fmt::sci(value) +
                   ")";
        case Kind::TooManyQubits:
            return "requested " + fmt::display(requested) + " qubits exceeds backend limit of " + fmt::display(limit);
        case Kind::InvalidPauliString:
            return "Pauli string violates its invariants: " + text(name);
        case Kind::InvalidState:
            return "backend state is invalid: " + text(name);
        case Kind::MpsTruncationUnsupported:
            return "MPS backend cannot truncate (bond cap " + fmt::display(max_bond) +
                   "); applying this gate would drop Schmidt weight " + fmt::sci(value) +
                   ". Raise max_bond or use a statevector backend";
        case Kind::Optimization:
            return "optimization pipeline failed: " + pass_error.message();
    }
    invariant_failure("BackendError::message: unknown kind");
}

std::string BackendError::debug() const {
    const std::string head(backend_error_kind_name(kind));
    switch (kind) {
        case Kind::SymbolicParam:
        case Kind::EmptyCircuit:
            return head;
        case Kind::UnsupportedGate:
        case Kind::UnsupportedInstruction:
            return head + "(" + fmt::quoted(name) + ")";
        case Kind::Optimization:
            // PassError has the single variant InternalInvariant(text).
            return head + "(InternalInvariant(" + fmt::quoted(pass_error.text) + "))";
        case Kind::QubitOutOfRange:
            return head +
                   Fields().add("qubit", fmt::display(qubit)).add("num_qubits", fmt::display(num_qubits)).finish();
        case Kind::DuplicateQubit:
            return head + Fields().add("qubit", fmt::display(qubit)).finish();
        case Kind::ArityMismatch:
            return head + Fields()
                              .add("kind", fmt::quoted(name))
                              .add("expected", fmt::display(expected))
                              .add("got", fmt::display(got))
                              .finish();
        case Kind::NonFiniteParam:
            return head + Fields().add("kind", fmt::quoted(name)).finish();
        case Kind::NonUnitaryMatrix:
            return head + Fields().add("deviation", fmt::debug(value)).finish();
        case Kind::DegenerateMeasurement:
            return head + Fields().add("qubit", fmt::display(qubit)).add("probability", fmt::debug(value)).finish();
        case Kind::TooManyQubits:
            return head + Fields().add("requested", fmt::display(requested)).add("limit", fmt::display(limit)).finish();
        case Kind::InvalidPauliString:
        case Kind::InvalidState:
            return head + Fields().add("reason", fmt::quoted(name)).finish();
        case Kind::MpsTruncationUnsupported:
            return head +
                   Fields().add("max_bond", fmt::display(max_bond)).add("trunc_error", fmt::debug(value)).finish();
    }
    invariant_failure("BackendError::debug: unknown kind");
}

bool operator==(const BackendError& a, const BackendError& b) {
    if (a.kind != b.kind) {
        return false;
    }
    switch (a.kind) {
        case Kind::QubitOutOfRange:
            return a.qubit == b.qubit && a.num_qubits == b.num_qubits;
        case Kind::DuplicateQubit:
            return a.qubit == b.qubit;
        case Kind::ArityMismatch:
            return a.name == b.name && a.expected == b.expected && a.got == b.got;
        case Kind::UnsupportedGate:
        case Kind::UnsupportedInstruction:
        case Kind::NonFiniteParam:
        case Kind::InvalidPauliString:
        case Kind::InvalidState:
            return a.name == b.name;
        case Kind::SymbolicParam:
        case Kind::EmptyCircuit:
            return true;
        case Kind::NonUnitaryMatrix:
            return a.value == b.value;
        case Kind::DegenerateMeasurement:
            return a.qubit == b.qubit && a.value == b.value;
        case Kind::TooManyQubits:
            return a.requested == b.requested && a.limit == b.limit;
        case Kind::MpsTruncationUnsupported:
            return a.max_bond == b.max_bond && a.value == b.value;
        case Kind::Optimization:
            return a.pass_error == b.pass_error;
    }
    return false;
}

void OutcomeCounter::add(std::span<const std::uint64_t> outcomes) {
    pending_.insert(pending_.end(), outcomes.begin(), outcomes.end());
    if (pending_.size() >= std::max<std::size_t>(std::size_t{1} << 16, counted_.size())) {
        merge_pending();
    }
}

void OutcomeCounter::merge_pending() {
    if (pending_.empty()) {
        return;
    }
    std::sort(pending_.begin(), pending_.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    merged.reserve(counted_.size() + pending_.size());
    std::size_t c = 0;
    for (std::size_t p = 0; p < pending_.size();) {
        const std::uint64_t outcome = pending_[p];
        std::size_t q = p;
        while (q < pending_.size() && pending_[q] == outcome) {
            ++q;
        }
        while (c < counted_.size() && counted_[c].first < outcome) {
            merged.push_back(counted_[c++]);
        }
        std::uint64_t count = q - p;
        if (c < counted_.size() && counted_[c].first == outcome) {
            count += counted_[c++].second;
        }
        merged.emplace_back(outcome, count);
        p = q;
    }
    merged.insert(merged.end(), counted_.begin() + static_cast<std::ptrdiff_t>(c), counted_.end());
    counted_ = std::move(merged);
    pending_.clear();
}

std::map<std::uint64_t, std::uint64_t> OutcomeCounter::finish() {
    merge_pending();
    std::map<std::uint64_t, std::uint64_t> counts;
    for (const auto& [outcome, count] : counted_) {
        counts.emplace_hint(counts.end(), outcome, count);
    }
    counted_.clear();
    pending_.shrink_to_fit();
    return counts;
}

}  // namespace nivra::backend
