// The byte links: what a spidev device and an MPSSE bridge are asked for
// power-up, a sector read and a run; an FTDI chip in synchronous bit-bang
// and its stand-in's rules; adapters that are missing or wrong;
// every mode giving the same results over every link; late answers read whole.
#include <gtest/gtest.h>

#include <linux/gpio.h>

#include <cstring>
#include <linux/spi/spidev.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <regex>

#include "base/system_calls.h"
#include "card/card.h"
#include "base/ftdi_calls.h"
#include "link/bitbang_link.h"
#include "link/ftdi_bitbang.h"
#include "link/ftdi_link.h"
#include "link/spidev_link.h"
#include "port/wiring.h"
#include "sim/doubles/sim_mpsse.h"
#include "sim/doubles/sim_spidev.h"
#include "tests/fixtures/program_runner.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

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
    // the answer's bytes in one full-duplex transfer, CS kept low after
    // each. The SD way first at 400 kHz: CMD0, CMD8 and CMD55 called
    // illegal make it an MMC, which comes up by CMD1 and says in CMD58 how
    // it is addressed; its CSD's TRAN_SPEED (20 MHz) clocks the read.
    EXPECT_EQ(sim_spidev_calls(),
              (Calls{"open /dev/spidev0.0", "mode 0", "speed 25000000", "mode 0 no-cs",
                     "open /sys/module/spidev/parameters/bufsiz", "message out 10 @400000", "mode 0",
                     "message duplex 16 @400000 keep", "message duplex 19 @400000 keep"} +
               repeated("message duplex 15 @400000 keep", 5) + repeated("message duplex 19 @400000 keep", 2) +
               Calls{"message duplex 37 @400000 keep", "message duplex 530 @20000000 keep"}));
    sim_spidev_clear_calls();
    std::array<std::uint8_t, 64 * 512> run{};
    std::uint32_t done = 0;
    ASSERT_EQ(card.read_blocks(0, run, done), CardResult::ok);
    // CMD18 with its R1 and the first blocks in one kernel buffer, the
    // blocks a buffer at a time, CMD12 with its R1 and busy in one.
    EXPECT_EQ(sim_spidev_calls(), (repeated("message duplex 4096 @20000000 keep", 8) +
                                   Calls{"message duplex 329 @20000000 keep", "message duplex 31 @20000000 keep"}));
    link.reset();
    sim_spidev_remove();
}

// The wake-up clocks go out with CS high on every controller: with
// SPI_NO_CS, else with CS made active high for the burst, else on the GPIO
// chip select; on a controller with neither and no GPIO, the link says
// what to wire.
TEST(SpidevLink, WakeUpClocksGoOutWithChipSelectHigh) {
    const struct {
        SpiController controller;
        std::string gpio_chip;
        Calls calls;  // from the speed to the first command
        bool advice;
    } cases[] = {
        {SpiController::no_cs, "", {"speed 25000000", "mode 0 no-cs", "open /sys/module/spidev/parameters/bufsiz",
                                    "message out 10 @400000", "mode 0", "message duplex 16 @400000 keep"}, false},
        {SpiController::cs_high, "", {"speed 25000000", "mode 0 cs-high", "mode 0", "open /sys/module/spidev/parameters/bufsiz",
                                      "mode 0 cs-high", "message out 10 @400000", "mode 0", "message duplex 16 @400000 keep"}, false},
        {SpiController::plain, sim_gpio_chip, {"speed 25000000", "open /sys/module/spidev/parameters/bufsiz", "open /dev/gpiochip0",
                                               "gpio line 5", "message out 10 @400000", "cs low", "message duplex 16 @400000"}, false},
        {SpiController::plain, "", {"speed 25000000", "open /sys/module/spidev/parameters/bufsiz", "message out 10 @400000",
                                    "message duplex 16 @400000 keep"}, true},
    };
    for (const auto& c : cases) {
        SimSettings settings;
        settings.spidev.controller = c.controller;
        ASSERT_TRUE(sim_spidev_install(settings));
        std::unique_ptr<spi::SpidevLink> link;
        ASSERT_TRUE(spi::SpidevLink::open(stand_in_spidev(c.gpio_chip, 5), link));
        Card card(*link);
        const bool up = card.init() == CardResult::ok;
        EXPECT_EQ(up, !c.advice) << c.calls[1];
        const Calls& calls = sim_spidev_calls();
        EXPECT_EQ(Calls(calls.begin() + 2, calls.begin() + 2 + static_cast<std::ptrdiff_t>(c.calls.size())), c.calls);
        EXPECT_EQ(link->wiring_advice().empty(), !c.advice);
        link.reset();
        sim_spidev_remove();
    }
}

