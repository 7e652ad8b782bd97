#include "nivra/qasm/lower.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "nivra/core/format.h"
#include "nivra/core/rng.h"

namespace nivra::qasm {

// Failed comparisons show the error as users see it.
void PrintTo(const ParseError& error, std::ostream* out) { *out << error.message() << " [" << error.snippet << "]"; }

namespace {

ir::Circuit parse_ok(std::string_view source) {
    std::expected<ir::Circuit, ParseError> circuit = parse(source);
    EXPECT_TRUE(circuit.has_value()) << source << "\n" << (circuit ? "" : circuit.error().message());
    return circuit ? std::move(*circuit) : ir::Circuit(0);
}

ParseError parse_error(std::string_view source) {
    std::expected<ir::Circuit, ParseError> circuit = parse(source);
    EXPECT_FALSE(circuit.has_value()) << source;
    return circuit ? ParseError{} : circuit.error();
}

// A circuit as the front end makes it, built directly through the IR.
struct Expected {
    ir::Circuit circuit;
    Expected(std::uint32_t qubits, std::uint32_t clbits) : circuit(qubits, clbits) {
        circuit.metadata().source = "openqasm:3.0";
    }
    Expected& gate(Gate g, std::initializer_list<Qubit> targets) {
        EXPECT_TRUE(circuit.add_gate(GateInstance{std::move(g), targets, {}}));
        return *this;
    }
    Expected& add(ir::Instruction instruction) {
        EXPECT_TRUE(circuit.add_instruction(std::move(instruction)));
        return *this;
    }
};

TEST(Parse, EmptySourceIsAnEmptyCircuit) {
    for (std::string_view source : {"", "  // nothing\n/* at all */", "OPENQASM 3;", "\xC2\xA0"}) {
        ir::Circuit circuit = parse_ok(source);
        EXPECT_EQ(circuit.num_qubits(), 0u);
        EXPECT_EQ(circuit.num_clbits(), 0u);
        EXPECT_TRUE(circuit.empty());
        EXPECT_EQ(circuit.metadata().source, "openqasm:3.0");
        EXPECT_FALSE(circuit.metadata().name.has_value());
    }
}

TEST(Parse, RepresentativeProgramLowersToTheSameCircuit) {
    const std::string_view source = R"(OPENQASM 3.2;
include "stdgates.inc";
qubit[2] a;
bit[3] c;
qubit[3] b;
h a[0];
cx a[1], b[2];
rx(pi/4) b[0];
u3(0.1, -0.2, 3e-1) a[1];
ccx a[0], b[1], b[2];
p(-pi) b[1];
barrier a, b[0];
measure a[1] -> c[2];
measure b -> c;
reset b[1];
)";
    // a = qubits 0..1, b = qubits 2..4 (declaration order); c = bits 0..2.
    Expected want(5, 3);
    want.gate(Gate::h(), {0})
        .gate(Gate::cnot(), {1, 4})
        .gate(Gate::rx(3.141592653589793 / 4), {2})
        .gate(Gate::u3(0.1, -0.2, 0.3), {1})
        .gate(Gate::toffoli(), {0, 3, 4})
        .gate(Gate::phase(-3.141592653589793), {3})
        .add(ir::Barrier{{0, 1, 2}})
        .add(ir::Measure{1, 2})
        .add(ir::Measure{2, 0})
        .add(ir::Measure{3, 1})
        .add(ir::Measure{4, 2})
        .add(ir::Reset{3});
    EXPECT_EQ(parse_ok(source), want.circuit);
}

TEST(Parse, EveryGateOfTheTable) {
    const std::string_view source =
        "qubit[3] q;\n"
        "h q[0]; x q[0]; y q[0]; z q[0]; s q[0]; sdg q[0]; t q[0]; tdg q[0];\n"
        "rx(1) q[1]; ry(2) q[1]; rz(3) q[1]; p(4) q[1]; u3(5, 6, 7) q[2];\n"
        "cx q[2], q[0]; cz q[0], q[1]; swap q[1], q[2]; ccx q[2], q[1], q[0]; ccz q[0], q[2], q[1];\n";
    Expected want(3, 0);
    want.gate(Gate::h(), {0}).gate(Gate::x(), {0}).gate(Gate::y(), {0}).gate(Gate::z(), {0});
    want.gate(Gate::s(), {0}).gate(Gate::sdg(), {0}).gate(Gate::t(), {0}).gate(Gate::tdg(), {0});
    want.gate(Gate::rx(1), {1}).gate(Gate::ry(2), {1}).gate(Gate::rz(3), {1}).gate(Gate::phase(4), {1});
    want.gate(Gate::u3(5, 6, 7), {2});
    want.gate(Gate::cnot(), {2, 0}).gate(Gate::cz(), {0, 1}).gate(Gate::swap(), {1, 2});
    want.gate(Gate::toffoli(), {2, 1, 0}).gate(Gate::ccz(), {0, 2, 1});
    EXPECT_EQ(parse_ok(source), want.circuit);
}

TEST(Parse, ExpressionsAndOddLayout) {
    Expected want(1, 1);
    want.gate(Gate::rx(-3.141592653589793 / 2), {0}).gate(Gate::rx(1), {0}).gate(Gate::rx(5), {0});
    want.add(ir::Measure{0, 0});
    EXPECT_EQ(parse_ok("OPENQASM3;include\"stdgates.inc\";qubit[1]q;bit[1]c;\r\n"
                       "rx(-pi/2) q[0]; rx(--1)q[0];/* c */rx(.5e1) q [ 0 ] ;\r\n"
                       "measure\tq -> c; // done\r\n"),
              want.circuit);
}

TEST(Parse, RegisterLimitsSaturate) {
    EXPECT_EQ(parse_ok("qubit[65535] q; bit[65535] c;").num_qubits(), 65535u);
    EXPECT_EQ(parse_error("qubit[60000] a;\nqubit[10000] b;"),
              (ParseError{ParseErrorKind::too_many_qubits(70000, 65535), 2, 1, "qubit[10000] b;"}));
    EXPECT_EQ(parse_error("bit[1] c; bit[65535] d;"),
              (ParseError{ParseErrorKind::too_many_clbits(65536, 65535), 1, 11, "bit[1] c; bit[65535] d;"}));
    // The running total saturates at 4294967295 instead of wrapping round to a small count.
    EXPECT_EQ(parse_error("qubit[1] a; qubit[4294967295] b;").kind,
              ParseErrorKind::too_many_qubits(4294967295u, 65535));
    // Zero-size registers are allowed and take no indices.
    ir::Circuit circuit = parse_ok("qubit[0] z; qubit[2] q; h q[1];");
    EXPECT_EQ(circuit, Expected(2, 0).gate(Gate::h(), {1}).circuit);
}

TEST(Parse, RegisterNamesAreShared) {
    EXPECT_EQ(parse_error("qubit[2] q;\nbit[2] q;"),
              (ParseError{ParseErrorKind::duplicate_register("q"), 2, 1, "bit[2] q;"}));
    EXPECT_EQ(parse_error("bit[2] q; bit[1] q;").kind, ParseErrorKind::duplicate_register("q"));
}

TEST(Parse, ResolutionErrorsAtTheOperand) {
    EXPECT_EQ(parse_error("qubit[2] q;\ncx q[0], q[2];"),
              (ParseError{ParseErrorKind::index_out_of_bounds("q", 2, 2), 2, 10, "cx q[0], q[2];"}));
    EXPECT_EQ(parse_error("qubit[2] q;\nh  r[0];"),
              (ParseError{ParseErrorKind::undeclared_register("r"), 2, 4, "h  r[0];"}));
    EXPECT_EQ(parse_error("qubit[1] q; bit[1] c;\nmeasure q[0] -> c[1];"),
              (ParseError{ParseErrorKind::index_out_of_bounds("c", 1, 1), 2, 17, "measure q[0] -> c[1];"}));
    // A bit register is not a qubit register.
    EXPECT_EQ(parse_error("bit[1] c;\nreset c[0];"),
              (ParseError{ParseErrorKind::undeclared_register("c"), 2, 7, "reset c[0];"}));
    EXPECT_EQ(parse_error("qubit[1] q;\nbarrier q, r[0];"),
              (ParseError{ParseErrorKind::undeclared_register("r"), 2, 12, "barrier q, r[0];"}));
}

TEST(Parse, StatementErrorsAtTheStatement) {
    EXPECT_EQ(parse_error("qubit[1] q;\n  rx q[0];"),
              (ParseError{ParseErrorKind::unexpected_token("0 params (expected 1)", "param count match"), 2, 3,
                          "  rx q[0];"}));
    EXPECT_EQ(parse_error("qubit[1] q;\nh(1, 2) q[0];").kind,
              ParseErrorKind::unexpected_token("2 params (expected 0)", "param count match"));
    EXPECT_EQ(
        parse_error("qubit[2] q;\nh q[0], q[1];"),
        (ParseError{ParseErrorKind::ir_rejected(ir::CircuitError::arity_mismatch("H", 1, 2)), 2, 1, "h q[0], q[1];"}));
    EXPECT_EQ(parse_error("qubit[2] q;\nh q[0], q[1];").message(),
              "error at 2:1: IR rejected this program: gate H has arity 1 but 2 qubits supplied");
    EXPECT_EQ(parse_error("qubit[2] q;\ncx q[1], q[1];").kind,
              ParseErrorKind::ir_rejected(ir::CircuitError::duplicate_qubit(1)));
    EXPECT_EQ(parse_error("qubit[1] q;\nfoo q[0];"),
              (ParseError{ParseErrorKind::unknown_gate("foo"), 2, 1, "foo q[0];"}));
    // The table is looked up before the parameters are counted.
    EXPECT_EQ(parse_error("qubit[1] q;\nU(0, 0, 0) q[0];").kind, ParseErrorKind::unknown_gate("U"));
}

TEST(Parse, MeasureForms) {
    EXPECT_EQ(parse_error("qubit[2] q; bit[3] c;\nmeasure q -> c;"),
              (ParseError{ParseErrorKind::size_mismatch("q", 2, "c", 3), 2, 1, "measure q -> c;"}));
    EXPECT_EQ(parse_error("qubit[2] q; bit[2] c;\nmeasure q[0] -> c;"),
              (ParseError{ParseErrorKind::unsupported("mixed whole-register / indexed measure"), 2, 1,
                          "measure q[0] -> c;"}));
    EXPECT_EQ(parse_error("qubit[2] q; bit[2] c;\nmeasure q -> c[0];").kind,
              ParseErrorKind::unsupported("mixed whole-register / indexed measure"));
    // Whole registers: the source must be a qubit register, the destination a bit register.
    EXPECT_EQ(parse_error("qubit[2] q; bit[2] c;\nmeasure c -> q;"),
              (ParseError{ParseErrorKind::undeclared_register("c"), 2, 1, "measure c -> q;"}));
    EXPECT_EQ(parse_error("qubit[2] q; qubit[2] r;\nmeasure q -> r;").kind, ParseErrorKind::undeclared_register("r"));
    EXPECT_EQ(parse_ok("qubit[0] q; bit[0] c; measure q -> c;").size(), 0u);
}

TEST(Parse, BarrierForms) {
    EXPECT_EQ(parse_ok("qubit[2] a; qubit[2] b; barrier b, a[0], a[1] ;").instructions().size(), 1u);
    EXPECT_EQ(
        parse_error("qubit[2] a;\nbarrier a, a[1];"),
        (ParseError{ParseErrorKind::ir_rejected(ir::CircuitError::duplicate_qubit(1)), 2, 1, "barrier a, a[1];"}));
    EXPECT_EQ(parse_error("qubit[0] z;\nbarrier z;").kind,
              ParseErrorKind::ir_rejected(ir::CircuitError::empty_barrier()));
    ir::Circuit big = parse_ok("qubit[65535] q; barrier q;");
    ASSERT_EQ(big.size(), 1u);
    EXPECT_EQ(big.instructions()[0].get<ir::Barrier>().qubits.size(), 65535u);
}

TEST(Parse, LongBarriersAreCheckedLikeAnyInstruction) {
    // Long barriers take another path to the duplicate test; the circuit's own
    // add_instruction is the reference for which error comes first.
    StdRng rng = StdRng::seed_from_u64(11);
    int rejected = 0;
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<Qubit> order(128);
        for (Qubit q = 0; q < 128; ++q) order[q] = q;
        for (std::size_t i = order.size() - 1; i > 0; --i) std::swap(order[i], order[rng.next_u64() % (i + 1)]);
        order.resize(40 + rng.next_u64() % 89);
        if (trial % 2 == 1) {  // repeat one qubit somewhere later
            const std::size_t from = rng.next_u64() % order.size();
            order.insert(order.begin() + static_cast<std::ptrdiff_t>(from + 1 + rng.next_u64() % (order.size() - from)),
                         order[from]);
        }
        std::string source = "qubit[100] a; qubit[28] b;\nbarrier ";
        ir::Barrier barrier;
        for (std::size_t i = 0; i < order.size(); ++i) {
            const Qubit q = order[i];
            source += (i ? ", " : "") + (q < 100 ? "a[" + fmt::display(q) : "b[" + fmt::display(q - 100)) + "]";
            barrier.qubits.push_back(q);
        }
        source += ";";
        ir::Circuit reference(128);
        std::expected<void, ir::CircuitError> want = reference.add_instruction(barrier);
        std::expected<ir::Circuit, ParseError> got = parse(source);
        if (want) {
            ASSERT_TRUE(got.has_value()) << source;
            EXPECT_EQ(got->instructions(), reference.instructions());
        } else {
            ++rejected;
            ASSERT_FALSE(got.has_value()) << source;
            EXPECT_EQ(got.error(),
                      (ParseError{ParseErrorKind::ir_rejected(want.error()), 2, 1, std::string(nth_line(source, 2))}));
        }
    }
    EXPECT_EQ(rejected, 150);
}

