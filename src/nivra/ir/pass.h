#pragma once
// The optimisation-pass interface, its statistics and error, and the ordered
// pipeline that Circuit::optimize runs before state-vector execution.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace nivra::ir {

class Circuit;

// Instruction counts when a pass (or the pipeline) started and finished, and
// the number of rewrites it made (each pass defines what one rewrite is).
struct PassStats {
    std::size_t before = 0;
    std::size_t after = 0;
    std::size_t changes = 0;
    friend bool operator==(const PassStats&, const PassStats&) = default;
};

// The one error a pass reports. `text` is a static string.
struct PassError {
    enum class Kind : std::uint8_t { InternalInvariant };

    Kind kind = Kind::InternalInvariant;
    std::string_view text;

    static PassError internal_invariant(std::string_view text) { return {Kind::InternalInvariant, text}; }
    // "internal invariant violated: {text}"
    std::string message() const;
    friend bool operator==(const PassError&, const PassError&) = default;
};

inline constexpr std::string_view DIAGONAL_WIDTH_TEXT = "DiagonalPhase mask width > 64";
inline constexpr std::string_view BLOCK_NOT_4X4_TEXT = "2q block did not hold a 4×4";

// The fusion passes emit a run or block once it holds this many gates, so
// rounding drift of a long product stays far below the backends' unitarity
// tolerance; the result is the same operator within rounding.
inline constexpr std::size_t MAX_FUSED_GATES = 2048;

// A pass holds only its configuration; run keeps no state between calls, so
// one value may run on many circuits (and from several threads).
class Pass {
public:
    virtual ~Pass() = default;
    // The pass's type name ("RelabelQubits", ...).
    virtual std::string_view name() const = 0;
    // Rewrites the circuit in place.
    virtual std::expected<PassStats, PassError> run(Circuit& circuit) const = 0;
};

class PassPipeline {
public:
    // RelabelQubits(15), CancelInversePairs, DeadCodeElim (every qubit live at
    // the end, since a run samples every qubit), FuseDiagonalRuns, Fuse1qRuns,
    // Fuse2q, FuseKq(4), TileBlock(15).
    static PassPipeline default_pipeline();

    void push(std::unique_ptr<Pass> pass) { passes_.push_back(std::move(pass)); }
    const std::vector<std::unique_ptr<Pass>>& passes() const { return passes_; }

    // Runs the passes in order on the circuit and stops at the first error.
    // Returns (first before, last after, changes summed with saturation);
    // with no passes, (size, size, 0).
    std::expected<PassStats, PassError> run(Circuit& circuit) const;

private:
    std::vector<std::unique_ptr<Pass>> passes_;
};

}  // namespace nivra::ir
