#include "nivra/core/rng.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace nivra {
namespace {

// The reference vectors, parsed from the shared test data.
struct Vectors {
    struct U64Run {
        std::uint64_t seed;
        std::vector<std::uint64_t> values;
    };
    struct MixedCall {
        bool is_u32;
        std::uint64_t value;
    };
    struct KeyRow {
        std::uint64_t seed;
        StdRng::Key key;
        std::uint64_t from_seed_first, seed_from_u64_first;
    };
    std::vector<U64Run> runs;
    std::vector<MixedCall> mixed;
    std::vector<KeyRow> keys;
};

Vectors read_vectors() {
    std::ifstream in(std::string(NIVRA_TESTDATA_DIR) + "/stdrng-vectors.txt");
    EXPECT_TRUE(in.good()) << "cannot open stdrng-vectors.txt";
    Vectors vectors;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::string seed_word, seed_text, kind;
        words >> seed_word >> seed_text >> kind;
        EXPECT_EQ(seed_word, "seed") << line;
        std::uint64_t seed = std::stoull(seed_text);
        std::string word;
        if (kind == "u64:") {
            Vectors::U64Run run{seed, {}};
            while (words >> word) run.values.push_back(std::stoull(word, nullptr, 16));
            vectors.runs.push_back(run);
        } else if (kind.starts_with("mixed")) {
            EXPECT_EQ(seed, 7u);
            while (words >> word) {
                if (!word.starts_with("u32:") && !word.starts_with("u64:")) continue;  // rest of the label
                vectors.mixed.push_back({word.starts_with("u32:"), std::stoull(word.substr(4), nullptr, 16)});
            }
        } else if (kind == "key:") {
            Vectors::KeyRow row{seed, {}, 0, 0};
            std::string hex;
            words >> hex;
            EXPECT_EQ(hex.size(), 64u) << line;
            for (std::size_t i = 0; i < row.key.size(); ++i) {
                row.key[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
            }
            std::vector<std::uint64_t> numbers;
            while (words >> word) {
                if (word.starts_with("0x")) numbers.push_back(std::stoull(word, nullptr, 16));
            }
            EXPECT_EQ(numbers.size(), 2u) << line;
            if (numbers.size() == 2) {
                row.from_seed_first = numbers[0];
                row.seed_from_u64_first = numbers[1];
            }
            vectors.keys.push_back(row);
        } else {
            ADD_FAILURE() << "unknown vector line: " << line;
        }
    }
    return vectors;
}

TEST(StdRngVectors, U64SequencesFromSeeds) {
    Vectors vectors = read_vectors();
    ASSERT_EQ(vectors.runs.size(), 5u);
    for (const auto& run : vectors.runs) {
        ASSERT_EQ(run.values.size(), 40u);
        StdRng rng = StdRng::seed_from_u64(run.seed);
        for (std::size_t i = 0; i < run.values.size(); ++i) {
            EXPECT_EQ(rng.next_u64(), run.values[i]) << "seed " << run.seed << " draw " << i;
        }
    }
}

TEST(StdRngVectors, MixedU32AndU64AcrossRefills) {
    Vectors vectors = read_vectors();
    ASSERT_EQ(vectors.mixed.size(), 150u);
    StdRng rng = StdRng::seed_from_u64(7);
    for (std::size_t i = 0; i < vectors.mixed.size(); ++i) {
        ASSERT_EQ(vectors.mixed[i].is_u32, i % 3 == 0);
        std::uint64_t value = vectors.mixed[i].is_u32 ? rng.next_u32() : rng.next_u64();
        EXPECT_EQ(value, vectors.mixed[i].value) << "call " << i;
    }
}

TEST(StdRngVectors, KeyExpansionAndFromSeed) {
    Vectors vectors = read_vectors();
    ASSERT_EQ(vectors.keys.size(), 2u);
    for (const auto& row : vectors.keys) {
        EXPECT_EQ(StdRng::expand_seed(row.seed), row.key) << "seed " << row.seed;
        EXPECT_EQ(StdRng::from_seed(row.key).next_u64(), row.from_seed_first);
        EXPECT_EQ(StdRng::seed_from_u64(row.seed).next_u64(), row.seed_from_u64_first);
    }
}

// One ChaCha12 block computed the plain way, one word at a time.
std::array<std::uint32_t, 16> reference_block(const StdRng::Key& key, std::uint64_t counter) {
    auto rotl = [](std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); };
    auto qr = [&](std::array<std::uint32_t, 16>& s, int a, int b, int c, int d) {
        s[a] += s[b], s[d] = rotl(s[d] ^ s[a], 16);
        s[c] += s[d], s[b] = rotl(s[b] ^ s[c], 12);
        s[a] += s[b], s[d] = rotl(s[d] ^ s[a], 8);
        s[c] += s[d], s[b] = rotl(s[b] ^ s[c], 7);
    };
    std::array<std::uint32_t, 16> in{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int w = 0; w < 8; ++w) {
        in[4 + w] = key[4 * w] | key[4 * w + 1] << 8 | key[4 * w + 2] << 16 | std::uint32_t{key[4 * w + 3]} << 24;
    }
    in[12] = static_cast<std::uint32_t>(counter);
    in[13] = static_cast<std::uint32_t>(counter >> 32);
    std::array<std::uint32_t, 16> s = in;
    for (int i = 0; i < 6; ++i) {
        qr(s, 0, 4, 8, 12), qr(s, 1, 5, 9, 13), qr(s, 2, 6, 10, 14), qr(s, 3, 7, 11, 15);
        qr(s, 0, 5, 10, 15), qr(s, 1, 6, 11, 12), qr(s, 2, 7, 8, 13), qr(s, 3, 4, 9, 14);
    }
    for (int w = 0; w < 16; ++w) s[w] += in[w];
    return s;
}

