#include "nivra/core/rng.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <system_error>

#include "nivra/core/error.h"

namespace nivra {
namespace {

constexpr int BLOCK_WORDS = 16;
constexpr int BLOCKS_PER_BUFFER = 4;
constexpr int DOUBLE_ROUNDS = 6;  // 12 rounds

// "expand 32-byte k" as four little-endian words.
constexpr std::uint32_t SIGMA[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// The four blocks of a buffer are computed side by side: lane b of x[w] is
// word w of block b, so each step of a quarter round is one operation on four
// lanes. GCC and Clang lower the vector type to SSE2 or NEON registers (or to
// scalar code on a target without them); the auto-vectoriser does not find
// this layout on its own.
using Lanes = std::uint32_t __attribute__((vector_size(16)));
static_assert(sizeof(Lanes) == BLOCKS_PER_BUFFER * sizeof(std::uint32_t));

template <int N>
inline Lanes rotate_left(Lanes x) {
    return (x << N) | (x >> (32 - N));
}

inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a += b, d ^= a, d = rotate_left<16>(d);
    c += d, b ^= c, b = rotate_left<12>(b);
    a += b, d ^= a, d = rotate_left<8>(d);
    c += d, b ^= c, b = rotate_left<7>(b);
}

std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

StdRng::StdRng(const Key& key) {
    for (int i = 0; i < 8; ++i) key_[i] = load_le32(key.data() + 4 * i);
}

StdRng StdRng::from_seed(const Key& key) { return StdRng(key); }

StdRng StdRng::seed_from_u64(std::uint64_t seed) { return StdRng(expand_seed(seed)); }

StdRng::Key StdRng::expand_seed(std::uint64_t seed) {
    constexpr std::uint64_t MUL = 6364136223846793005ULL;
    constexpr std::uint64_t INC = 11634580027462260723ULL;
    Key key{};
    std::uint64_t state = seed;
    for (std::size_t chunk = 0; chunk < key.size(); chunk += 4) {
        state = state * MUL + INC;
        auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        auto rot = static_cast<int>(state >> 59);
        std::uint32_t word = (xorshifted >> rot) | (xorshifted << ((32 - rot) & 31));
        for (int b = 0; b < 4; ++b) key[chunk + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return key;
}

std::expected<StdRng, EntropyError> StdRng::from_entropy() {
    Key key{};
    if (getentropy(key.data(), key.size()) != 0) {
        int error = errno;
        return std::unexpected(EntropyError{std::generic_category().message(error)});
    }
    return StdRng(key);
}

void StdRng::refill() {
    Lanes input[BLOCK_WORDS];
    for (int w = 0; w < 4; ++w) input[w] = Lanes{} + SIGMA[w];
    for (int w = 0; w < 8; ++w) input[4 + w] = Lanes{} + key_[w];
    for (int b = 0; b < BLOCKS_PER_BUFFER; ++b) {
        const std::uint64_t counter = counter_ + static_cast<std::uint64_t>(b);
        input[12][b] = static_cast<std::uint32_t>(counter);
        input[13][b] = static_cast<std::uint32_t>(counter >> 32);
    }
    input[14] = Lanes{};  // stream id 0
    input[15] = Lanes{};

    Lanes x[BLOCK_WORDS];
    for (int w = 0; w < BLOCK_WORDS; ++w) x[w] = input[w];
    for (int round = 0; round < DOUBLE_ROUNDS; ++round) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int w = 0; w < BLOCK_WORDS; ++w) {
        Lanes out = x[w] + input[w];
        for (int b = 0; b < BLOCKS_PER_BUFFER; ++b) buffer_[b * BLOCK_WORDS + w] = out[b];
    }
    counter_ += BLOCKS_PER_BUFFER;
}

std::uint64_t StdRng::next_u64_across_refill() {
    if (index_ >= buffer_.size()) {
        refill();
        index_ = 2;
        return static_cast<std::uint64_t>(buffer_[1]) << 32 | buffer_[0];
    }
    // One word left: it is the low half, the first word of the next buffer the high half.
    std::uint64_t low = buffer_[buffer_.size() - 1];
    refill();
    index_ = 1;
    return static_cast<std::uint64_t>(buffer_[0]) << 32 | low;
}

namespace {

// Counts the forks this process came through. A child inherits its parent's
// generators word for word, and would otherwise draw the very seeds its parent
// draws next; a thread rekeys when the count moved since it keyed.
std::atomic<std::uint64_t> forks_survived{0};

void on_fork_in_child() { forks_survived.fetch_add(1, std::memory_order_relaxed); }

[[maybe_unused]] const int rng_fork_handler = ::pthread_atfork(nullptr, nullptr, on_fork_in_child);

}  // namespace

std::uint64_t thread_rng_next_u64() {
    thread_local std::optional<StdRng> rng;
    thread_local std::uint64_t keyed_after_forks = 0;
    const std::uint64_t forks = forks_survived.load(std::memory_order_relaxed);
    if (!rng || keyed_after_forks != forks) {
        keyed_after_forks = forks;
        auto keyed = StdRng::from_entropy();
        if (!keyed)
            invariant_failure("could not key the thread generator from the operating system: " +
                              keyed.error().message());
        rng.emplace(*keyed);
    }
    return rng->next_u64();
}

}  // namespace nivra
