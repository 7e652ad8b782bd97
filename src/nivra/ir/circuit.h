#pragma once
// The circuit intermediate representation: what every front end builds, what
// the optimisation passes rewrite in place, and what every backend executes.
//
// A circuit is a list of instructions over `num_qubits` qubits and
// `num_clbits` classical bits. Every insertion is validated, so a circuit
// built through add_gate / add_instruction only names qubits below
// `num_qubits` and classical bits below `num_clbits`; backends rely on that.
//
// Instruction is a closed sum of six variants, visited like a std::variant:
//
//     inst.visit(overloaded{
//         [](const GateInstance& g) { ... },   // a plain gate
//         [](const Measure& m) { ... },        // qubit -> classical bit
//         [](const Reset& r) { ... },
//         [](const Barrier& b) { ... },
//         [](const DiagonalPhase& d) { ... },  // built by FuseDiagonalRuns
//         [](const TiledBlock& t) { ... },     // built by TileBlock
//     });

#include <boost/container/small_vector.hpp>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/gate.h"
#include "nivra/ir/pass.h"

namespace nivra::ir {

// A classical-bit index; 32 bits like Qubit.
using Clbit = std::uint32_t;

// Largest qubit count of a circuit (65535, not 65536). Front ends bound the
// classical-bit count by the same value.
inline constexpr std::uint32_t MAX_QUBITS = 65535;
inline constexpr std::uint32_t MAX_CLBITS = 65535;

// At most this many external controls on one gate.
inline constexpr std::size_t MAX_CONTROLS = 8;

// The qubits an instruction touches, inline up to six.
using UsedQubits = boost::container::small_vector<Qubit, 6>;

// Lets several lambdas form one visitor.
template <class... Fs>
struct overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
overloaded(Fs...) -> overloaded<Fs...>;

struct Measure {
    Qubit qubit = 0;
    Clbit clbit = 0;
    friend bool operator==(const Measure&, const Measure&) = default;
};

struct Reset {
    Qubit qubit = 0;
    friend bool operator==(const Reset&, const Reset&) = default;
};

struct Barrier {
    boost::container::small_vector<Qubit, 8> qubits;
    friend bool operator==(const Barrier&, const Barrier&) = default;
};

// One term of a diagonal phase function over basis indices x: it contributes
// `angle` (radians) where every mask has an odd number of set bits in common
// with x (a product of parities). An empty mask list contributes everywhere
// (a global phase). Bit q of a mask stands for qubit q.
struct PhaseTerm {
    boost::container::small_vector<std::uint64_t, 2> masks;
    double angle = 0.0;
    friend bool operator==(const PhaseTerm&, const PhaseTerm&) = default;
};

// The diagonal unitary that multiplies amplitude x by e^(iθ(x)), θ(x) the sum
// of the contributing term angles. Masks range over qubits 0..width-1; a
// valid phase has width <= 64 (one mask word) and width <= num_qubits.
struct DiagonalPhase {
    std::vector<PhaseTerm> terms;
    std::uint32_t width = 0;

    // Every qubit q < min(width, 64) set in some mask of some term, ascending.
    UsedQubits used_qubits() const;
    friend bool operator==(const DiagonalPhase&, const DiagonalPhase&) = default;
};

// Gates applied in order, grouped so the state-vector backend can apply them
// chunk by chunk. A valid block holds gates of at most two targets, all
// targets below `tile` (controls may lie anywhere).
struct TiledBlock {
    std::vector<GateInstance> gates;
    std::uint8_t tile = 0;

    // The distinct qubits of the gates: walking the gates in order, each
    // gate's targets then controls, every qubit the first time it is met.
    UsedQubits used_qubits() const;
    friend bool operator==(const TiledBlock&, const TiledBlock&) = default;
};

class Instruction {
public:
    // Variant indices follow this order.
    enum class Kind : std::uint8_t { Gate, Measure, Reset, Barrier, DiagonalPhase, TiledBlock };
    using Variant = std::variant<GateInstance, Measure, Reset, Barrier, DiagonalPhase, TiledBlock>;

    // Implicit from each payload, like a variant.
    Instruction(GateInstance gate) : v_(std::move(gate)) {}     // NOLINT
    Instruction(Measure measure) : v_(measure) {}               // NOLINT
    Instruction(Reset reset) : v_(reset) {}                     // NOLINT
    Instruction(Barrier barrier) : v_(std::move(barrier)) {}    // NOLINT
    Instruction(DiagonalPhase phase) : v_(std::move(phase)) {}  // NOLINT
    Instruction(TiledBlock block) : v_(std::move(block)) {}     // NOLINT

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool is_gate() const { return v_.index() == 0; }

