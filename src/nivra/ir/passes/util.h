#pragma once
// Small helpers shared by the pass implementations (not part of the public API).

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "nivra/core/complex.h"
#include "nivra/core/error.h"
#include "nivra/core/gate.h"
#include "nivra/ir/circuit.h"

namespace nivra::ir::detail {

// Whether Gate::matrix succeeds, without computing it: every parameter
// concrete and finite, and the kind is not UnitaryKq.
inline bool has_concrete_matrix(const Gate& gate) {
    if (gate.kind() == GateKind::UnitaryKq) {
        return false;
    }
    for (const Param& p : gate.params()) {
        if (p.is_symbolic() || !std::isfinite(p.value)) {
            return false;
        }
    }
    return true;
}

// Whether the gate has a matrix at all (a UnitaryKq carries its own). A pass
// never removes a gate without one: executing it must fail on every backend.
inline bool is_executable(const Gate& gate) { return gate.kind() == GateKind::UnitaryKq || has_concrete_matrix(gate); }

// A single-qubit kind whose fused product stays diagonal (a diagonal run
// fuses into Unitary1qDiag).
constexpr bool is_diagonal_1q(GateKind kind) { return is_diagonal_kind(kind) && is_one_qubit_kind(kind); }

using Mat2 = std::array<Complex, 4>;
using Mat4 = std::array<Complex, 16>;

// a·b for row-major N×N matrices, each entry summed over k ascending from zero.
template <std::size_t N>
std::array<Complex, N * N> mul_square(const std::array<Complex, N * N>& a, const std::array<Complex, N * N>& b) {
    std::array<Complex, N * N> r{};
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            Complex acc(0.0, 0.0);
            for (std::size_t k = 0; k < N; ++k) {
                acc += a[i * N + k] * b[k * N + j];
            }
            r[i * N + j] = acc;
        }
    }
    return r;
}

inline Mat2 mul2(const Mat2& a, const Mat2& b) { return mul_square<2>(a, b); }
inline Mat4 mul4(const Mat4& a, const Mat4& b) { return mul_square<4>(a, b); }

inline Mat4 identity4() {
    Mat4 m{};
    for (std::size_t i = 0; i < 4; ++i) {
        m[i * 4 + i] = Complex(1.0, 0.0);
    }
    return m;
}

// g⊗I: g on the high bit (the first qubit of the pair).
inline Mat4 kron_high(const Mat2& g) {
    const Complex z(0.0, 0.0);
    return {g[0], z,    g[1], z,     //
            z,    g[0], z,    g[1],  //
            g[2], z,    g[3], z,     //
            z,    g[2], z,    g[3]};
}

// I⊗g: g on the low bit (the second qubit of the pair).
inline Mat4 kron_low(const Mat2& g) {
    const Complex z(0.0, 0.0);
    return {g[0], g[1], z,    z,     //
            g[2], g[3], z,    z,     //
            z,    z,    g[0], g[1],  //
            z,    z,    g[2], g[3]};
}

// S·g·S with S the swap of basis indices 1 and 2: the matrix of a gate on
// (b, a) re-expressed over the pair (a, b).
inline Mat4 swap_pair(const Mat4& g) {
    constexpr std::array<std::size_t, 4> p = {0, 2, 1, 3};
    Mat4 r{};
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < 4; ++j) {
            r[i * 4 + j] = g[p[i] * 4 + p[j]];
        }
    }
    return r;
}

// Calls f(q) for each qubit of Instruction::used_qubits, in the same order,
// without building the list for the common variants.
template <class F>
void for_each_used_qubit(const Instruction& inst, F&& f) {
    if (const GateInstance* g = inst.gate()) {
        for (Qubit q : g->targets) {
            f(q);
        }
        for (Qubit q : g->controls) {
            f(q);
        }
        return;
    }
    if (const Measure* m = inst.get_if<Measure>()) {
        f(m->qubit);
        return;
    }
    if (const Reset* r = inst.get_if<Reset>()) {
        f(r->qubit);
        return;
    }
    for (Qubit q : inst.used_qubits()) {
        f(q);
    }
}

