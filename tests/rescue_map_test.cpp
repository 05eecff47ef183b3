// The mapfile's text both ways, and marking stretches of the card.
#include <gtest/gtest.h>

#include "mapfile/rescue_map.h"

namespace {

const char* const header = "# Mapfile. Created by vantacle\n# current_pos  current_status  current_pass\n";

std::string area_lines(const RescueMap& map) {
    const std::string text = map.text();
    return text.substr(text.find("status\n") + 7);
}

}  // namespace

TEST(RescueMap, MarkingSplitsAndJoinsAreas) {
    RescueMap map(100);
    map.mark(10, 5, MapState::good);
    map.mark(0, 10, MapState::good);
    map.mark(12, 1, MapState::bad);
    map.mark(90, 50, MapState::bad);  // cut at the card's end
    EXPECT_EQ(area_lines(map),
              "0x00000000  0x00001800  +\n0x00001800  0x00000200  -\n0x00001A00  0x00000400  +\n"
              "0x00001E00  0x00009600  ?\n0x0000B400  0x00001400  -\n");
    map.mark(0, 100, MapState::good);
    EXPECT_EQ(area_lines(map), "0x00000000  0x0000C800  +\n");
    EXPECT_EQ(map.count(MapState::good), 100u);
}

TEST(RescueMap, AreasWithinARange) {
    RescueMap map(64);
    map.mark(8, 8, MapState::good);
    map.mark(20, 2, MapState::unscraped);
    map.mark(30, 1, MapState::bad);
    const auto failed = map.areas(MapState::bad, 0, 64, true);
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0].first, 20u);
    EXPECT_EQ(failed[1].first, 30u);
    const auto untried = map.areas(MapState::untried, 4, 10);
    ASSERT_EQ(untried.size(), 1u);
    EXPECT_EQ(untried[0].first, 4u);
    EXPECT_EQ(untried[0].count, 4u);
    EXPECT_TRUE(map.is_good(15));
    EXPECT_FALSE(map.is_good(16));
}

TEST(RescueMap, ReadsItsOwnTextAndDdrescueStyleText) {
    RescueMap map(16);
    map.mark(3, 2, MapState::bad);
    map.set_phase(MapPhase::retrying, 4, 2);
    RescueMap again;
    ASSERT_TRUE(RescueMap::parse(map.text(), again));
    EXPECT_EQ(again.text(), map.text());
    EXPECT_EQ(map.text().substr(0, std::string(header).size()), header);
    // Decimal numbers, tabs, comments and blank lines, as other writers leave them.
    ASSERT_TRUE(RescueMap::parse("# comment\n\n0 ? \n0\t1024\t+\n1024 0x400 *\r\n", again));
    EXPECT_EQ(again.sectors(), 4u);
    EXPECT_EQ(again.count(MapState::untrimmed), 2u);
}

TEST(RescueMap, RefusesWhatIsNotAMapfile) {
    const struct {
        const char* text;
        const char* why;
    } cases[] = {
        {"", "not a mapfile: no status line and areas"},
        {"hello world\n", "not a mapfile: line 1 is not a status line"},
        {"0x0 ? 1\n", "not a mapfile: no status line and areas"},
        {"0x0 ? 1\n0x0 0x200\n", "not a mapfile: line 2 is not 'position size status'"},
        {"0x0 ? 1\n0x0 0x200 x\n", "not a mapfile: line 2 is not 'position size status'"},
        {"0x0 ? 1\n0x0 0x300 +\n", "the mapfile's line 2 does not hold whole 512-byte sectors"},
        {"0x0 ? 1\n0x0 0x200 +\n0x400 0x200 +\n", "the mapfile's line 3 leaves a gap or overlaps"},
        {"0x0 ? 1\n0x200 0x200 +\n", "the mapfile's line 2 leaves a gap or overlaps"},
        {"0x0 Q 1\n0x0 0x200 +\n", "not a mapfile: line 1 is not a status line"},
    };
    for (const auto& c : cases) {
        RescueMap map;
        const Outcome parsed = RescueMap::parse(c.text, map);
        EXPECT_FALSE(parsed) << c.text;
        EXPECT_EQ(parsed.why(), c.why) << c.text;
    }
}
