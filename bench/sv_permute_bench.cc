// The cost of mapping a relabelled state back (once per run whose qubits the
// optimiser renumbered): the in-place reordering against the copy into a
// second buffer that it replaced.
//
//   InPlace/qubits:<n>/threads:<t>/perm:<p>/tile:<k>   permute_qubits, tile width k (0: its own choice)
//   Copy/qubits:<n>/threads:<t>/perm:<p>              a fresh zeroed buffer of the same length,
//                                                     new[j] = old[src(j)] filled on the pool,
//                                                     the old buffer released
//
// Permutations: 0 = the relabelling of gates on the top 8 qubits (they become
// 0..7, every other qubit moves up by 8), 1 = a random permutation, 2 = the
// bit reversal; to time the passes apart, 3 = a random shuffle of qubits
// 0..11 and one of the others (whole tiles move and are reordered inside), 4 =
// random qubits of 0..11 traded with random ones above (an exchange only, at
// the widest tile). Threads 0 = the whole pool, 1 = one thread. 24 to 26 qubits
// (a 26-qubit state is 1 GiB; Copy needs two); 28 only with NIVRA_BENCH_28=1.
//   ./sv_permute_bench --benchmark_filter='qubits:26/threads:0'

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "nivra/core/memory.h"
#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/sv/kernels/permute.h"

#include "sv_common.h"

namespace {

using nivra::AlignedBuf;
using nivra::Complex;
using nivra::Qubit;
using nivra::sv::CpuState;

std::vector<Qubit> permutation(std::uint32_t n, std::int64_t kind) {
    std::vector<Qubit> perm(n);
    for (Qubit q = 0; q < n; ++q) {
        perm[q] = kind == 0 ? (q + 8) % n : kind == 2 ? n - 1 - q : q;
    }
    nivra::StdRng rng = nivra::StdRng::seed_from_u64(n);
    auto shuffle = [&](std::uint32_t begin, std::uint32_t end) {
        for (std::uint32_t i = end; i > begin + 1; --i) std::swap(perm[i - 1], perm[begin + rng.next_u64() % (i - begin)]);
    };
    if (kind == 1) shuffle(0, n);
    if (kind == 3) {
        shuffle(0, 12);
        shuffle(12, n);
    }
    if (kind == 4) {
        for (Qubit q = 0; q < 12; ++q) {
            if (rng.next_u64() % 2 == 0) std::swap(perm[q], perm[12 + rng.next_u64() % (n - 12)]);
        }
    }
    return perm;
}

// The mapping as it was before it went in place: src(j) one byte of j at a
// time from tables, into a new buffer that then replaces the old one.
void copy_permute(CpuState& state, std::span<const Qubit> perm) {
    const std::uint32_t n = state.num_qubits;
    const std::size_t len = state.len();
    const unsigned bytes = (n + 7) / 8;
    std::vector<std::uint64_t> table(std::max(bytes, 1u) * 256, 0);
    for (unsigned b = 0; b < bytes; ++b) {
        for (unsigned v = 0; v < 256; ++v) {
            for (unsigned i = 0; i < 8; ++i) {
                if (8 * b + i < n && ((v >> i) & 1)) table[b * 256 + v] |= std::uint64_t{1} << perm[8 * b + i];
            }
        }
    }
    AlignedBuf fresh = nivra::allocate_checked(
        std::uint64_t{len} * sizeof(Complex), [] { return std::string("the copy"); }, [&] { return AlignedBuf(len); });
    const Complex* old = state.amps.data();
    Complex* out = fresh.data();
    nivra::parallel_for_chunks(len, 4096, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            std::uint64_t src = 0;
            for (unsigned b = 0; b < bytes; ++b) src |= table[b * 256 + ((j >> (8 * b)) & 0xFF)];
            out[j] = old[src];
        }
    });
    state.amps = std::move(fresh);
}

template <class Apply>
void run_mapping(benchmark::State& state, Apply apply) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    auto limit = nivra::bench::limit_threads(state);
    CpuState s = nivra::bench::random_state(n);
    const std::vector<Qubit> perm = permutation(n, state.range(2));
    apply(s, perm);  // warm
    for (auto _ : state) {
        apply(s, perm);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(s.len()));
}

void InPlace(benchmark::State& state) {
    const auto tile = static_cast<unsigned>(state.range(3));
    run_mapping(state, [&](CpuState& s, std::span<const Qubit> perm) {
        namespace k = nivra::sv::kernels;
        if (tile == 0) {
            k::permute_qubits(s.amps.data(), s.len(), perm, k::FIXED_POLICY);
        } else {
            k::permute_qubits(s.amps.data(), s.len(), perm, k::FIXED_POLICY, tile);
        }
    });
}

void Copy(benchmark::State& state) { run_mapping(state, copy_permute); }

void sizes(benchmark::internal::Benchmark* b, bool tiles) {
    std::vector<std::int64_t> qubits = {24, 25, 26};
    if (nivra::bench::large_sizes_enabled()) qubits.push_back(28);
    for (std::int64_t n : qubits) {
        for (std::int64_t threads : {0, 1}) {
            for (std::int64_t perm : {0, 1, 2, 3, 4}) {
                if (!tiles) {
                    b->Args({n, threads, perm});
                    continue;
                }
                for (std::int64_t tile : {0, 8, 10, 12, 14, 16}) b->Args({n, threads, perm, tile});
            }
        }
    }
}

BENCHMARK(InPlace)
    ->ArgNames({"qubits", "threads", "perm", "tile"})
    ->Apply([](auto* b) { sizes(b, true); })
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(Copy)
    ->ArgNames({"qubits", "threads", "perm"})
    ->Apply([](auto* b) { sizes(b, false); })
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