// The output of a pass that rebuilds the instruction list, kept as references
// into the untouched input plus freshly made instructions. Nothing moves out
// of the input until install(), so a pass that fails or throws half way
// leaves its circuit as it was.
//
// When every entry stands at an input position (a copy, or a new instruction
// that takes the place of input positions it replaces) and those positions
// increase, the list is rebuilt in place: entry j is written to slot j <= its
// position, which no later entry reads. Otherwise a new list is built.
class OutputList {
public:
    explicit OutputList(std::size_t reserve) { entries_.reserve(reserve); }

    // Emits the input instruction at `position` unchanged.
    void copy(std::size_t position) {
        note_position(position);
        entries_.push_back(position);
    }
    // Emits a new instruction standing at input `position` (which is not copied).
    void add_at(std::size_t position, Instruction inst) {
        note_position(position);
        add_fresh(std::move(inst));
    }
    // Emits a new instruction with no input position.
    void add(Instruction inst) {
        monotone_ = false;
        add_fresh(std::move(inst));
    }
    std::size_t size() const { return entries_.size(); }
    void reserve_fresh(std::size_t count) { fresh_.reserve(count); }

    // Replaces `list` (the input the entries refer to) by the output.
    void install(std::vector<Instruction>& list) {
        if (monotone_) {
            install_in_place(list);
            return;
        }
        std::vector<Instruction> out;
        out.reserve(entries_.size());
        for (std::size_t e : entries_) {
            out.push_back(take(list, e));
        }
        list = std::move(out);
    }

private:
    static constexpr std::size_t FRESH = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);

    void note_position(std::size_t position) {
        monotone_ = monotone_ && (!any_position_ || position > last_position_);
        any_position_ = true;
        last_position_ = position;
    }
    void add_fresh(Instruction inst) {
        entries_.push_back(FRESH | fresh_.size());
        fresh_.push_back(std::move(inst));
    }
    Instruction take(std::vector<Instruction>& list, std::size_t e) {
        if (e & FRESH) {
            const std::size_t index = e & ~FRESH;
            check_index(index, fresh_.size(), "OutputList fresh");
            return std::move(fresh_[index]);
        }
        check_index(e, list.size(), "OutputList input");
        return std::move(list[e]);
    }
    void install_in_place(std::vector<Instruction>& list) {
        for (std::size_t j = 0; j < entries_.size(); ++j) {
            const std::size_t e = entries_[j];
            if (e == j) {
                continue;  // already in its slot
            }
            list[j] = take(list, e);
        }
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(entries_.size()), list.end());
    }

    std::vector<std::size_t> entries_;
    std::vector<Instruction> fresh_;
    bool monotone_ = true;
    bool any_position_ = false;
    std::size_t last_position_ = 0;
};

// Slots for the open blocks of a fusion pass. Freed slots are reused, so the
// memory follows the number of blocks open at once (at most one per qubit),
// not the number ever opened; no pass's output depends on slot numbers.
template <class T>
class SlotPool {
public:
    using Id = std::uint32_t;
    static constexpr Id NONE = ~Id{0};

    Id insert(T value) {
        if (!free_.empty()) {
            const Id id = free_.back();
            free_.pop_back();
            slots_[id].emplace(std::move(value));
            return id;
        }
        check_invariant(slots_.size() < NONE, "SlotPool: too many slots");
        slots_.emplace_back(std::move(value));
        return static_cast<Id>(slots_.size() - 1);
    }
    bool live(Id id) const { return id < slots_.size() && slots_[id].has_value(); }
    T& at(Id id) {
        check_index(id, slots_.size(), "SlotPool slot");
        check_invariant(slots_[id].has_value(), "SlotPool: empty slot");
        return *slots_[id];
    }
    T take(Id id) {
        T value = std::move(at(id));
        slots_[id].reset();
        free_.push_back(id);
        return value;
    }
    // Slot numbers in use are below this.
    std::size_t slot_count() const { return slots_.size(); }

private:
    std::vector<std::optional<T>> slots_;
    std::vector<Id> free_;
};

// Installs a rebuilt list in the circuit.
inline void install(Circuit& circuit, OutputList& output) { output.install(circuit.instructions_mut()); }

}  // namespace nivra::ir::detail
