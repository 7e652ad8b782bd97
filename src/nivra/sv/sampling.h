#pragma once
// Drawing many basis states at once from a CpuState through a Vose alias
// table, without changing the state.
//
// Which outcome a seed gives is fixed by: the table construction order below
// and the split of each 64-bit draw x:
//   column = (x >> 32) & (N − 1)        upper half picks a column
//   coin   = (x & 0xFFFFFFFF) · 2^-32   lower half is the acceptance coin
//   outcome = coin < prob[column] ? column : alias[column]

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <vector>

#include "nivra/backend/backend.h"
#include "nivra/core/aligned.h"
#include "nivra/core/rng.h"
#include "nivra/sv/state.h"

namespace nivra::sv::sampling {

using backend::BackendError;

// The per-amplitude arrays of a draw (as large as half the state): mapped
// like the state, so that every run faults them in the same few huge pages,
// and not zero-filled where they are written in full.
template <class T>
using ScratchVec = std::vector<T, LargeAllocator<T>>;

// Bytes the alias table of one amplitude holds: its acceptance threshold (8)
// and its alias (4). The construction needs nothing more per amplitude.
inline constexpr std::uint64_t TABLE_BYTES_PER_AMP = 12;

// The Vose alias table of a validated state, N = 2^n columns (N <= 2^31).
//   N = 1: prob [1.0], alias [0].
//   Otherwise, with scaled[i] = p[i]·N: two stacks, small and large;
//   i = 0..N−1 pushed onto small if scaled[i] < 1.0, else onto large. While
//   both are non-empty: pop s from small and l from large; prob[s] =
//   scaled[s]; alias[s] = l; scaled[l] = (scaled[s] + scaled[l]) − 1.0; push l
//   onto small if it is now < 1.0, else back onto large. Every index left in
//   large, then in small: prob[i] = 1.0, alias[i] = i.
// Built by build_alias_table: the probabilities and the initial split on the
// pool, the pairing on the calling thread.
class AliasTable {
public:
    // The outcome of one 64-bit draw.
    std::uint64_t pick(std::uint64_t x) const {
        const std::uint64_t column = (x >> 32) & mask_;
        const double coin = static_cast<double>(static_cast<std::uint32_t>(x)) * 0x1.0p-32;
        return coin < prob_[column] ? column : alias_[column];
    }

    std::span<const double> prob() const { return prob_; }
    std::span<const std::uint32_t> alias() const { return alias_; }

private:
    friend std::expected<AliasTable, BackendError> build_alias_table(const CpuState& state,
                                                                     std::size_t parallel_min_amps);

    ScratchVec<double> prob_;
    ScratchVec<std::uint32_t> alias_;
    std::uint64_t mask_ = 0;
};

// The table of a validated state (validation errors are returned unchanged).
// Its TABLE_BYTES_PER_AMP bytes an amplitude are compared with memory_limit()
// first: AllocationError "cannot allocate {size} for the sampling tables of a
// {n}-qubit state". The probabilities and the split run on the pool from
// `parallel_min_amps` amplitudes (by default NIVRA_PAR_MIN_AMPS, 2^18 when
// unset); the table does not depend on it.
std::expected<AliasTable, BackendError> build_alias_table(const CpuState& state, std::size_t parallel_min_amps);
std::expected<AliasTable, BackendError> build_alias_table(const CpuState& state);

// Outcomes are handed out in runs of at most this many.
inline constexpr std::size_t SAMPLE_CHUNK = std::size_t{1} << 16;

// Validates the state, builds the table (only when shots > 0) and draws
// `shots` outcomes from `rng`, one 64-bit draw each, handing them to `sink`
// in draw order in runs of at most SAMPLE_CHUNK. Memory stays bounded
// whatever the shot count.
std::expected<void, BackendError> sample_chunked(const CpuState& state, std::uint32_t shots, StdRng& rng,
                                                 backend::OutcomeSink sink, void* context);

// The outcomes of sample(state, shots) counted per outcome, ascending (the
// same draws). Counts into a dense array of 2^n counters when that is small
// or the shots are many, else sorts the drawn outcomes.
std::expected<std::map<std::uint64_t, std::uint64_t>, BackendError> sample_counts(const CpuState& state,
                                                                                  std::uint32_t shots, StdRng& rng);

// All outcomes in one vector, in draw order (shots = 0: empty, no draw).
std::expected<std::vector<std::uint64_t>, BackendError> sample(const CpuState& state, std::uint32_t shots, StdRng& rng);

}  // namespace nivra::sv::sampling
