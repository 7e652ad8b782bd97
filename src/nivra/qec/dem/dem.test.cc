#include "nivra/qec/dem/dem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "nivra/core/rng.h"

namespace nivra::qec {
namespace {

DetectorErrorModel parse_ok(std::string_view text) {
    auto model = DetectorErrorModel::parse(text);
    EXPECT_TRUE(model.has_value()) << (model ? "" : model.error().message()) << "\n--- text:\n" << text;
    return model ? *model : DetectorErrorModel{};
}

std::string parse_message(std::string_view text) {
    auto model = DetectorErrorModel::parse(text);
    if (model) return "(parsed)";
    EXPECT_EQ(model.error().kind, Error::Kind::DemParse);
    return model.error().message();
}

std::string read_data(const std::string& name) {
    std::ifstream in(std::string(NIVRA_TESTDATA_DIR) + "/qec/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

TEST(Dem, EmptyAndCommentOnlyTexts) {
    for (std::string_view text : {"", "\n\n", "# only a comment\n   \n\t# another\r\n"}) {
        DetectorErrorModel model = parse_ok(text);
        EXPECT_TRUE(model.errors.empty());
        EXPECT_EQ(model.num_detectors, 0u);
        EXPECT_EQ(model.num_observables, 0u);
        EXPECT_EQ(model.to_dem_string(), "");
    }
}

TEST(Dem, MechanismsAndTheirWrittenForm) {
    struct Case {
        const char* text;
        const char* written;
    };
    const Case cases[] = {
        {"error(0.1) D0 D1 L0 # comment", "error(0.1) D0 D1 L0\n"},
        {"error(0.1) L0 D1", "error(0.1) D1 L0\n"},
        {"error(0.1) D0 ^ D0 D1", "error(0.1) D0 ^ D0 D1\n"},
        {"error(0.1) D0 D0", "error(0.1) D0 D0\n"},
        {"error(0.2)", "error(0.2)\n"},
        {"error (0.1) D0", "error(0.1) D0\n"},
        {"error(0)  D3\nerror(1) D3", "error(0) D3\nerror(1) D3\n"},
        {"error(1e-20) D0", "error(0.00000000000000000001) D0\n"},
        {"error(-0) D0", "error(-0) D0\n"},
        {"error( 0.001 ) D2 ^ L1 ^ D0", "error(0.001) D2 ^ L1 ^ D0\n"},
        {"detector(1, 2, 0) D5", "detector D5\n"},
        {"logical_observable L3", "logical_observable L3\n"},
        {"detectorD3", "detector D3\n"},
        {"error(0.1) D1\ndetector D7\nlogical_observable L2", "error(0.1) D1\ndetector D7\nlogical_observable L2\n"},
        {"error(0.1) D9 L4\ndetector D7\nlogical_observable L2", "error(0.1) D9 L4\n"},
        {"error(0.5)\u3000D1\u00a0L0", "error(0.5) D1 L0\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_ok(c.text).to_dem_string(), c.written) << c.text;
    }
}

TEST(Dem, MechanismLists) {
    DetectorErrorModel one = parse_ok("error(0.1) D0 D1 L0 # comment");
    ASSERT_EQ(one.errors.size(), 1u);
    EXPECT_EQ(one.errors[0].detectors, (std::vector<DemIndex>{0, 1}));
    EXPECT_EQ(one.errors[0].observables, (std::vector<DemIndex>{0}));
    EXPECT_EQ(one.errors[0].num_components(), 0u);
    EXPECT_EQ(one.num_detectors, 2u);
    EXPECT_EQ(one.num_observables, 1u);

    DetectorErrorModel split = parse_ok("error(0.1) D0 ^ D0 D1");
    EXPECT_EQ(split.errors[0].detectors, (std::vector<DemIndex>{1}));
    ASSERT_EQ(split.errors[0].num_components(), 2u);
    EXPECT_EQ(split.errors[0].components()[0], (DemComponent{{0}, {}}));
    EXPECT_EQ(split.errors[0].components()[1], (DemComponent{{0, 1}, {}}));

    DetectorErrorModel twice = parse_ok("error(0.1) D0 D0");
    EXPECT_EQ(twice.errors[0].detectors, (std::vector<DemIndex>{0, 0}));

    // Components keep their own duplicates; the combined lists cancel pairs.
    DetectorErrorModel parts = parse_ok("error(0.1) D3 D1 D3 L1 ^ D1 D2 L1 L1");
    EXPECT_EQ(parts.errors[0].components()[0], (DemComponent{{1, 3, 3}, {1}}));
    EXPECT_EQ(parts.errors[0].detectors, (std::vector<DemIndex>{2}));
    EXPECT_EQ(parts.errors[0].observables, (std::vector<DemIndex>{1}));

    DetectorErrorModel separate = parse_ok("detector L2\nlogical_observable D7");
    EXPECT_EQ(separate.num_detectors, 0u);
    EXPECT_EQ(separate.num_observables, 0u);
}

TEST(Dem, RepeatAndShiftUnroll) {
    DetectorErrorModel model = parse_ok("repeat 3 {\n error(0.1) D0 D1\n shift_detectors 2\n}\n");
    ASSERT_EQ(model.errors.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(model.errors[i].detectors, (std::vector<DemIndex>{DemIndex(2 * i), DemIndex(2 * i + 1)}));
    }
    EXPECT_EQ(model.num_detectors, 6u);
    EXPECT_EQ(model.to_dem_string(), "error(0.1) D0 D1\nerror(0.1) D2 D3\nerror(0.1) D4 D5\n");

    DetectorErrorModel none = parse_ok("repeat 0 {\nerror(0.1) D0\n}");
    EXPECT_TRUE(none.errors.empty());
    EXPECT_EQ(none.num_detectors, 0u);

    // Nested blocks, shift arguments ignored, detector instructions shifted too.
    DetectorErrorModel nested = parse_ok(
        "repeat 2 {\n"
        "  repeat 2 {\n"
        "    error(0.25) D0 ^ D1 L0\n"
        "    shift_detectors(0, 0, 1) 1\n"
        "  }\n"
        "  detector(4) D0\n"
        "  shift_detectors 10\n"
        "}\n");
    ASSERT_EQ(nested.errors.size(), 4u);
    EXPECT_EQ(nested.errors[1].components()[1].detectors, (std::vector<DemIndex>{2}));
    EXPECT_EQ(nested.errors[2].components()[0].detectors, (std::vector<DemIndex>{12}));
    EXPECT_EQ(nested.errors[3].components()[0].detectors, (std::vector<DemIndex>{13}));
    EXPECT_EQ(nested.errors[3].components()[1].detectors, (std::vector<DemIndex>{14}));
    EXPECT_EQ(nested.errors[3].observables, (std::vector<DemIndex>{0}));
    EXPECT_EQ(nested.num_detectors, 15u);

    // Keywords are prefixes, so "repeat2{" and "shift_detectors3" read too.
    EXPECT_EQ(parse_ok("repeat2{\nshift_detectors3\nerror(0.1) D0\n}").to_dem_string(),
              "error(0.1) D3\nerror(0.1) D6\n");
}

TEST(Dem, ShiftLimits) {
    EXPECT_EQ(parse_message("shift_detectors 4294967296\nerror(0.1) D0"),
              "DEM parse error at line 2: detector D0 shifted by 4294967296 exceeds u32");
    DetectorErrorModel top = parse_ok("shift_detectors 4294967290\ndetector D5");
    EXPECT_EQ(top.num_detectors, 4294967296u);
    EXPECT_EQ(parse_message("shift_detectors 18446744073709551615\nshift_detectors 1"),
              "DEM parse error at line 2: detector offset 18446744073709551615 + 1 overflows u64");
    // The first detector in written order that overflows is named, not the largest.
    EXPECT_EQ(parse_message("shift_detectors 4294967290\nerror(0.1) D3 L0 ^ D7 D9"),
              "DEM parse error at line 2: detector D7 shifted by 4294967290 exceeds u32");
    EXPECT_EQ(parse_message("shift_detectors 4294967290\ndetector(1, 2) L2 D1 D6 D8"),
              "DEM parse error at line 2: detector D6 shifted by 4294967290 exceeds u32");
    // Flattening failures come in execution order: the third pass of the loop.
    EXPECT_EQ(parse_message("repeat 3 {\ndetector D0\nshift_detectors 2147483648\n}"),
              "DEM parse error at line 2: detector D0 shifted by 4294967296 exceeds u32");
}

TEST(Dem, ReadingErrorsWithTheirLines) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"}", "DEM parse error at line 1: unmatched `}`"},
        {"error(0.1) D0\nrepeat 2 {\nerror(0.1) D1\n\n", "DEM parse error at line 2: unclosed `repeat` block"},
        {"repeat 2 {\nrepeat 3 {\n}\nrepeat 4 {\n", "DEM parse error at line 4: unclosed `repeat` block"},
        {"detector_separator 1", "DEM parse error at line 1: `detector_separator` is not supported"},
        {"foo", "DEM parse error at line 1: unknown instruction: `foo`"},
        {"\n# c\nfoo", "DEM parse error at line 3: unknown instruction: `foo`"},
        {"errors", "DEM parse error at line 1: `error` requires a probability in parentheses"},
        {"}}", "DEM parse error at line 1: unknown instruction: `}}`"},
        {"observable L0", "DEM parse error at line 1: unknown instruction: `observable L0`"},
        {"error", "DEM parse error at line 1: `error` requires a probability in parentheses"},
        {"error 0.1 D0", "DEM parse error at line 1: `error` requires a probability in parentheses"},
        {"error(0.1 D0", "DEM parse error at line 1: `error` requires a probability in parentheses"},
        {"error(1.5) D0", "DEM parse error at line 1: probability must be finite and in [0, 1], got `1.5`"},
        {"error(nan) D0", "DEM parse error at line 1: probability must be finite and in [0, 1], got `nan`"},
        {"error(-inf) D0", "DEM parse error at line 1: probability must be finite and in [0, 1], got `-inf`"},
        {"error(-0.1) D0", "DEM parse error at line 1: probability must be finite and in [0, 1], got `-0.1`"},
        {"error(abc) D0", "DEM parse error at line 1: invalid probability `abc`: invalid float literal"},
        {"error( ) D0", "DEM parse error at line 1: invalid probability ``: cannot parse float from empty string"},
        {"error(0x1p-3) D0", "DEM parse error at line 1: invalid probability `0x1p-3`: invalid float literal"},
        {"error(0.1) D0^D1",
         "DEM parse error at line 1: invalid detector index in `D0^D1`: invalid digit found in string"},
        {"error(0.1) X0", "DEM parse error at line 1: unexpected target `X0` (expected D<n> or L<n>)"},
        {"error(0.1) D",
         "DEM parse error at line 1: invalid detector index in `D`: cannot parse integer from empty string"},
        {"error(0.1) L+", "DEM parse error at line 1: invalid observable index in `L+`: invalid digit found in string"},
        {"error(0.1) D-1", "DEM parse error at line 1: invalid detector index in `D-1`: invalid digit found in string"},
        {"error(0.1) D4294967296",
         "DEM parse error at line 1: invalid detector index in `D4294967296`: number too large to fit in target type"},
        {"error(0.1) D99999999999x",
         "DEM parse error at line 1: invalid detector index in `D99999999999x`: number too large to fit in target "
         "type"},
        {"error(0.1) D12x",
         "DEM parse error at line 1: invalid detector index in `D12x`: invalid digit found in string"},
        {"detector(1, 2 D0", "DEM parse error at line 1: unexpected target `(1,` (expected D<n> or L<n>)"},
        {"logical_observable(0) L0", "DEM parse error at line 1: unexpected target `(0)` (expected D<n> or L<n>)"},
        {"shift_detectors x", "DEM parse error at line 1: invalid shift `x`: invalid digit found in string"},
        {"shift_detectors(1)", "DEM parse error at line 1: invalid shift ``: cannot parse integer from empty string"},
        {"shift_detectors 1 2", "DEM parse error at line 1: invalid shift `1 2`: invalid digit found in string"},
        {"shift_detectors 18446744073709551616",
         "DEM parse error at line 1: invalid shift `18446744073709551616`: number too large to fit in target type"},
        {"repeat 3", "DEM parse error at line 1: `repeat` must end with `{`"},
        {"repeat", "DEM parse error at line 1: `repeat` must end with `{`"},
        {"repeat x {", "DEM parse error at line 1: invalid repeat count `x`: invalid digit found in string"},
        {"repeat {", "DEM parse error at line 1: invalid repeat count ``: cannot parse integer from empty string"},
        {"repeat -1 {", "DEM parse error at line 1: invalid repeat count `-1`: invalid digit found in string"},
        {"error(0.1) D0\r\nerror(2) D1\r\n",
         "DEM parse error at line 2: probability must be finite and in [0, 1], got `2`"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_message(c.text), c.message) << c.text;
    }
}

TEST(Dem, FirstFailureWins) {
    // A reading error anywhere comes before any flattening error.
    EXPECT_EQ(parse_message("shift_detectors 4294967296\nerror(0.1) D0\nfoo"),
              "DEM parse error at line 3: unknown instruction: `foo`");
    EXPECT_EQ(parse_message("error(0.1) X0\nerror(7) D0"),
              "DEM parse error at line 1: unexpected target `X0` (expected D<n> or L<n>)");
}

TEST(Dem, HugeRepeatsAreRefusedQuickly) {
    const std::string limit =
        "model too large: `repeat` blocks unroll past 268435456 units (each target or `^` counts 1, plus 8 per "
        "`error` and 1 per other instruction)";
    EXPECT_EQ(parse_message("error(0.1) D0\nrepeat 18446744073709551615 {\n error(0.1) D0\n}"),
              "DEM parse error at line 2: " + limit);
    EXPECT_EQ(parse_message("repeat 65536 {\n repeat 65536 {\n  shift_detectors 0\n }\n}"),
              "DEM parse error at line 1: " + limit);
    // 2^28 units for the block, then one more instruction after it.
    EXPECT_TRUE(DetectorErrorModel::parse("repeat 1024 {\nrepeat 1024 {\nshift_detectors 0\n}\n}").has_value());
    EXPECT_EQ(parse_message("repeat 16384 {\nrepeat 16384 {\nshift_detectors 0\n}\n}\nshift_detectors 0"),
              "DEM parse error at line 6: " + limit);
    // Every target of a `detector` or `logical_observable` line counts, and every
    // `^`: 2^28 / 1001 repetitions of a line of 1000 targets fit, one more does not.
    std::string detectors = "detector";
    std::string observables = "logical_observable";
    std::string separators = "error(0.1)";
    for (int i = 0; i < 1000; ++i) {
        detectors += " D" + std::to_string(i);
        observables += " L" + std::to_string(i);
        separators += " ^";
    }
    EXPECT_TRUE(DetectorErrorModel::parse("repeat 268167 {\n" + detectors + "\n}").has_value());
    EXPECT_EQ(parse_message("repeat 268168 {\n" + detectors + "\n}"), "DEM parse error at line 1: " + limit);
    EXPECT_EQ(parse_message("#\nrepeat 268168 {\n" + observables + "\n}"), "DEM parse error at line 2: " + limit);
    EXPECT_EQ(parse_message("repeat 266306 {\n" + separators + "\n}"), "DEM parse error at line 1: " + limit);
    DetectorErrorModel empties = parse_ok("repeat 266305 {\n" + separators + "\n}");
    ASSERT_EQ(empties.errors.size(), 266305u);
    EXPECT_EQ(empties.errors.back().num_components(), 1001u);
    // One list of empty components serves every repetition.
    EXPECT_EQ(empties.errors.front().written_components, empties.errors.back().written_components);
    // Bodies that do nothing cost nothing, whatever their count.
    DetectorErrorModel empty = parse_ok("repeat 18446744073709551615 {\n repeat 18446744073709551615 {\n }\n}");
    EXPECT_TRUE(empty.errors.empty());
}

TEST(Dem, DeepNestingUsesNoStack) {
    const std::size_t depth = 200000;
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) text += "repeat 1 {\n";
    text += "error(0.125) D1 L0\nshift_detectors 1\n";
    for (std::size_t i = 0; i < depth; ++i) text += "}\n";
    DetectorErrorModel model = parse_ok(text);
    EXPECT_EQ(model.to_dem_string(), "error(0.125) D1 L0\n");

