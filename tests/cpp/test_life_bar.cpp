// Life-bar text: samples, skipped pieces, absent results and the stop messages.
#include "readers/life_bar.hpp"

#include <gtest/gtest.h>

#include "layout/replay_layout.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "failure/stop.hpp"

namespace kz {
namespace {

constexpr auto kLifeBarRow = static_cast<std::uint8_t>(*layout::field_index("life_bar_graph"));

using Samples = std::vector<std::pair<std::uint32_t, float>>;

std::optional<Samples> samples_of(const LifeBarGraph& graph) {
    if (!graph) return std::nullopt;
    Samples out;
    for (const LifeBarState& s : *graph) out.emplace_back(s.time, s.life);
    return out;
}

TEST(LifeBarText, SamplesInTextOrder) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        std::string_view text;
        std::optional<Samples> samples;
    } cases[] = {
        {"", {}},
        {",", {}},
        {"abc,def", {}},
        {"0|1,250|0.5,", Samples{{0, 1.0f}, {250, 0.5f}}},
        {"100|1,,skip,+5|0.9", Samples{{100, 1.0f}, {5, 0.9f}}},
        {"0|1e-1,1|-inf,2|1e39", Samples{{0, 0.1f}, {1, -inf}, {2, inf}}},
        {"4294967295|1,2147483648|0", Samples{{4294967295u, 1.0f}, {2147483648u, 0.0f}}},
        {"1|1,2|1,3|1,4|1,5|1", Samples{{1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}}},
    };
    for (const auto& c : cases) EXPECT_EQ(samples_of(decode_life_bar_text(c.text)), c.samples) << c.text;
    EXPECT_TRUE(std::isnan(decode_life_bar_text("0|NaN").value().at(0).life));
}

TEST(LifeBarText, FirstBadPieceStopsTimeBeforeLife) {
    const std::string head = "called `Result::unwrap()` on an `Err` value: ";
    const std::string invalid = head + "ParseIntError { kind: InvalidDigit }";
    const struct {
        std::string_view text;
        std::string message;
    } cases[] = {
        {"100|1|7", head + "Error"},
        {"5|", head + "Error"},
        {"0|1,7|x", head + "Error"},
        {" 100|1", invalid},
        {"1.5|1", invalid},
        {"-0|1", invalid},
        {"+|1", invalid},
        {"x|bad,5|1", invalid},
        {"|1", head + "ParseIntError { kind: Empty }"},
        {"4294967296|1", head + "ParseIntError { kind: PosOverflow }"},
    };
    for (const auto& c : cases) {
        try {
            decode_life_bar_text(c.text);
            ADD_FAILURE() << "no stop for " << c.text;
        } catch (const Stop& stop) {
            EXPECT_EQ(std::string_view(stop.message()), c.message) << c.text;
        }
    }
}

TEST(LifeBarGraph, ReadsTheStringThenItsSamples) {
    const std::uint8_t bytes[] = {0x00, 0x0B, 0x03, '1', '|', '1', 0x0B, 0x01, ',', 0x09};
    auto absent = parse_life_bar_graph(ByteView(bytes), kLifeBarRow);
    auto present = parse_life_bar_graph(absent.rest(), kLifeBarRow);
    auto no_sample = parse_life_bar_graph(present.rest(), kLifeBarRow);
    ASSERT_TRUE(absent.ok() && present.ok() && no_sample.ok());
    EXPECT_EQ(absent.value(), std::nullopt);
    EXPECT_EQ(samples_of(present.value()), (Samples{{1, 1.0f}}));
    EXPECT_EQ(no_sample.value(), std::nullopt);
    EXPECT_EQ(no_sample.rest().size(), 1u);
    EXPECT_EQ(describe(parse_life_bar_graph(ByteView{}, kLifeBarRow).error()), "Error(Error { input: [], code: Eof })");
}

}  // namespace
}  // namespace kz