// Every kernel buffer from 64 bytes up, each transfer rounded up to the
// alignment: the link fills the buffer as the kernel counts it, never past;
// told a smaller alignment than the kernel's, it fails in its own words.
TEST(SpidevLink, MessagesFillTheKernelsBufferAsItCountsThem) {
    const struct {
        std::size_t bufsiz, align, link_align;
        std::size_t longest;  // the longest transfer; 0: the run fails
    } cases[] = {
        {4096, 128, 128, 4096}, {256, 128, 128, 256}, {300, 128, 128, 256}, {64, 64, 64, 64},
        {100, 32, 32, 96}, {4096, 1, 1, 4096}, {300, 128, 4, 0},
    };
    for (const auto& c : cases) {
        SimSettings settings;
        settings.kind = CardKind::sdhc;
        settings.writable = true;
        settings.spidev.bufsiz = c.bufsiz;
        settings.spidev.align = c.align;
        ASSERT_TRUE(sim_spidev_install(settings));
        spi::SpidevTarget target = stand_in_spidev();
        target.align = c.link_align;
        std::unique_ptr<spi::SpidevLink> link;
        ASSERT_TRUE(spi::SpidevLink::open(target, link));
        Card card(*link);
        std::array<std::uint8_t, 16 * 512> run{};
        std::uint32_t done = 0;
        const bool ok = card.init() == CardResult::ok && card.read_blocks(0, run, done) == CardResult::ok &&
                        card.write_blocks(0, run, done) == CardResult::ok;
        const std::string where = std::to_string(c.bufsiz) + "/" + std::to_string(c.align);
        EXPECT_EQ(ok, c.longest > 0) << where;
        std::size_t longest = 0;
        for (const std::string& call : sim_spidev_calls()) {
            if (c.longest == 0) break;
            EXPECT_EQ(call.find("refused"), std::string::npos) << where << " " << call;
            if (call.starts_with("message ")) longest = std::max<std::size_t>(longest, std::stoul(call.substr(call.find(' ', 8))));
        }
        if (c.longest > 0) {
            EXPECT_EQ(longest, c.longest) << where;
        } else {
            EXPECT_EQ(link->fault(), "spidev: message too long for the kernel's buffer (bufsiz 300)");
        }
        link.reset();
        sim_spidev_remove();
    }
}

