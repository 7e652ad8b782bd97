// Randomised inputs: every text must come back as a circuit or a well-formed
// ParseError (never a crash, a hang, an exception or unbounded recursion), and
// randomly generated valid programs must lower to the circuit built directly.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "nivra/core/format.h"
#include "nivra/core/rng.h"
#include "nivra/qasm/lower.h"

namespace nivra::qasm {
namespace {

std::size_t below(StdRng& rng, std::size_t n) { return static_cast<std::size_t>(rng.next_u64() % n); }

template <class T, std::size_t N>
const T& pick(StdRng& rng, const std::array<T, N>& items) {
    return items[below(rng, N)];
}

constexpr std::array<std::string_view, 78> TOKENS = {
    "OPENQASM",
    "3",
    "3.1",
    "2",
    ";",
    "include",
    "\"stdgates.inc\"",
    "\"",
    "qubit",
    "bit",
    "[",
    "]",
    "q",
    "c",
    "r",
    "0",
    "1",
    "7",
    "65535",
    "4294967296",
    "h",
    "x",
    "cx",
    "ccx",
    "rx",
    "u3",
    "p",
    "U",
    "(",
    ")",
    ",",
    "pi",
    "-",
    "+",
    "*",
    "/",
    ".5e1",
    "1e308",
    "1e",
    "0.0",
    "measure",
    "->",
    "reset",
    "barrier",
    "if",
    "gate",
    "gphase",
    "def",
    "box",
    "delay",
    "{",
    "}",
    "//",
    "/*",
    "*/",
    "\n",
    "\r\n",
    "\r",
    " ",
    "\t",
    "\xC3\xA9",
    "\xC2\xA0",
    "\xE2\x82\xAC",
    "=",
    "\xFF",
    "\xC3",
    "\xE2\x80\xA8",
    "_",
    "q[0]",
    "q[1]",
    "c[0]",
    "swap",
    "tdg",
    "sdg",
    "ccz",
    "(((",
    ")))",
    "--",
};

// Checks what every outcome must satisfy; returns true for a circuit.
bool check_outcome(std::string_view source) {
    std::expected<ir::Circuit, ParseError> result = parse(source);
    if (result) {
        EXPECT_EQ(result->metadata().source, "openqasm:3.0");
        EXPECT_LE(result->num_qubits(), 65535u);
        EXPECT_LE(result->num_clbits(), 65535u);
        return true;
    }
    const ParseError& error = result.error();
    EXPECT_GE(error.line, 1u);
    EXPECT_GE(error.column, 1u);
    EXPECT_EQ(error.snippet, nth_line(source, error.line));
    // The column lies on the line: at most one past its characters (and a carriage return the snippet drops).
    std::size_t characters = 0;
    for (fmt::Utf8Reader reader(error.snippet); !reader.done(); reader.next()) ++characters;
    EXPECT_LE(error.column, characters + 2);
    const std::string prefix = "error at " + fmt::display(error.line) + ":" + fmt::display(error.column) + ": ";
    EXPECT_TRUE(error.message().starts_with(prefix)) << error.message();
    return false;
}

std::string token_soup(StdRng& rng) {
    std::string text;
    const std::size_t count = below(rng, 60);
    for (std::size_t i = 0; i < count; ++i) {
        text += pick(rng, TOKENS);
        if (below(rng, 3) == 0) text += ' ';
    }
    return text;
}

std::string random_bytes(StdRng& rng) {
    std::string text(below(rng, 80), '\0');
    for (char& c : text) c = static_cast<char>(rng.next_u32());
    return text;
}

constexpr std::array<std::string_view, 4> SEEDS = {
    "OPENQASM 3.0;\ninclude \"stdgates.inc\";\nqubit[3] q;\nbit[3] c;\nh q[0];\ncx q[0], q[1];\n"
    "rx(-pi/2) q[2];\nu3(0.1, 0.2, 0.3) q[1];\nbarrier q;\nmeasure q -> c;\nreset q[0];\n",
    "qubit[2] a; qubit[2] b; bit[4] m;\nccx a[0], a[1], b[0];\nmeasure b[1] -> m[3];\n// end\n",
    "OPENQASM 3;\nqubit[1] q;\nrx(((1 + 2) * 3 - 4 / 5)) q[0];\np(.5e1) q[0];\n/* block */ swap q[0], q[0];",
    "include \"stdgates.inc\";\r\nqubit[4] q;\r\nif (c == 1) x q[0];\r\ngate g a { h a; }\r\n",
};

std::string mutate(StdRng& rng, std::string text) {
    const std::size_t edits = 1 + below(rng, 8);
    for (std::size_t e = 0; e < edits; ++e) {
        const std::size_t at = text.empty() ? 0 : below(rng, text.size() + 1);
        switch (below(rng, 5)) {
            case 0:  // delete a short range
                if (!text.empty() && at < text.size()) text.erase(at, 1 + below(rng, 6));
                break;
            case 1:  // insert a token
                text.insert(at, pick(rng, TOKENS));
                break;
            case 2:  // overwrite a byte
                if (at < text.size()) text[at] = static_cast<char>(rng.next_u32());
                break;
            case 3:  // duplicate a slice
                if (at < text.size()) text.insert(at, text.substr(at, 1 + below(rng, 20)));
                break;
            default:  // truncate
                text.resize(at);
                break;
        }
    }
    return text;
}

std::string deep_nesting(StdRng& rng) {
    const std::size_t depth = below(rng, 3000);
    std::string open;
    for (std::size_t i = 0; i < depth; ++i) open += below(rng, 4) == 0 ? "-(" : "(";
    std::string close(below(rng, 2) == 0 ? depth : below(rng, depth + 1), ')');
    return "qubit[1] q;\nrx(" + open + "1" + close + ") q[0];";
}

TEST(Fuzz, EveryTextGivesACircuitOrAnError) {
    StdRng rng = StdRng::seed_from_u64(20240611);
    std::size_t circuits = 0;
    std::size_t total = 0;
    for (int i = 0; i < 6000; ++i, ++total) circuits += check_outcome(token_soup(rng));
    for (int i = 0; i < 2000; ++i, ++total) circuits += check_outcome(random_bytes(rng));
    for (int i = 0; i < 12000; ++i, ++total) circuits += check_outcome(mutate(rng, std::string(pick(rng, SEEDS))));
    for (int i = 0; i < 200; ++i, ++total) circuits += check_outcome(deep_nesting(rng));
    // Some of the mutated programs still lower: the generators reach the lowering too.
    EXPECT_GT(circuits, total / 50);
    EXPECT_LT(circuits, total);
}

TEST(Fuzz, DeepNestingIsAnErrorAtTheParameter) {
    const std::string open(100000, '(');
    for (std::string source : {"qubit[1] q;\nrx(" + open + ") q[0];", "qubit[1] q;\nrx(1, " + open}) {
        std::expected<ir::Circuit, ParseError> result = parse(source);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, ParseErrorKind::bad_expression("expression nested too deeply"));
        EXPECT_EQ(result.error().line, 2u);
    }
}

// Random valid programs, laid out with random white space and comments, against the circuit built directly.
class ProgramGenerator {
public:
    explicit ProgramGenerator(std::uint64_t seed) : rng_(StdRng::seed_from_u64(seed)) {}

