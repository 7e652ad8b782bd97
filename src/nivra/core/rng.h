#pragma once
// StdRng: the seeded generator every random draw of the library comes from,
// a ChaCha stream cipher with 12 rounds used as a block generator.
//
// Its outputs are fixed bit for bit (a seed names a result), so the layout is
// part of the contract:
//   state  = "expand 32-byte k" constants | 32-byte key | 64-bit block counter | 64-bit stream id (0)
//   buffer = four consecutive 64-byte blocks, read as 64 little-endian u32 words
//   next_u32 takes the next word; next_u64 takes two (low word first), and when
//   only one word is left it takes that one as the low half and the first word
//   of the refilled buffer as the high half.
// seed_from_u64 expands the 64-bit seed into the key with the PCG32 output
// function, four bytes at a time.

#include <array>
#include <cstdint>
#include <expected>
#include <string>

namespace nivra {

struct EntropyError {
    std::string detail;
    std::string message() const { return detail; }
};

class StdRng {
public:
    using Key = std::array<std::uint8_t, 32>;

    static StdRng from_seed(const Key& key);
    static StdRng seed_from_u64(std::uint64_t seed);
    // The key seed_from_u64 uses: seed_from_u64(s) is from_seed(expand_seed(s)).
    static Key expand_seed(std::uint64_t seed);
    // Keys a generator with 32 bytes from the operating system (getentropy).
    static std::expected<StdRng, EntropyError> from_entropy();

    std::uint32_t next_u32() {
        if (index_ >= buffer_.size()) [[unlikely]] {
            refill();
            index_ = 0;
        }
        return buffer_[index_++];
    }

    std::uint64_t next_u64() {
        if (index_ + 1 < buffer_.size()) [[likely]] {
            std::uint64_t value = static_cast<std::uint64_t>(buffer_[index_ + 1]) << 32 | buffer_[index_];
            index_ += 2;
            return value;
        }
        return next_u64_across_refill();
    }

    // u = (next_u64() >> 11) * 2^-53: a uniform double in [0, 1), the one
    // conversion every sampler of the library uses.
    double next_unit_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

private:
    explicit StdRng(const Key& key);
    // Fills the buffer with the next four blocks and advances the counter; leaves index_ alone.
    void refill();
    // next_u64 when fewer than two words are left (kept out of line: once per 32 draws).
    std::uint64_t next_u64_across_refill();

    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;  // index of the next block to generate
    std::array<std::uint32_t, 64> buffer_{};
    std::size_t index_ = 64;  // next unread word; 64 means empty
};

// One 64-bit value from this thread's generator, which is keyed from the
// operating system on first use in each thread, and again after a fork.
std::uint64_t thread_rng_next_u64();

}  // namespace nivra