    template <class T>
    bool holds() const {
        return std::holds_alternative<T>(v_);
    }
    template <class T>
    const T* get_if() const {
        return std::get_if<T>(&v_);
    }
    template <class T>
    T* get_if() {
        return std::get_if<T>(&v_);
    }
    // The payload; throws InvariantError when the instruction holds another variant.
    template <class T>
    const T& get() const {
        const T* p = std::get_if<T>(&v_);
        check_invariant(p != nullptr, "Instruction::get: wrong variant");
        return *p;
    }
    template <class T>
    T& get() {
        T* p = std::get_if<T>(&v_);
        check_invariant(p != nullptr, "Instruction::get: wrong variant");
        return *p;
    }

    // The plain gate, or null.
    const GateInstance* gate() const { return get_if<GateInstance>(); }
    GateInstance* gate() { return get_if<GateInstance>(); }

    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit(std::forward<F>(f), v_);
    }
    template <class F>
    decltype(auto) visit(F&& f) {
        return std::visit(std::forward<F>(f), v_);
    }

    const Variant& variant() const { return v_; }
    Variant& variant() { return v_; }

    // The qubits this instruction touches; the order matters to the passes:
    //   gate           targets in order, then controls in order
    //   Measure/Reset  its one qubit (never the classical bit)
    //   Barrier        its qubits in order
    //   DiagonalPhase  DiagonalPhase::used_qubits (ascending)
    //   TiledBlock     TiledBlock::used_qubits (first occurrence order)
    UsedQubits used_qubits() const;

    friend bool operator==(const Instruction&, const Instruction&) = default;

private:
    Variant v_;
};

// The errors of building a circuit. `message()` gives the exact text.
struct CircuitError {
    enum class Kind : std::uint8_t {
        QubitOutOfRange = 0,  // index = qubit, bound = num_qubits
        ClbitOutOfRange = 1,  // index = clbit, bound = num_clbits
        DuplicateQubit = 2,   // index = qubit
        ArityMismatch = 3,    // gate_name, index = arity, bound = qubits supplied
        EmptyBarrier = 4,
        TooManyControls = 5,  // gate_name, index = control count, bound = maximum (8)
        TooManyQubits = 6,    // index = requested, bound = maximum
        TooManyClbits = 7,    // index = requested, bound = maximum
    };

    Kind kind = Kind::EmptyBarrier;
    std::string_view gate_name;  // a static name from gate_kind_name
    std::uint64_t index = 0;
    std::uint64_t bound = 0;

    static CircuitError qubit_out_of_range(Qubit qubit, std::uint64_t num_qubits) {
        return {Kind::QubitOutOfRange, {}, qubit, num_qubits};
    }
    static CircuitError clbit_out_of_range(Clbit clbit, std::uint32_t num_clbits) {
        return {Kind::ClbitOutOfRange, {}, clbit, num_clbits};
    }
    static CircuitError duplicate_qubit(Qubit qubit) { return {Kind::DuplicateQubit, {}, qubit, 0}; }
    static CircuitError arity_mismatch(std::string_view name, std::size_t arity, std::size_t supplied) {
        return {Kind::ArityMismatch, name, arity, supplied};
    }
    static CircuitError empty_barrier() { return {Kind::EmptyBarrier, {}, 0, 0}; }
    static CircuitError too_many_controls(std::string_view name, std::size_t count) {
        return {Kind::TooManyControls, name, count, MAX_CONTROLS};
    }
    static CircuitError too_many_qubits(std::uint64_t requested, std::uint64_t max = MAX_QUBITS) {
        return {Kind::TooManyQubits, {}, requested, max};
    }
    static CircuitError too_many_clbits(std::uint64_t requested, std::uint64_t max = MAX_CLBITS) {
        return {Kind::TooManyClbits, {}, requested, max};
    }

    // The numeric tag, 0..7, in the order of Kind.
    std::uint8_t tag() const { return static_cast<std::uint8_t>(kind); }

    //   QubitOutOfRange  "qubit {} out of range (circuit has {} qubits)"
    //   ClbitOutOfRange  "clbit {} out of range (circuit has {} clbits)"
    //   DuplicateQubit   "duplicate qubit index {} in instruction"
    //   ArityMismatch    "gate {} has arity {} but {} qubits supplied"
    //   EmptyBarrier     "barrier must cover at least one qubit"
    //   TooManyControls  "gate {} has {} external controls but max is {}"
    //   TooManyQubits    "too many qubits: requested {}, max {}"
    //   TooManyClbits    "too many clbits: requested {}, max {}"
    std::string message() const;

    friend bool operator==(const CircuitError&, const CircuitError&) = default;
};

