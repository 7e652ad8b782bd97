#pragma once
// DeadCodeElim: removes gates that cannot influence anything read later,
// walking back from the end with a set of live qubits.

#include <cstdint>

#include "nivra/ir/pass.h"

namespace nivra::ir {

class DeadCodeElim final : public Pass {
public:
    enum class Liveness : std::uint8_t {
        // Only measured qubits are read; a circuit without a Measure is left as it is.
        MeasuredOnly,
        // Every qubit is read at the end (a run samples the whole final state).
        AllQubitsAtEnd,
    };

    explicit DeadCodeElim(Liveness liveness = Liveness::MeasuredOnly) : liveness_(liveness) {}
    Liveness liveness() const { return liveness_; }

    std::string_view name() const override { return "DeadCodeElim"; }
    // Back to front: a Measure makes its qubit live; a gate with a live qubit
    // stays and makes all its qubits live, otherwise it is dropped (unless it
    // has no matrix: running it must fail); a Reset stays and kills its qubit;
    // Barrier, DiagonalPhase and TiledBlock stay and make their qubits live.
    // Returns (L, kept, dropped gates).
    std::expected<PassStats, PassError> run(Circuit& circuit) const override;

private:
    Liveness liveness_;
};

}  // namespace nivra::ir
