// The picture of the card: regions, slow ones found against the card's
// median, the CSV row by row, and from outside the SVG and CSV of real runs
// on the simulated card, whose cells add up to the run's own counts and
// which rsvg-convert renders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "report/card_report.h"
#include "tests/program_runner.h"
#include "tests/test_image.h"
#include "tests/test_util.h"

namespace {

// The sum of an attribute over every cell of an SVG.
std::uint64_t cell_sum(const std::string& svg, const std::string& attribute) {
    std::uint64_t sum = 0;
    const std::regex value(" data-" + attribute + "=\"([0-9]+)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), value); it != std::sregex_iterator(); ++it)
        sum += std::stoull((*it)[1]);
    return sum;
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Column index's sum over a CSV's rows, and the number of rows.
std::uint64_t column_sum(const std::string& csv, std::size_t column, std::size_t& rows) {
    std::istringstream in(csv);
    std::string line;
    std::getline(in, line);
    std::uint64_t sum = 0;
    rows = 0;
    while (std::getline(in, line)) {
        ++rows;
        std::istringstream fields(line);
        std::string field;
        for (std::size_t i = 0; i <= column; ++i) std::getline(fields, field, ',');
        sum += field.empty() ? 0 : std::stoull(field);
    }
    return sum;
}

struct TempPath {
    std::string path;
    explicit TempPath(const char* ending)
        : path("/tmp/vantacle-report-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ending) {}
    ~TempPath() { std::remove(path.c_str()); }
    static inline int counter = 0;
};

}  // namespace

TEST(CardReport, RegionsCountStatesAndTimes) {
    CardReport report(10, "t");
    report.add(0, 10, SectorState::good);
    report.move(3, SectorState::good, SectorState::bad);
    report.reread(9, 2);
    report.time(0, 10, Transfer::read, 10'000'000);
    report.time(4, 2, Transfer::write, 4'000);
    EXPECT_EQ(report.csv(),
              "first_sector,sectors,good,slow,reread,bad,overwritten,lost,"
              "read_min_us,read_avg_us,read_max_us,write_min_us,write_avg_us,write_max_us\n"
              "0,1,1,0,0,0,0,0,1000.0,1000.0,1000.0,,,\n1,1,1,0,0,0,0,0,1000.0,1000.0,1000.0,,,\n"
              "2,1,1,0,0,0,0,0,1000.0,1000.0,1000.0,,,\n3,1,0,0,0,1,0,0,1000.0,1000.0,1000.0,,,\n"
              "4,1,1,0,0,0,0,0,1000.0,1000.0,1000.0,2.0,2.0,2.0\n5,1,1,0,0,0,0,0,1000.0,1000.0,1000.0,2.0,2.0,2.0\n"
              "6,1,1,0,0,0,0,0,1000.0,1000.0,1000.0,,,\n7,1,1,0,0,0,0,0,1000.0,1000.0,1000.0,,,\n"
              "8,1,1,0,0,0,0,0,1000.0,1000.0,1000.0,,,\n9,1,0,0,1,0,0,0,1000.0,1000.0,1000.0,,,\n");
}

TEST(CardReport, LargeCardsShareRegionsAndSlowRegionsStandOut) {
    CardReport report(4096 * 3 + 5, "t");
    const auto regions = report.regions();
    ASSERT_EQ(regions.size(), 946u);  // 13 sectors each, the last 8
    EXPECT_EQ(regions[0].sectors, 13u);
    EXPECT_EQ(regions.back().first + regions.back().sectors, 4096u * 3 + 5);
    report.add(0, 4096 * 3 + 5, SectorState::good);
    for (std::size_t i = 0; i < regions.size(); ++i)
        report.time(regions[i].first, regions[i].sectors, Transfer::read, regions[i].sectors * (i == 500 ? 40'000 : 10'000));
    const auto found = report.regions();
    for (std::size_t i = 0; i < found.size(); ++i) {
        EXPECT_EQ(found[i].counts[static_cast<std::size_t>(SectorState::slow)], i == 500 ? found[i].sectors : 0) << i;
    }
}

// A dump with ECC errors and re-reads, and probes of counterfeit cards: the
// cells add up to what the run reported, and the SVG renders.
TEST(CardReport, RunsOnTheSimulatedCardGiveMatchingPictures) {
    TestImage image(1024);
    const std::string sim = "--port=sim:" + image.path();
    TempPath dump(".img"), copy(".img");
    std::ofstream(copy.path, std::ios::binary) << file_text(image.path());
    const struct {
        std::vector<std::string> args;
        std::string attribute;
        std::uint64_t sectors;
    } cases[] = {
        {{sim + ",ecc=10,ecc=3E8,ecc=3E9", "--dump=" + dump.path, "--force"}, "bad", 3},
        {{sim + ",ecc=10", "--verify=" + copy.path}, "bad", 1},
        {{sim + ",write=on,fake=100", "--probe"}, "overwritten", 1024 - 256},
        {{sim + ",write=on,fake=1F4:drop", "--probe"}, "lost", 1024 - 500},
        {{sim + ",write=on,bad=20", "--test=0:40"}, "bad", 1},
        {{sim + ",write=on,fake=100", "--fill"}, "overwritten", 1024 - 256},
    };
    const bool can_render = std::system("command -v rsvg-convert >/dev/null 2>&1") == 0;
    if (!can_render) std::puts("rsvg-convert is missing (Debian package librsvg2-bin): the SVGs are not rendered");
    for (const auto& c : cases) {
        TempPath svg(".svg"), csv(".csv"), png(".png");
        std::vector<std::string> args = c.args;
        args.push_back("--report=" + svg.path);
        const auto r = run_piped(args, "");
        EXPECT_EQ(r.err, "") << c.args[1];
        const std::string picture = file_text(svg.path);
        EXPECT_EQ(cell_sum(picture, c.attribute), c.sectors) << c.args[1];
        const std::uint64_t drawn = cell_sum(picture, "good") + cell_sum(picture, "slow") + cell_sum(picture, "reread") +
                                    cell_sum(picture, "bad") + cell_sum(picture, "overwritten") + cell_sum(picture, "lost");
        EXPECT_LE(drawn, 1024u) << c.args[1];
        EXPECT_EQ(count_of(picture, "<rect class=\"cell\""), 1024u);
        if (can_render) {
            EXPECT_EQ(std::system(("rsvg-convert " + svg.path + " -o " + png.path).c_str()), 0) << c.args[1];
        }
        args.back() = "--report=" + csv.path;
        run_piped(args, "");
        std::size_t rows = 0;
        const std::size_t column = c.attribute == "bad" ? 5 : c.attribute == "overwritten" ? 6 : 7;
        EXPECT_EQ(column_sum(file_text(csv.path), column, rows), c.sectors) << c.args[1];
        EXPECT_EQ(rows, 1024u);
    }
}

// The title names FILE: control bytes, bytes that are not UTF-8 and markup
// in its name still give valid XML.
TEST(CardReport, AnyFileNameGivesValidXml) {
    TestImage image(64);
    TempPath svg(".svg");
    const std::string dump = "/tmp/vantacle-\x01\x1b[2J\xff<&>-" + std::to_string(::getpid()) + ".img";
    const auto r = run_piped({"--port=sim:" + image.path(), "--dump=" + dump, "--report=" + svg.path}, "");
    std::remove(dump.c_str());
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string picture = file_text(svg.path);
    EXPECT_TRUE(std::all_of(picture.begin(), picture.end(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7F); }));
    EXPECT_NE(picture.find("dump to /tmp/vantacle-\\x01\\x1B[2J\\xFF&lt;&amp;&gt;-"), std::string::npos) << picture;
    if (std::system("command -v xmllint >/dev/null 2>&1") == 0) {
        EXPECT_EQ(std::system(("xmllint --noout " + svg.path).c_str()), 0);
    }
}

TEST(CardReport, RefusedWhereNoRunFillsIt) {
    TestImage image(8);
    const std::vector<std::vector<std::string>> refused{
        {"--port=sim", "--report=x.svg"},
        {"--port=sim", "--dump=/tmp/never-made.img", "--report=x.txt"},
        {"--port=sim:" + image.path(), "--probe", "--report=" + image.path() + ".svg", "--trace=" + image.path() + ".svg"},
    };
    for (const auto& args : refused) {
        const auto r = run_piped(args, "");
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}