    std::string unclosed;
    for (std::size_t i = 0; i < depth; ++i) unclosed += "repeat 2 {\n";
    EXPECT_EQ(parse_message(unclosed), "DEM parse error at line 200000: unclosed `repeat` block");
}

TEST(Dem, DemErrorConstructors) {
    DemError made = DemError::make({5, 1, 5}, {2, 0}, 0.25);
    EXPECT_EQ(made.detectors, (std::vector<DemIndex>{1, 5, 5}));
    EXPECT_EQ(made.observables, (std::vector<DemIndex>{0, 2}));
    EXPECT_EQ(made.num_components(), 0u);

    EXPECT_EQ(DemError::with_components({}, 0.5), DemError::make({}, {}, 0.5));
    EXPECT_EQ(DemError::with_components({{{3, 1}, {0}}}, 0.5), DemError::make({1, 3}, {0}, 0.5));

    std::vector<DemIndex> values{4, 2, 4, 4, 2, 9, 1};
    parity_reduce(values);
    EXPECT_EQ(values, (std::vector<DemIndex>{1, 4, 9}));
}

// Random models through the writer and back.
DetectorErrorModel random_model(StdRng& rng) {
    DetectorErrorModel model;
    const std::size_t mechanisms = rng.next_u32() % 12;
    std::size_t max_det = 0;
    std::size_t max_obs = 0;
    bool any_det = false;
    bool any_obs = false;
    for (std::size_t m = 0; m < mechanisms; ++m) {
        const std::size_t parts = 1 + rng.next_u32() % 3;
        std::vector<DemComponent> components(parts);
        for (DemComponent& c : components) {
            for (std::size_t t = rng.next_u32() % 4; t > 0; --t) {
                DemIndex d = rng.next_u32() % 3 == 0 ? rng.next_u32() : rng.next_u32() % 20;
                c.detectors.push_back(d);
                max_det = std::max<std::size_t>(max_det, d);
                any_det = true;
            }
            for (std::size_t t = rng.next_u32() % 2; t > 0; --t) {
                DemIndex k = rng.next_u32() % 5;
                c.observables.push_back(k);
                max_obs = std::max<std::size_t>(max_obs, k);
                any_obs = true;
            }
        }
        double p = rng.next_unit_f64();
        if (rng.next_u32() % 4 == 0) p = std::ldexp(p, -int(rng.next_u32() % 80));
        model.errors.push_back(DemError::with_components(std::move(components), p));
    }
    model.num_detectors = any_det ? max_det + 1 : 0;
    model.num_observables = any_obs ? max_obs + 1 : 0;
    if (rng.next_u32() % 2) model.num_detectors += rng.next_u32() % 5;
    if (rng.next_u32() % 2) model.num_observables += rng.next_u32() % 5;
    return model;
}

TEST(Dem, WriterReaderRoundTrip) {
    StdRng rng = StdRng::seed_from_u64(11);
    for (int trial = 0; trial < 500; ++trial) {
        DetectorErrorModel model = random_model(rng);
        std::string text = model.to_dem_string();
        auto back = DetectorErrorModel::parse(text);
        ASSERT_TRUE(back.has_value()) << back.error().message() << "\n" << text;
        EXPECT_EQ(*back, model) << text;
        EXPECT_EQ(back->to_dem_string(), text);
    }
}

TEST(Dem, RandomAndMutatedTextsNeverCrash) {
    const std::string seeds[] = {
        "error(0.1) D0 D1 L0\nrepeat 3 {\n error(0.2) D0 ^ D1\n shift_detectors(1) 2\n detector(0, 1) D4\n}\n"
        "logical_observable L1\n",
        "repeat 2 {\nrepeat 3 {\nerror(1e-3) D5 L0\n}\nshift_detectors 7\n}\n# done\n",
    };
    const std::string alphabet = "errordetcpaisfhxlgvbun_DL0123456789^(){}#.,-+e \n\t\r";
    StdRng rng = StdRng::seed_from_u64(2024);
    std::size_t parsed = 0;
    for (int trial = 0; trial < 4000; ++trial) {
        std::string text;
        if (trial % 2 == 0) {
            text = seeds[rng.next_u32() % 2];
            for (std::size_t edits = 1 + rng.next_u32() % 6; edits > 0; --edits) {
                std::size_t at = text.empty() ? 0 : rng.next_u32() % text.size();
                switch (rng.next_u32() % 4) {
                    case 0:
                        text.insert(at, 1, alphabet[rng.next_u32() % alphabet.size()]);
                        break;
                    case 1:
                        if (!text.empty()) text.erase(at, 1);
                        break;
                    case 2:
                        if (!text.empty()) text[at] = static_cast<char>(rng.next_u32());
                        break;
                    default:
                        text.insert(at, text.substr(at, rng.next_u32() % 12));
                        break;
                }
            }
        } else {
            for (std::size_t n = rng.next_u32() % 80; n > 0; --n) text += alphabet[rng.next_u32() % alphabet.size()];
        }
        auto model = DetectorErrorModel::parse(text);
        if (!model) {
            EXPECT_EQ(model.error().message().rfind("DEM parse error at line ", 0), 0u);
            EXPECT_GE(model.error().line, 1u);
            continue;
        }
        ++parsed;
        auto back = DetectorErrorModel::parse(model->to_dem_string());
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, *model) << text;
    }
    EXPECT_GT(parsed, 100u);
}

