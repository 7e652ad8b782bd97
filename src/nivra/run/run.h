#pragma once
// The simulation paths behind nivra.run, free of Python: a seeded (or
// entropy-seeded) run of a circuit on the state-vector, stabilizer or MPS
// backend, sampled into a histogram of outcomes. The Python layer parses the
// arguments, picks the path and releases the interpreter lock around it.
// Errors are the texts of the ValueError the caller raises.

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nivra/ir/circuit.h"
#include "nivra/sv/state.h"

namespace nivra::run {

// Bit string of an outcome to the number of shots that gave it, ordered by
// the text. Kept as the outcomes themselves, ascending, with the qubit count
// that fixes the key width; keys are written only when Python reads them.
// Every outcome is below 2^num_qubits, so every key has num_qubits
// characters (one for 0 qubits) and text order is numeric order.
struct Histogram {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> entries;  // (outcome, count), outcomes ascending
    std::uint32_t num_qubits = 0;
};

// The outcome in base 2, most significant bit first, left-padded with '0' to
// at least `num_qubits` characters: character k from the right is qubit k.
// 0 qubits: the outcome 0 is "0".
std::string histogram_key(std::uint64_t outcome, std::uint32_t num_qubits);

// The histogram of per-outcome shot counts (outcome -> count). Throws
// InvariantError for an outcome that an n-qubit run cannot give (>= 2^n).
Histogram counts_map(const std::map<std::uint64_t, std::uint64_t>& counts, std::uint32_t num_qubits);

// Appends (outcome, count) after every entry already there; the same check
// as counts_map, and outcomes must come in ascending order (InvariantError).
void append_count(Histogram& histogram, std::uint64_t outcome, std::uint64_t count);

// What a path hands back: the histogram and, on the state-vector path, the
// final state.
struct PathResult {
    Histogram counts;
    std::optional<sv::CpuState> state;
};

using PathOutcome = std::expected<PathResult, std::string>;

// The state-vector path. The caller's circuit is copied before optimising, so
// repeated runs never see each other's rewrites. Errors carry "run sv: " or
// "sample: ". Without a seed the generator is seeded from OS entropy.
PathOutcome run_statevector(const ir::Circuit& circuit, std::uint32_t shots, std::optional<std::uint64_t> seed);

// The stabilizer and MPS paths: the circuit is executed as built, never
// copied or changed. Everything the circuit alone decides (more than 64 qubits
// for sampling included) is checked before simulating; errors carry
// "run stab: " / "run mps: " or "sample: ".
PathOutcome run_stabilizer(const ir::Circuit& circuit, std::uint32_t shots, std::optional<std::uint64_t> seed);
PathOutcome run_mps(const ir::Circuit& circuit, std::uint32_t shots, std::optional<std::uint64_t> seed);

}  // namespace nivra::run
