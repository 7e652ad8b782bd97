#pragma once
// Detector error models: a flat list of independent error mechanisms, each
// with a probability and the detectors and logical observables it flips.
//
// parse() reads a subset of the stim DEM text format:
//   error(p) D0 D1 L0          one mechanism; `^` separates components ("D0 D1 ^ D2 L0")
//   detector(coords...) D5     raises the detector count (coordinates ignored)
//   logical_observable L3      raises the observable count
//   shift_detectors(...) 24    adds 24 to every later detector index
//   repeat 10 { ... }          runs its body 10 times (shifts accumulate)
//   # comment
// Repeat blocks are unrolled and shifts applied, so the model holds only
// mechanisms with absolute indices. to_dem_string() writes that flat form.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "nivra/qec/error.h"

namespace nivra::qec {

// Detector and observable indices of a model: the format's indices are 32-bit.
using DemIndex = std::uint32_t;

// One `^`-separated part of a mechanism as written, each list ascending.
struct DemComponent {
    std::vector<DemIndex> detectors;
    std::vector<DemIndex> observables;

    friend bool operator==(const DemComponent&, const DemComponent&) = default;
};

// One error mechanism.
struct DemError {
    // Ascending. For a mechanism of one component these are its lists as written
    // (duplicates kept: "D0 D0" lists detector 0 twice); for two or more
    // components, the values flipped an odd number of times over all components.
    std::vector<DemIndex> detectors;
    std::vector<DemIndex> observables;
    // Finite, 0 <= p <= 1 for a mechanism read from text.
    double p = 0.0;
    // Null unless the mechanism was written with two or more components; then
    // every component in written order, each with its lists sorted and its
    // detector indices `component_shift` below their value in this mechanism.
    // Every repetition of one `error` line shares the list and differs only by
    // the shift, so unrolled components (even empty ones) cost nothing per
    // repetition. Read through components() or for_each_component().
    std::shared_ptr<const std::vector<DemComponent>> written_components;
    std::uint64_t component_shift = 0;

    // Sorts both lists ascending (duplicates stay); no components.
    static DemError make(std::vector<DemIndex> detectors, std::vector<DemIndex> observables, double p);

    // None: empty lists. One: make() of it. Two or more: each component sorted and
    // kept, `detectors`/`observables` the parity reduction of their concatenation.
    static DemError with_components(std::vector<DemComponent> components, double p);

    // The number of components kept: 0 for a mechanism of fewer than two.
    std::size_t num_components() const { return written_components ? written_components->size() : 0; }

    // The kept components with their detector indices shifted into place.
    std::vector<DemComponent> components() const;

    // Calls visit(detectors, observables) for each kept component in written
    // order, with detector indices shifted into place; reuses one buffer.
    template <class Visit>
    void for_each_component(Visit&& visit) const {
        if (!written_components) return;
        std::vector<DemIndex> shifted;
        for (const DemComponent& component : *written_components) {
            shift_into(component.detectors, shifted);
            visit(static_cast<const std::vector<DemIndex>&>(shifted), component.observables);
        }
    }

    friend bool operator==(const DemError& a, const DemError& b);

private:
    // shifted = written + component_shift; throws when an index leaves DemIndex.
    void shift_into(const std::vector<DemIndex>& written, std::vector<DemIndex>& shifted) const;
};

// Sorts `values` ascending and keeps each value that occurs an odd number of
// times, once (the symmetric difference of the lists concatenated into it).
void parity_reduce(std::vector<DemIndex>& values);

// Bound on the size of an unrolled model, so that `repeat` counts cannot
// exhaust memory or time. Every instruction executed while flattening costs
// units: one per target token (detector and observable targets, and each `^`),
// plus 8 for an `error` and 1 for any other instruction. The cost of a block is
// computed from the parse tree before anything is unrolled; a text whose
// unrolled cost exceeds the bound is refused while it is read, at the line of
// the `repeat` (or instruction) that crosses it.
inline constexpr std::uint64_t MAX_FLATTENED_COST = std::uint64_t{1} << 28;

struct DetectorErrorModel {
    // Mechanisms in the order the unrolled `error` instructions ran.
    std::vector<DemError> errors;
    // 1 + the largest shifted detector index named by `error` or `detector`, 0 when none.
    std::size_t num_detectors = 0;
    // 1 + the largest observable index named by `error` or `logical_observable`, 0 when none.
    std::size_t num_observables = 0;

    // Reads and flattens `text`. The first failure (in text order while reading,
    // in execution order while flattening) is an Error::DemParse with its
    // 1-based line; lines count blank and comment lines. Nesting depth costs
    // no stack: reading and flattening are iterative. Running out of memory
    // throws AllocationError: while reading, "cannot allocate memory to read a
    // detector error model from 1.4 GiB of text" (or, for the parse tree's
    // lists, "cannot allocate {size} for {n} instructions of a detector error
    // model"); for the flat model, whose size is known before anything is
    // unrolled and compared with memory_limit() then, "cannot allocate {size}
    // for a detector error model flattened to {n} mechanisms".
    static std::expected<DetectorErrorModel, Error> parse(std::string_view text);

    // The flat model as DEM text: one `error` line per mechanism (its components,
    // or its own lists when it has none), then `detector D{n-1}` and
    // `logical_observable L{m-1}` lines when the counts exceed what the
    // mechanisms name. parse(to_dem_string()) gives back an equal model.
    std::string to_dem_string() const;

    friend bool operator==(const DetectorErrorModel&, const DetectorErrorModel&) = default;
};

}  // namespace nivra::qec
