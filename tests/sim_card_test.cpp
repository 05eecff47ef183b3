// The simulated card, seen only through the port: what it answers and when.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "card/mmc_if.h"
#include "card/mmc_spi.h"
#include "sim/card_model.h"
#include "sim/demo_card.h"
#include "sim/storage.h"
#include "tests/recording_port.h"
#include "tests/test_image.h"

namespace {

std::array<std::uint8_t, 512> buf;

SimSettings card_with(std::string image = {}) {
    SimSettings s;
    s.image = std::move(image);
    return s;
}

// Powers the card, gives it `clocks` clock pulses with CS high, selects it.
void power_up(int clocks) {
    ASSERT_TRUE(mmc_hw_start());
    mmc_hw_power(1);
    for (int i = 0; i < clocks; ++i) {
        sim_card_write(0xFE);
        sim_card_write(0xFF);
    }
    mmc_hw_cs(0);
}

// Sends a command frame and returns every byte clocked in until R1 (at most 16).
std::vector<std::uint8_t> command(std::uint8_t cmd, std::uint32_t arg, std::uint8_t crc = 0x95) {
    for (std::uint8_t b : {std::uint8_t(0xFF), cmd, std::uint8_t(arg >> 24), std::uint8_t(arg >> 16),
                           std::uint8_t(arg >> 8), std::uint8_t(arg), crc})
        mmc_serial_out(b);
    std::vector<std::uint8_t> in;
    do in.push_back(mmc_serial_in());
    while (in.back() == 0xFF && in.size() < 16);
    return in;
}

std::uint8_t r1(std::uint8_t cmd, std::uint32_t arg, std::uint8_t crc = 0x95) { return command(cmd, arg, crc).back(); }

}  // namespace

TEST(SimCard, AnswersOnlyAfter74ClocksWithCsHigh) {
    record_sim(card_with());
    power_up(73);
    EXPECT_EQ(r1(0x40, 0), 0xFF);
    power_up(74);
    EXPECT_EQ(r1(0x40, 0), 0x01);
}

TEST(SimCard, FirstCmd0NeedsItsCrcThenSpiModeIgnoresCrcs) {
    record_sim(card_with());
    power_up(80);
    EXPECT_EQ(r1(0x40, 0, 0x94), 0xFF);
    EXPECT_EQ(r1(0x41, 0), 0xFF);
    EXPECT_EQ(r1(0x40, 0), 0x01);
    EXPECT_EQ(r1(0x41, 0, 0x00), 0x01);
}

TEST(SimCard, Cmd1CountsDownIdleAnswersAndCmd0StartsOver) {
    SimSettings s = card_with();
    s.idle_answers = 2;
    record_sim(s);
    power_up(80);
    EXPECT_EQ(r1(0x40, 0), 0x01);
    EXPECT_EQ(r1(0x41, 0), 0x01);
    EXPECT_EQ(r1(0x41, 0), 0x01);
    EXPECT_EQ(r1(0x41, 0), 0x00);
    EXPECT_EQ(r1(0x41, 0), 0x00);
    EXPECT_EQ(r1(0x40, 0), 0x01);
    EXPECT_EQ(r1(0x41, 0), 0x01);
}

TEST(SimCard, ResponseDelayIsSettable) {
    for (int ncr : {1, 5, 8}) {
        SimSettings s = card_with();
        s.ncr = ncr;
        record_sim(s);
        power_up(80);
        EXPECT_EQ(command(0x40, 0).size(), static_cast<std::size_t>(ncr));
    }
}

TEST(SimCard, IllegalCommandsAndAddressErrors) {
    TestImage image(8);
    record_sim(card_with(image.path()));
    power_up(80);
    EXPECT_EQ(r1(0x40, 0), 0x01);
    EXPECT_EQ(r1(0x51, 0), 0x05);  // a read while idle
    EXPECT_EQ(r1(0x49, 0), 0x05);  // CMD9 is not supported
    for (int tries = 0; r1(0x41, 0) != 0x00; ++tries) ASSERT_LT(tries, 100) << "CMD1 never answered ready";
    EXPECT_EQ(r1(0x49, 0), 0x04);
    EXPECT_EQ(r1(0x51, 8 * 512), 0x20);  // past the end
    EXPECT_EQ(r1(0x51, 100), 0x20);      // not on a sector boundary
    EXPECT_EQ(spi_read(8, buf), CardResult::rejected);
    EXPECT_EQ(spi_read(7, buf), CardResult::ok);
    EXPECT_EQ(std::memcmp(buf.data(), image.sector(7), 512), 0);
}