// The stand-in refuses what the kernel refuses: mode bits the controller
// lacks, words other than 8 bits, rates under its range, GPIO requests
// gpiolib would not take; it clamps a rate over its range.
TEST(SpidevStandIn, RefusesWhatTheKernelRefuses) {
    SimSettings settings;
    settings.spidev.controller = SpiController::cs_high;
    settings.spidev.max_hz = 10'000'000;
    ASSERT_TRUE(sim_spidev_install(settings));
    const int fd = system_calls.open(sim_spidev_device, 0);
    const auto errno_of = [](int result) { return result < 0 ? errno : 0; };
    std::uint32_t mode = SPI_MODE_0 | SPI_NO_CS;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_WR_MODE32, &mode)), EINVAL);
    mode = SPI_MODE_0 | SPI_CS_HIGH;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_WR_MODE32, &mode)), 0);
    mode = SPI_MODE_0 | SPI_LSB_FIRST;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_WR_MODE32, &mode)), EINVAL);
    std::uint8_t bits = 16;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits)), EINVAL);
    std::uint32_t hz = 25'000'000;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &hz)), 0);
    std::array<std::uint8_t, 4097> bytes{};
    spi_ioc_transfer part{};
    part.tx_buf = reinterpret_cast<std::uintptr_t>(bytes.data());
    part.len = 4;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_MESSAGE(1), &part)), 0);
    part.speed_hz = 50'000;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_MESSAGE(1), &part)), EINVAL);
    part.speed_hz = 0;
    part.len = 4097;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_MESSAGE(1), &part)), EMSGSIZE);
    // tx and rx counted apart, each transfer rounded up to 128.
    std::array<spi_ioc_transfer, 2> parts{part, part};
    parts[0].len = 2000;
    parts[1].len = 2000;
    parts[1].rx_buf = parts[1].tx_buf;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_MESSAGE(2), parts.data())), 0);
    parts[0].len = 2049;
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, SPI_IOC_MESSAGE(2), parts.data())), EMSGSIZE);
    EXPECT_EQ(sim_spidev_calls()[2], "speed 10000000");

    const int chip = system_calls.open(sim_gpio_chip, 0);
    int line = -1;
    const auto request = [&](std::uint32_t offset, std::uint64_t flags, std::uint32_t pad = 0) {
        gpio_v2_line_request r{};
        r.offsets[0] = offset;
        r.num_lines = 1;
        r.config.flags = flags;
        r.padding[0] = pad;
        const int error = errno_of(system_calls.ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &r));
        if (error == 0) line = r.fd;
        return error;
    };
    EXPECT_EQ(request(32, GPIO_V2_LINE_FLAG_OUTPUT), EINVAL);
    EXPECT_EQ(request(5, GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_INPUT), EINVAL);
    EXPECT_EQ(request(5, GPIO_V2_LINE_FLAG_OUTPUT | GPIO_V2_LINE_FLAG_EDGE_RISING), EINVAL);
    EXPECT_EQ(request(5, GPIO_V2_LINE_FLAG_BIAS_PULL_UP), EINVAL);
    EXPECT_EQ(request(5, GPIO_V2_LINE_FLAG_OUTPUT, 1), EINVAL);
    EXPECT_EQ(request(5, GPIO_V2_LINE_FLAG_INPUT), 0);
    EXPECT_EQ(request(5, GPIO_V2_LINE_FLAG_OUTPUT), EBUSY);
    gpio_v2_line_values values{.bits = 1, .mask = 1};
    EXPECT_EQ(errno_of(system_calls.ioctl(line, GPIO_V2_LINE_SET_VALUES_IOCTL, &values)), EPERM);
    sim_spidev_remove();
}