// Two optional texts carried with the circuit (copied with it). `source` is
// "openqasm:3.0" for circuits from the OpenQASM front end.
struct CircuitMetadata {
    std::optional<std::string> name;
    std::optional<std::string> source;
    friend bool operator==(const CircuitMetadata&, const CircuitMetadata&) = default;
};

// A layering of a circuit: each layer is a list of instruction positions.
using Layers = std::vector<std::vector<std::size_t>>;

class Circuit {
public:
    // An empty circuit without classical bits. Throws InvariantError
    // "Circuit::new: num_qubits={} exceeds MAX_QUBITS=65535" above MAX_QUBITS:
    // front ends test user counts first (see create).
    explicit Circuit(std::uint32_t num_qubits);
    // An empty circuit with classical bits. Throws InvariantError when a count
    // exceeds 65535 (the qubit count is tested first, as above).
    Circuit(std::uint32_t num_qubits, std::uint32_t num_clbits);

    // For counts that come from users: the qubit count is tested first, then
    // the classical-bit count, each against 65535 (TooManyQubits, TooManyClbits).
    static std::expected<Circuit, CircuitError> create(std::uint64_t num_qubits, std::uint64_t num_clbits = 0);

    std::uint32_t num_qubits() const { return num_qubits_; }
    std::uint32_t num_clbits() const { return num_clbits_; }
    std::size_t size() const { return instructions_.size(); }
    bool empty() const { return instructions_.empty(); }

    const std::vector<Instruction>& instructions() const { return instructions_; }
    // For passes that rewrite in place. They keep the insertion invariants:
    // every qubit below num_qubits, every classical bit below num_clbits.
    std::vector<Instruction>& instructions_mut() { return instructions_; }

    const CircuitMetadata& metadata() const { return metadata_; }
    CircuitMetadata& metadata() { return metadata_; }

    // Entry q is the index that qubit q of the circuit as built carries after
    // relabelling (old to new); absent unless RelabelQubits applied one.
    const std::optional<std::vector<Qubit>>& permutation() const { return permutation_; }
    // Stores a permutation; throws InvariantError unless it is a permutation of 0..num_qubits-1.
    void set_permutation(std::vector<Qubit> permutation);

    // Room for `count` instructions in all. Throws AllocationError "cannot
    // allocate {size} for {count} instructions of a {n}-qubit circuit" when
    // the list would exceed memory_limit() or cannot be allocated.
    void reserve(std::size_t count);

    // Validates the gate and appends it. On an error the circuit is unchanged.
    // The instruction list grows by doubling, each growth checked like
    // reserve (so AllocationError names the doubled count).
    std::expected<void, CircuitError> add_gate(GateInstance gate);
    // Validates one instruction of any variant and appends it; on an error the
    // circuit is unchanged. Checks, first failure wins:
    //   Gate           validate_gate
    //   Measure        qubit range, then clbit range
    //   Reset          qubit range
    //   Barrier        non-empty, then each qubit: range, then repetition
    //   DiagonalPhase  width <= min(64, num_qubits) (TooManyQubits), then every
    //                  mask bit below width (QubitOutOfRange)
    //   TiledBlock     every used qubit below num_qubits, then each gate in
    //                  order: validate_gate, at most two targets (TooManyQubits
    //                  with max 2), targets below the tile (QubitOutOfRange
    //                  against the tile width)
    std::expected<void, CircuitError> add_instruction(Instruction instruction);

    // The checks of a plain gate, in order: arity, at most 8 controls, then
    // every qubit (targets in order, then controls) for range, then repetition.
    static std::expected<void, CircuitError> validate_gate(std::uint32_t num_qubits, const GateInstance& gate);

    // Sequential layering: a running layer index that never decreases; a new
    // layer opens when an instruction touches a qubit (or, for a Measure, a
    // classical bit) that the current layer touched, unless both instructions
    // are plain diagonal gates. Every layer is a consecutive run of positions.
    // Throws InvariantError for a qubit or classical bit out of range.
    Layers layers() const;

    // Runs the default pipeline in place. Returns (first pass's before, last
    // pass's after, saturating sum of changes) or the first PassError; after
    // an error the circuit keeps the rewrites of the passes that ran.
    std::expected<PassStats, PassError> optimize();

    friend bool operator==(const Circuit&, const Circuit&) = default;

private:
    // reserve's check before one more instruction is appended.
    void reserve_one_more();

    std::vector<Instruction> instructions_;
    CircuitMetadata metadata_;
    std::optional<std::vector<Qubit>> permutation_;
    std::uint32_t num_qubits_ = 0;
    std::uint32_t num_clbits_ = 0;
};

}  // namespace nivra::ir
