// Matching decoders: single-thread decoding throughput (items_per_second =
// shots per second; the Time column is the time per shot), the construction
// time and size of the MWPM tables (built on the shared pool), and the batch
// driver behind decode_batch: 4096 dense rows per call through decode_rows on
// the whole pool, decoders built by name (RAYON_NUM_THREADS sets the pool).
//
// Models: rotated surface-code memory experiments (rounds = distance,
// circuit-level noise) written by stim, read from the folder named by
// NIVRA_QEC_DEM_DIR (scripts/gen_qec_dems.py --bench DIR writes
// surface_d{5,9,13,17}_p{001,005}.dem); without it, the shipped d = 3, 5, 7
// models at p = 0.003. Always: phenomenological repetition codes, d = 5 and 11.
// dem_parse reads and unrolls each file's text, and one synthetic text of
// repeated rounds (a decomposed mechanism, a plain one, a detector line, a shift).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "nivra/core/parallel.h"
#include "nivra/core/rng.h"
#include "nivra/qec/batch.h"
#include "nivra/qec/dem/dem.h"
#include "nivra/qec/matching/mwpm.h"
#include "nivra/qec/matching/union_find.h"
#include "nivra/qec/registry.h"
#include "nivra/qec/test_dems.h"

namespace {

using namespace nivra;
using namespace nivra::qec;

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// A model is read and sampled on first use, so a filtered run pays only for
// the models it benchmarks.
struct Model {
    std::string name;
    std::function<DetectorErrorModel()> load;
    std::once_flag once;
    DetectorErrorModel dem;
    std::vector<Syndrome> shots;  // sampled from the model itself
    std::vector<std::uint8_t> rows;  // the same shots as dense detector rows

    const DetectorErrorModel& get() {
        std::call_once(once, [this] {
            dem = load();
            StdRng rng = StdRng::seed_from_u64(2025);
            for (int i = 0; i < 4096; ++i) shots.push_back(matching_testing::sample_shot(dem, rng).syndrome);
            rows.assign(shots.size() * dem.num_detectors, 0);
            for (std::size_t i = 0; i < shots.size(); ++i) {
                for (std::uint32_t d : shots[i].fired) rows[i * dem.num_detectors + d] = 1;
            }
        });
        return dem;
    }

    // Decoders, built once on first use.
    std::once_flag decoders_once;
    std::unique_ptr<MwpmDecoder> mwpm;
    std::unique_ptr<UnionFindDecoder> uf;
    std::unique_ptr<UnionFindDecoder> uf_weighted;

