// The simulated card's unkind settings, driven through its port face (pin
// by pin) and its byte face alike: one table of scenarios, each with what a
// real card would do.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "port/wiring.h"
#include "sim/card_registers.h"
#include "sim/crc.h"
#include "sim/sim_card.h"
#include "tests/fixtures/test_image.h"

namespace {

constexpr std::uint64_t ms = 1000000;
constexpr std::uint8_t idle = 0x01, ready = 0x00, illegal = 0x05, crc_error = 0x08;

// A host of the plainest kind, bit-banging the card's port face or moving
// whole bytes through its byte face.
class Pins {
public:
    Pins(const std::string& image, const std::string& settings, bool bytewise = false) : bytewise_(bytewise) {
        SimSettings s;
        EXPECT_TRUE(sim_parse_settings(":" + image + ",write=on" + settings, s)) << settings;
        EXPECT_TRUE(SimCard::open(s, card_));
    }
    SimCard& card() { return *card_; }

    void lines(std::uint8_t value) { card_->write_lines(lines_ = value); }
    // Supply on, 1 ms, 80 clocks with CS high, then selected.
    void power_up(std::uint64_t settle_ns = ms) {
        lines(wiring::supply | wiring::cs | wiring::di | wiring::sck);
        card_->pass(settle_ns);
        for (int i = 0; i < 10; ++i) byte();
        lines(lines_ & ~wiring::cs);
    }
    std::uint8_t byte(std::uint8_t out = 0xFF) {
        if (bytewise_) {
            card_->pass(8 * 3 * ns_per_access);
            return card_->exchange(out);
        }
        std::uint8_t in = 0;
        for (int bit = 7; bit >= 0; --bit) {
            const auto di = (out >> bit & 1) ? wiring::di : 0;
            lines(static_cast<std::uint8_t>((lines_ & ~(wiring::di | wiring::sck)) | di));
            lines(lines_ | wiring::sck);
            in = static_cast<std::uint8_t>(in << 1 | !(card_->read_status() & wiring::do_status));
        }
        return in;
    }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        std::vector<std::uint8_t> in(n);
        for (auto& b : in) b = byte();
        return in;
    }
    // Sends a frame (with its right CRC7 unless one is given); the first
    // byte within 16 that is not FF.
    std::uint8_t command(std::uint8_t index, std::uint32_t arg, std::optional<std::uint8_t> crc = {}) {
        const std::array<std::uint8_t, 5> f{std::uint8_t(0x40 | index), std::uint8_t(arg >> 24), std::uint8_t(arg >> 16),
                                            std::uint8_t(arg >> 8), std::uint8_t(arg)};
        byte();
        for (std::uint8_t b : f) byte(b);
        byte(crc.value_or(crc7_byte(f)));
        std::uint8_t r1 = 0xFF;
        for (int i = 0; i < 16 && r1 == 0xFF; ++i) r1 = byte();
        return r1;
    }
    // Up through CMD1 (MMC) or ACMD41 with CMD8 (SD).
    bool bring_up(bool sd = false) {
        power_up();
        if (command(0, 0) != idle || (sd && command(8, 0x1AA) != idle)) return false;
        if (sd) bytes(4);
        for (int i = 0; i < 500; ++i) {
            card_->pass(ms);
            if (sd ? (command(55, 0), command(41, 0x40000000)) == ready : command(1, 0) == ready) return true;
        }
        return false;
    }
    // The token after the access bytes, then (for FE) `size` bytes and CRC16.
    struct Block {
        std::uint8_t token = 0xFF;
        std::vector<std::uint8_t> data;
        bool crc_ok = false;
        int waited = 0;  // bytes before the token
    };
    Block block(std::size_t size) {
        Block b;
        while (b.waited < 200000 && (b.token = byte()) == 0xFF) ++b.waited;
        if (b.token != 0xFE) return b;
        b.data = bytes(size + 2);
        b.crc_ok = crc16(std::span(b.data).first(size)) == (b.data[size] << 8 | b.data[size + 1]);
        b.data.resize(size);
        return b;
    }
    // A block after CMD24's R1: the data response.
    std::uint8_t write(std::span<const std::uint8_t> data, bool bad_crc = false) {
        byte(0xFE);
        for (std::uint8_t b : data) byte(b);
        const std::uint16_t crc = crc16(data) ^ (bad_crc ? 1 : 0);
        byte(std::uint8_t(crc >> 8));
        byte(std::uint8_t(crc));
        return byte() & 0x1F;
    }

private:
    static constexpr std::uint64_t ns_per_access = 1000;
    bool bytewise_;
    std::unique_ptr<SimCard> card_;
    std::uint8_t lines_ = 0;
};

