#include "nivra/sv/kernels/tiled.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <fstream>
#include <string>
#include <vector>

#include "nivra/core/error.h"
#include "nivra/core/parallel.h"
#include "nivra/sv/kernels/kernels.h"

namespace nivra::sv::kernels {

namespace {

// The L2 size in bytes from sysconf, else from the first CPU's cache
// description in sysfs ("1024K"); 0 when neither says.
std::size_t l2_cache_bytes() {
#if defined(_SC_LEVEL2_CACHE_SIZE)
    const long bytes = sysconf(_SC_LEVEL2_CACHE_SIZE);
    if (bytes > 0) {
        return static_cast<std::size_t>(bytes);
    }
#endif
    for (int index = 0; index < 8; ++index) {
        const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index" + std::to_string(index) + "/";
        std::ifstream level_file(dir + "level");
        int level = 0;
        if (!(level_file >> level) || level != 2) {
            continue;
        }
        std::ifstream size_file(dir + "size");
        std::size_t value = 0;
        std::string unit;
        if (size_file >> value) {
            size_file >> unit;
            if (unit == "K") return value << 10;
            if (unit == "M") return value << 20;
            if (unit.empty()) return value;
        }
    }
    return 0;
}

// Highest qubit a gate touches inside a chunk, plus one.
unsigned inner_width(const TileGate& g) {
    std::uint64_t used = g.low_controls | (std::uint64_t{1} << g.t0);
    if (g.matrix.is_m4()) {
        used |= std::uint64_t{1} << g.t1;
    }
    return static_cast<unsigned>(std::bit_width(used));
}

}  // namespace

unsigned cache_tile_bits() {
    static const unsigned bits = [] {
        std::size_t bytes = l2_cache_bytes();
        if (bytes < (std::size_t{1} << 14) || bytes > (std::size_t{1} << 40)) {
            bytes = std::size_t{1} << 20;
        }
        // Half of the cache, 16 bytes per amplitude.
        return static_cast<unsigned>(std::bit_width(bytes / 32) - 1);
    }();
    return bits;
}

void apply_tile_gate(Complex* amps, std::size_t len, const TileGate& g, std::uint64_t controls) {
    if (g.matrix.is_m2()) {
        apply_1q_dense_scalar(amps, len, g.t0, controls, g.matrix.m2(), SERIAL_POLICY);
    } else {
        apply_2q_dense_scalar(amps, len, g.t0, g.t1, controls, g.matrix.m4(), SERIAL_POLICY);
    }
}

void apply_tiled(Complex* amps, std::size_t len, unsigned k, std::span<const TileGate> gates, unsigned sub_bits) {
    check_invariant(k < 63 && (std::size_t{1} << k) < len, "apply_tiled: the tile is not smaller than the state");
    const std::size_t chunk_len = std::size_t{1} << k;
    const std::size_t chunks = len >> k;
    // Runs of consecutive gates: [first, last) and whether they fit a piece.
    struct Segment {
        std::size_t first;
        std::size_t last;
        bool piecewise;
    };
    std::vector<Segment> segments;
    const bool pieces = sub_bits < k;
    for (std::size_t i = 0; i < gates.size(); ++i) {
        check_invariant(inner_width(gates[i]) <= k, "apply_tiled: a gate reaches outside the tile");
        const bool fits = pieces && inner_width(gates[i]) <= sub_bits;
        if (!segments.empty() && segments.back().piecewise == fits) {
            segments.back().last = i + 1;
        } else {
            segments.push_back({i, i + 1, fits});
        }
    }
    const std::size_t piece_len = pieces ? std::size_t{1} << sub_bits : chunk_len;
    parallel_for_chunks(chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            const std::uint64_t base = static_cast<std::uint64_t>(c) << k;
            Complex* chunk = amps + base;
            auto active = [base](const TileGate& g) { return (base & g.high_controls) == g.high_controls; };
            for (const Segment& s : segments) {
                if (s.piecewise) {
                    for (std::size_t p = 0; p < chunk_len; p += piece_len) {
                        for (std::size_t i = s.first; i < s.last; ++i) {
                            if (active(gates[i])) {
                                apply_tile_gate(chunk + p, piece_len, gates[i], gates[i].low_controls);
                            }
                        }
                    }
                } else {
                    for (std::size_t i = s.first; i < s.last; ++i) {
                        if (active(gates[i])) {
                            apply_tile_gate(chunk, chunk_len, gates[i], gates[i].low_controls);
                        }
                    }
                }
            }
        }
    });
}

}  // namespace nivra::sv::kernels
