// The surface test from outside: its report, its exit status, and the image
// file, which must end as it started.
#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <regex>
#include <thread>

#include "app/surface_test.h"
#include "card/mmc_spi.h"
#include "tests/expected_text.h"
#include "tests/recording_port.h"
#include "tests/program_runner.h"
#include "tests/test_image.h"
#include "tests/test_util.h"

namespace {

using namespace expected;

// The report with its speed figure, which varies, replaced by N.
std::string without_speed(const std::string& out) {
    return std::regex_replace(out, std::regex(", [0-9]+ bytes/s\r?\n"), ", N bytes/s\n");
}

const std::string ready = opened + "OK\n";

}  // namespace

TEST(SurfaceTest, PassesAndLeavesTheImageAsItWas) {
    TestImage image(64);
    const Bytes before = file_bytes(image.path());
    const auto r = run_piped({"--port=sim:" + image.path() + ",write=on", "--test=8:20"}, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(without_speed(r.out), ready + "tested 32 sectors, 0 bad, N bytes/s\n" + closing);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(file_bytes(image.path()), before);
}

TEST(SurfaceTest, ReportsASectorThatRefusesWrites) {
    TestImage image(16);
    const Bytes before = file_bytes(image.path());
    const auto r = run_piped({"--port=sim:" + image.path() + ",write=on,bad=3", "--test=0:10"}, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(without_speed(r.out),
              ready + "bad sector 000003: pattern write failed (card result 5)\ntested 16 sectors, 1 bad, N bytes/s\n" +
                  closing);
    EXPECT_EQ(file_bytes(image.path()), before);
}

TEST(SurfaceTest, StopsAtTheEndOfTheCardAndFailedInitialisation) {
    TestImage image(4);
    const auto past_end = run_piped({"--port=sim:" + image.path() + ",write=on", "--test=0x2:0x7FFFF0"}, "");
    EXPECT_EQ(past_end.status, 1);
    EXPECT_EQ(without_speed(past_end.out),
              ready + "end of card at sector 000004\ntested 2 sectors, 0 bad, N bytes/s\n" + closing);
    const auto no_card = run_piped({"--port=sim:none", "--test=0:1"}, "");
    EXPECT_EQ(no_card.status, 1);
    EXPECT_EQ(no_card.out, opened + "CMD0 response error\n" + closing);
}

TEST(SurfaceTest, CtrlCStopsBetweenSectorsWithEverySectorRestored) {
    TestImage image(1024);
    const Bytes before = file_bytes(image.path());
    PtySession pty({"--port=sim:" + image.path() + ",write=on,busy=10000", "--test=0:400"});
    ASSERT_TRUE(pty.wait_for("Initialize MMC Card for SPI mode:OK"));
    pty.type("\x03");
    EXPECT_EQ(pty.finish(60000), 130);
    std::smatch tested;
    const std::string out = pty.transcript();
    ASSERT_TRUE(std::regex_search(out, tested, std::regex("tested ([0-9]+) sectors, 0 bad"))) << out;
    EXPECT_LT(std::stoi(tested[1]), 0x400);
    EXPECT_EQ(file_bytes(image.path()), before);
}

// Each ending signal, at a random point of the test (often while a sector
// holds the pattern), ends it through the closing steps with 128 + signal.
TEST(SurfaceTest, EveryEndingSignalLeavesEverySectorRestored) {
    TestImage image(1024);
    const Bytes before = file_bytes(image.path());
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> delay_ms(0, 200);
    for (int run = 0; run < 2; ++run) {
        for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE}) {
            PtySession pty({"--port=sim:" + image.path() + ",write=on,busy=10000", "--test=0:400"});
            ASSERT_TRUE(pty.wait_for("Initialize MMC Card for SPI mode:OK"));
            const int delay = delay_ms(random);
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            pty.signal(signal);
            EXPECT_EQ(pty.finish(60000), 128 + signal) << "signal " << signal << " after " << delay << " ms";
            EXPECT_NE(pty.transcript().find(on_terminal(closing)), std::string::npos) << pty.transcript();
            ASSERT_TRUE(file_bytes(image.path()) == before) << "signal " << signal << " after " << delay << " ms";
        }
    }
}

// Each sector costs a read to save it, the pattern written and read back, and
// the saved contents written and read back: 3 reads and 2 writes.
TEST(SurfaceTest, ThreeReadsAndTwoWritesPerSector) {
    TestImage image(16);
    SimSettings settings;
    settings.image = image.path();
    settings.writable = true;
    record_sim(settings);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    clear_recorded();
    ASSERT_EQ(surface_test({8, 4}), 0);
    const std::vector<std::uint8_t> di = di_bytes();
    const auto frames = [&](std::uint8_t command, std::uint32_t sector) {
        const std::uint32_t address = sector * 512;
        const std::uint8_t frame[] = {0xFF, command, static_cast<std::uint8_t>(address >> 24), static_cast<std::uint8_t>(address >> 16),
                                      static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), 0x95};
        int n = 0;
        for (auto at = di.begin(); (at = std::search(at, di.end(), std::begin(frame), std::end(frame))) != di.end(); ++at) ++n;
        return n;
    };
    for (std::uint32_t sector = 8; sector < 12; ++sector) {
        EXPECT_EQ(frames(0x51, sector), 3) << sector;
        EXPECT_EQ(frames(0x58, sector), 2) << sector;
    }
}
