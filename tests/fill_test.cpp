// The full-capacity test from outside: what it says about genuine, wrapping,
// dropping and damaged simulated cards, the backup it puts back, Ctrl+C; and
// how it sorts a sector it reads back.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "modes/fill.h"
#include "tests/expected_text.h"
#include "tests/program_runner.h"
#include "tests/test_image.h"

namespace {

using namespace expected;

const std::string ready = opened + "OK\n";

std::string sim(const TestImage& image, const std::string& settings) {
    return "--port=sim:" + image.path() + ",write=on" + settings;
}

// The report from the kinds to the verdict.
std::string report_of(const std::string& out) {
    const auto from = out.find("ok: ");
    const auto to = out.find("\nGIVEIO");
    return from == std::string::npos || to == std::string::npos ? out : out.substr(from, to - from);
}

}  // namespace

TEST(Fill, SortsEverySectorAndFindsTheExactUsableSize) {
    const struct {
        std::string settings;
        int status;
        std::string report;
    } cases[] = {
        {"", 0, "ok: 1024\nunreadable: 0\ncorrupted: 0\noverwritten: 0\nlost: 0\nusable: 1024 sectors (524 kB)\n"
                "verdict: genuine\n"},
        {",fake=12D", 1, "ok: 301\nunreadable: 0\ncorrupted: 0\n"
                         "overwritten: 723, first 0x12D (holds 0x0), 0x12E (holds 0x1), 0x12F (holds 0x2), 0x130 (holds 0x3)\n"
                         "lost: 0\nusable: 301 sectors (154 kB)\nverdict: counterfeit\n"},
        {",fake=100", 1, "ok: 256\nunreadable: 0\ncorrupted: 0\n"
                         "overwritten: 768, first 0x100 (holds 0x0), 0x101 (holds 0x1), 0x102 (holds 0x2), 0x103 (holds 0x3)\n"
                         "lost: 0\nusable: 256 sectors (131 kB)\nverdict: counterfeit\n"},
        {",fake=7", 1, "ok: 7\nunreadable: 0\ncorrupted: 0\n"
                       "overwritten: 1017, first 0x7 (holds 0x0), 0x8 (holds 0x1), 0x9 (holds 0x2), 0xA (holds 0x3)\n"
                       "lost: 0\nusable: 7 sectors (3.58 kB)\nverdict: counterfeit\n"},
        {",fake=3E9:drop", 1, "ok: 1001\nunreadable: 0\ncorrupted: 0\noverwritten: 0\n"
                              "lost: 23, first 0x3E9, 0x3EA, 0x3EB, 0x3EC\nusable: 1001 sectors (513 kB)\nverdict: counterfeit\n"},
        {",bad=20", 1, "ok: 1023\nunreadable: 0\ncorrupted: 0\noverwritten: 0\nlost: 1, first 0x20\n"
                       "usable: 32 sectors (16.4 kB)\nverdict: damaged\n"},
    };
    TestImage image(1024);
    for (const auto& c : cases) {
        const auto r = run_piped({sim(image, c.settings), "--fill"}, "");
        EXPECT_EQ(r.status, c.status) << c.settings;
        EXPECT_EQ(r.out.substr(0, ready.size()), ready);
        EXPECT_NE(r.out.find("filling 1024 sectors from 0x0 (524 kB)\n"), std::string::npos) << r.out;
        EXPECT_EQ(report_of(r.out), c.report) << c.settings;
        EXPECT_EQ(r.err, "") << c.settings;
    }
}

// Every odd size a wrapping or dropping fake can keep is found exactly.
TEST(Fill, ManyFakeSizesAreExact) {
    TestImage image(600);
    for (unsigned real = 1; real < 600; real += 113) {
        for (const std::string drop : {"", ":drop"}) {
            const auto r = run_piped({sim(image, hex(",fake=%X", real) + drop), "--fill=5EED", "--range=0:258"}, "");
            const unsigned usable = std::min(real, 0x258u);
            EXPECT_NE(r.out.find("usable: " + std::to_string(usable) + " sectors"), std::string::npos) << real << drop << r.out;
            EXPECT_EQ(r.status, real < 0x258 ? 1 : 0) << real << drop;
        }
    }
}

