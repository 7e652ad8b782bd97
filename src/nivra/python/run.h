#pragma once
// The histogram every path of run() produces, shared with the noisy branch.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace nivra::python {

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

}  // namespace nivra::python
