#pragma once
// Reordering the qubits of a state in place (internal to the state vector).
//
// The state is seen as tiles of 2^k contiguous amplitudes: bits 0..k-1 of an
// index ("low") address an amplitude inside its tile, bits k..n-1 ("high")
// the tile. Any reordering of the bits is done in at most two passes over
// the state, with no second buffer:
//
//   1. exchange: the bits that sit low but belong high trade places, pairwise,
//      with bits that sit high but belong low. Swapping bit a with bit b maps
//      every index to a partner and back again, so amplitudes are exchanged
//      in pairs;
//   2. tiles: every bit now lies on its own side; the high bits move whole
//      tiles along the cycles of the tile permutation, the low bits reorder
//      each tile as it is moved, through one tile of scratch per task.
//
// A pass that has nothing to do is skipped. Amplitudes are only moved, never
// computed, so the result is the same bit for bit for any split of the work.

#include <cstddef>
#include <span>

#include "nivra/core/complex.h"
#include "nivra/core/gate.h"
#include "nivra/sv/kernels/kernels.h"

namespace nivra::sv::kernels {

// amps[j] <- amps[src(j)] for every j, src(j) = OR of 2^perm[q] over the set
// bits q of j (qubit q of the result is qubit perm[q] of the input), in place.
// Tiles hold 2^min(tile_bits, n) amplitudes; the passes run over tiles on the
// pool when len >= policy.min_amps. Throws InvariantError unless len is a
// power of two 2^n and perm a permutation of 0..n-1.
void permute_qubits(Complex* amps, std::size_t len, std::span<const Qubit> perm, const ParPolicy& policy,
                    unsigned tile_bits);

// The widest tile of the form below: a tile, the tile it is filled from and
// the scratch together fit in one core's cache.
unsigned permute_tile_bits();

// permute_qubits with the tile width, at most permute_tile_bits(), that needs
// the least work for `perm`.
void permute_qubits(Complex* amps, std::size_t len, std::span<const Qubit> perm,
                    const ParPolicy& policy = tuned_policy());

}  // namespace nivra::sv::kernels
