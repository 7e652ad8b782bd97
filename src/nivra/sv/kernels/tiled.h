#pragma once
// The chunk loop of tiled blocks: a run of small dense gates applied to the
// state one cache-sized piece at a time (internal to the state vector).

#include <cstddef>
#include <cstdint>
#include <span>

#include "nivra/core/complex.h"
#include "nivra/core/gate.h"

namespace nivra::sv::kernels {

// One gate of a tiled block, ready for the chunks: its dense 2×2 or 4×4
// matrix, its targets and its controls split at the tile width.
struct TileGate {
    GateMatrix matrix;
    Qubit t0 = 0;
    Qubit t1 = 0;                     // second target of a 4×4 matrix
    std::uint64_t low_controls = 0;   // controls below the tile: tested per index inside a chunk
    std::uint64_t high_controls = 0;  // controls at or above the tile: tested once per chunk
};

// log2 of the amplitudes that fit in half of one core's L2 cache (16 bytes
// each), read from the system once per process; 15 (a 1 MiB cache) when the
// system does not say.
unsigned cache_tile_bits();

// The dense matrix of `g` on amps[0..len), serially, under `controls` (a
// mask); no recognition of special matrices.
void apply_tile_gate(Complex* amps, std::size_t len, const TileGate& g, std::uint64_t controls);

// Applies `gates` in order to every chunk of 2^k amplitudes of amps[0..len)
// (2^k < len), the chunks in parallel on the pool. Inside a chunk, each run
// of consecutive gates whose targets and low controls all lie below
// `sub_bits` is applied piece by piece over 2^sub_bits amplitudes, so that a
// piece stays in cache while the whole run acts on it. Every amplitude gets
// the same operations in the same order whatever `sub_bits` is, so the
// result does not depend on it.
void apply_tiled(Complex* amps, std::size_t len, unsigned k, std::span<const TileGate> gates, unsigned sub_bits);

}  // namespace nivra::sv::kernels