    void build_decoders() {
        std::call_once(decoders_once, [this] {
            get();
            mwpm = std::make_unique<MwpmDecoder>(*MwpmDecoder::create(dem));
            uf = std::make_unique<UnionFindDecoder>(*UnionFindDecoder::create(dem));
            uf_weighted = std::make_unique<UnionFindDecoder>(*UnionFindDecoder::create_weighted(dem));
        });
    }
};

void decode_loop(benchmark::State& state, const Decoder& decoder, const Model& model) {
    std::size_t i = 0;
    std::size_t defects = 0;
    for (auto _ : state) {
        const Syndrome& shot = model.shots[i];
        benchmark::DoNotOptimize(decoder.decode(shot));
        defects += shot.fired.size();
        i = i + 1 == model.shots.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["defects_per_shot"] = static_cast<double>(defects) / static_cast<double>(state.iterations());
}

void register_model(std::string name, std::function<DetectorErrorModel()> load) {
    auto model = std::make_shared<Model>();
    model->name = std::move(name);
    model->load = std::move(load);
    benchmark::RegisterBenchmark(("mwpm_tables/" + model->name).c_str(),
                                 [model](benchmark::State& state) {
                                     const double d = static_cast<double>(model->get().num_detectors);
                                     for (auto _ : state) {
                                         auto decoder = MwpmDecoder::create(model->dem);
                                         benchmark::DoNotOptimize(decoder);
                                     }
                                     state.counters["table_MB"] = 2.0 * d * (d + 1.0) * 8.0 / 1e6;
                                     state.counters["pool_threads"] = static_cast<double>(pool_threads());
                                 })
        ->Unit(benchmark::kMillisecond)
        ->MinTime(1.0);
    benchmark::RegisterBenchmark(("mwpm_decode/" + model->name).c_str(), [model](benchmark::State& state) {
        model->build_decoders();
        decode_loop(state, *model->mwpm, *model);
    });
    benchmark::RegisterBenchmark(("uf_decode/" + model->name).c_str(), [model](benchmark::State& state) {
        model->build_decoders();
        decode_loop(state, *model->uf, *model);
    });
    benchmark::RegisterBenchmark(("uf_weighted_decode/" + model->name).c_str(), [model](benchmark::State& state) {
        model->build_decoders();
        decode_loop(state, *model->uf_weighted, *model);
    });
    for (const char* name : {"mwpm", "union-find", "bp-osd"}) {
        benchmark::RegisterBenchmark(
            ("batch_decode/" + std::string(name) + "/" + model->name).c_str(),
            [model, name](benchmark::State& state) {
                const DetectorErrorModel& dem = model->get();
                auto decoder = build_decoder(dem, name, {});
                if (!decoder) {
                    state.SkipWithError(decoder.error().message().c_str());
                    return;
                }
                const std::size_t shots = model->shots.size();
                for (auto _ : state) {
                    benchmark::DoNotOptimize(
                        decode_rows(**decoder, model->rows, shots, dem.num_detectors, dem.num_observables));
                }
                state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(shots));
                state.counters["pool_threads"] = static_cast<double>(pool_threads());
            })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
}

void register_dem_parse(const std::string& name, std::string text) {
    benchmark::RegisterBenchmark(("dem_parse/" + name).c_str(), [text = std::move(text)](benchmark::State& state) {
        std::size_t mechanisms = 0;
        for (auto _ : state) {
            auto dem = DetectorErrorModel::parse(text);
            if (!dem) throw std::runtime_error(dem.error().message());
            mechanisms = dem->errors.size();
            benchmark::DoNotOptimize(dem);
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
        state.counters["mechanisms_per_second"] = benchmark::Counter(
            static_cast<double>(mechanisms) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    })->Unit(benchmark::kMillisecond);
}

int register_all() {
    std::vector<std::filesystem::path> files;
    if (const char* dir = std::getenv("NIVRA_QEC_DEM_DIR"); dir && *dir) {
        for (int d : {5, 9, 13, 17}) {
            for (const char* p : {"p001", "p005"}) {
                files.push_back(std::filesystem::path(dir) / ("surface_d" + std::to_string(d) + "_" + p + ".dem"));
            }
        }
    } else {
        for (int d : {3, 5, 7}) {
            files.push_back(std::filesystem::path(NIVRA_TESTDATA_DIR) / "qec" /
                            ("surface_d" + std::to_string(d) + "_p003.dem"));
        }
    }
    for (const auto& file : files) {
        if (!std::filesystem::exists(file)) continue;
        register_dem_parse(file.stem().string(), read_file(file));
        register_model(file.stem().string(), [file] {
            auto dem = DetectorErrorModel::parse(read_file(file));
            if (!dem) throw std::runtime_error(file.string() + ": " + dem.error().message());
            return std::move(*dem);
        });
    }
    register_dem_parse("repeat_100000_rounds",
                       "repeat 100000 {\nerror(0.01) D0 D1 ^ D2 L0\nerror(0.02) D1 D3\n"
                       "detector(1, 2) D0 D1 D2 D3\nshift_detectors 4\n}\n");
    for (std::size_t d : {5, 11}) {
        for (double p : {0.001, 0.01}) {
            register_model("repetition_d" + std::to_string(d) + "_p" + (p < 0.005 ? "001" : "01"),
                           [d, p] { return matching_testing::repetition_code(d, d, p, p); });
        }
    }
    return 0;
}

[[maybe_unused]] const int registered = register_all();

}  // namespace
