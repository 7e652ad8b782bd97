#include "nivra/qec/batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "nivra/core/error.h"
#include "nivra/core/memory.h"
#include "nivra/core/rng.h"
#include "nivra/qec/matching/mwpm.h"
#include "nivra/qec/test_dems.h"

namespace nivra::qec {
namespace {

using matching_testing::mask_of;
using matching_testing::repetition_code;

// Records the number of calls and answers with a mask derived from the fired
// list alone (parity of each of the first three detectors, and of the count),
// so that any row sent to the wrong output, or a bit read from the wrong
// place, shows.
class EchoDecoder final : public Decoder {
public:
    explicit EchoDecoder(std::size_t num_observables) : num_observables_(num_observables) {}

    Correction decode(const Syndrome& syndrome) const override {
        calls.fetch_add(1);
        std::uint64_t mask = syndrome.fired.size() % 2 != 0 ? 1 : 0;
        for (std::uint32_t d : syndrome.fired) {
            if (d < 3) mask ^= std::uint64_t{2} << d;
            if (d >= 3) mask ^= std::uint64_t{1} << (4 + d % 6);
        }
        return correction_from_mask(mask, num_observables_);
    }

    mutable std::atomic<std::size_t> calls{0};

private:
    std::size_t num_observables_;
};

// Random rows of `d` bytes, any non-zero byte value counting as fired.
std::vector<std::uint8_t> random_rows(std::size_t shots, std::size_t d, std::uint64_t seed) {
    StdRng rng = StdRng::seed_from_u64(seed);
    std::vector<std::uint8_t> bytes(shots * d);
    for (auto& b : bytes) {
        const std::uint64_t r = rng.next_u64();
        b = (r % 5 == 0) ? static_cast<std::uint8_t>(1 + (r >> 8) % 255) : 0;
    }
    return bytes;
}

// b8 packing, bit by bit, with every bit at positions >= d set to 1 so that
// a decoder reading past D is caught.
std::vector<std::uint8_t> pack_rows(const std::vector<std::uint8_t>& bytes, std::size_t shots, std::size_t d) {
    const std::size_t row = packed_row_bytes(d);
    std::vector<std::uint8_t> packed(shots * row, 0);
    for (std::size_t s = 0; s < shots; ++s) {
        for (std::size_t k = 0; k < row * 8; ++k) {
            const bool bit = k >= d || bytes[s * d + k] != 0;
            if (bit) packed[s * row + k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
        }
    }
    return packed;
}

TEST(Batch, DenseAndPackedRowsMatchOneDecodePerRow) {
    for (std::size_t d : {1u, 7u, 8u, 13u, 64u, 71u}) {
        for (std::size_t o : {1u, 5u, 9u}) {
            const std::size_t shots = 37;
            const EchoDecoder decoder(o);
            const std::vector<std::uint8_t> bytes = random_rows(shots, d, 100 * d + o);
            const std::vector<std::uint8_t> dense = decode_rows(decoder, bytes, shots, d, o);
            const std::vector<std::uint8_t> packed = decode_packed(decoder, pack_rows(bytes, shots, d), shots, d, o);
            ASSERT_EQ(dense.size(), shots * o);
            ASSERT_EQ(packed.size(), shots * packed_row_bytes(o));
            for (std::size_t s = 0; s < shots; ++s) {
                Syndrome syndrome;
                for (std::size_t k = 0; k < d; ++k) {
                    if (bytes[s * d + k] != 0) syndrome.fired.push_back(static_cast<std::uint32_t>(k));
                }
                const Correction expected = decoder.decode(syndrome);
                for (std::size_t j = 0; j < o; ++j) {
                    EXPECT_EQ(dense[s * o + j], expected.flips[j]) << d << " " << o << " " << s << " " << j;
                    const std::uint8_t bit = (packed[s * packed_row_bytes(o) + j / 8] >> (j % 8)) & 1;
                    EXPECT_EQ(bit, expected.flips[j]) << d << " " << o << " " << s << " " << j;
                }
                // Bits past O stay clear.
                for (std::size_t j = o; j < 8 * packed_row_bytes(o); ++j) {
                    EXPECT_EQ((packed[s * packed_row_bytes(o) + j / 8] >> (j % 8)) & 1, 0);
                }
            }
        }
    }
}

TEST(Batch, RealDecoderOverThePool) {
    const DetectorErrorModel dem = repetition_code(5, 5, 0.05, 0.05);
    auto decoder = MwpmDecoder::create(dem);
    ASSERT_TRUE(decoder.has_value());
    const std::size_t shots = 500;
    const std::size_t d = dem.num_detectors;
    StdRng rng = StdRng::seed_from_u64(7);
    std::vector<std::uint8_t> bytes(shots * d, 0);
    std::vector<std::uint64_t> expected(shots);
    for (std::size_t s = 0; s < shots; ++s) {
        const auto shot = matching_testing::sample_shot(dem, rng);
        for (std::uint32_t k : shot.syndrome.fired) bytes[s * d + k] = 1;
        expected[s] = mask_of(decoder->decode(shot.syndrome));
    }
    const std::vector<std::uint8_t> out = decode_rows(*decoder, bytes, shots, d, 1);
    for (std::size_t s = 0; s < shots; ++s) EXPECT_EQ(out[s], expected[s]) << s;
}

TEST(Batch, EdgeCasesAndSizeChecks) {
    const EchoDecoder decoder(3);
    // No observables: nothing to predict, the decoder is never called.
    const std::vector<std::uint8_t> bytes = random_rows(4, 5, 1);
    const EchoDecoder none(0);
    EXPECT_EQ(decode_rows(none, bytes, 4, 5, 0).size(), 0u);
    EXPECT_EQ(decode_packed(none, pack_rows(bytes, 4, 5), 4, 5, 0).size(), 0u);
    EXPECT_EQ(none.calls.load(), 0u);
    // No shots, and rows of no detectors.
    EXPECT_TRUE(decode_rows(decoder, {}, 0, 5, 3).empty());
    EXPECT_EQ(decode_rows(decoder, {}, 2, 0, 3), std::vector<std::uint8_t>(6, 0));
    EXPECT_EQ(decode_packed(decoder, {}, 2, 0, 3), std::vector<std::uint8_t>(2, 0));
    // The input must be exactly shots rows.
    EXPECT_THROW((void)decode_rows(decoder, bytes, 3, 5, 3), InvariantError);
    EXPECT_THROW((void)decode_packed(decoder, bytes, 4, 5, 3), InvariantError);
    EXPECT_THROW((void)decode_rows(decoder, bytes, std::size_t{1} << 62, 8, 3), InvariantError);
    EXPECT_THROW((void)decode_rows(decoder, {}, 0, (std::size_t{1} << 32) + 1, 3), InvariantError);
    EXPECT_EQ(packed_row_bytes(0), 0u);
    EXPECT_EQ(packed_row_bytes(8), 1u);
    EXPECT_EQ(packed_row_bytes(9), 2u);
}

// The message of the AllocationError that `call` throws.
template <class Call>
std::string allocation_error_of(Call&& call) {
    try {
        call();
    } catch (const AllocationError& e) {
        return e.what();
    }
    return "<no AllocationError>";
}

TEST(Batch, BuffersBeyondMemoryAreRefusedBeforeAnyRow) {
    // 2^40 rows of no detectors: nothing to read, but outputs of 64 and 8 TiB.
    const EchoDecoder decoder(64);
    const std::size_t shots = std::size_t{1} << 40;
    const std::string dense = allocation_error_of([&] { (void)decode_rows(decoder, {}, shots, 0, 64); });
    EXPECT_TRUE(dense.starts_with("cannot allocate 64.0 TiB for the 1099511627776 x 64 prediction array (")) << dense;
    const std::string packed = allocation_error_of([&] { (void)decode_packed(decoder, {}, shots, 0, 64); });
    EXPECT_TRUE(packed.starts_with("cannot allocate 8.0 TiB for the 1099511627776 x 8 packed prediction array ("))
        << packed;
    EXPECT_EQ(decoder.calls.load(), 0u);
    // A broadcast view addresses one row; its copy would not fit.
    const std::vector<std::uint8_t> row(64, 0);
    const std::string copy = allocation_error_of([&] { (void)gather_rows(row.data(), shots, 64, 0, 1, "rows"); });
    EXPECT_TRUE(copy.starts_with("cannot allocate 64.0 TiB for a copy of the 1099511627776 x 64 rows (")) << copy;
    EXPECT_EQ(allocation_error_of([&] { (void)gather_rows(row.data(), std::size_t{1} << 62, 8, 0, 1, "rows"); }),
              "cannot allocate more than 16777216.0 TiB for a copy of the 4611686018427387904 x 8 rows");
}

TEST(Batch, GatherRowsOfAnyLayout) {
    // A 5 x 70 matrix stored column-major with padding, read in every
    // orientation; each element is its own coordinates.
    const std::size_t rows = 5, cols = 70, pad = 3;
    std::vector<std::uint8_t> storage(cols * (rows + pad));
    auto value = [](std::size_t r, std::size_t c) { return static_cast<std::uint8_t>(r * 31 + c); };
    for (std::size_t c = 0; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) storage[c * (rows + pad) + r] = value(r, c);
    }
    const auto col_stride = static_cast<std::ptrdiff_t>(rows + pad);
    const std::vector<std::uint8_t> forward = gather_rows(storage.data(), rows, cols, 1, col_stride, "detector array");
    // Both axes reversed: start at the last element, negative strides.
    const std::uint8_t* last = storage.data() + (cols - 1) * (rows + pad) + (rows - 1);
    const std::vector<std::uint8_t> reversed = gather_rows(last, rows, cols, -1, -col_stride, "detector array");
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            EXPECT_EQ(forward[r * cols + c], value(r, c));
            EXPECT_EQ(reversed[r * cols + c], value(rows - 1 - r, cols - 1 - c));
        }
    }
    // Row-major with padded rows, and contiguous.
    std::vector<std::uint8_t> padded(rows * (cols + pad));
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) padded[r * (cols + pad) + c] = value(r, c);
    }
    EXPECT_EQ(gather_rows(padded.data(), rows, cols, cols + pad, 1, "detector array"), forward);
    EXPECT_EQ(gather_rows(forward.data(), rows, cols, cols, 1, "detector array"), forward);
    EXPECT_TRUE(gather_rows(nullptr, 0, cols, 0, 1, "detector array").empty());
}

}  // namespace
}  // namespace nivra::qec