TEST(Parse, IncludesMustBeStdgates) {
    EXPECT_EQ(parse_error("OPENQASM 3;\ninclude \"stdgates.inc\";\n include \"qelib1.inc\";\nqubit[1] q;"),
              (ParseError{ParseErrorKind::unsupported("non-stdgates include"), 3, 2, " include \"qelib1.inc\";"}));
    // Checked before the declarations.
    EXPECT_EQ(parse_error("include \"x\"; qubit[1] q; qubit[1] q;").kind,
              ParseErrorKind::unsupported("non-stdgates include"));
}

TEST(Parse, HeaderAndIncludeFailures) {
    EXPECT_EQ(parse_error("OPENQASM 2.0;\nqubit[1] q;"),
              (ParseError{ParseErrorKind::unexpected_token("2.0;\nqubit[1] q;", "token"), 1, 10, "OPENQASM 2.0;"}));
    EXPECT_EQ(parse_error("OPENQASM 4294967296;").kind,
              ParseErrorKind::unexpected_token("4294967296;", "integer literal"));
    EXPECT_EQ(parse_error("OPENQASM 3.4294967296;"),
              (ParseError{ParseErrorKind::unexpected_token(".4294967296;", "keyword or punctuation"), 1, 11,
                          "OPENQASM 3.4294967296;"}));
    EXPECT_EQ(parse_error("OPENQASM 3  \n"),
              (ParseError{ParseErrorKind::unexpected_token("end of source", "keyword or punctuation"), 2, 1, ""}));
    EXPECT_EQ(parse_error("include stdgates.inc;"),
              (ParseError{ParseErrorKind::unexpected_token("stdgates.inc;", "keyword or punctuation"), 1, 9,
                          "include stdgates.inc;"}));
    EXPECT_EQ(parse_error("include \"stdgates.inc;\nqubit[1] q;"),
              (ParseError{ParseErrorKind::unexpected_token("stdgates.inc;\nqubit[", "token"), 1, 10,
                          "include \"stdgates.inc;"}));
    // A feature named where the grammar stopped.
    EXPECT_EQ(parse_error("include \"stdgates.inc\"\ngate g q { h q; }").kind,
              ParseErrorKind::unsupported("custom gate definition"));
}