    void generate(std::string& source, ir::Circuit& expected) {
        source.clear();
        qregs_.clear();
        cregs_.clear();
        std::uint32_t num_qubits = 0;
        std::uint32_t num_clbits = 0;
        if (below(rng_, 2))
            source += pick(rng_, std::array<std::string_view, 3>{"OPENQASM 3;", "OPENQASM 3.1;", "OPENQASM3 ;"});
        if (below(rng_, 2)) source += ws() + "include" + ws() + "\"stdgates.inc\"" + ws() + ";";
        const std::size_t registers = 1 + below(rng_, 5);
        for (std::size_t r = 0; r < registers; ++r) {
            const bool is_qubit = r == 0 || below(rng_, 3) != 0;
            const auto size = static_cast<std::uint32_t>(below(rng_, 5) + (is_qubit ? 1 : 0));
            const std::string name = (is_qubit ? "q" : "c") + fmt::display(static_cast<std::uint64_t>(r));
            source += ws() + (is_qubit ? "qubit" : "bit") + ws() + "[" + ws() + fmt::display(size) + ws() + "]" +
                      ws1() + name + ws() + ";";
            std::uint32_t& total = is_qubit ? num_qubits : num_clbits;
            (is_qubit ? qregs_ : cregs_).push_back({name, total, size});
            total += size;
        }
        expected = ir::Circuit(num_qubits, num_clbits);
        expected.metadata().source = "openqasm:3.0";
        const std::size_t statements = below(rng_, 30);
        for (std::size_t s = 0; s < statements; ++s) statement(source, expected);
        source += ws();
    }

private:
    struct Reg {
        std::string name;
        std::uint32_t offset;
        std::uint32_t size;
    };