// Random nested programs against a direct recursive unrolling: the reader
// sorts, reduces and shares a mechanism's components once per line and only
// shifts them per repetition, which must give the text of unrolling each pass.
struct RefProgram {
    std::string text;
    std::string flat;  // the expected to_dem_string(), without the closing count lines
    std::uint64_t offset = 0;
    std::int64_t max_detector = -1;
    std::int64_t max_observable = -1;
};

void random_block(StdRng& rng, int depth, std::vector<std::string>& lines,
                  std::vector<std::function<void(RefProgram&)>>& steps) {
    for (std::size_t n = 1 + rng.next_u32() % 4; n > 0; --n) {
        const std::uint32_t kind = rng.next_u32() % (depth < 3 ? 5 : 4);
        if (kind == 0 || kind == 1) {
            std::vector<DemComponent> parts(1 + (rng.next_u32() % 3 == 0 ? rng.next_u32() % 4 : 0));
            std::string line = "error(0.125)";
            for (std::size_t c = 0; c < parts.size(); ++c) {
                if (c > 0) line += " ^";
                for (std::size_t t = rng.next_u32() % 4; t > 0; --t) {
                    if (rng.next_u32() % 3 == 0) {
                        parts[c].observables.push_back(rng.next_u32() % 3);
                        line += " L" + std::to_string(parts[c].observables.back());
                    } else {
                        parts[c].detectors.push_back(rng.next_u32() % 6);
                        line += " D" + std::to_string(parts[c].detectors.back());
                    }
                }
            }
            lines.push_back(line);
            steps.push_back([parts](RefProgram& ref) {
                ref.flat += "error(0.125)";
                for (std::size_t c = 0; c < parts.size(); ++c) {
                    std::vector<DemIndex> detectors = parts[c].detectors;
                    std::vector<DemIndex> observables = parts[c].observables;
                    std::sort(detectors.begin(), detectors.end());
                    std::sort(observables.begin(), observables.end());
                    if (c > 0) ref.flat += " ^";
                    for (DemIndex d : detectors) {
                        ref.flat += " D" + std::to_string(d + ref.offset);
                        ref.max_detector = std::max<std::int64_t>(ref.max_detector, d + ref.offset);
                    }
                    for (DemIndex k : observables) {
                        ref.flat += " L" + std::to_string(k);
                        ref.max_observable = std::max<std::int64_t>(ref.max_observable, k);
                    }
                }
                ref.flat += "\n";
            });
        } else if (kind == 2) {
            const DemIndex d = rng.next_u32() % 9;
            lines.push_back("detector(1, 2) D" + std::to_string(d) + " L4");
            steps.push_back([d](RefProgram& ref) {
                ref.max_detector = std::max<std::int64_t>(ref.max_detector, d + ref.offset);
            });
        } else if (kind == 3) {
            const std::uint64_t amount = rng.next_u32() % 4;
            lines.push_back("shift_detectors " + std::to_string(amount));
            steps.push_back([amount](RefProgram& ref) { ref.offset += amount; });
        } else {
            const std::uint64_t count = rng.next_u32() % 4;
            lines.push_back("repeat " + std::to_string(count) + " {");
            std::vector<std::function<void(RefProgram&)>> body;
            random_block(rng, depth + 1, lines, body);
            lines.push_back("}");
            steps.push_back([count, body](RefProgram& ref) {
                for (std::uint64_t pass = 0; pass < count; ++pass) {
                    for (const auto& step : body) step(ref);
                }
            });
        }
    }
}