TEST(Parse, ParameterErrors) {
    EXPECT_EQ(parse_error("qubit[1] q;\nrx(1/0) q[0];"),
              (ParseError{ParseErrorKind::bad_expression("division by zero"), 2, 4, "rx(1/0) q[0];"}));
    EXPECT_EQ(parse_error("qubit[1] q;\nrx(1e308*10) q[0];").message(),
              "error at 2:4: bad expression: non-finite expression result (inf)");
    EXPECT_EQ(parse_error("qubit[1] q;\nu3(0,\xC3\xA9\xC3\xA9 1/0, 0) q[0];").kind,
              ParseErrorKind::unexpected_token("u3(0,\xC3\xA9\xC3\xA9 1/0, 0) q[0]", "end of input"));
    EXPECT_EQ(
        parse_error("qubit[1] q;\n/*\xC3\xA9*/u3(0,  1/0, 0) q[0];"),
        (ParseError{ParseErrorKind::bad_expression("division by zero"), 2, 11, "/*\xC3\xA9*/u3(0,  1/0, 0) q[0];"}));
    std::string deep = "qubit[1] q;\nrx(" + std::string(300, '(') + "1" + std::string(300, ')') + ") q[0];";
    EXPECT_EQ(parse_error(deep).kind, ParseErrorKind::bad_expression("expression nested too deeply"));
    EXPECT_EQ(parse_error(deep).column, 4u);
    // No feature test for an expression error, even where one would match.
    EXPECT_EQ(parse_error("if (1/0) x q[0];").kind, ParseErrorKind::bad_expression("division by zero"));
}