    std::string ws() {
        static constexpr std::array<std::string_view, 8> SPACES = {
            "", "", " ", "\t", "\n", "\r\n", "/* c\xC3\xA9 */", "// x\n"};
        return std::string(pick(rng_, SPACES));
    }
    std::string ws1() { return below(rng_, 2) ? " " : "\n\t"; }

    // An indexed operand over the flat qubit `flat` of the qubit registers.
    std::string qubit_ref(std::uint32_t flat) {
        for (const Reg& reg : qregs_) {
            if (flat < reg.offset + reg.size) {
                return ws() + reg.name + ws() + "[" + ws() + fmt::display(flat - reg.offset) + ws() + "]";
            }
        }
        ADD_FAILURE() << "qubit outside every register";
        return {};
    }

    std::vector<std::uint32_t> distinct_qubits(std::size_t count, std::uint32_t num_qubits) {
        std::vector<std::uint32_t> chosen;
        while (chosen.size() < count) {
            const auto q = static_cast<std::uint32_t>(below(rng_, num_qubits));
            if (std::find(chosen.begin(), chosen.end(), q) == chosen.end()) chosen.push_back(q);
        }
        return chosen;
    }

    // A parameter text and its value, computed in the evaluator's operation order.
    std::pair<std::string, double> parameter() {
        const double k = static_cast<double>(below(rng_, 9));
        const std::string ks = fmt::display(static_cast<std::uint64_t>(k));
        switch (below(rng_, 6)) {
            case 0:
                return {ks, k};
            case 1:
                return {ws() + ks + ".5", k + 0.5};
            case 2:
                return {"-" + ws() + "pi", -3.141592653589793};
            case 3:
                return {"pi" + ws() + "*" + ks, 3.141592653589793 * k};
            case 4:
                return {"(" + ks + ws() + "+ 1" + ws() + ")/2", (k + 1) / 2};
            default:
                return {"-(" + ks + ")", -k};
        }
    }