TEST(Dem, NestedRepeatsMatchADirectUnrolling) {
    StdRng rng = StdRng::seed_from_u64(7);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<std::string> lines;
        std::vector<std::function<void(RefProgram&)>> steps;
        random_block(rng, 0, lines, steps);
        RefProgram ref;
        for (const std::string& line : lines) ref.text += line + "\n";
        for (const auto& step : steps) step(ref);
        const DetectorErrorModel model = parse_ok(ref.text);
        EXPECT_EQ(model.num_detectors, static_cast<std::size_t>(ref.max_detector + 1)) << ref.text;
        EXPECT_EQ(model.num_observables, static_cast<std::size_t>(ref.max_observable + 1)) << ref.text;
        const std::string written = model.to_dem_string();
        EXPECT_EQ(written.substr(0, ref.flat.size()), ref.flat) << ref.text;
        // The written text reads back as an equal model (components compared shifted).
        EXPECT_EQ(parse_ok(written), model) << ref.text;
    }
}

TEST(Dem, ReadsModelsWrittenByStim) {
    struct Case {
        const char* file;
        std::size_t detectors;
        std::size_t errors;
    };
    const Case cases[] = {{"surface_d3_p003.dem", 24, 286},
                          {"surface_d5_p003.dem", 120, 1953},
                          {"surface_d7_p003.dem", 336, 6602},
                          {"surface_d7_p003_flat.dem", 336, 6602}};
    for (const Case& c : cases) {
        DetectorErrorModel model = parse_ok(read_data(c.file));
        EXPECT_EQ(model.num_detectors, c.detectors) << c.file;
        EXPECT_EQ(model.num_observables, 1u) << c.file;
        EXPECT_EQ(model.errors.size(), c.errors) << c.file;
        EXPECT_EQ(parse_ok(model.to_dem_string()), model) << c.file;
    }
    // Our unrolling of stim's `repeat` block agrees with stim's own.
    EXPECT_EQ(parse_ok(read_data("surface_d7_p003.dem")), parse_ok(read_data("surface_d7_p003_flat.dem")));
}

TEST(Dem, ErrorMessages) {
    EXPECT_EQ(Error::non_graphlike(3).message(),
              "non-graphlike DEM: an error mechanism flips 3 detectors (>2); matching needs a graph-like DEM");
    EXPECT_EQ((Error{Error::Kind::StabilizerPropagation, 0, 0, "x"}).message(), "stabilizer propagation failed: x");
    EXPECT_EQ((Error{Error::Kind::DecoderOracle, 0, 0, "y"}).message(), "decoder oracle failed: y");
    EXPECT_EQ(Error::dem_parse(7, "boom").message(), "DEM parse error at line 7: boom");
}

}  // namespace
}  // namespace nivra::qec