const std::array<std::uint8_t, 512> pattern = [] {
    std::array<std::uint8_t, 512> p{};
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return p;
}();

// Waits out any busy, then reads the sector and compares it.
bool holds(Pins& pins, std::uint32_t sector, const std::uint8_t* expected) {
    for (int i = 0; i < 1000 && pins.byte() != 0xFF; ++i) {
    }
    if (pins.command(17, sector * 512) != ready) return false;
    const auto b = pins.block(512);
    return b.crc_ok && std::memcmp(b.data.data(), expected, 512) == 0;
}

struct Scenario {
    const char* name;
    std::string settings;
    std::function<void(Pins&, const TestImage&)> run;
};

const Scenario scenarios[] = {
    {"busy holds DO low and drops a command", ",write-time=2000", [](Pins& p, const TestImage& img) {
         ASSERT_TRUE(p.bring_up());
         ASSERT_EQ(p.command(24, 3 * 512), ready);
         EXPECT_EQ(p.write(pattern), 0x05);
         EXPECT_EQ(p.command(17, 0), 0x00);  // DO low: busy, not an answer
         EXPECT_EQ(p.bytes(4), std::vector<std::uint8_t>(4, 0x00));
         p.card().pass(2 * ms);
         EXPECT_EQ(p.bytes(40), std::vector<std::uint8_t>(40, 0xFF));  // the dropped read never comes
         EXPECT_TRUE(holds(p, 3, pattern.data()));
         EXPECT_TRUE(holds(p, 2, img.sector(2)));
     }},
    {"a late R1 is found at its bit offset", ",late=3", [](Pins& p, const TestImage&) {
         p.power_up();
         for (std::uint8_t b : {0xFF, 0x40, 0, 0, 0, 0, 0x95}) p.byte(b);
         std::uint32_t bits = 0;
         for (std::uint8_t b : p.bytes(3)) bits = bits << 8 | b;
         int first_zero = 23;
         while (bits >> first_zero & 1) --first_zero;
         EXPECT_EQ((23 - first_zero) % 8, 3);
         EXPECT_EQ(bits >> (first_zero - 7) & 0xFF, idle);
     }},
    {"a flipped address bit with CRC off writes the other sector", "", [](Pins& p, const TestImage& img) {
         ASSERT_TRUE(p.bring_up());
         const std::array<std::uint8_t, 5> meant{0x58, 0, 0, 0x14, 0};  // CMD24, sector 10
         ASSERT_EQ(p.command(24, 11 * 512, crc7_byte(meant)), ready);
         EXPECT_EQ(p.write(pattern), 0x05);
         EXPECT_TRUE(holds(p, 11, pattern.data()));
         EXPECT_TRUE(holds(p, 10, img.sector(10)));
     }},
    {"with CRC on the flipped bit is a com CRC error, nothing written", "", [](Pins& p, const TestImage& img) {
         ASSERT_TRUE(p.bring_up());
         ASSERT_EQ(p.command(59, 1), ready);
         const std::array<std::uint8_t, 5> meant{0x58, 0, 0, 0x14, 0};
         EXPECT_EQ(p.command(24, 11 * 512, crc7_byte(meant)), crc_error);
         ASSERT_EQ(p.command(24, 10 * 512), ready);
         EXPECT_EQ(p.write(pattern, true), 0x0B);
         EXPECT_TRUE(holds(p, 10, img.sector(10)));
         EXPECT_TRUE(holds(p, 11, img.sector(11)));
     }},
    {"DI noise: every bit flipped reads as the complement", ",di-noise=1", [](Pins& p, const TestImage&) {
         p.power_up();
         for (std::uint8_t b : {0xFF, 0x40, 0, 0, 0, 0, 0x95}) p.byte(std::uint8_t(~b));
         EXPECT_EQ(p.bytes(2).back(), idle);
     }},
    {"CMD18 and CMD25 are illegal on an MMC 1.x", ",card=mmc1", [](Pins& p, const TestImage& img) {
         ASSERT_TRUE(p.bring_up());
         EXPECT_EQ(p.command(18, 0), 0x04);
         EXPECT_EQ(p.command(25, 0), 0x04);
         EXPECT_TRUE(holds(p, 1, img.sector(1)));
     }},
    {"an MMC over 2 GB: sector mode in the OCR, its size in the EXT_CSD", ",card=mmchc", [](Pins& p, const TestImage& img) {
         ASSERT_TRUE(p.bring_up());
         EXPECT_EQ(p.command(58, 0), ready);
         EXPECT_EQ(p.bytes(4)[0], 0xC0);
         ASSERT_EQ(p.command(8, 0), ready);
         const auto ext = p.block(512);
         ASSERT_TRUE(ext.crc_ok);
         EXPECT_EQ(ext.data[212] | ext.data[213] << 8 | ext.data[214] << 16 | ext.data[215] << 24, 16);
         ASSERT_EQ(p.command(9, 0), ready);
         const auto csd = p.block(16);
         EXPECT_EQ((csd.data[6] & 3) << 10 | csd.data[7] << 2 | csd.data[8] >> 6, 4095);  // C_SIZE
         ASSERT_EQ(p.command(17, 5), ready);  // sector addressed
         EXPECT_EQ(std::memcmp(p.block(512).data.data(), img.sector(5), 512), 0);
     }},
    {"a frame begun while the card is busy is not heard, though the busy ends within it", ",busy=7",
     [](Pins& p, const TestImage&) {
         ASSERT_TRUE(p.bring_up());
         ASSERT_EQ(p.command(24, 3 * 512), ready);
         ASSERT_EQ(p.write(pattern), 0x05);
         EXPECT_EQ(p.command(13, 0), 0xFF);  // the 7 busy bytes end with the frame's CRC byte
         EXPECT_EQ(p.command(13, 0), ready);
     }},
    {"busy ends at the card's next bit once programming is over", ",write-time=1000,busy=0",
     [](Pins& p, const TestImage&) {
         ASSERT_TRUE(p.bring_up());
         ASSERT_EQ(p.command(24, 3 * 512), ready);
         ASSERT_EQ(p.write(pattern), 0x05);
         std::uint8_t released = 0x00;
         for (int i = 0; i < 2000 && released == 0x00; ++i) released = p.byte();
         EXPECT_EQ(released & (released + 1), 0) << int{released};  // zeros, then ones to the byte's end
         EXPECT_EQ(p.byte(), 0xFF);
     }},
    {"blocklen=1024 sends 1024-byte blocks until CMD16(512)", ",blocklen=1024", [](Pins& p, const TestImage& img) {
         ASSERT_TRUE(p.bring_up());
         ASSERT_EQ(p.command(17, 2 * 512), ready);
         EXPECT_FALSE(p.block(512).crc_ok);
         p.bytes(600);
         ASSERT_EQ(p.command(17, 2 * 512), ready);
         const auto big = p.block(1024);
         EXPECT_TRUE(big.crc_ok && std::memcmp(big.data.data(), img.sector(2), 1024) == 0);
         EXPECT_EQ(p.command(16, 512), ready);
         EXPECT_TRUE(holds(p, 2, img.sector(2)));
     }},
    {"stuck=on ignores CMD0 until a real power cycle", ",stuck=on", [](Pins& p, const TestImage&) {
         p.power_up();
         EXPECT_EQ(p.command(0, 0), 0xFF);
         p.lines(wiring::cs | wiring::di);  // supply off, lines high: the card stays powered
         p.card().pass(5 * ms);
         p.power_up();
         EXPECT_EQ(p.command(0, 0), 0xFF);
         p.lines(0);
         p.card().pass(ms / 2);
         p.power_up();
         EXPECT_EQ(p.command(0, 0), 0xFF);
         p.lines(0);
         p.card().pass(ms);
         p.power_up();
         EXPECT_EQ(p.command(0, 0), idle);
     }},
    {"the card answers only after 1 ms of supply", ",clock=1000", [](Pins& p, const TestImage&) {
         p.power_up(0);
         EXPECT_EQ(p.command(0, 0), 0xFF);
         p.card().pass(ms);
         EXPECT_EQ(p.command(0, 0), idle);
     }},
    {"init-time keeps CMD1 idle for its time", ",init-time=50,idle=0", [](Pins& p, const TestImage&) {
         p.power_up();
         ASSERT_EQ(p.command(0, 0), idle);
         const std::uint64_t start = p.card().now_ns();
         while (p.command(1, 0) == idle) p.card().pass(ms);
         EXPECT_GE(p.card().now_ns() - start, 50 * ms);
     }},
    {"read-time holds back the data token", ",read-time=3000", [](Pins& p, const TestImage&) {
         ASSERT_TRUE(p.bring_up());
         const std::uint64_t start = p.card().now_ns();
         ASSERT_EQ(p.command(17, 0), ready);
         EXPECT_TRUE(p.block(512).crc_ok);
         EXPECT_GE(p.card().now_ns() - start, 3 * ms);
     }},
    {"registers carry a wrong CRC16 while CRC is off", ",regcrc=bad,card=sd2", [](Pins& p, const TestImage&) {
         ASSERT_TRUE(p.bring_up(true));
         ASSERT_EQ(p.command(10, 0), ready);
         EXPECT_FALSE(p.block(16).crc_ok);
         ASSERT_EQ(p.command(59, 1), ready);
         ASSERT_EQ(p.command(9, 0), ready);
         EXPECT_TRUE(p.block(16).crc_ok);
     }},
    {"ecc=5:once fails the first read only", ",ecc=5:once", [](Pins& p, const TestImage& img) {
         ASSERT_TRUE(p.bring_up());
         ASSERT_EQ(p.command(17, 5 * 512), ready);
         EXPECT_EQ(p.block(512).token, 0x04);
         EXPECT_TRUE(holds(p, 5, img.sector(5)));
     }},
    {"an SDXC reports 25 MHz at power-up", ",card=sdxc", [](Pins& p, const TestImage&) {
         ASSERT_TRUE(p.bring_up(true));
         ASSERT_EQ(p.command(9, 0), ready);
         EXPECT_EQ(p.block(16).data[3], 0x32);
     }},
    {"an erase is busy for its time, drops a command, and erases only its range", ",card=sd2",
     [](Pins& p, const TestImage& img) {
         ASSERT_TRUE(p.bring_up(true));
         ASSERT_EQ(p.command(32, 2 * 512), ready);
         ASSERT_EQ(p.command(33, 5 * 512), ready);
         ASSERT_EQ(p.command(38, 0), ready);
         EXPECT_EQ(p.command(13, 0), 0x00);  // DO low: busy, not an answer
         p.card().pass(3 * ms);
         EXPECT_EQ(p.bytes(40), std::vector<std::uint8_t>(40, 0xFF));  // the dropped CMD13 never answers
         ASSERT_EQ(p.command(13, 0), ready);
         EXPECT_EQ(p.byte(), 0x00);  // no error in the status
         const std::array<std::uint8_t, 512> erased{};
         for (std::uint32_t sector : {2u, 5u}) EXPECT_TRUE(holds(p, sector, erased.data())) << sector;
         for (std::uint32_t sector : {1u, 6u}) EXPECT_TRUE(holds(p, sector, img.sector(sector))) << sector;
     }},
    {"with CRC on a CSD sent with a wrong CRC16 is refused and left as it was", ",card=sd2", [](Pins& p, const TestImage&) {
         ASSERT_TRUE(p.bring_up(true));
         ASSERT_EQ(p.command(59, 1), ready);
         ASSERT_EQ(p.command(9, 0), ready);
         const auto csd = p.block(16);
         ASSERT_TRUE(csd.crc_ok);
         std::vector<std::uint8_t> protect = csd.data;
         protect[14] |= 0x10;  // TMP_WRITE_PROTECT
         protect[15] = crc7_byte(std::span(protect).first(15));
         ASSERT_EQ(p.command(27, 0), ready);
         EXPECT_EQ(p.write(protect, true), 0x0B);
         ASSERT_EQ(p.command(9, 0), ready);
         EXPECT_EQ(p.block(16).data, csd.data);
     }},
};

}  // namespace

