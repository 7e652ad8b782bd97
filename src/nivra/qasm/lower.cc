#include "nivra/qasm/lower.h"

#include <array>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "nivra/core/format.h"
#include "nivra/qasm/parser.h"

namespace nivra::qasm {
namespace {

// The gate kind an OpenQASM gate name stands for, from the names in GATE_TABLE.
const GateRow* find_gate(std::string_view name) {
    for (const GateRow& row : GATE_TABLE) {
        for (std::string_view qasm_name : row.qasm) {
            if (!qasm_name.empty() && qasm_name == name) return &row;
        }
    }
    return nullptr;
}

class Lowering {
public:
    Lowering(std::string_view source, const Program& program) : source_(source), program_(program) {}

    std::expected<ir::Circuit, ParseError> run() {
        for (const Include& include : program_.includes) {
            if (include.file != STDGATES_INCLUDE) {
                return fail(include.offset, ParseErrorKind::unsupported(std::string(FEATURE_INCLUDE)));
            }
        }
        std::uint32_t num_qubits = 0;
        std::uint32_t num_clbits = 0;
        for (const Decl& decl : program_.declarations) {
            if (qubits_.contains(decl.name) || bits_.contains(decl.name)) {
                return fail(decl.offset, ParseErrorKind::duplicate_register(std::string(decl.name)));
            }
            const bool is_qubit = decl.kind == RegisterKind::Qubit;
            std::uint32_t& total = is_qubit ? num_qubits : num_clbits;
            std::uint32_t new_total;
            if (!checked_add(total, decl.size, new_total)) new_total = std::numeric_limits<std::uint32_t>::max();
            if (is_qubit && new_total > MAX_PROGRAM_QUBITS) {
                return fail(decl.offset, ParseErrorKind::too_many_qubits(new_total, MAX_PROGRAM_QUBITS));
            }
            if (!is_qubit && new_total > MAX_PROGRAM_CLBITS) {
                return fail(decl.offset, ParseErrorKind::too_many_clbits(new_total, MAX_PROGRAM_CLBITS));
            }
            (is_qubit ? qubits_ : bits_).emplace(decl.name, RegisterSlot{total, decl.size});
            total = new_total;
        }

        ir::Circuit circuit(num_qubits, num_clbits);
        circuit.metadata().source = std::string(METADATA_SOURCE);
        // A hint only: a whole-register measurement adds one instruction per bit.
        circuit.reserve(program_.statements.size());
        for (const Stmt& statement : program_.statements) {
            std::expected<void, ParseError> lowered =
                std::visit([&](const auto& s) { return lower_statement(circuit, s); }, statement);
            if (!lowered) return std::unexpected(std::move(lowered.error()));
        }
        return circuit;
    }

private:
    std::unexpected<ParseError> fail(std::size_t offset, ParseErrorKind kind) const {
        return std::unexpected(perr_at(source_, offset, std::move(kind)));
    }

    std::expected<void, ParseError> add(ir::Circuit& circuit, ir::Instruction instruction, std::size_t offset) {
        if (std::expected<void, ir::CircuitError> added = circuit.add_instruction(std::move(instruction)); !added) {
            return fail(offset, ParseErrorKind::ir_rejected(added.error()));
        }
        return {};
    }

    std::expected<const RegisterSlot*, ParseError> whole(const RegisterMap& map, std::string_view name,
                                                         std::size_t offset) const {
        auto found = map.find(name);
        if (found == map.end()) return fail(offset, ParseErrorKind::undeclared_register(std::string(name)));
        return &found->second;
    }

    std::expected<void, ParseError> lower_statement(ir::Circuit& circuit, const GateStmt& call) {
        const GateRow* entry = find_gate(call.name);
        if (entry == nullptr) return fail(call.offset, ParseErrorKind::unknown_gate(std::string(call.name)));
        const std::span<const double> params = program_.params(call);
        if (params.size() != entry->params) {
            return fail(call.offset,
                        ParseErrorKind::unexpected_token(
                            fmt::display(static_cast<std::uint64_t>(params.size())) + " params (expected " +
                                fmt::display(static_cast<std::uint64_t>(entry->params)) + ")",
                            "param count match"));
        }
        GateInstance instance{Gate::with_angles(entry->kind, params), {}, {}};
        for (const IndexedRef& operand : program_.operands(call)) {
            std::expected<std::uint32_t, ParseError> qubit =
                resolve_indexed(qubits_, operand.name, operand.index, source_, operand.offset);
            if (!qubit) return std::unexpected(std::move(qubit.error()));
            instance.targets.push_back(*qubit);
        }
        if (std::expected<void, ir::CircuitError> added = circuit.add_gate(std::move(instance)); !added) {
            return fail(call.offset, ParseErrorKind::ir_rejected(added.error()));
        }
        return {};
    }