// Several lines in one request, as gpiolib's character device takes them:
// none twice, none in use (its consumer shown), per-line flags by mask,
// values set only on outputs and read by mask, lines given back on close.
TEST(GpioStandIn, RequestsSeveralLinesAsTheKernelDoes) {
    SimSettings settings;
    settings.via = SimVia::gpio;
    settings.gpio.busy = {7};
    ASSERT_TRUE(sim_spidev_install(settings));
    const auto errno_of = [](int result) { return result < 0 ? errno : 0; };
    const int chip = system_calls.open(sim_gpio_chip, 0);
    gpio_v2_line_info info{};
    info.offset = 7;
    ASSERT_EQ(errno_of(system_calls.ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info)), 0);
    EXPECT_TRUE(info.flags & GPIO_V2_LINE_FLAG_USED);
    EXPECT_STREQ(info.consumer, "spi0 CS0");
    info = {};
    info.offset = 54;
    EXPECT_EQ(errno_of(system_calls.ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info)), EINVAL);
    const auto request = [&](std::vector<std::uint32_t> offsets, std::uint64_t input_flags, int& fd) {
        gpio_v2_line_request r{};
        std::copy(offsets.begin(), offsets.end(), r.offsets);
        r.num_lines = static_cast<std::uint32_t>(offsets.size());
        std::strcpy(r.consumer, "test");
        r.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
        r.config.num_attrs = 1;
        r.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
        r.config.attrs[0].attr.flags = input_flags;
        r.config.attrs[0].mask = 0b1000;
        const int error = errno_of(system_calls.ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &r));
        fd = error == 0 ? r.fd : -1;
        return error;
    };
    const std::uint64_t pulled_input = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
    int fd = -1;
    const struct {
        std::vector<std::uint32_t> offsets;
        std::uint64_t input_flags;
        int error;
    } refused[] = {
        {{11, 10, 8, 11}, pulled_input, EBUSY},                                               // a line twice
        {{11, 10, 8, 7}, pulled_input, EBUSY},                                                // a line in use
        {{11, 10, 8, 54}, pulled_input, EINVAL},                                              // past the chip's lines
        {{11, 10, 8, 9}, pulled_input | GPIO_V2_LINE_FLAG_OUTPUT, EINVAL},                    // input and output
        {{11, 10, 8, 9}, GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OPEN_DRAIN, EINVAL},     // drive on an input
        {{11, 10, 8, 9}, pulled_input | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN, EINVAL},            // two biases
    };
    for (const auto& r : refused) EXPECT_EQ(request(r.offsets, r.input_flags, fd), r.error) << r.input_flags;
    // Nothing was taken by the refused requests.
    ASSERT_EQ(request({11, 10, 8, 9}, pulled_input, fd), 0);
    gpio_v2_line_values values{.bits = 0b0111, .mask = 0b1111};
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values)), EPERM);  // MISO is an input
    values = {.bits = 0b0110, .mask = 0};
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values)), EINVAL);
    values = {.bits = 0b0110, .mask = 0b0111};
    EXPECT_EQ(errno_of(system_calls.ioctl(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values)), 0);
    values = {.bits = 0, .mask = 0b1110};
    ASSERT_EQ(errno_of(system_calls.ioctl(fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values)), 0);
    EXPECT_EQ(values.bits, 0b1110u);  // MOSI and CS high as set, MISO pulled up by an idle card; SCK outside the mask
    info = {};
    info.offset = 9;
    ASSERT_EQ(errno_of(system_calls.ioctl(chip, GPIO_V2_GET_LINEINFO_IOCTL, &info)), 0);
    EXPECT_STREQ(info.consumer, "test");
    EXPECT_EQ(info.flags, GPIO_V2_LINE_FLAG_USED | pulled_input);
    EXPECT_EQ(system_calls.close(fd), 0);
    EXPECT_EQ(request({11, 10, 8, 9}, pulled_input, fd), 0);
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
        // A bad command to sync on; 400 kHz (divisor 74), CS high and DI
        // high; 80 clocks; CS low; each frame with its answer's bytes then
        // send immediate: CMD0, CMD8, CMD55 (illegal: an MMC), four CMD1,
        // two CMD58 and the CSD, whose 20 MHz gives divisor 1 (15 MHz).
        const Calls r1{"out 7", "in 8", "flush"};
        const Calls r3{"out 7", "in 12", "flush"};
        EXPECT_EQ(sim_mpsse_commands(),
                  (Calls{"bad aa", "flush", "divisor 74", "pins 0a 0b", "out 10", "pins 02 0b", "out 8", "in 8", "flush"} +
                   r3 + r1 + r1 + r1 + r1 + r1 + r3 + r3 + Calls{"out 7", "in 30", "flush"} +
                   Calls{"divisor 1", "out 7", "in 523", "flush"}));
        EXPECT_EQ(sim_mpsse_round_trips(), 12);
    }
    sim_mpsse_remove();
}

// Several bridges on one USB, each with its own card: a link finds its
// bridge by serial, and a bridge held by one context is refused to another.
TEST(FtdiLink, BridgesAreFoundBySerialAndHeldOnce) {
    SimSettings settings;
    settings.kind = CardKind::sd2;
    SimMpsseBridge* first = nullptr;
    SimMpsseBridge* second = nullptr;
    sim_mpsse_remove();
    ASSERT_TRUE(sim_mpsse_plug(settings, "VT0000A1", -1, first));
    ASSERT_TRUE(sim_mpsse_plug(settings, "VT0000B2", -1, second));
    spi::FtdiTarget target = unlocked_bridge();
    target.serial = "VT0000B2";
    {
        std::unique_ptr<spi::FtdiLink> link;
        ASSERT_TRUE(spi::FtdiLink::open(target, link));
        Card card(*link);
        ASSERT_EQ(card.init(), CardResult::ok);
        EXPECT_TRUE(first->first().commands().empty());
        EXPECT_FALSE(second->first().commands().empty());
        std::unique_ptr<spi::FtdiLink> again;
        const Outcome refused = spi::FtdiLink::open(target, again);
        ASSERT_FALSE(refused);
        EXPECT_NE(refused.why().find("unable to claim usb device"), std::string::npos) << refused.why();
        target.serial = "VT0000C3";
        EXPECT_FALSE(spi::FtdiLink::open(target, again));
    }
    EXPECT_FALSE(second->is_open());
    sim_mpsse_remove();
}

