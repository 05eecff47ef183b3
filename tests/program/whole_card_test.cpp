// The whole-card modes and the surface test from outside: their transcripts
// and exit statuses through pipes and on a pseudo-terminal, and the files and
// card images they leave, byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <csignal>
#include <random>
#include <regex>
#include <thread>
#include <tuple>

#include <sys/resource.h>

#include "app/console/console.h"
#include "modes/probe.h"
#include "modes/surface_test.h"
#include "disk/card_device.h"
#include "card/mmc_spi.h"
#include "tests/fixtures/card_script.h"
#include "tests/fixtures/expected_text.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/recording_port.h"
#include "tests/fixtures/test_image.h"

namespace {

using namespace expected;

void put_bytes(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

// The speed figure, which varies, replaced by N.
std::string without_speed(const std::string& out) {
    return std::regex_replace(out, std::regex("[0-9]+ bytes/s"), "N bytes/s");
}

const std::string ready = opened + "OK\n";

std::string sim(const TestImage& image, const std::string& settings = "") {
    return "--port=sim:" + image.path() + settings;
}

// image's bytes with the sectors listed changed.
std::string with_changes(const TestImage& image, const std::vector<std::size_t>& sectors) {
    std::string bytes = file_text(image.path());
    for (std::size_t s : sectors) bytes[s * 512 + 17] = static_cast<char>(bytes[s * 512 + 17] ^ 0x40);
    return bytes;
}

}  // namespace

TEST(WholeCard, DumpCopiesTheCardOrARangeByteForByte) {
    TestImage image(300);
    const std::string all = file_text(image.path());
    const struct {
        std::string range;
        int status;
        std::string report;
        std::size_t first, sectors;
    } cases[] = {
        {"", 0, "dumped 300 sectors, 0 bad, 0 re-read, N bytes/s\n", 0, 300},
        {"--range=0x10:8", 0, "dumped 8 sectors, 0 bad, 0 re-read, N bytes/s\n", 0x10, 8},
        {"--range=128:10", 1, "end of card at sector 0x12C\ndumped 4 sectors, 0 bad, 0 re-read, N bytes/s\n", 0x128, 4},
    };
    for (const auto& c : cases) {
        TempFile out;
        std::vector<std::string> args{sim(image), "--dump=" + out.path};
        if (!c.range.empty()) args.push_back(c.range);
        const auto r = run_piped(args, "");
        EXPECT_EQ(r.status, c.status) << c.range;
        EXPECT_EQ(without_speed(r.out), ready + c.report + closing);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(file_text(out.path), all.substr(c.first * 512, c.sectors * 512)) << c.range;
    }
}

// The demo card is 32 MiB and holds a partition table and, within its first
// 64 sectors, a FAT16 boot sector.
TEST(WholeCard, DumpOfTheDemoCardIsAFormattedCard) {
    EXPECT_NE(run_piped({"--port=sim", "--info"}, "").out.find("capacity: 33554432 bytes (65536 sectors"),
              std::string::npos);
    TempFile out;
    ASSERT_EQ(run_piped({"--port=sim", "--dump=" + out.path, "--range=0:40"}, "").status, 0);
    const std::string d = file_text(out.path);
    ASSERT_EQ(d.size(), 0x40u * 512);
    const auto at = [&](std::size_t i) { return std::size_t{static_cast<std::uint8_t>(d[i])}; };
    const std::size_t start = at(0x1C6) | at(0x1C7) << 8 | at(0x1C8) << 16 | at(0x1C9) << 24;
    ASSERT_LT(start, 0x40u);
    EXPECT_EQ(at(0x1C2), 0x06u);
    EXPECT_EQ(at(start * 512), 0xEBu);
    EXPECT_EQ(d.substr(start * 512 + 54, 5), "FAT16");
    for (std::size_t sector : {std::size_t{0}, start}) EXPECT_EQ(d.substr(sector * 512 + 510, 2), "\x55\xAA");
}

TEST(WholeCard, VerifyNamesExactlyTheSectorsThatDiffer) {
    TestImage image(200);
    TempFile copy;
    put_bytes(copy.path, with_changes(image, {0, 0x41, 0xC7}));
    const auto r = run_piped({sim(image), "--verify=" + copy.path}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(without_speed(r.out), ready +
                                        "differs sector 0x0\ndiffers sector 0x41\ndiffers sector 0xC7\n"
                                        "verified 200 sectors, 3 differ, 0 bad, 0 re-read, N bytes/s\n" +
                                        closing);
    put_bytes(copy.path, file_text(image.path()).substr(0x40 * 512, 0x10 * 512));
    const auto same = run_piped({sim(image), "--verify=" + copy.path, "--range=40:10"}, "");
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(without_speed(same.out), ready + "verified 16 sectors, 0 differ, 0 bad, 0 re-read, N bytes/s\n" + closing);
    put_bytes(copy.path, file_text(image.path()).substr(0, 0x10 * 512));
    const auto shorter = run_piped({sim(image), "--verify=" + copy.path}, "");
    // A shorter file is compared as far as it goes.
    EXPECT_EQ(shorter.status, 0);
    EXPECT_EQ(without_speed(shorter.out), ready + "the card holds 200 sectors, " + copy.path +
                                              " only 16: compared those\nverified 16 sectors, 0 differ, 0 bad, 0 re-read, N bytes/s\n" + closing);
}

TEST(WholeCard, LoadWritesTheFileOntoTheCard) {
    TestImage card(128), source(128);
    const auto r = run_piped({sim(card, ",write=on"), "--load=" + source.path()}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(without_speed(r.out), ready + "loaded 128 sectors, 0 bad, 0 re-read, N bytes/s\n" + closing);
    EXPECT_EQ(file_text(card.path()), file_text(source.path()));
}

TEST(WholeCard, LoadIntoARangeTouchesNothingElse) {
    TestImage card(64);
    TempFile part;
    const std::string before = file_text(card.path());
    const std::string fresh(4 * 512, '\x5A');
    put_bytes(part.path, fresh + fresh);
    const auto r = run_piped({sim(card, ",write=on,bad=22"), "--load=" + part.path, "--range=20:4"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(without_speed(r.out),
              ready + "bad sector 0x22: write failed: data response 0D: write error\nloaded 4 sectors, 1 bad, 0 re-read, N bytes/s\n" +
                  closing);
    std::string expected = before;
    expected.replace(0x20 * 512, 2 * 512, fresh.substr(0, 2 * 512));
    expected.replace(0x23 * 512, 512, fresh.substr(0, 512));
    EXPECT_EQ(file_text(card.path()), expected);
}

// Bad command lines and modes where they must not run: one line on
// standard error, status 2, nothing touched.
// A file that runs past the card's end loads nothing at all.
TEST(WholeCard, LoadOfAFileLargerThanTheCardWritesNothing) {
    TestImage card(64), source(100);
    const std::string before = file_text(card.path());
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--range=30:20"}}) {
        std::vector<std::string> args{sim(card, ",write=on"), "--load=" + source.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        const auto r = run_piped(args, "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, ready + closing);
        EXPECT_EQ(r.err, "vantacle: the card ends at sector 0x40, before the end of what " + source.path() +
                             " would load: nothing was written\n");
        EXPECT_TRUE(file_text(card.path()) == before);
    }
}

// Only sectors that reached the file are counted, and the file holds whole
// sectors only, whatever stopped the writing.
TEST(WholeCard, ADumpThatCannotBeWrittenWholeKeepsWholeSectors) {
    TestImage image(300);
    const auto full = run_piped({sim(image), "--dump=/dev/full", "--force"}, "");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(without_speed(full.out), ready + "dumped 0 sectors, 0 bad, 0 re-read, N bytes/s\n" + closing);
    TempFile out;
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    rlimit limited = before;
    limited.rlim_cur = 100 * 512 + 300;  // in the middle of a sector
    ::setrlimit(RLIMIT_FSIZE, &limited);
    const auto r = run_piped({sim(image), "--dump=" + out.path}, "");
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::smatch dumped;
    ASSERT_TRUE(std::regex_search(r.out, dumped, std::regex("dumped ([0-9]+) sectors"))) << r.out;
    const std::string kept = file_text(out.path);
    EXPECT_EQ(kept.size(), std::stoul(dumped[1]) * 512);
    EXPECT_LE(kept.size(), 100u * 512);
    EXPECT_TRUE(kept == file_text(image.path()).substr(0, kept.size()));
}

TEST(WholeCard, RefusedBeforeTheSessionStarts) {
    TestImage image(8);
    TempFile existing, odd, absent;
    put_bytes(existing.path, "keep");
    put_bytes(odd.path, std::string(700, 'x'));
    const std::string before = file_text(image.path()), full_vcd = absent.path + ".vcd";
    std::filesystem::create_symlink("/dev/full", full_vcd);  // a trace that cannot be written
    const std::string write_on = sim(image, ",write=on");
    const std::vector<std::vector<std::string>> refused{
        {sim(image), "--dump=" + existing.path}, {sim(image), "--dump=" + image.path(), "--force"},
        {sim(image), "--load=" + image.path()}, {sim(image), "--probe"}, {"--port=direct", "--probe"},
        {"--port=ppdev", "--load=" + image.path()}, {sim(image), "--verify=" + odd.path},
        {sim(image), "--verify=" + absent.path}, {sim(image), "--verify=" + image.path(), "--range=0:9"},
        {sim(image), "--range=0:1"}, {sim(image), "--dump=" + absent.path, "--verify=" + image.path()},
        {write_on, "--probe", "--test=0:1"}, {sim(image), "--verify=" + image.path(), "--force"},
        {sim(image), "--dump=" + absent.path, "--range=1:FFFFFFFF"}, {"--test=0:1"},
        {"--port=direct:278", "--test=0:1"}, {sim(image), "--test=0:1"}, {write_on, "--test=0"},
        {write_on, "--test=0:0"}, {write_on, "--test=FFFFFFFE:2"}, {write_on, "--test=x:1"},
        {write_on, "--info", "--test=0:1"}, {"--port=sim", "--bogus"}, {"--port=sim", "stray"}, {"--port=sim,ncr=9"},
        {"--port=sim,speed=3"}, {"--port=direct:XYZ"}, {"--port=direct:10000"}, {"--port=direct:80"},
        {"--port=parallel"}, {"--port=sim:" + odd.path}, {"--port=sim:/nonexistent.img"},
        {"--port=sim", "--trace=/nonexistent/dir/trace.log"}, {sim(image), "--trace=" + full_vcd},
        {sim(image), "--trace=" + image.path()},
    };
    for (const auto& args : refused) {
        const auto r = run_piped(args, "\n");
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(r.out, "") << args.back();
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("vantacle: ", 0), 0u) << r.err;
    }
    std::remove(full_vcd.c_str());
    EXPECT_EQ(file_text(existing.path), "keep");
    EXPECT_EQ(file_text(image.path()), before);
    const auto forced = run_piped({sim(image), "--dump=" + existing.path, "--force"}, "");
    EXPECT_EQ(forced.status, 0);
    EXPECT_EQ(file_text(existing.path), file_text(image.path()));
}

TEST(WholeCard, ProbeFindsTheSizeOfGenuineAndFakeCardsAndLeavesThemAsTheyWere) {
    struct Probed {
        const char* settings;
        const char* report;
        int status;
    };
    const Probed cases[] = {
        {"", "claimed: 5000 sectors (2.56 MB)\nusable: 5000 sectors (2.56 MB)\nverdict: genuine\n", 0},
        {",fake=400", "claimed: 5000 sectors (2.56 MB)\nusable: 1024 sectors (524 kB)\n"
                      "verdict: counterfeit (it wraps: writes past that land on lower sectors)\n", 1},
        {",fake=3A7:drop", "claimed: 5000 sectors (2.56 MB)\nusable: 935 sectors (479 kB)\n"
                           "verdict: counterfeit (it drops: writes past that are lost)\n", 1},
        {",card=sdhc,fake=800:drop", "claimed: 4096 sectors (2.10 MB)\nusable: 2048 sectors (1.05 MB)\n"
                                     "verdict: counterfeit (it drops: writes past that are lost)\n", 1},
        {",fake=D05", "claimed: 5000 sectors (2.56 MB)\nusable: 3333 sectors (1.71 MB)\n"
                      "verdict: counterfeit (it wraps: writes past that land on lower sectors)\n", 1},
        {",fake=1387", "claimed: 5000 sectors (2.56 MB)\nusable: 4999 sectors (2.56 MB)\n"
                       "verdict: counterfeit (it wraps: writes past that land on lower sectors)\n", 1},
        {",fake=1387:drop", "claimed: 5000 sectors (2.56 MB)\nusable: 4999 sectors (2.56 MB)\n"
                            "verdict: counterfeit (it drops: writes past that are lost)\n", 1},
        // A transfer that keeps failing says nothing about the size.
        {",bad=1387", "claimed: 5000 sectors (2.56 MB)\nbad sector 0x1387: transfer failed\nverdict: damaged\n", 1},
    };
    TestImage image(5000);
    const std::string before = file_text(image.path());
    for (const Probed& c : cases) {
        const auto r = run_piped({sim(image, std::string(",write=on") + c.settings), "--probe"}, "");
        EXPECT_EQ(r.status, c.status) << c.settings;
        std::smatch transfers;
        ASSERT_TRUE(std::regex_search(r.out, transfers, std::regex("probed with ([0-9]+) transfers"))) << r.out;
        EXPECT_LE(std::stoull(transfers[1]), probe_transfer_bound(5000)) << c.settings;
        EXPECT_EQ(std::regex_replace(r.out, std::regex("probed with .*\n"), ""), ready + c.report + closing) << c.settings;
        EXPECT_EQ(file_text(image.path()), before) << c.settings;
    }
}

// The same noise in every run: the same re-reads.
TEST(WholeCard, NoiseOnTheLineIsReadAgainAndCounted) {
    TestImage image(2000);
    TempFile out, again;
    const auto r = run_piped({sim(image, ",noise=1e-5"), "--dump=" + out.path}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(without_speed(run_piped({sim(image, ",noise=0.00001"), "--dump=" + again.path}, "").out), without_speed(r.out));
    std::smatch rereads;
    ASSERT_TRUE(std::regex_search(r.out, rereads, std::regex("dumped 2000 sectors, 0 bad, ([0-9]+) re-read"))) << r.out;
    EXPECT_GT(std::stoi(rereads[1]), 0);
    EXPECT_EQ(file_text(out.path), file_text(image.path()));
}

// The whole session, initialisation included, in the access log.
TEST(WholeCard, DumpTakesAtMost12500PortAccessesPerSector) {
    TestImage image(100);
    TempFile out, trace;
    ASSERT_EQ(run_piped({sim(image), "--dump=" + out.path, "--range=0:40", "--trace=" + trace.path}, "").status, 0);
    const std::string log = file_text(trace.path);
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 64 * 12500);
}

// Noise on the line never makes the probe falsely sure: the verdict and the
// size are right, or the card is damaged or left open (or, where noise
// keeps even the CSD from coming through, no verdict), and the image ends
// as it started. Fakes that keep a number of sectors that is not a power of
// two among them.
TEST(WholeCard, NoiseNeverMakesTheProbeFalselySure) {
    TestImage image(0x4000);
    const std::string before = file_text(image.path());
    const std::tuple<std::string, std::string, std::string> fakes[] = {
        {"", "16384", "genuine"}, {",fake=400", "1024", "counterfeit"}, {",fake=3A7:drop", "935", "counterfeit"},
        {",fake=1064", "4196", "counterfeit"}, {",fake=2001", "8193", "counterfeit"}, {",fake=3FFF", "16383", "counterfeit"},
        {",fake=3000:drop", "12288", "counterfeit"}};
    for (const char* noise : {"1e-2", "1e-3", "2e-4", "0"}) {
        for (const auto& [fake, usable, verdict] : fakes) {
            const auto r = run_piped({sim(image, ",write=on,ncr=1,access=400,noise=" + std::string(noise) + fake), "--probe"}, "");
            const bool open = r.out.find("verdict: damaged") != std::string::npos ||
                              r.out.find("verdict: could not rule out a fake: run --fill\n") != std::string::npos ||
                              r.err == "vantacle: the card did not send its CSD\n" ||
                              r.err.ends_with("nothing was read or written\n");
            EXPECT_TRUE(open || r.out.find("verdict: " + verdict) != std::string::npos) << noise << fake << r.out;
            // A size, when one is given, is the right one.
            if (r.out.find("usable: ") != std::string::npos) {
                EXPECT_NE(r.out.find("usable: " + usable + " sectors"), std::string::npos) << noise << fake << r.out;
            }
            if (std::string(noise) == "0") {
                EXPECT_NE(r.out.find("verdict: " + verdict), std::string::npos) << fake << r.out;
            }
            EXPECT_TRUE(file_text(image.path()) == before) << noise << fake;
        }
    }
}

// Slow reads keep the probe going long enough to be stopped mid-search,
// once its first write has reached the card image.
TEST(WholeCard, CtrlCEndsAProbeWithEverySectorPutBack) {
    TestImage image(1 << 16);
    const std::string before = file_text(image.path());
    const auto unwritten = std::filesystem::last_write_time(image.path());
    PtySession pty({sim(image, ",write=on,access=2000,fake=3A7:drop"), "--probe"});
    ASSERT_TRUE(pty.wait_for("claimed: 65536 sectors"));
    for (int polls = 0; std::filesystem::last_write_time(image.path()) == unwritten; ++polls) {
        ASSERT_LT(polls, 100000) << "the probe wrote nothing";
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    pty.signal(SIGINT);
    EXPECT_EQ(pty.finish(), 130);
    EXPECT_NE(pty.transcript().find("stopped: nothing verdict; every sector it wrote over was put back"), std::string::npos)
        << pty.transcript();
    EXPECT_EQ(pty.transcript().find("verdict:"), std::string::npos);
    EXPECT_TRUE(file_text(image.path()) == before);
}

TEST(WholeCard, CtrlCEndsADumpWithEveryWholeSectorKept) {
    TestImage image(1 << 15);
    TempFile out;
    PtySession pty({sim(image, ",access=300"), "--dump=" + out.path});
    ASSERT_TRUE(pty.wait_for("Initialize MMC Card for SPI mode:OK"));
    pty.type("\x03");
    EXPECT_EQ(pty.finish(), 130);
    std::smatch got;
    const std::string out_text = pty.transcript();
    ASSERT_TRUE(std::regex_search(out_text, got, std::regex("dumped ([0-9]+) sectors, 0 bad, 0 re-read, [0-9]+ bytes/s, "
                                                            "stopped before sector 0x([0-9A-F]+)")))
        << out_text;
    const std::size_t sectors = std::stoul(got[1]);
    EXPECT_LT(sectors, 1u << 15);
    EXPECT_EQ(std::stoul(got[2], nullptr, 16), sectors);
    EXPECT_EQ(file_text(out.path), file_text(image.path()).substr(0, sectors * 512));
}

// The surface test writes each sector and restores it: the image ends as it
// started, whatever the test reports.
TEST(SurfaceTest, ReportsAndLeavesTheImageAsItWas) {
    TestImage image(64);
    const std::string before = file_text(image.path());
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{sim(image, ",write=on"), "--test=8:20"}, 0, ready + "tested 32 sectors, 0 bad, N bytes/s\n" + closing, ""},
        {{sim(image, ",write=on,bad=3"), "--test=0:10"}, 1,
         ready + "bad sector 0x3: pattern write failed: data response 0D: write error\ntested 16 sectors, 1 bad, N bytes/s\n" + closing,
         ""},
        {{sim(image, ",write=on"), "--test=0x3E:0x7FFFF0"}, 1,
         ready + "end of card at sector 0x40\ntested 2 sectors, 0 bad, N bytes/s\n" + closing, ""},
        // Alone it covers the whole card; --range as for the other modes.
        {{sim(image, ",write=on"), "--test"}, 0, ready + "tested 64 sectors, 0 bad, N bytes/s\n" + closing, ""},
        {{sim(image, ",write=on"), "--test", "--range=8:20"}, 0, ready + "tested 32 sectors, 0 bad, N bytes/s\n" + closing, ""},
        {{"--port=sim:none", "--test=0:1"}, 1, opened + "CMD0 response error\n" + closing,
         "vantacle: the card did not come up: CMD0 answered FF\n"},
    };
    for (const auto& c : cases) {
        const auto r = run_piped(c.args, "");
        EXPECT_EQ(r.status, c.status) << c.args.back();
        EXPECT_EQ(without_speed(r.out), c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(file_text(image.path()), before);
    }
}

// Ctrl+C and each ending signal, at a random point of the test (often while
// a sector holds the pattern), end it between sectors through the closing
// steps with 128 + signal, every sector restored.
TEST(SurfaceTest, EveryEndingSignalLeavesEverySectorRestored) {
    TestImage image(1024);
    const std::string before = file_text(image.path());
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay_ms(0, 200);
    for (int run = 0; run < 2; ++run) {
        for (int signal : {0, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1, SIGALRM, SIGXCPU}) {
            PtySession pty({sim(image, ",write=on,busy=10000"), "--test=0:400"});
            ASSERT_TRUE(pty.wait_for("Initialize MMC Card for SPI mode:OK"));
            const int delay = delay_ms(random);
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            if (signal == 0) pty.type("\x03");
            else pty.signal(signal);
            const std::string at = "signal " + std::to_string(signal) + " after " + std::to_string(delay) + " ms";
            EXPECT_EQ(pty.finish(), 128 + (signal ? signal : SIGINT)) << at;
            std::smatch tested;
            const std::string out = pty.transcript();
            ASSERT_TRUE(std::regex_search(out, tested, std::regex("tested ([0-9]+) sectors, 0 bad"))) << out;
            EXPECT_LT(std::stoi(tested[1]), 0x400) << at;
            EXPECT_NE(out.find(on_terminal(closing)), std::string::npos) << out;
            ASSERT_TRUE(file_text(image.path()) == before) << at;
        }
    }
}

// Each sector costs two reads that agree to save it (runs of one, as every
// sector saved and put back), the pattern written and read back by single
// blocks, and the saved contents written and read back twice.
TEST(SurfaceTest, FiveReadsAndTwoWritesPerSector) {
    TestImage image(16);
    SimSettings settings;
    settings.image = image.path();
    settings.writable = true;
    record_sim(settings);
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    clear_recorded();
    CardDevice device(recorded_card());
    ConsoleOperator console;
    ModeRun run{recorded_card(), device, nullptr, console};
    ASSERT_EQ(surface_test(run, SectorRange{8, 4}), 0);
    const std::vector<std::uint8_t> di = di_bytes();
    // The known sequence's CMD17 and CMD24 end in 95; the run commands carry their CRC7.
    const auto frames = [&](std::uint8_t command, std::uint32_t sector) {
        const Bytes f = command == 17 || command == 24 ? frame(command, sector * 512, 0x95) : frame7(command, sector * 512);
        int n = 0;
        for (auto at = di.begin(); (at = std::search(at, di.end(), f.begin(), f.end())) != di.end(); ++at) ++n;
        return n;
    };
    for (std::uint32_t sector = 8; sector < 12; ++sector) {
        EXPECT_EQ(frames(17, sector), 1) << sector;
        EXPECT_EQ(frames(18, sector), 4) << sector;
        EXPECT_EQ(frames(24, sector), 1) << sector;
        EXPECT_EQ(frames(25, sector), 1) << sector;
    }
}