// The four-blocks-at-once generator against the one-block reference, for arbitrary keys.
TEST(StdRng, MatchesOneBlockReferenceForRandomKeys) {
    StdRng key_source = StdRng::seed_from_u64(77);
    for (int trial = 0; trial < 20; ++trial) {
        StdRng::Key key;
        for (auto& byte : key) byte = static_cast<std::uint8_t>(key_source.next_u32());
        StdRng rng = StdRng::from_seed(key);
        for (std::uint64_t block = 0; block < 12; ++block) {
            std::array<std::uint32_t, 16> expected = reference_block(key, block);
            for (int w = 0; w < 16; ++w) ASSERT_EQ(rng.next_u32(), expected[w]) << "block " << block << " word " << w;
        }
    }
}

// Every u64 is the next two words of the u32 stream (low first), wherever the
// buffer boundary falls, including a pair split across a refill.
TEST(StdRng, U64IsTwoConsecutiveU32Words) {
    for (int offset = 0; offset < 3; ++offset) {
        StdRng words = StdRng::seed_from_u64(2024);
        StdRng pairs = StdRng::seed_from_u64(2024);
        std::vector<std::uint32_t> stream(2000);
        for (auto& w : stream) w = words.next_u32();
        for (int i = 0; i < offset; ++i) ASSERT_EQ(pairs.next_u32(), stream[i]);
        for (std::size_t i = offset; i + 1 < stream.size(); i += 2) {
            std::uint64_t expected = static_cast<std::uint64_t>(stream[i + 1]) << 32 | stream[i];
            ASSERT_EQ(pairs.next_u64(), expected) << "offset " << offset << " word " << i;
        }
    }
}

TEST(StdRng, UnitDoublesUseTheTop53Bits) {
    StdRng a = StdRng::seed_from_u64(5), b = StdRng::seed_from_u64(5);
    for (int i = 0; i < 1000; ++i) {
        double u = a.next_unit_f64();
        EXPECT_EQ(u, static_cast<double>(b.next_u64() >> 11) / 9007199254740992.0);
        EXPECT_GE(u, 0.0);
        EXPECT_LT(u, 1.0);
    }
}

TEST(StdRng, EntropyKeyedGeneratorsDiffer) {
    auto a = StdRng::from_entropy();
    auto b = StdRng::from_entropy();
    ASSERT_TRUE(a.has_value()) << a.error().message();
    ASSERT_TRUE(b.has_value()) << b.error().message();
    // A collision of two 128-bit prefixes from independent keys does not happen.
    EXPECT_FALSE(a->next_u64() == b->next_u64() && a->next_u64() == b->next_u64());

    std::set<std::uint64_t> firsts;
    std::vector<std::thread> threads;
    std::vector<std::uint64_t> results(4);
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&results, t] { results[t] = thread_rng_next_u64() ^ thread_rng_next_u64(); });
    }
    for (auto& thread : threads) thread.join();
    firsts.insert(results.begin(), results.end());
    EXPECT_EQ(firsts.size(), results.size());
}

TEST(StdRng, ThreadGeneratorOfAForkedChildDiffersFromItsParents) {
    thread_rng_next_u64();  // keyed before the fork
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::uint64_t drawn[2] = {thread_rng_next_u64(), thread_rng_next_u64()};
        const bool written = ::write(pipe_ends[1], drawn, sizeof drawn) == sizeof drawn;
        ::_exit(written ? 0 : 1);
    }
    std::uint64_t in_child[2] = {};
    const bool read_whole = ::read(pipe_ends[0], in_child, sizeof in_child) == sizeof in_child;
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
    ASSERT_TRUE(read_whole && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::uint64_t in_parent[2] = {thread_rng_next_u64(), thread_rng_next_u64()};
    EXPECT_FALSE(in_child[0] == in_parent[0] && in_child[1] == in_parent[1]);
}

}  // namespace
}  // namespace nivra
