#pragma once
// Decoding rows of detector samples in parallel on the shared pool: the batch
// loops behind nivra.qec's decode methods, which only convert arrays and
// release the interpreter lock around them.
//
// Row formats:
//   dense detector row     D bytes, non-zero = fired
//   dense prediction row   O bytes, 0 or 1
//   bit-packed row (b8)    ceil(N/8) bytes; flag k is bit (k % 8) of byte k / 8
//                          (least significant first). Input bits at positions
//                          >= D are ignored; output bits at positions >= O are 0.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "nivra/qec/decoder.h"

namespace nivra::qec {

// Decodes `shots` dense rows of `num_detectors` bytes (row-major in `bytes`)
// and returns shots x num_observables prediction bytes (0 or 1). Rows run in
// parallel on the shared pool, at least one row per task; a single row runs on
// the calling thread. With num_observables 0 no decoder is called. The
// result does not depend on the thread count. Throws InvariantError when
// bytes.size() != shots * num_detectors, and AllocationError "cannot allocate
// {size} for the {shots} x {num_observables} prediction array" when the
// output exceeds memory_limit() or cannot be allocated (checked before any
// row is decoded).
std::vector<std::uint8_t> decode_rows(const Decoder& decoder, std::span<const std::uint8_t> bytes, std::size_t shots,
                                      std::size_t num_detectors, std::size_t num_observables);

// Number of bytes of a bit-packed row of `flags` flags: ceil(flags / 8).
constexpr std::size_t packed_row_bytes(std::size_t flags) { return flags / 8 + (flags % 8 != 0 ? 1 : 0); }

// The bit-packed counterpart of decode_rows: `packed` holds shots rows of
// packed_row_bytes(num_detectors) bytes; the result shots rows of
// packed_row_bytes(num_observables) bytes ("... for the {shots} x {bytes}
// packed prediction array" when they cannot be allocated). Set bits are read
// directly, lowest first, never unpacked into a dense row.
std::vector<std::uint8_t> decode_packed(const Decoder& decoder, std::span<const std::uint8_t> packed, std::size_t shots,
                                        std::size_t num_detectors, std::size_t num_observables);

// Copies a strided 2-D byte view (rows x cols, strides in bytes, any sign)
// into a contiguous row-major buffer. The caller guarantees that every
// addressed byte lies inside one live allocation. The view may address far
// less memory than the copy (a broadcast array), so the copy is checked:
// AllocationError "cannot allocate {size} for a copy of the {rows} x {cols}
// {what}" (what: "detector array").
std::vector<std::uint8_t> gather_rows(const std::uint8_t* data, std::size_t rows, std::size_t cols,
                                      std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, std::string_view what);

}  // namespace nivra::qec