TEST(Parse, UnreadText) {
    // Statements the grammar cannot read, located at their first character.
    EXPECT_EQ(parse_error("qubit[1] q; bit[1] c;\nh q[0];\nc[0] = measure q[0];"),
              (ParseError{ParseErrorKind::unexpected_token("c[0] = measure q[0];", "end of input"), 3, 1,
                          "c[0] = measure q[0];"}));
    EXPECT_EQ(parse_error("qubit[1] q;\nh q[0]; }"),
              (ParseError{ParseErrorKind::unexpected_token("}", "end of input"), 2, 9, "h q[0]; }"}));
    EXPECT_EQ(parse_error("qubit[1] q;\nrx(+pi) q[0];").kind,
              ParseErrorKind::unexpected_token("rx(+pi) q[0];", "end of input"));
    EXPECT_EQ(parse_error("qubit[1] q;\nh q[0]; /* open").kind,
              ParseErrorKind::unexpected_token("/* open", "end of input"));
    EXPECT_EQ(
        parse_error("qubit[2] q;\nh q[0];\nqubit[1] r;"),
        (ParseError{ParseErrorKind::unsupported("register declaration after gate statement"), 3, 1, "qubit[1] r;"}));
    EXPECT_EQ(parse_error("qubit q;").kind, ParseErrorKind::unsupported("register declaration after gate statement"));
    EXPECT_EQ(parse_error("qubit[4294967296] q;").kind,
              ParseErrorKind::unsupported("register declaration after gate statement"));
    EXPECT_EQ(parse_error("qubit[1] q; bit[1] c;\n  if (c == 1) x q[0];"),
              (ParseError{ParseErrorKind::unsupported("classical control flow (if)"), 2, 3, "  if (c == 1) x q[0];"}));
    EXPECT_EQ(parse_error("qubit[1] q;\nU(0, 0, 0) q;").kind,
              ParseErrorKind::unsupported("U(...) gate \xE2\x80\x94 use u3 instead"));
    EXPECT_EQ(parse_error("qubit[1] q;\ngphase(pi);").kind, ParseErrorKind::unsupported("global phase (gphase)"));
    // A comment after "barrier" makes it a gate call, or nothing readable.
    EXPECT_EQ(parse_error("qubit[1] q;\nbarrier/**/ q[0];").kind, ParseErrorKind::unknown_gate("barrier"));
    EXPECT_EQ(parse_error("qubit[1] q;\nbarrier/**/ q;").kind,
              ParseErrorKind::unexpected_token("barrier/**/ q;", "end of input"));
}

