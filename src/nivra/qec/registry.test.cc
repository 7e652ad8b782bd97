#include "nivra/qec/registry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <string>

#include "nivra/core/error.h"
#include "nivra/qec/test_dems.h"
#include "nivra/qec/test_models.h"

namespace nivra::qec {
namespace {

using matching_testing::mask_of;
using matching_testing::repetition_code;
using matching_testing::syndrome_of;

using testing::parse_dem;

std::string build_message(const DetectorErrorModel& dem, std::string_view name, const DecoderParams& params = {}) {
    auto built = build_decoder(dem, name, params);
    EXPECT_FALSE(built.has_value()) << name;
    return built ? std::string() : built.error().message();
}

// Every row builds with its defaults and corrects each single error of a
// repetition code: its syndrome decodes to the observables that error flips.
TEST(Registry, EveryRowBuildsAndCorrectsSingleErrors) {
    const DetectorErrorModel dem = repetition_code(5, 1, 0.01, 0.01);
    ASSERT_EQ(decoder_names().size(), decoder_rows().size());
    std::set<std::string_view> seen;
    for (std::size_t i = 0; i < decoder_rows().size(); ++i) {
        const DecoderRow& row = decoder_rows()[i];
        EXPECT_EQ(decoder_names()[i], row.name);
        EXPECT_TRUE(seen.insert(row.name).second) << "name listed twice: " << row.name;
        EXPECT_EQ(accepted_params(row.name).data(), row.params.data());
        auto built = build_decoder(dem, row.name, {});
        ASSERT_TRUE(built.has_value()) << row.name << ": " << built.error().message();
        for (const auto& error : dem.errors) {
            std::vector<std::uint32_t> fired;
            for (DemIndex d : error.detectors) fired.push_back(static_cast<std::uint32_t>(d));
            std::sort(fired.begin(), fired.end());
            std::uint64_t expected = 0;
            for (DemIndex o : error.observables) expected ^= std::uint64_t{1} << o;
            EXPECT_EQ(mask_of((*built)->decode(syndrome_of(fired, dem.num_detectors))), expected) << row.name;
        }
    }
    EXPECT_EQ(decoder_names().size(), 7u);
    EXPECT_TRUE(accepted_params("nope").empty());
}

TEST(Registry, GivenKeywordsReplaceDefaults) {
    const DetectorErrorModel dem = repetition_code(3, 1, 0.01, 0.01);
    DecoderParams params;
    params.set("alpha", std::numeric_limits<double>::infinity());
    EXPECT_EQ(build_message(dem, "bp", params), "parameter `alpha` must be finite, got inf");
    params.set("alpha", 0.5);  // the later value wins
    EXPECT_TRUE(build_decoder(dem, "bp", params).has_value());
    EXPECT_EQ(params.given.size(), 1u);

    DecoderParams gammas;
    gammas.set("gamma_min", 0.5);
    gammas.set("gamma_max", 0.25);
    EXPECT_EQ(build_message(dem, "relay-bp", gammas), "gamma_min (0.5) must be <= gamma_max (0.25)");
    EXPECT_EQ(build_message(dem, "relay-bp-osd", gammas), "gamma_min (0.5) must be <= gamma_max (0.25)");
    DecoderParams legs;
    legs.set("legs", std::uint64_t{1} << 32);
    EXPECT_EQ(build_message(dem, "relay-bp", legs), ParamError::too_many_legs(std::uint64_t{1} << 32).message());

    // A value of another type than the default's is the caller's fault.
    DecoderParams wrong;
    wrong.set("max_iter", 3.0);
    EXPECT_THROW((void)build_decoder(dem, "bp", wrong), InvariantError);
}

TEST(Registry, ErrorOrderAndMessages) {
    std::string text = "error(0.1) D0 L64\n";
    const DetectorErrorModel wide = parse_dem(text);
    const DetectorErrorModel dem = repetition_code(3, 1, 0.01, 0.01);
    DecoderParams stray;
    stray.set("osd_order", std::uint64_t{1});

    // Unknown keywords come first, then the observable count, then the name.
    EXPECT_EQ(build_message(wide, "bp", stray),
              "unknown parameter `osd_order` for decoder `bp`; valid: [max_iter, alpha]");
    EXPECT_EQ(build_message(dem, "mwpm", stray), "unknown parameter `osd_order` for decoder `mwpm`; valid: []");
    EXPECT_EQ(build_message(wide, "nope"), "nivra decoders support at most 64 logical observables, got 65");
    EXPECT_EQ(build_message(dem, "nope"),
              "unknown decoder `nope`; valid: mwpm, union-find, union-find-weighted, bp, bp-osd, relay-bp, "
              "relay-bp-osd");
    EXPECT_EQ(BuildError::unknown_parameter("x", "relay-bp-osd").message(),
              "unknown parameter `x` for decoder `relay-bp-osd`; valid: [legs, alpha, gamma_min, gamma_max, seed, "
              "osd_order]");

    DecoderParams nan_alpha;
    nan_alpha.set("alpha", std::nan(""));
    EXPECT_EQ(build_message(dem, "bp-osd", nan_alpha), "parameter `alpha` must be finite, got NaN");
    // relay-bp-osd checks alpha before the gammas, relay-bp in the same order.
    nan_alpha.set("gamma_min", std::nan(""));
    EXPECT_EQ(build_message(dem, "relay-bp-osd", nan_alpha), "parameter `alpha` must be finite, got NaN");
    EXPECT_EQ(build_message(dem, "relay-bp", nan_alpha), "parameter `alpha` must be finite, got NaN");

    // The matching decoders' own construction errors pass through.
    const DetectorErrorModel hyper = parse_dem("error(0.1) D0 D1 D2\n");
    EXPECT_EQ(build_message(hyper, "mwpm"), Error::non_graphlike(3).message());
}

}  // namespace
}  // namespace nivra::qec