    void statement(std::string& source, ir::Circuit& expected) {
        const std::uint32_t n = expected.num_qubits();
        switch (below(rng_, 5)) {
            case 0:
            case 1: {
                struct Entry {
                    std::string_view name;
                    std::size_t params;
                    std::size_t arity;
                };
                static constexpr std::array<Entry, 8> GATES = {{{"h", 0, 1},
                                                                {"tdg", 0, 1},
                                                                {"rx", 1, 1},
                                                                {"p", 1, 1},
                                                                {"u3", 3, 1},
                                                                {"cx", 0, 2},
                                                                {"swap", 0, 2},
                                                                {"ccz", 0, 3}}};
                const Entry& entry = pick(rng_, GATES);
                if (entry.arity > n) return;
                source += ws() + std::string(entry.name) + ws();
                std::vector<double> values;
                if (entry.params > 0) {
                    source += "(";
                    for (std::size_t i = 0; i < entry.params; ++i) {
                        auto [text, value] = parameter();
                        source += (i ? "," + ws() : "") + text;
                        values.push_back(value);
                    }
                    source += ")";
                } else {
                    source += ws1();  // keeps the first operand apart from the gate name
                }
                const std::vector<std::uint32_t> targets = distinct_qubits(entry.arity, n);
                for (std::size_t i = 0; i < targets.size(); ++i) source += (i ? "," : "") + qubit_ref(targets[i]);
                source += ws() + ";";
                Gate gate = entry.name == "h"      ? Gate::h()
                            : entry.name == "tdg"  ? Gate::tdg()
                            : entry.name == "rx"   ? Gate::rx(values.at(0))
                            : entry.name == "p"    ? Gate::phase(values.at(0))
                            : entry.name == "u3"   ? Gate::u3(values.at(0), values.at(1), values.at(2))
                            : entry.name == "cx"   ? Gate::cnot()
                            : entry.name == "swap" ? Gate::swap()
                                                   : Gate::ccz();
                GateInstance instance{std::move(gate), {}, {}};
                instance.targets.assign(targets.begin(), targets.end());
                ASSERT_TRUE(expected.add_gate(std::move(instance)));
                return;
            }
            case 2: {
                if (cregs_.empty()) return;
                const Reg& c = cregs_[below(rng_, cregs_.size())];
                if (c.size == 0) return;
                const auto q = static_cast<std::uint32_t>(below(rng_, n));
                const auto bit = static_cast<std::uint32_t>(below(rng_, c.size));
                source += ws() + "measure" + ws1() + qubit_ref(q) + ws() + "->" + ws() + c.name + "[" +
                          fmt::display(bit) + "]" + ws() + ";";
                ASSERT_TRUE(expected.add_instruction(ir::Measure{q, c.offset + bit}));
                return;
            }
            case 3: {
                const auto q = static_cast<std::uint32_t>(below(rng_, n));
                source += ws() + "reset" + ws1() + qubit_ref(q) + ws() + ";";
                ASSERT_TRUE(expected.add_instruction(ir::Reset{q}));
                return;
            }
            default: {
                const Reg& whole = qregs_[below(rng_, qregs_.size())];
                ir::Barrier barrier;
                source += ws() + "barrier" + ws1() + whole.name + ws();
                for (std::uint32_t i = 0; i < whole.size; ++i) barrier.qubits.push_back(whole.offset + i);
                // One more qubit outside that register, when there is one.
                if (whole.size < n) {
                    std::uint32_t extra;
                    do {
                        extra = static_cast<std::uint32_t>(below(rng_, n));
                    } while (extra >= whole.offset && extra < whole.offset + whole.size);
                    source += "," + qubit_ref(extra);
                    barrier.qubits.push_back(extra);
                }
                source += ws() + ";";
                ASSERT_TRUE(expected.add_instruction(std::move(barrier)));
                return;
            }
        }
    }

    StdRng rng_;
    std::vector<Reg> qregs_;
    std::vector<Reg> cregs_;
};

TEST(Fuzz, GeneratedProgramsLowerToTheCircuitBuiltDirectly) {
    ProgramGenerator generator(7);
    std::string source;
    ir::Circuit expected(0);
    std::size_t instructions = 0;
    for (int i = 0; i < 1500; ++i) {
        generator.generate(source, expected);
        instructions += expected.size();
        std::expected<ir::Circuit, ParseError> circuit = parse(source);
        ASSERT_TRUE(circuit.has_value()) << source << "\n" << circuit.error().message();
        ASSERT_EQ(*circuit, expected) << source;
    }
    EXPECT_GT(instructions, 1500u * 5);  // the programs are not trivially short
}

}  // namespace
}  // namespace nivra::qasm