    std::expected<void, ParseError> lower_statement(ir::Circuit& circuit, const MeasureStmt& measure) {
        const RegOrIdx& from = measure.source;
        const RegOrIdx& to = measure.destination;
        if (from.index && to.index) {
            std::expected<std::uint32_t, ParseError> qubit =
                resolve_indexed(qubits_, from.name, *from.index, source_, from.offset);
            if (!qubit) return std::unexpected(std::move(qubit.error()));
            std::expected<std::uint32_t, ParseError> clbit =
                resolve_indexed(bits_, to.name, *to.index, source_, to.offset);
            if (!clbit) return std::unexpected(std::move(clbit.error()));
            return add(circuit, ir::Measure{*qubit, *clbit}, measure.offset);
        }
        if (from.index || to.index)
            return fail(measure.offset, ParseErrorKind::unsupported(std::string(FEATURE_MIXED_MEASURE)));
        std::expected<const RegisterSlot*, ParseError> qreg = whole(qubits_, from.name, measure.offset);
        if (!qreg) return std::unexpected(std::move(qreg.error()));
        std::expected<const RegisterSlot*, ParseError> creg = whole(bits_, to.name, measure.offset);
        if (!creg) return std::unexpected(std::move(creg.error()));
        const RegisterSlot& q = **qreg;
        const RegisterSlot& c = **creg;
        if (q.size != c.size) {
            return fail(measure.offset,
                        ParseErrorKind::size_mismatch(std::string(from.name), q.size, std::string(to.name), c.size));
        }
        for (std::uint32_t i = 0; i < q.size; ++i) {
            if (std::expected<void, ParseError> added =
                    add(circuit, ir::Measure{q.offset + i, c.offset + i}, measure.offset);
                !added) {
                return added;
            }
        }
        return {};
    }

    std::expected<void, ParseError> lower_statement(ir::Circuit& circuit, const ResetStmt& reset) {
        const IndexedRef& operand = reset.operand;
        std::expected<std::uint32_t, ParseError> qubit =
            resolve_indexed(qubits_, operand.name, operand.index, source_, operand.offset);
        if (!qubit) return std::unexpected(std::move(qubit.error()));
        return add(circuit, ir::Reset{*qubit}, reset.offset);
    }

    std::expected<void, ParseError> lower_statement(ir::Circuit& circuit, const BarrierStmt& barrier) {
        ir::Barrier collected;
        for (const RegOrIdx& operand : barrier.operands) {
            if (operand.index) {
                std::expected<std::uint32_t, ParseError> qubit =
                    resolve_indexed(qubits_, operand.name, *operand.index, source_, operand.offset);
                if (!qubit) return std::unexpected(std::move(qubit.error()));
                collected.qubits.push_back(*qubit);
            } else {
                std::expected<const RegisterSlot*, ParseError> reg = whole(qubits_, operand.name, barrier.offset);
                if (!reg) return std::unexpected(std::move(reg.error()));
                for (std::uint32_t i = 0; i < (*reg)->size; ++i) collected.qubits.push_back((*reg)->offset + i);
            }
        }
        if (std::expected<void, ir::CircuitError> added = circuit.add_instruction(std::move(collected)); !added) {
            return fail(barrier.offset, ParseErrorKind::ir_rejected(added.error()));
        }
        return {};
    }

    std::string_view source_;
    const Program& program_;
    RegisterMap qubits_;
    RegisterMap bits_;
};

}  // namespace

std::expected<std::uint32_t, ParseError> resolve_indexed(const RegisterMap& map, std::string_view name,
                                                         std::uint32_t index, std::string_view source,
                                                         std::size_t offset) {
    auto found = map.find(name);
    if (found == map.end())
        return std::unexpected(perr_at(source, offset, ParseErrorKind::undeclared_register(std::string(name))));
    const RegisterSlot& slot = found->second;
    if (index >= slot.size) {
        return std::unexpected(
            perr_at(source, offset, ParseErrorKind::index_out_of_bounds(std::string(name), index, slot.size)));
    }
    // Within MAX_PROGRAM_QUBITS: the slot lies inside the declared total.
    return slot.offset + index;
}

std::expected<ir::Circuit, ParseError> lower(std::string_view source, const Program& program) {
    return Lowering(source, program).run();
}

std::expected<ir::Circuit, ParseError> parse(std::string_view source) {
    GrammarResult<ParsedProgram> parsed = program(source);
    if (!parsed) return std::unexpected(grammar_failure_error(source, parsed.error()));
    if (std::optional<ParseError> rest = unread_rest_error(source, parsed->rest)) return std::unexpected(*rest);
    return lower(source, parsed->program);
}

}  // namespace nivra::qasm
