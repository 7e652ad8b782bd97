#include "nivra/ir/circuit.h"

#include <algorithm>
#include <bit>

#include "nivra/core/format.h"
#include "nivra/core/memory.h"

namespace nivra::ir {

namespace {

using fmt::display;

std::string show(std::uint64_t value) { return display(value); }

// Range first, then repetition against the qubits met so far in this walk
// (lists are short, so a linear search).
template <class Seen>
std::expected<void, CircuitError> check_qubit(Qubit q, std::uint64_t num_qubits, Seen& seen) {
    if (q >= num_qubits) {
        return std::unexpected(CircuitError::qubit_out_of_range(q, num_qubits));
    }
    if (std::find(seen.begin(), seen.end(), q) != seen.end()) {
        return std::unexpected(CircuitError::duplicate_qubit(q));
    }
    seen.push_back(q);
    return {};
}

void push_unique(UsedQubits& out, Qubit q) {
    if (std::find(out.begin(), out.end(), q) == out.end()) {
        out.push_back(q);
    }
}

constexpr unsigned MASK_BITS = 64;

}  // namespace

UsedQubits DiagonalPhase::used_qubits() const {
    std::uint64_t all = 0;
    for (const PhaseTerm& term : terms) {
        for (std::uint64_t mask : term.masks) {
            all |= mask;
        }
    }
    // Bits at or above the width are not qubits of this phase; a mask word
    // holds at most 64, so no shift reaches 64.
    const unsigned limit = std::min<std::uint32_t>(width, MASK_BITS);
    UsedQubits out;
    for (unsigned q = 0; q < limit; ++q) {
        if ((all >> q) & 1U) {
            out.push_back(q);
        }
    }
    return out;
}

UsedQubits TiledBlock::used_qubits() const {
    UsedQubits out;
    for (const GateInstance& g : gates) {
        for (Qubit q : g.targets) {
            push_unique(out, q);
        }
        for (Qubit q : g.controls) {
            push_unique(out, q);
        }
    }
    return out;
}

UsedQubits Instruction::used_qubits() const {
    return visit(overloaded{
        [](const GateInstance& g) {
            UsedQubits out(g.targets.begin(), g.targets.end());
            out.insert(out.end(), g.controls.begin(), g.controls.end());
            return out;
        },
        [](const Measure& m) { return UsedQubits{m.qubit}; },
        [](const Reset& r) { return UsedQubits{r.qubit}; },
        [](const Barrier& b) { return UsedQubits(b.qubits.begin(), b.qubits.end()); },
        [](const DiagonalPhase& d) { return d.used_qubits(); },
        [](const TiledBlock& t) { return t.used_qubits(); },
    });
}

std::string CircuitError::message() const {
    switch (kind) {
        case Kind::QubitOutOfRange:
            return "qubit " + show(index) + " out of range (circuit has " + show(bound) + " qubits)";
        case Kind::ClbitOutOfRange:
            return "clbit " + show(index) + " out of range (circuit has " + show(bound) + " clbits)";
        case Kind::DuplicateQubit:
            return "duplicate qubit index " + show(index) + " in instruction";
        case Kind::ArityMismatch:
            return "gate " + std::string(gate_name) + " has arity " + show(index) + " but " + show(bound) +
                   " qubits supplied";
        case Kind::EmptyBarrier:
            return "barrier must cover at least one qubit";
        case Kind::TooManyControls:
            return "gate " + std::string(gate_name) + " has " + show(index) + " external controls but max is " +
                   show(bound);
        case Kind::TooManyQubits:
            return "too many qubits: requested " + show(index) + ", max " + show(bound);
        case Kind::TooManyClbits:
            return "too many clbits: requested " + show(index) + ", max " + show(bound);
    }
    invariant_failure("CircuitError: unknown kind");
}

Circuit::Circuit(std::uint32_t num_qubits) : Circuit(num_qubits, 0) {}

Circuit::Circuit(std::uint32_t num_qubits, std::uint32_t num_clbits)
    : num_qubits_(num_qubits), num_clbits_(num_clbits) {
    if (num_qubits > MAX_QUBITS) {
        invariant_failure("Circuit::new: num_qubits=" + display(num_qubits) +
                          " exceeds MAX_QUBITS=" + display(MAX_QUBITS));
    }
    if (num_clbits > MAX_CLBITS) {
        invariant_failure("Circuit::new: num_clbits=" + display(num_clbits) +
                          " exceeds MAX_CLBITS=" + display(MAX_CLBITS));
    }
}

std::expected<Circuit, CircuitError> Circuit::create(std::uint64_t num_qubits, std::uint64_t num_clbits) {
    if (num_qubits > MAX_QUBITS) {
        return std::unexpected(CircuitError::too_many_qubits(num_qubits));
    }
    if (num_clbits > MAX_CLBITS) {
        return std::unexpected(CircuitError::too_many_clbits(num_clbits));
    }
    return Circuit(static_cast<std::uint32_t>(num_qubits), static_cast<std::uint32_t>(num_clbits));
}

void Circuit::set_permutation(std::vector<Qubit> permutation) {
    check_invariant(permutation.size() == num_qubits_, "Circuit::set_permutation: length differs from num_qubits");
    std::vector<bool> seen(num_qubits_, false);
    for (Qubit q : permutation) {
        check_index(q, num_qubits_, "Circuit::set_permutation");
        check_invariant(!seen[q], "Circuit::set_permutation: repeated index");
        seen[q] = true;
    }
    permutation_ = std::move(permutation);
}

std::expected<void, CircuitError> Circuit::validate_gate(std::uint32_t num_qubits, const GateInstance& gate) {
    const std::size_t arity = gate.gate.arity();
    if (gate.targets.size() != arity) {
        return std::unexpected(CircuitError::arity_mismatch(gate.gate.name(), arity, gate.targets.size()));
    }
    if (gate.controls.size() > MAX_CONTROLS) {
        return std::unexpected(CircuitError::too_many_controls(gate.gate.name(), gate.controls.size()));
    }
    boost::container::small_vector<Qubit, 8> seen;
    for (Qubit q : gate.targets) {
        if (auto r = check_qubit(q, num_qubits, seen); !r) {
            return r;
        }
    }
    for (Qubit q : gate.controls) {
        if (auto r = check_qubit(q, num_qubits, seen); !r) {
            return r;
        }
    }
    return {};
}

namespace {

// The AllocationError description of an instruction list of `count` entries.
std::string instructions_description(std::size_t count, std::uint32_t num_qubits) {
    return show(count) + " instructions of a " + show(num_qubits) + "-qubit circuit";
}

}  // namespace

void Circuit::reserve(std::size_t count) {
    reserve_checked(instructions_, count, [this](std::size_t n) { return instructions_description(n, num_qubits_); });
}

void Circuit::reserve_one_more() {
    nivra::reserve_one_more(instructions_, [this](std::size_t n) { return instructions_description(n, num_qubits_); });
}

std::expected<void, CircuitError> Circuit::add_gate(GateInstance gate) {
    if (auto r = validate_gate(num_qubits_, gate); !r) {
        return r;
    }
    reserve_one_more();
    instructions_.emplace_back(std::move(gate));
    return {};
}

std::expected<void, CircuitError> Circuit::add_instruction(Instruction instruction) {
    const std::uint32_t n = num_qubits_;
    const std::uint32_t nc = num_clbits_;
    auto checked = instruction.visit(overloaded{
        [n](const GateInstance& g) { return validate_gate(n, g); },
        [n, nc](const Measure& m) -> std::expected<void, CircuitError> {
            if (m.qubit >= n) {
                return std::unexpected(CircuitError::qubit_out_of_range(m.qubit, n));
            }
            if (m.clbit >= nc) {
                return std::unexpected(CircuitError::clbit_out_of_range(m.clbit, nc));
            }
            return {};
        },
        [n](const Reset& r) -> std::expected<void, CircuitError> {
            if (r.qubit >= n) {
                return std::unexpected(CircuitError::qubit_out_of_range(r.qubit, n));
            }
            return {};
        },
        [n](const Barrier& b) -> std::expected<void, CircuitError> {
            if (b.qubits.empty()) {
                return std::unexpected(CircuitError::empty_barrier());
            }
            // A barrier may span a whole register (65535 qubits): repeats are
            // found with a bitmap so the check stays linear.
            std::vector<std::uint64_t> seen((static_cast<std::size_t>(n) + 63) / 64, 0);
            for (Qubit q : b.qubits) {
                if (q >= n) {
                    return std::unexpected(CircuitError::qubit_out_of_range(q, n));
                }
                std::uint64_t& word = seen[q / 64];
                const std::uint64_t bit = std::uint64_t{1} << (q % 64);
                if ((word & bit) != 0) {
                    return std::unexpected(CircuitError::duplicate_qubit(q));
                }
                word |= bit;
            }
            return {};
        },
        [n](const DiagonalPhase& d) -> std::expected<void, CircuitError> {
            // Masks are single words and the backend sweeps num_qubits bits:
            // a wider phase could never be applied.
            const std::uint32_t max_width = std::min<std::uint32_t>(n, MASK_BITS);
            if (d.width > max_width) {
                return std::unexpected(CircuitError::too_many_qubits(d.width, max_width));
            }
            for (const PhaseTerm& term : d.terms) {
                for (std::uint64_t mask : term.masks) {
                    if (d.width < MASK_BITS && (mask >> d.width) != 0) {
                        const auto q = static_cast<Qubit>(std::countr_zero(mask >> d.width) + d.width);
                        return std::unexpected(CircuitError::qubit_out_of_range(q, d.width));
                    }
                }
            }
            return {};
        },
        [n](const TiledBlock& t) -> std::expected<void, CircuitError> {
            for (Qubit q : t.used_qubits()) {
                if (q >= n) {
                    return std::unexpected(CircuitError::qubit_out_of_range(q, n));
                }
            }
            // The backend applies a block chunk by chunk inside the tile, with
            // one- and two-target kernels only.
            for (const GateInstance& g : t.gates) {
                if (auto r = validate_gate(n, g); !r) {
                    return r;
                }
                if (g.targets.size() > 2) {
                    return std::unexpected(CircuitError::too_many_qubits(g.targets.size(), 2));
                }
                for (Qubit q : g.targets) {
                    if (q >= t.tile) {
                        return std::unexpected(CircuitError::qubit_out_of_range(q, t.tile));
                    }
                }
            }
            return {};
        },
    });
    if (!checked) {
        return checked;
    }
    reserve_one_more();
    instructions_.push_back(std::move(instruction));
    return {};
}

Layers Circuit::layers() const {
    struct QubitRecord {
        std::size_t layer = 0;
        std::size_t position = 0;
        bool set = false;
    };
    struct ClbitRecord {
        std::size_t layer = 0;
        bool set = false;
    };
    std::vector<QubitRecord> qubit_records(num_qubits_);
    std::vector<ClbitRecord> clbit_records(num_clbits_);
    Layers out;
    std::size_t running = 0;

    auto is_diagonal_gate = [this](std::size_t position) {
        const GateInstance* g = instructions_[position].gate();
        return g != nullptr && g->gate.is_diagonal();
    };

    for (std::size_t i = 0; i < instructions_.size(); ++i) {
        const Instruction& inst = instructions_[i];
        const UsedQubits used = inst.used_qubits();
        const bool diagonal = is_diagonal_gate(i);
        for (Qubit q : used) {
            check_index(q, qubit_records.size(), "Circuit::layers qubit");
            const QubitRecord& rec = qubit_records[q];
            if (!rec.set) {
                continue;
            }
            const bool both_diagonal = diagonal && is_diagonal_gate(rec.position);
            running = std::max(running, both_diagonal ? rec.layer : rec.layer + 1);
        }
        const Measure* measure = inst.get_if<Measure>();
        if (measure != nullptr) {
            check_index(measure->clbit, clbit_records.size(), "Circuit::layers clbit");
            const ClbitRecord& rec = clbit_records[measure->clbit];
            if (rec.set) {
                running = std::max(running, rec.layer + 1);
            }
        }
        if (running == out.size()) {
            out.push_back({i});
        } else {
            check_index(running, out.size(), "Circuit::layers layer");
            out[running].push_back(i);
        }
        for (Qubit q : used) {
            qubit_records[q] = {running, i, true};
        }
        if (measure != nullptr) {
            clbit_records[measure->clbit] = {running, true};
        }
    }
    return out;
}

std::expected<PassStats, PassError> Circuit::optimize() {
    const PassPipeline pipeline = PassPipeline::default_pipeline();
    return pipeline.run(*this);
}

}  // namespace nivra::ir
