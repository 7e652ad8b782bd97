// Hot paths of the belief-propagation decoders, single thread: whole shots of
// bp, bp-osd (orders 0 and 10), relay-bp and relay-bp-osd, BP iterations on
// their own, and OSD on the shots BP leaves unconverged. Two models: a
// distance-9 rotated surface code over 9 noisy rounds (phenomenological noise,
// p = 0.003) and the [[144, 12, 12]] bivariate bicycle code under
// code-capacity noise. Counters report the share of shots that needed OSD.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "nivra/core/rng.h"
#include "nivra/qec/bp/bp.h"
#include "nivra/qec/bp/osd.h"
#include "nivra/qec/bp/relay_bp.h"
#include "nivra/qec/test_models.h"

namespace {

using namespace nivra::qec;

constexpr std::size_t SHOTS = 512;

struct Workload {
    DetectorErrorModel dem;
    std::vector<Syndrome> shots;
};

Workload make_workload(DetectorErrorModel dem, std::uint64_t seed) {
    nivra::StdRng rng = nivra::StdRng::seed_from_u64(seed);
    Workload w{std::move(dem), {}};
    for (std::size_t i = 0; i < SHOTS; ++i) w.shots.push_back(testing::sample_shot(w.dem, rng).syndrome);
    return w;
}

const Workload& surface_code() {
    static const Workload w = make_workload(testing::surface_code_phenomenological(9, 9, 0.003), 1);
    return w;
}

const Workload& gross_code() {
    static const Workload w = make_workload(testing::code_capacity_dem(testing::bivariate_bicycle(12, 6), 0.05), 2);
    return w;
}

const Workload& workload(const benchmark::State& state) { return state.range(0) == 0 ? surface_code() : gross_code(); }

void label(benchmark::State& state) {
    const Workload& w = workload(state);
    state.SetLabel(std::string(state.range(0) == 0 ? "surface d9 r9" : "bb144 code capacity") + " (" +
                   std::to_string(w.dem.errors.size()) + " mechanisms, " + std::to_string(w.dem.num_detectors) +
                   " detectors)");
}

template <class Decode>
void run_shots(benchmark::State& state, Decode&& decode) {
    const Workload& w = workload(state);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(decode(w.shots[i]));
        i = (i + 1) % w.shots.size();
    }
    state.SetItemsProcessed(state.iterations());
    label(state);
}

void BM_Bp(benchmark::State& state) {
    const auto bp = *BpDecoder::with_params(workload(state).dem, 100, 1.0);
    std::size_t unconverged = 0;
    run_shots(state, [&](const Syndrome& s) {
        auto result = bp.decode_bp(s);
        unconverged += !result.second;
        return result;
    });
    state.counters["unconverged"] = benchmark::Counter(static_cast<double>(unconverged) / state.iterations());
}
BENCHMARK(BM_Bp)->Arg(0)->Arg(1);

void BM_BpOsd(benchmark::State& state) {
    const auto osd = *OsdDecoder::with_params(workload(state).dem, 100, state.range(1), 0.875);
    std::size_t used = 0;
    run_shots(state, [&](const Syndrome& s) {
        auto result = osd.decode_osd(s);
        used += result.second;
        return result;
    });
    state.counters["osd_share"] = benchmark::Counter(static_cast<double>(used) / state.iterations());
}
BENCHMARK(BM_BpOsd)->ArgsProduct({{0, 1}, {0, 10}});

void BM_RelayBp(benchmark::State& state) {
    const auto relay = *RelayBpDecoder::with_params(workload(state).dem, 4, 1578781596, 0.875, -0.3, 0.9);
    run_shots(state, [&](const Syndrome& s) { return relay.decode(s); });
}
BENCHMARK(BM_RelayBp)->Arg(0)->Arg(1);

void BM_RelayBpOsd(benchmark::State& state) {
    const DetectorErrorModel& dem = workload(state).dem;
    const RelayBpOsdDecoder decoder(*RelayBpDecoder::with_params(dem, 4, 1578781596, 0.875, -0.3, 0.9),
                                    *OsdDecoder::with_params(dem, 100, 0, 0.875));
    run_shots(state, [&](const Syndrome& s) { return decoder.decode(s); });
}
BENCHMARK(BM_RelayBpOsd)->Arg(0)->Arg(1);

// Iterations per second of the two message passes and the stop test: BP runs
// all 100 iterations on a sampled shot it never satisfies.
void BM_BpIterations(benchmark::State& state) {
    const Workload& w = workload(state);
    const auto bp = *BpDecoder::with_params(w.dem, 100, 1.0);
    const Syndrome* hard_shot = nullptr;
    for (const Syndrome& s : w.shots) {
        if (!bp.decode_bp_soft(s).converged) {
            hard_shot = &s;
            break;
        }
    }
    if (hard_shot == nullptr) {
        state.SkipWithError("every shot converged");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(bp.decode_bp_soft(*hard_shot));
    state.SetItemsProcessed(state.iterations() * 100);
    label(state);
}
BENCHMARK(BM_BpIterations)->Arg(0)->Arg(1);

// OSD alone on BP's soft output for the shots BP leaves unconverged.
void BM_OsdSolve(benchmark::State& state) {
    const Workload& w = workload(state);
    const auto osd = *OsdDecoder::with_params(w.dem, 100, state.range(1), 0.875);
    std::vector<std::pair<const Syndrome*, BpSoft>> failed;
    for (const Syndrome& s : w.shots) {
        BpSoft soft = osd.bp().decode_bp_soft(s);
        if (!soft.converged) failed.emplace_back(&s, std::move(soft));
    }
    if (failed.empty()) {
        state.SkipWithError("every shot converged");
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& [syndrome, soft] = failed[i];
        benchmark::DoNotOptimize(osd.osd_solve(*syndrome, soft.hard, soft.posteriors));
        i = (i + 1) % failed.size();
    }
    state.SetItemsProcessed(state.iterations());
    label(state);
    state.counters["unconverged_shots"] = static_cast<double>(failed.size());
}
BENCHMARK(BM_OsdSolve)->ArgsProduct({{0, 1}, {0, 10}});

}  // namespace