TEST(Parse, ColumnsCountCharactersAndLinesIgnoreCarriageReturns) {
    EXPECT_EQ(parse_error("qubit[1] q; /* \xC3\xA9\xC3\xA9\xE2\x82\xAC */ foo q[0];"),
              (ParseError{ParseErrorKind::unknown_gate("foo"), 1, 23,
                          "qubit[1] q; /* \xC3\xA9\xC3\xA9\xE2\x82\xAC */ foo q[0];"}));
    EXPECT_EQ(parse_error("qubit[1] q;\r\n\r\n  foo q[0];\r\n"),
              (ParseError{ParseErrorKind::unknown_gate("foo"), 3, 3, "  foo q[0];"}));
    EXPECT_EQ(parse_error("qubit[1] q;\r\nh q[0];\r\n}\r\n"),
              (ParseError{ParseErrorKind::unexpected_token("}", "end of input"), 3, 1, "}"}));
}

TEST(ResolveIndexed, FlatIndexOrError) {
    RegisterMap map{{"q", RegisterSlot{3, 2}}};
    std::string_view source = "x\n  q[7]";
    EXPECT_EQ(resolve_indexed(map, "q", 1, source, 4), 4u);
    EXPECT_EQ(resolve_indexed(map, "q", 2, source, 4).error(),
              (ParseError{ParseErrorKind::index_out_of_bounds("q", 2, 2), 2, 3, "  q[7]"}));
    EXPECT_EQ(resolve_indexed(map, "r", 0, source, 4).error(),
              (ParseError{ParseErrorKind::undeclared_register("r"), 2, 3, "  q[7]"}));
}

}  // namespace
}  // namespace nivra::qasm
