#include "nivra/qec/batch.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "nivra/core/error.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/core/parallel.h"

namespace nivra::qec {

namespace {

// Fired detector indices are 32-bit: a model names detectors below 2^32.
constexpr std::uint64_t MAX_ROW_DETECTORS = std::uint64_t{1} << 32;

// Indices of the non-zero bytes of a dense row, ascending. Eight zero bytes
// are skipped at once: detector samples are mostly zeros.
void fired_of_dense(const std::uint8_t* row, std::size_t n, std::vector<std::uint32_t>& fired) {
    fired.clear();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, row + i, sizeof word);
        if (word == 0) continue;
        for (std::size_t k = i; k < i + 8; ++k) {
            if (row[k] != 0) fired.push_back(static_cast<std::uint32_t>(k));
        }
    }
    for (; i < n; ++i) {
        if (row[i] != 0) fired.push_back(static_cast<std::uint32_t>(i));
    }
}

// Eight bytes of a b8 row as one word whose bit 8*j + t is bit t of byte j.
std::uint64_t load_le64(const std::uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        return word;
    } else {
        std::uint64_t word = 0;
        for (std::size_t j = 0; j < 8; ++j) word |= std::uint64_t{p[j]} << (8 * j);
        return word;
    }
}

// Indices of the set bits of a b8 row of `nbytes` bytes that lie below
// `num_detectors`, ascending, read lowest set bit first.
void fired_of_packed(const std::uint8_t* row, std::size_t nbytes, std::size_t num_detectors,
                     std::vector<std::uint32_t>& fired) {
    fired.clear();
    auto take = [&](std::uint64_t bits, std::size_t first_index) {
        while (bits != 0) {
            const std::size_t index = first_index + static_cast<std::size_t>(std::countr_zero(bits));
            if (index >= num_detectors) return;  // bits rise, so the rest lie beyond D too
            fired.push_back(static_cast<std::uint32_t>(index));
            bits &= bits - 1;
        }
    };
    std::size_t b = 0;
    for (; b + 8 <= nbytes; b += 8) take(load_le64(row + b), 8 * b);
    for (; b < nbytes; ++b) take(row[b], 8 * b);
}

// Runs rows [0, shots) through body(begin, end): on the calling thread for a
// single row, else split over the shared pool with at least one row per task.
template <class Body>
void for_rows(std::size_t shots, Body&& body) {
    if (shots == 0) return;
    if (shots == 1) {
        body(std::size_t{0}, std::size_t{1});
        return;
    }
    parallel_for_chunks(shots, 1, body);
}

// A zeroed buffer of rows x cols bytes, described as "{prefix}{rows} x {cols} {what}".
std::vector<std::uint8_t> row_buffer(std::size_t rows, std::size_t cols, std::string_view prefix,
                                     std::string_view what) {
    const std::uint64_t bytes = saturating_mul(rows, cols);
    auto description = [&] {
        return std::string(prefix) + fmt::display(std::uint64_t{rows}) + " x " + fmt::display(std::uint64_t{cols}) +
               " " + std::string(what);
    };
    if (bytes == SIZE_BEYOND_64_BITS) throw AllocationError(allocation_message(bytes, description()));
    return allocate_checked(bytes, description, [&] { return std::vector<std::uint8_t>(bytes, 0); });
}

void check_input_size(std::size_t size, std::size_t shots, std::size_t row_bytes, const char* what) {
    std::size_t expected = 0;
    if (!checked_mul(shots, row_bytes, expected) || expected != size) {
        invariant_failure(std::string(what) + ": input of " + std::to_string(size) + " bytes is not " +
                          std::to_string(shots) + " rows of " + std::to_string(row_bytes));
    }
}

// Decodes rows [0, shots) on the pool: fired(row, list) reads a row's fired
// detectors, write(row, correction) stores its prediction.
template <class ReadFired, class WritePrediction>
void decode_each(const Decoder& decoder, std::size_t shots, std::size_t num_detectors, ReadFired&& fired,
                 WritePrediction&& write) {
    for_rows(shots, [&](std::size_t begin, std::size_t end) {
        Syndrome syndrome;
        syndrome.num_detectors = num_detectors;
        for (std::size_t row = begin; row < end; ++row) {
            fired(row, syndrome.fired);
            write(row, decoder.decode(syndrome));
        }
    });
}

}  // namespace

