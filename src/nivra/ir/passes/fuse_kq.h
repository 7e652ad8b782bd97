#pragma once
// FuseKq: gathers fusable gates (no controls, not UnitaryKq, concrete matrix)
// into blocks of at most k qubits, merging blocks when a gate connects them
// and the union still fits, and replaces every block of three or more qubits
// holding two or more gates by one UnitaryKq.
//
// Block matrix bit order: block qubits q0 < q1 < ... < q(m-1); qubit q_p is
// bit (m-1-p) of the index (lowest-numbered qubit most significant). A gate
// matrix is indexed with its first target most significant.

#include <cstddef>
#include <span>
#include <vector>

#include "nivra/core/complex.h"
#include "nivra/core/gate.h"
#include "nivra/ir/pass.h"

namespace nivra::ir {

class FuseKq final : public Pass {
public:
    explicit FuseKq(std::size_t max_k) : max_k_(max_k) {}
    std::size_t max_k() const { return max_k_; }
    // The block width: max_k clamped to [2, 5].
    std::size_t width() const;

    std::string_view name() const override { return "FuseKq"; }
    // Returns (L, output length, UnitaryKq gates emitted). Blocks are emitted
    // when they close: just before the instruction that closed them, or at
    // the end in order of first position.
    std::expected<PassStats, PassError> run(Circuit& circuit) const override;

private:
    std::size_t max_k_;
};

// The D×D block matrix (D = 2^|block_qubits|, row-major) of `matrix` (a gate
// matrix of dimension 2^|gate_qubits|, first gate qubit most significant)
// acting on `gate_qubits` inside a block over `block_qubits` (ascending), the
// identity on the other block qubits. Throws InvariantError "gate qubit must
// lie in block" when a gate qubit is not a block qubit.
std::vector<Complex> lift_dense(std::span<const Complex> matrix, std::span<const Qubit> gate_qubits,
                                std::span<const Qubit> block_qubits);

}  // namespace nivra::ir