TEST(SimCardModel, UnkindSettingsOnEitherFace) {
    for (bool bytewise : {false, true}) {
        for (const Scenario& s : scenarios) {
            SCOPED_TRACE(std::string(s.name) + (bytewise ? " (byte face)" : " (port face)"));
            TestImage image(16);
            Pins pins(image.path(), s.settings, bytewise);
            s.run(pins, image);
        }
    }
}

// timing=real draws its delays from a fixed seed: two runs wait alike, and
// not every read waits the same.
TEST(SimCardModel, RealTimingIsTheSameInEveryRun) {
    std::vector<int> runs[2];
    for (auto& waits : runs) {
        TestImage image(16);
        Pins pins(image.path(), ",timing=real");
        ASSERT_TRUE(pins.bring_up());
        for (std::uint32_t sector = 0; sector < 12; ++sector) {
            ASSERT_EQ(pins.command(17, sector * 512), ready);
            waits.push_back(pins.block(512).waited);
        }
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_NE(*std::min_element(runs[0].begin(), runs[0].end()), *std::max_element(runs[0].begin(), runs[0].end()));
}

// A standard-capacity card over 1 GiB has 1024-byte blocks to reach its
// size, for writing as well as reading.
TEST(SimCardModel, LargeStandardCapacityCardsHaveMatchingBlockLengths) {
    const CardRegister csd = default_csd(CardKind::sd2, 3 * 1024 * 1024);  // 1.5 GiB
    EXPECT_EQ(csd[5] & 0x0F, 10);                           // READ_BL_LEN
    EXPECT_EQ((csd[12] & 3) << 2 | csd[13] >> 6, 10);       // WRITE_BL_LEN
}

// The card's clock limits on the byte face, which is told the clock each
// transfer runs at: 400 kHz until ready, the CSD's TRAN_SPEED after (MMC
// 20 MHz, SD 25 MHz), 50 MHz only once CMD6 in switch mode chose high
// speed. Past them both lines lag a bit: commands go unanswered, blocks
// come wrong.
TEST(SimCardModel, ClockedPastItsRateTheCardMisreads) {
    enum class Then { nothing, ready, high_speed, speed_checked };
    const struct {
        const char* settings;
        Then then;
        std::uint64_t hz;
        bool works;
    } cases[] = {
        {",card=mmc", Then::nothing, 400'000, true},   {",card=mmc", Then::nothing, 400'001, false},
        {",card=sd2", Then::nothing, 1'000'000, false}, {",card=mmc", Then::ready, 20'000'000, true},
        {",card=mmc", Then::ready, 25'000'000, false},  {",card=sd2", Then::ready, 25'000'000, true},
        {",card=sd2", Then::ready, 30'000'000, false},  {",card=sd2", Then::high_speed, 50'000'000, true},
        {",card=sd2", Then::high_speed, 60'000'000, false}, {",card=sd2", Then::speed_checked, 30'000'000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.settings) + " at " + std::to_string(c.hz));
        TestImage image(16);
        Pins pins(image.path(), c.settings, true);
        if (c.then == Then::nothing) {
            pins.power_up();
            pins.card().clock_at(c.hz);
            EXPECT_EQ(pins.command(0, 0) == idle, c.works);
            continue;
        }
        ASSERT_TRUE(pins.bring_up(std::string(c.settings) == ",card=sd2"));
        if (c.then != Then::ready) {
            ASSERT_EQ(pins.command(6, c.then == Then::high_speed ? 0x80FFFFF1 : 0x00FFFFF1), ready);
            EXPECT_EQ(pins.block(64).data[16] & 0x0F, 1);
        }
        pins.card().clock_at(c.hz);
        EXPECT_EQ(holds(pins, 1, image.sector(1)), c.works);
    }
}