// Each chip as it is: the H chips' extras only where they exist (an
// FT2232D answers them as bad commands), the clock from each chip's base
// and the fastest the card takes.
TEST(FtdiLink, EachChipGetsOnlyTheCommandsItHas) {
    const struct {
        FtdiChip chip;
        const char* init_divisor;  // 400 kHz
        const char* top_divisor;   // the fastest
    } cases[] = {
        {FtdiChip::ft232h, "divisor 74", "divisor 0"},
        {FtdiChip::ft2232h, "divisor 74", "divisor 0"},
        {FtdiChip::ft4232h, "divisor 74", "divisor 0"},
        {FtdiChip::ft2232d, "divisor 14", "divisor 0"},
    };
    for (const auto& c : cases) {
        SimSettings settings;
        settings.ftdi.chip = c.chip;
        settings.kind = CardKind::sd2;
        ASSERT_TRUE(sim_mpsse_install(settings));
        {
            std::unique_ptr<spi::FtdiLink> link;
            ASSERT_TRUE(spi::FtdiLink::open(unlocked_bridge(), link));
            EXPECT_EQ(link->capabilities().top_hz, c.chip == FtdiChip::ft2232d ? 6'000'000u : 30'000'000u);
            Card card(*link);
            ASSERT_EQ(card.init(), CardResult::ok);
            // Set up, the card runs at the bridge's top: in high speed (CMD6)
            // where the bridge is faster than the card's 25 MHz.
            ASSERT_EQ(card.prepare(false), CardResult::ok);
            std::array<std::uint8_t, 512> one{};
            ASSERT_EQ(card.read(3, one), CardResult::ok);
            const Calls& calls = sim_mpsse_commands();
            EXPECT_EQ(std::count(calls.begin(), calls.end(), "bad aa"), 1);
            EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& l) { return l.starts_with("bad"); }), 1);
            EXPECT_EQ(calls[2], c.init_divisor);
            EXPECT_NE(std::find(calls.begin(), calls.end(), c.top_divisor), calls.end());
        }
        sim_mpsse_remove();
    }
}

// The card on an FTDI chip's bit-bang pins, each chip with the wiring it
// is given: pin states go out in chunks the chip's FIFO to the host holds
// in whole USB packets, and the card reads as it is. A card wired to other
// pins than the link drives is not found; a supply pin switches it.
TEST(FtdiBitBang, ChunksFitTheFifoAndTheWiringIsHonoured) {
    const spi::FtdiBitBangPins moved{.sck = 3, .mosi = 5, .miso = 6, .cs = 7, .power = 4};
    const SimBitBangPins board_moved{.sck = 3, .mosi = 5, .miso = 6, .cs = 7, .power = 4};
    const struct {
        FtdiChip chip;
        SimBitBangPins board;
        spi::FtdiBitBangPins link;
        std::size_t chunk;
        bool found;
    } cases[] = {
        {FtdiChip::ft232r, {}, {}, 248, true},
        {FtdiChip::ft230x, {}, {}, 496, true},
        {FtdiChip::ft232h, {}, {}, 1020, true},
        {FtdiChip::ft2232d, {}, {}, 124, true},
        {FtdiChip::ft232r, board_moved, moved, 248, true},
        {FtdiChip::ft232r, board_moved, {}, 248, false},
        {FtdiChip::ft232r, {}, {.sck = 0, .mosi = 1, .miso = 2, .cs = 4}, 248, false},
    };
    const TestImage image(64);
    for (const auto& c : cases) {
        SimSettings settings;
        settings.image = image.path();
        settings.via = SimVia::ftdi_bitbang;
        settings.ftdi.chip = c.chip;
        settings.ftdi.pins = c.board;
        ASSERT_TRUE(sim_mpsse_install(settings));
        {
            std::unique_ptr<spi::FtdiBitBangLines> lines;
            spi::FtdiBitBangTarget target;
            target.lock = false;
            target.pins = c.link;
            ASSERT_TRUE(spi::FtdiBitBangLines::open(target, lines));
            EXPECT_EQ(lines->chunk(), c.chunk);
            spi::BitBangLink link(std::move(lines));
            EXPECT_EQ(link.capabilities().switches_supply, c.link.power >= 0);
            Card card(link);
            ASSERT_EQ(card.init() == CardResult::ok, c.found) << static_cast<int>(c.chip);
            std::array<std::uint8_t, 512> one{};
            if (c.found) {
                ASSERT_EQ(card.read(3, one), CardResult::ok);
                EXPECT_TRUE(std::equal(one.begin(), one.end(), image.sector(3)));
            }
            EXPECT_TRUE(link.healthy());
        }
        sim_mpsse_remove();
    }
}