std::vector<std::uint8_t> decode_rows(const Decoder& decoder, std::span<const std::uint8_t> bytes, std::size_t shots,
                                      std::size_t num_detectors, std::size_t num_observables) {
    check_invariant(num_detectors <= MAX_ROW_DETECTORS, "decode_rows: detector count exceeds 2^32");
    check_input_size(bytes.size(), shots, num_detectors, "decode_rows");
    std::vector<std::uint8_t> out = row_buffer(shots, num_observables, "the ", "prediction array");
    if (num_observables == 0) return out;
    decode_each(
        decoder, shots, num_detectors,
        [&](std::size_t row, std::vector<std::uint32_t>& fired) {
            fired_of_dense(bytes.data() + row * num_detectors, num_detectors, fired);
        },
        [&](std::size_t row, const Correction& correction) {
            std::uint8_t* out_row = out.data() + row * num_observables;
            const std::size_t n = std::min(correction.flips.size(), num_observables);
            for (std::size_t j = 0; j < n; ++j) out_row[j] = correction.flips[j] != 0 ? 1 : 0;
        });
    return out;
}

std::vector<std::uint8_t> decode_packed(const Decoder& decoder, std::span<const std::uint8_t> packed, std::size_t shots,
                                        std::size_t num_detectors, std::size_t num_observables) {
    check_invariant(num_detectors <= MAX_ROW_DETECTORS, "decode_packed: detector count exceeds 2^32");
    const std::size_t in_row = packed_row_bytes(num_detectors);
    const std::size_t out_row_bytes = packed_row_bytes(num_observables);
    check_input_size(packed.size(), shots, in_row, "decode_packed");
    std::vector<std::uint8_t> out = row_buffer(shots, out_row_bytes, "the ", "packed prediction array");
    if (num_observables == 0) return out;
    decode_each(
        decoder, shots, num_detectors,
        [&](std::size_t row, std::vector<std::uint32_t>& fired) {
            fired_of_packed(packed.data() + row * in_row, in_row, num_detectors, fired);
        },
        [&](std::size_t row, const Correction& correction) {
            std::uint8_t* out_row = out.data() + row * out_row_bytes;
            const std::size_t n = std::min(correction.flips.size(), num_observables);
            for (std::size_t j = 0; j < n; ++j) {
                out_row[j / 8] |= static_cast<std::uint8_t>((correction.flips[j] != 0 ? 1u : 0u) << (j % 8));
            }
        });
    return out;
}

std::vector<std::uint8_t> gather_rows(const std::uint8_t* data, std::size_t rows, std::size_t cols,
                                      std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, std::string_view what) {
    std::vector<std::uint8_t> out = row_buffer(rows, cols, "a copy of the ", what);
    if (out.empty()) return out;
    const auto signed_cols = static_cast<std::ptrdiff_t>(cols);
    if (col_stride == 1) {
        if (row_stride == signed_cols) {
            std::memcpy(out.data(), data, out.size());
        } else {
            for (std::size_t r = 0; r < rows; ++r) {
                std::memcpy(out.data() + r * cols, data + static_cast<std::ptrdiff_t>(r) * row_stride, cols);
            }
        }
        return out;
    }
    // Other layouts (column-major, sliced, reversed) are copied tile by tile,
    // so that reads along either axis stay within a few cache lines.
    constexpr std::size_t TILE = 64;
    for (std::size_t r0 = 0; r0 < rows; r0 += TILE) {
        const std::size_t r1 = std::min(rows, r0 + TILE);
        for (std::size_t c0 = 0; c0 < cols; c0 += TILE) {
            const std::size_t c1 = std::min(cols, c0 + TILE);
            for (std::size_t c = c0; c < c1; ++c) {
                const std::uint8_t* column = data + static_cast<std::ptrdiff_t>(c) * col_stride;
                for (std::size_t r = r0; r < r1; ++r) {
                    out[r * cols + c] = column[static_cast<std::ptrdiff_t>(r) * row_stride];
                }
            }
        }
    }
    return out;
}

}  // namespace nivra::qec