TEST(SimCard, ReadSendsAccessBytesTokenDataAndCrc16) {
    TestImage image(4);
    SimSettings s = card_with(image.path());
    s.access_bytes = 3;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    ASSERT_EQ(r1(0x51, 2 * 512), 0x00);
    std::vector<std::uint8_t> in;
    for (int i = 0; i < 3 + 1 + 512 + 2; ++i) in.push_back(mmc_serial_in());
    EXPECT_EQ(in[0], 0xFF);
    EXPECT_EQ(in[2], 0xFF);
    EXPECT_EQ(in[3], 0xFE);
    EXPECT_EQ(std::memcmp(&in[4], image.sector(2), 512), 0);
    // CRC16-CCITT over the data; a data block followed by its CRC leaves remainder 0.
    std::uint16_t crc = 0;
    for (std::size_t i = 4; i < in.size(); ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (in[i] << 8));
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    EXPECT_EQ(crc, 0);
}

TEST(SimCard, AccessTimeAgainstTheDriversWait) {
    for (auto [access, expected] : {std::pair{399, CardResult::ok}, std::pair{400, CardResult::no_data}}) {
        SimSettings s = card_with();
        s.access_bytes = access;
        s.ncr = 1;
        record_sim(s);
        ASSERT_EQ(mmc_init_spi(), CardResult::ok);
        EXPECT_EQ(spi_read(0, buf), expected) << access;
    }
}

TEST(SimCard, DataErrorTokenInsteadOfData) {
    SimSettings s = card_with();
    s.read_token = 0x09;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    EXPECT_EQ(spi_read(0, buf), CardResult::no_data);
}

TEST(SimCard, SwitchingTheSupplyOffResetsIt) {
    record_sim(card_with());
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    mmc_disable();
    EXPECT_EQ(sim_card_read(), sim_status_idle);
    power_up(80);
    EXPECT_EQ(r1(0x51, 0), 0xFF);  // back in its native mode: no answer
    EXPECT_EQ(r1(0x40, 0), 0x01);
}

TEST(SimCard, UnpoweredOrDeselectedCardNeverDrivesDoLow) {
    record_sim(card_with());
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    mmc_serial_out(0xFF);
    mmc_serial_out(0x51);
    for (int i = 0; i < 5; ++i) mmc_serial_out(0x00);
    mmc_hw_cs(1);
    for (int i = 0; i < 600; ++i) EXPECT_EQ(mmc_serial_in(), 0xFF);
    for (std::uint8_t lines : {0x00, 0x06, 0x7D, 0xF0}) {
        sim_card_write(lines);
        EXPECT_EQ(sim_card_read() & 0x80, 0);
    }
}

TEST(SimCard, DemoCardLooksFormatted) {
    record_sim(card_with());
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    ASSERT_EQ(spi_read(0, buf), CardResult::ok);
    EXPECT_EQ(buf[510], 0x55);
    EXPECT_EQ(buf[511], 0xAA);
    EXPECT_EQ(buf[0x1C2], 0x06);
    const std::uint32_t start = buf[0x1C6] | buf[0x1C7] << 8 | buf[0x1C8] << 16 | std::uint32_t(buf[0x1C9]) << 24;
    EXPECT_EQ(start, demo_partition_start);
    ASSERT_EQ(spi_read(static_cast<std::int32_t>(start), buf), CardResult::ok);
    EXPECT_EQ(buf[0], 0xEB);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&buf[54]), 5), "FAT16");
    EXPECT_EQ(buf[510], 0x55);
    EXPECT_EQ(buf[511], 0xAA);
}

TEST(SimCard, ImagesMustBeWholeSectors) {
    TestImage odd(2, 100);
    EXPECT_NE(storage_open(card_with(odd.path())).why().find(odd.path()), std::string::npos);
    EXPECT_NE(storage_open(card_with("/nonexistent/card.img")).why().find("No such file"), std::string::npos);
    TestImage good(3);
    ASSERT_TRUE(storage_open(card_with(good.path())));
    EXPECT_EQ(storage_sectors(), 3u);
}
