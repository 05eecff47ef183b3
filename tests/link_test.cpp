// The byte links: what a spidev device and an MPSSE bridge are asked for
// power-up, a sector read and a run; adapters that are missing or wrong;
// every mode giving the same results over every link; late answers read whole.
#include <gtest/gtest.h>

#include <array>
#include <regex>

#include "card/card.h"
#include "link/ftdi_link.h"
#include "link/spidev_link.h"
#include "sim/doubles/sim_mpsse.h"
#include "sim/doubles/sim_spidev.h"
#include "tests/program_runner.h"
#include "tests/test_image.h"
#include "tests/test_util.h"

namespace {

// The stand-in bridge; its card is locked through its image.
spi::FtdiTarget unlocked_bridge() {
    spi::FtdiTarget target;
    target.lock = false;
    return target;
}

Calls repeated(const std::string& call, int times) { return Calls(static_cast<std::size_t>(times), call); }

// The stand-in spidev device; its card is locked through its image.
spi::SpidevTarget stand_in_spidev(std::string gpio_chip = {}, std::uint32_t gpio_line = 0) {
    spi::SpidevTarget target;
    target.device = sim_spidev_device;
    target.lock = false;
    target.gpio_chip = std::move(gpio_chip);
    target.gpio_line = gpio_line;
    return target;
}

TEST(SpidevLink, OpensPowersUpReadsAndRunsWholeBuffers) {
    ASSERT_TRUE(sim_spidev_install(SimSettings{}));
    std::unique_ptr<spi::SpidevLink> link;
    ASSERT_TRUE(spi::SpidevLink::open(stand_in_spidev(), link));
    Card card(*link);
    ASSERT_EQ(card.init(), CardResult::ok);
    std::array<std::uint8_t, 512> one{};
    ASSERT_EQ(card.read(3, one), CardResult::ok);
    // Mode 0, then SPI_NO_CS for the 80 clocks with CS high; a frame and
    // the answer's bytes in one message, CS kept low after each.
    EXPECT_EQ(sim_spidev_calls(),
              (Calls{"open /dev/spidev0.0", "mode 0", "speed 25000000", "mode 0 no-cs",
                     "open /sys/module/spidev/parameters/bufsiz", "message out 10 @400000", "mode 0",
                     "message out 8 in 8 @400000 keep"} +
               repeated("message out 7 in 8 @400000 keep", 4) + Calls{"message out 7 in 523 @400000 keep"}));
    sim_spidev_clear_calls();
    std::array<std::uint8_t, 64 * 512> run{};
    std::uint32_t done = 0;
    const std::uint64_t before = sim_spidev_messages();
    ASSERT_EQ(card.read_blocks(0, run, done), CardResult::ok);
    // CMD18 at the initialisation clock, then the blocks at the data clock
    // a kernel buffer at a time, CMD12 and its busy.
    EXPECT_EQ(sim_spidev_calls(), (Calls{"message out 7 in 8 @400000 keep"} + repeated("message in 4096 @25000000 keep", 8) +
                                   Calls{"message in 314 @25000000 keep", "message out 7 in 2 @25000000 keep",
                                         "message in 1 @25000000 keep", "message in 8 @25000000 keep"}));
    EXPECT_LE(sim_spidev_messages() - before, 13u);
    link.reset();
    sim_spidev_remove();
}

TEST(SpidevLink, GpioChipSelectTakesTheControllersPlace) {
    ASSERT_TRUE(sim_spidev_install(SimSettings{}));
    std::unique_ptr<spi::SpidevLink> link;
    ASSERT_TRUE(spi::SpidevLink::open(stand_in_spidev(sim_gpio_chip, 5), link));
    Card card(*link);
    ASSERT_EQ(card.init(), CardResult::ok);
    const Calls& calls = sim_spidev_calls();
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 9),
              (Calls{"open /dev/spidev0.0", "mode 0", "speed 25000000", "mode 0 no-cs",
                     "open /sys/module/spidev/parameters/bufsiz", "open /dev/gpiochip0", "gpio line 5",
                     "message out 10 @400000", "cs low"}));
    link.reset();
    sim_spidev_remove();
}

TEST(FtdiLink, PowerUpAndOneReadAreOneRoundTripEach) {
    ASSERT_TRUE(sim_mpsse_install(SimSettings{}));
    {
        std::unique_ptr<spi::FtdiLink> link;
        ASSERT_TRUE(spi::FtdiLink::open(unlocked_bridge(), link));
        Card card(*link);
        ASSERT_EQ(card.init(), CardResult::ok);
        std::array<std::uint8_t, 512> one{};
        ASSERT_EQ(card.read(3, one), CardResult::ok);
        // 400 kHz (divisor 74), CS high and DI high; 80 clocks; CS low; each
        // frame with its answer's bytes then send immediate.
        const Calls frame_and_answer{"out 7", "in 8", "flush"};
        EXPECT_EQ(sim_mpsse_commands(),
                  (Calls{"divisor 74", "pins 0a 0b", "out 10", "pins 02 0b", "out 8", "in 8", "flush"} +
                   frame_and_answer + frame_and_answer + frame_and_answer + frame_and_answer +
                   Calls{"out 7", "in 523", "flush"}));
        EXPECT_EQ(sim_mpsse_round_trips(), 6u);
    }
    sim_mpsse_remove();
}

