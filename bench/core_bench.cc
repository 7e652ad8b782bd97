// Hot paths of the core building blocks: the generator every sampler draws
// from, the number forms of messages and text formats, and the memory limit
// read before every large buffer.
#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "nivra/core/aligned.h"
#include "nivra/core/format.h"
#include "nivra/core/memory.h"
#include "nivra/core/number.h"
#include "nivra/core/rng.h"

namespace {

void BM_StdRngNextU64(benchmark::State& state) {
    nivra::StdRng rng = nivra::StdRng::seed_from_u64(1);
    for (auto _ : state) benchmark::DoNotOptimize(rng.next_u64());
    state.SetBytesProcessed(state.iterations() * 8);
}
BENCHMARK(BM_StdRngNextU64);

void BM_StdRngNextUnitF64(benchmark::State& state) {
    nivra::StdRng rng = nivra::StdRng::seed_from_u64(1);
    for (auto _ : state) benchmark::DoNotOptimize(rng.next_unit_f64());
}
BENCHMARK(BM_StdRngNextUnitF64);

// Doubles spread over the whole exponent range, like amplitudes and probabilities are not;
// plus a set of "ordinary" magnitudes near 1, as messages mostly show.
std::vector<double> random_doubles(bool wide) {
    nivra::StdRng rng = nivra::StdRng::seed_from_u64(2);
    std::vector<double> values;
    while (values.size() < 4096) {
        double v = wide ? std::bit_cast<double>(rng.next_u64()) : (rng.next_unit_f64() - 0.5) * 1000.0;
        if (std::isfinite(v)) values.push_back(v);
    }
    return values;
}

void BM_DisplayF64(benchmark::State& state) {
    std::vector<double> values = random_doubles(state.range(0) != 0);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(nivra::fmt::display(values[i]));
        i = (i + 1) & 4095;
    }
}
BENCHMARK(BM_DisplayF64)->Arg(0)->Arg(1)->ArgName("wide");

void BM_ParseF64(benchmark::State& state) {
    std::vector<std::string> tokens;
    for (double v : random_doubles(false)) tokens.push_back(nivra::fmt::sci(v));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(nivra::parse_f64(tokens[i]));
        i = (i + 1) & 4095;
    }
}
BENCHMARK(BM_ParseF64);

// One reading of the process's memory limit (/proc/meminfo, rlimits): the
// cost added to each allocation of LIMIT_CHECK_MIN_BYTES or more.
void BM_MemoryLimit(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(nivra::memory_limit());
}
BENCHMARK(BM_MemoryLimit);

// The smallest buffer the limit is read for, zero-filled as a state vector is:
// what the reading above is compared against.
void BM_AlignedBufAtTheCheckThreshold(benchmark::State& state) {
    const std::size_t len = nivra::LIMIT_CHECK_MIN_BYTES / sizeof(nivra::Complex);
    for (auto _ : state) {
        nivra::AlignedBuf buffer(len);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_AlignedBufAtTheCheckThreshold);

}  // namespace
