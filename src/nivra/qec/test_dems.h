#pragma once
// Models and sampling shared by the tests of the matching decoders. Not part of
// the library: only *.test.cc files and bench/ include this header. The
// namespace keeps these apart from the BP tests' helpers (test_models.h).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/qec/decoder.h"
#include "nivra/qec/dem/dem.h"

namespace nivra::qec::matching_testing {

// The text of a file under tests/data/qec ("" when it cannot be read).
inline std::string read_qec_data(const std::string& name) {
    std::ifstream in(std::string(NIVRA_TESTDATA_DIR) + "/qec/" + name, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// Repetition code of distance d with phenomenological noise over `rounds`
// rounds: data flips (probability p) and measurement flips (probability q).
// Detector t * (d - 1) + i compares checks i of rounds t and t - 1; the last
// round reads the data perfectly. Observable 0 is data qubit 0.
inline DetectorErrorModel repetition_code(std::size_t d, std::size_t rounds, double p, double q) {
    DetectorErrorModel dem;
    const std::size_t checks = d - 1;
    for (std::size_t t = 0; t <= rounds; ++t) {
        const DemIndex base = static_cast<DemIndex>(t * checks);
        for (std::size_t j = 0; j < d; ++j) {
            std::vector<DemIndex> detectors;
            if (j > 0) detectors.push_back(base + static_cast<DemIndex>(j - 1));
            if (j + 1 < d) detectors.push_back(base + static_cast<DemIndex>(j));
            dem.errors.push_back(
                DemError::make(detectors, j == 0 ? std::vector<DemIndex>{0} : std::vector<DemIndex>{}, p));
        }
        if (t == rounds) break;
        for (std::size_t i = 0; i < checks; ++i) {
            dem.errors.push_back(
                DemError::make({base + static_cast<DemIndex>(i), base + static_cast<DemIndex>(checks + i)}, {}, q));
        }
    }
    dem.num_detectors = (rounds + 1) * checks;
    dem.num_observables = 1;
    return dem;
}

// Rotated-surface-code-like graph of X errors on a d x d grid of data qubits
// (code capacity): detector per Z plaquette (bulk and the top/bottom boundary
// halves), boundary edges on the left and right columns; observable 0 is the
// left column.
inline DetectorErrorModel surface_code_capacity(std::size_t d, double p) {
    DetectorErrorModel dem;
    // Z plaquette (a, b) for a, b in 0..d with a + b even, inside or on rows 0 and d.
    std::vector<std::vector<long>> index(d + 1, std::vector<long>(d + 1, -1));
    DemIndex next = 0;
    for (std::size_t a = 0; a <= d; ++a) {
        for (std::size_t b = 1; b < d; ++b) {
            if ((a + b) % 2 == 0) index[a][b] = next++;
        }
    }
    for (std::size_t r = 0; r < d; ++r) {
        for (std::size_t c = 0; c < d; ++c) {
            std::vector<DemIndex> detectors;
            for (std::size_t a : {r, r + 1}) {
                for (std::size_t b : {c, c + 1}) {
                    if (index[a][b] >= 0) detectors.push_back(static_cast<DemIndex>(index[a][b]));
                }
            }
            dem.errors.push_back(
                DemError::make(detectors, c == 0 ? std::vector<DemIndex>{0} : std::vector<DemIndex>{}, p));
        }
    }
    dem.num_detectors = next;
    dem.num_observables = 1;
    return dem;
}

// One shot drawn from the model itself: each mechanism fires independently
// with its probability; fired detectors and observables are the XOR of theirs.
struct Shot {
    Syndrome syndrome;
    std::uint64_t observables = 0;
};

inline Shot sample_shot(const DetectorErrorModel& dem, StdRng& rng) {
    std::vector<std::uint8_t> fired(dem.num_detectors, 0);
    Shot shot;
    for (const DemError& error : dem.errors) {
        if (!(rng.next_unit_f64() < error.p)) continue;
        for (DemIndex d : error.detectors) fired[d] ^= 1;
        for (DemIndex k : error.observables) shot.observables ^= std::uint64_t{1} << k;
    }
    for (std::size_t d = 0; d < fired.size(); ++d) {
        if (fired[d]) shot.syndrome.fired.push_back(static_cast<std::uint32_t>(d));
    }
    shot.syndrome.num_detectors = dem.num_detectors;
    return shot;
}

inline std::uint64_t mask_of(const Correction& correction) {
    std::uint64_t mask = 0;
    for (std::size_t k = 0; k < correction.flips.size(); ++k) mask |= std::uint64_t{correction.flips[k] != 0} << k;
    return mask;
}

inline Syndrome syndrome_of(std::vector<std::uint32_t> fired, std::size_t num_detectors) {
    return Syndrome{std::move(fired), num_detectors};
}

// Fraction of `shots` shots sampled from `dem` whose observables the decoder
// predicts wrongly. Shots come in fixed blocks, each with its own seed, so the
// result does not depend on the number of threads.
inline double logical_error_rate(const DetectorErrorModel& dem, const Decoder& decoder, std::size_t shots) {
    const std::size_t block = 250;
    std::atomic<std::size_t> failures{0};
    parallel_for_chunks(shots / block, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; ++b) {
            StdRng rng = StdRng::seed_from_u64(1000003 * b + 17);
            std::size_t local = 0;
            for (std::size_t i = 0; i < block; ++i) {
                Shot shot = sample_shot(dem, rng);
                local += mask_of(decoder.decode(shot.syndrome)) != shot.observables;
            }
            failures += local;
        }
    });
    return static_cast<double>(failures) / static_cast<double>(shots / block * block);
}

}  // namespace nivra::qec::matching_testing