// The stand-in chip as FTDI describes synchronous bit-bang on the FT232R:
// each byte read back is the pins sampled before the byte written with it;
// an input pin drives nothing (pulled high); a state is taken only while
// the 256-byte FIFO to the host has room, then the 128-byte FIFO from it
// fills and a write past that times out; reads bring nothing on the first
// poll, then whole 62-byte payloads, a part one after the latency timer.
TEST(FtdiBitBang, StandInKeepsTheChipsRules) {
    SimSettings settings;
    settings.via = SimVia::ftdi_bitbang;
    ASSERT_TRUE(sim_mpsse_install(settings));
    ftdi_context* ftdi = ftdi_calls.new_context();
    ASSERT_EQ(ftdi_calls.open(ftdi, 0x0403, 0x6001, nullptr), 0);
    EXPECT_EQ(ftdi_calls.chip_type(ftdi), ftdi_chip::ft232r);
    // SCK, MOSI and CS out (D0, D2, D4); RXD (MISO) and the rest in.
    ASSERT_EQ(ftdi_calls.set_bitmode(ftdi, 0x15, 0x04), 0);
    EXPECT_EQ(ftdi_calls.set_baudrate(ftdi, 750'001), -1);  // libftdi: four times over the chip's 3 MBaud
    ASSERT_EQ(ftdi_calls.set_baudrate(ftdi, 750'000), 0);
    std::array<unsigned char, 512> back{};
    const auto read_all = [&](std::size_t n) {
        std::vector<int> reads;
        for (std::size_t got = 0; got < n;) {
            const int r = ftdi_calls.read(ftdi, back.data() + got, static_cast<int>(back.size() - got));
            reads.push_back(r);
            if (r < 0) break;
            got += static_cast<std::size_t>(r);
        }
        return reads;
    };
    const std::array<unsigned char, 3> states{0x10, 0x11, 0x05};
    ASSERT_EQ(ftdi_calls.write(ftdi, states.data(), 3), 3);
    EXPECT_EQ(read_all(3), (std::vector<int>{0, 3}));
    // Before the first: every output low (the card selected, DO not driven);
    // then CS high; then SCK high too.
    EXPECT_EQ(back[0], 0xEA);
    EXPECT_EQ(back[1], 0xFA);
    EXPECT_EQ(back[2], 0xFB);
    // MISO made an output reads the chip's own level, whatever the card does.
    ASSERT_EQ(ftdi_calls.set_bitmode(ftdi, 0x17, 0x04), 0);
    const unsigned char low = 0x00;
    ASSERT_EQ(ftdi_calls.write(ftdi, &low, 1), 1);
    ASSERT_EQ(ftdi_calls.write(ftdi, &low, 1), 1);
    EXPECT_EQ(read_all(2), (std::vector<int>{0, 2}));
    EXPECT_EQ(back[1] & 0x02, 0);
    ASSERT_EQ(ftdi_calls.set_bitmode(ftdi, 0x15, 0x04), 0);
    std::vector<unsigned char> many(256 + 128, 0x10);
    ASSERT_EQ(ftdi_calls.write(ftdi, many.data(), static_cast<int>(many.size())), static_cast<int>(many.size()));
    EXPECT_EQ(ftdi_calls.write(ftdi, many.data(), 1), -1);
    EXPECT_STREQ(ftdi_calls.error_string(ftdi), "usb bulk write failed");
    ASSERT_EQ(ftdi_calls.purge(ftdi), 0);
    ASSERT_EQ(ftdi_calls.write(ftdi, many.data(), 200), 200);
    EXPECT_EQ(read_all(200), (std::vector<int>{0, 186, 14}));
    EXPECT_EQ(sim_mpsse_pin_states(), 3u + 2u + 256u + 200u);
    (void)ftdi_calls.close(ftdi);
    ftdi_calls.free_context(ftdi);
    sim_mpsse_remove();
}

// Which read-back answers a DO read: with MISO on the SCK pin itself the
// read shows SCK as it stands after the last state written, high after a
// rising edge (sampled before the next state) and low after a falling one;
// a read after the last state queued gets a state more to sample it.
TEST(FtdiBitBang, DoIsSampledFromTheReadBackOfTheNextState) {
    SimSettings settings;
    settings.via = SimVia::ftdi_bitbang;
    ASSERT_TRUE(sim_mpsse_install(settings));
    {
        std::unique_ptr<spi::FtdiBitBangLines> lines;
        spi::FtdiBitBangTarget target;
        target.lock = false;
        target.pins.miso = target.pins.sck;
        ASSERT_TRUE(spi::FtdiBitBangLines::open(target, lines));
        const std::uint8_t idle = wiring::cs | wiring::di;
        lines->write_data(idle);
        lines->write_data(idle | wiring::sck);
        (void)lines->read_status();
        lines->write_data(idle);
        (void)lines->read_status();
        lines->write_data(idle | wiring::sck);
        (void)lines->read_status();
        std::array<std::uint8_t, 3> statuses{0xFF, 0xFF, 0xFF};
        lines->settle(statuses);
        // The port's status register shows DO inverted: 0 while it is high.
        EXPECT_EQ(statuses, (std::array<std::uint8_t, 3>{0, wiring::do_status, 0}));
        EXPECT_EQ(sim_mpsse_pin_states(), 5u);
    }
    sim_mpsse_remove();
}

// On a chip with an MPSSE the bit-bang port works and says once, at the
// start, that --port=ftdi is faster.
TEST(FtdiBitBang, AnMpsseChipSaysOnceThatFtdiIsFaster) {
    TestImage image(64);
    const std::string advice = "vantacle: the FTDI bridge is an FT232H, which has an MPSSE: --port=ftdi reaches the card faster\n";
    const RunResult mpsse = run_piped({"--port=sim:" + image.path() + ",via=ftdi-bitbang,chip=ft232h", "--info"}, "");
    EXPECT_EQ(mpsse.status, 0);
    EXPECT_EQ(mpsse.err, advice);
    const RunResult serial = run_piped({"--port=sim:" + image.path() + ",via=ftdi-bitbang,chip=ft232r", "--info"}, "");
    EXPECT_EQ(serial.status, 0);
    EXPECT_EQ(serial.err, "");
    EXPECT_EQ(mpsse.out, serial.out);
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
        for (const char* via : {"spidev", "ftdi", "ftdi-bitbang", "gpio"}) {
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
    for (const char* via : {"port", "spidev", "ftdi", "ftdi-bitbang", "gpio"}) {
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
        {"ftdi-bitbang:NOSUCH", "vantacle: no FTDI bridge found (looked for 0403:6001 0403:6015 0403:6014 0403:6010 0403:6011 "
                                "with serial NOSUCH)\n"},
        {"ftdi-bitbang,sck=8", "vantacle: bad ftdi-bitbang setting 'sck=8' (sck=, mosi=, miso=, cs=, power=: a pin 0 to 7 or "
                               "TXD, RXD, RTS, CTS, DTR, DSR, DCD, RI)\n"},
        {"ftdi-bitbang,clk=1", "vantacle: bad ftdi-bitbang setting 'clk=1' (sck=, mosi=, miso=, cs=, power=: a pin 0 to 7 or "
                               "TXD, RXD, RTS, CTS, DTR, DSR, DCD, RI)\n"},
        {"ftdi-bitbang,miso=txd", "vantacle: ftdi-bitbang: sck and miso are both on D0 (TXD): give each line a pin of its own\n"},
        {"ftdi-bitbang,sck=CTS,power=3", "vantacle: ftdi-bitbang: sck and power are both on D3 (CTS): give each line a pin of its own\n"},
        {"sim,via=ftdi,chip=ft232r", "vantacle: the FTDI bridge 0403:6001 is an FT232R, which has no MPSSE: reach it with "
                                     "--port=ftdi-bitbang\n"},
        {"sim,via=ftdi,chip=ft231x", "vantacle: the FTDI bridge 0403:6015 is an FT230X/FT231X, which has no MPSSE: reach it "
                                     "with --port=ftdi-bitbang\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = run_piped({"--port=" + c.port, "--info"}, "");
        EXPECT_EQ(r.out, "") << c.port;
        EXPECT_EQ(r.err, c.err) << c.port;
        EXPECT_NE(r.status, 0) << c.port;
    }
}

}  // namespace