TEST(Fill, BackupPutsTheCardBackByteForByte) {
    for (const std::string settings : {"", ",fake=65", ",fake=65:drop"}) {
        TestImage image(300);
        TempFile backup;
        const std::string before = file_text(image.path());
        const auto r = run_piped({sim(image, settings), "--fill", "--backup=" + backup.path}, "");
        EXPECT_NE(r.out.find("saved 300 sectors to " + backup.path + "\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("put back 300 sectors from " + backup.path + ", verified\n"), std::string::npos) << r.out;
        EXPECT_TRUE(file_text(image.path()) == before) << settings;
        // A card that drops writes reads zeros past what it keeps.
        if (settings.empty()) {
            EXPECT_TRUE(file_text(backup.path) == before);
        }
    }
}

TEST(Fill, CtrlCSaysHowFarItWroteAndPutsTheBackupBack) {
    TestImage image(1 << 14);
    TempFile backup;
    const std::string before = file_text(image.path());
    PtySession pty({sim(image, ""), "--fill", "--backup=" + backup.path});
    ASSERT_TRUE(pty.wait_for("saved 16384 sectors"));
    pty.signal(SIGINT);
    EXPECT_EQ(pty.finish(), 130);
    EXPECT_TRUE(std::regex_search(pty.transcript(), std::regex("stopped: wrote [0-9]+ of 16384 sectors \\(0x[0-9A-F]+ to "
                                                               "0x3FFF\\); nothing was checked")))
        << pty.transcript();
    EXPECT_EQ(pty.transcript().find("verdict"), std::string::npos);
    EXPECT_NE(pty.transcript().find("put back 16384 sectors from " + backup.path + ", verified"), std::string::npos);
    EXPECT_TRUE(file_text(image.path()) == before);
}

TEST(Fill, RefusedBeforeAnythingIsWritten) {
    TestImage image(16);
    TempFile existing;
    std::ofstream(existing.path) << "keep";
    const std::string before = file_text(image.path());
    const std::vector<std::vector<std::string>> refused{
        {"--port=sim:" + image.path(), "--fill"},
        {"--port=direct", "--fill"},
        {sim(image, ""), "--fill", "--backup=" + existing.path},
        {sim(image, ""), "--dump=" + existing.path + "x", "--backup=" + existing.path},
        {sim(image, ""), "--fill", "--backup=" + image.path(), "--force"},
        {sim(image, ""), "--fill=XYZ"},
        {sim(image, ""), "--fill", "--probe"},
    };
    for (const auto& args : refused) {
        const auto r = run_piped(args, "");
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(file_text(existing.path), "keep");
    EXPECT_TRUE(file_text(image.path()) == before);
}

TEST(Fill, SortsWhatASectorHolds) {
    const FillPattern pattern(0x1234, 0xABCD);
    std::array<std::uint8_t, sector_size> own{}, other{}, block{};
    pattern.make(9, own);
    pattern.make(3, other);
    std::array<std::uint8_t, sector_size> earlier_run{};
    FillPattern(0x1234, 0x9999).make(9, earlier_run);
    std::array<std::uint8_t, sector_size> flipped = own;
    flipped[100] ^= 0x10;
    flipped[400] ^= 0x81;
    const struct {
        std::array<std::uint8_t, sector_size> block;
        Kept kept;
    } cases[] = {{own, Kept::ok}, {other, Kept::overwritten}, {block, Kept::lost}, {earlier_run, Kept::lost},
                 {flipped, Kept::corrupted}};
    for (const auto& c : cases) {
        std::uint32_t holds = 0;
        EXPECT_EQ(pattern.sort(9, c.block, holds), c.kept);
        if (c.kept == Kept::overwritten) {
            EXPECT_EQ(holds, 3u);
        }
    }
}