// What the program says and leaves, with its rate taken out (wall time), its
// re-reads (noise strikes whichever bits each link clocks) and the advice an
// adapter that cannot switch the supply adds to an unanswered CMD0.
struct Outcome3 {
    std::string out;
    int status;
    Bytes file;
};

Outcome3 run_via(const std::string& via, const std::vector<std::string>& args, const std::string& image_settings,
                 const std::string& file = "") {
    std::vector<std::string> all{"--port=sim" + image_settings + ",via=" + via};
    all.insert(all.end(), args.begin(), args.end());
    const RunResult r = run_piped(all, "  1\r\re");
    static const std::regex rate(", [0-9]+ (bytes/s|re-read)|; no card there, or one stuck.*run again");
    return {std::regex_replace(r.out + r.err, rate, ""), r.status, file.empty() ? Bytes{} : file_bytes(file)};
}

// Every mode and card family over the spidev and MPSSE stand-ins gives
// what it gives over the parallel port, byte for byte.
TEST(EveryLink, SameResultsAsTheParallelPort) {
    TestImage image(4096);
    const std::string dump = image.path() + ".dump";
    const std::string img = ":" + image.path();
    const struct {
        std::vector<std::string> args;
        std::string settings;
        std::string file;
    } scenarios[] = {
        {{}, "", ""},
        {{"--info"}, img + ",card=sdhc", ""},
        {{"--info"}, img + ",card=sd1", ""},
        {{"--dump=" + dump, "--force"}, img + ",card=sdxc", dump},
        {{"--dump=" + dump, "--force", "--range=100:300"}, img + ",card=sd2,noise=1e-5", dump},
        {{"--verify=" + image.path()}, img + ",card=mmc", ""},
        {{"--load=" + image.path()}, img + ",write=on,card=sdhc,busy=300", image.path()},
        {{"--test=10:20"}, img + ",write=on,card=sd1", image.path()},
        {{"--probe"}, img + ",write=on,fake=400", image.path()},
        {{"--dump=" + dump, "--force"}, img + ",token=04", dump},
        {{}, ":none", ""},
    };
    for (const auto& s : scenarios) {
        const Outcome3 port = run_via("port", s.args, s.settings, s.file);
        for (const char* via : {"spidev", "ftdi"}) {
            const Outcome3 other = run_via(via, s.args, s.settings, s.file);
            EXPECT_EQ(other.out, port.out) << via << " " << s.settings;
            EXPECT_EQ(other.status, port.status) << via << " " << s.settings;
            EXPECT_EQ(other.file, port.file) << via << " " << s.settings;
        }
    }
    std::remove(dump.c_str());
}

// A card whose answers start bits after the byte clock: the bytes are
// realigned one by one, and every block still comes out whole, over every link.
TEST(EveryLink, LateAnswersReadWhole) {
    TestImage image(1024);
    const std::string dump = image.path() + ".dump";
    const Bytes expected(image.sector(0), image.sector(0x300));
    for (const char* via : {"port", "spidev", "ftdi"}) {
        const Outcome3 r = run_via(via, {"--dump=" + dump, "--force", "--range=0:300"},
                                   ":" + image.path() + ",card=sdhc,late=3", dump);
        EXPECT_NE(r.out.find("dumped 768 sectors, 0 bad"), std::string::npos) << via << r.out;
        EXPECT_EQ(r.file, expected) << via;
    }
    std::remove(dump.c_str());
}

TEST(Adapters, MissingOrWrongOnesGetOneLine) {
    const struct {
        std::string port;
        std::string err;
    } cases[] = {
        {"spidev:/dev/vantacle-no-such-device", "vantacle: cannot open /dev/vantacle-no-such-device: No such file or directory\n"},
        {"spidev:/dev/null", "vantacle: /dev/null is not a spidev device\n"},
        {"ftdi:NOSUCH", "vantacle: no FTDI MPSSE bridge found (looked for 0403:6014 0403:6010 0403:6011 with serial NOSUCH)\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = run_piped({"--port=" + c.port}, "");
        EXPECT_EQ(r.out, "") << c.port;
        EXPECT_EQ(r.err, c.err) << c.port;
        EXPECT_NE(r.status, 0) << c.port;
    }
}

}  // namespace
