// Block transfers at port level: CRC16 checks and re-reads, CMD18/CMD12,
// CMD25 with its tokens, the lean byte-in, and which sectors each card takes.
#include <gtest/gtest.h>

#include <array>
#include <tuple>

#include "card/mmc_if.h"
#include "card/mmc_spi.h"
#include "tests/card_script.h"
#include "tests/recording_port.h"

namespace {

// Answers that bring a card up: the known sequence, or the SD way with CCS set.
const Bytes byte_addressed_card{0x01, 0x00};
const Bytes sdhc_card{0x01, 0x05, 0x01, 0x01, 0x00, 0x00, 0x01, 0xAA, 0x01, 0x00, 0x00, 0xC0, 0xFF, 0x80, 0x00};

void ready(const Bytes& card, const Bytes& then, std::uint8_t after = 0xFF) {
    record_scripted(card + then, after);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    clear_recorded();
}

std::array<std::uint8_t, 512> one;
std::array<std::uint8_t, 1024> two;

const Bytes block0 = counting(512, 1);
const Bytes block1 = counting(512, 2);

// One single-block read of sector 3 as the browser makes it.
const Bytes read_sector_3 = sent(frame(17, 3 << 9, 0x95)) + clocked_in(1 + 1 + 512 + 2);

}  // namespace

TEST(BlockTransfer, LeanByteInTakesOneClockLowWritePerBit) {
    record_scripted({0xA5});
    mmc_hw_power(1);
    clear_recorded();
    EXPECT_EQ(mmc_serial_in_lean(), 0xA5);
    const auto& log = recorded();
    ASSERT_EQ(log.size(), 24u);
    for (std::size_t bit = 0; bit < 8; ++bit) {
        EXPECT_EQ(log[bit * 3].kind, 'W');
        EXPECT_EQ(log[bit * 3].value, 0xFE);
        EXPECT_EQ(log[bit * 3 + 1].value, 0xFF);
        EXPECT_EQ(log[bit * 3 + 2].kind, 'R');
    }
}

TEST(BlockTransfer, OnlyABadReadAddsAccessesAndIsReadAgain) {
    struct Case {
        const char* name;
        Bytes bad;               // the card's first answer
        std::size_t bad_bytes;   // bytes clocked in for it
    };
    const Case cases[] = {
        {"clean", {}, 0},
        {"CRC16 wrong", Bytes{0x00} + data_block(block1, 0x0100), 1 + 1 + 512 + 2},
        {"error token", {0x00, 0x09}, 2},
        {"R1 error", {0x04}, 1},
    };
    for (const Case& c : cases) {
        ready(byte_addressed_card, c.bad + Bytes{0x00} + data_block(block0));
        EXPECT_EQ(spi_read(3, one), CardResult::ok) << c.name;
        EXPECT_EQ(Bytes(one.begin(), one.end()), block0) << c.name;
        EXPECT_EQ(spi_rereads(), c.bad.empty() ? 0u : 1u) << c.name;
        const Bytes bad_attempt = c.bad.empty() ? Bytes{} : sent(frame(17, 3 << 9, 0x95)) + clocked_in(c.bad_bytes);
        EXPECT_EQ(written(), bad_attempt + read_sector_3) << c.name;
    }
    const Bytes always_bad = Bytes{0x00} + data_block(block0, 1);
    ready(byte_addressed_card, always_bad + always_bad + always_bad + always_bad + Bytes{0x00} + data_block(block0));
    EXPECT_EQ(spi_read(3, one), CardResult::bad_crc);
    EXPECT_EQ(spi_rereads(), 3u);
}

// CMD18, blocks through the lean byte-in, CMD12; a bad block starts a new run at it.
TEST(BlockTransfer, MultiBlockReadStartsAgainAtTheBadBlock) {
    const Bytes stop{0x3C, 0x00, 0xFF};
    ready(sdhc_card, Bytes{0x00} + data_block(block0) + data_block(block1, 0x8000) + stop + Bytes{0x00} +
                         data_block(block1) + stop);
    std::uint32_t done = 0;
    EXPECT_EQ(spi_read_blocks(0x800000, two, done), CardResult::ok);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(spi_rereads(), 1u);
    EXPECT_EQ(Bytes(two.begin(), two.end()), block0 + block1);
    const Bytes cmd12 = sent(frame(12, 0, 0x61)) + lean_in(3);
    EXPECT_EQ(written(), sent(frame(18, 0x800000, 0x6B)) + clocked_in(1) + lean_in(515 * 2) + cmd12 +
                             sent(frame(18, 0x800001, 0x79)) + clocked_in(1) + lean_in(515) + cmd12);
}

TEST(BlockTransfer, MultiBlockWriteIsCmd25TokensAndStopToken) {
    // R1; per block: data response, busy, ready; after the stop token: one byte, busy, ready.
    ready(sdhc_card, {0x00, 0xE5, 0x00, 0xFF, 0x05, 0x00, 0xFF, 0xFF, 0x00, 0xFF});
    const Bytes data = block0 + block1;
    std::copy(data.begin(), data.end(), two.begin());
    std::uint32_t done = 0;
    EXPECT_EQ(spi_write_blocks(0x800000, two, done), CardResult::ok);
    EXPECT_EQ(done, 2u);
    const auto block_out = [](const Bytes& b) {
        const std::uint16_t crc = crc::crc16(b);
        return sent(Bytes{0xFF, 0xFC} + b + Bytes{std::uint8_t(crc >> 8), std::uint8_t(crc)}) + lean_in(3);
    };
    EXPECT_EQ(written(), sent(frame(25, 0x800000, 0x89)) + clocked_in(1) + block_out(block0) + block_out(block1) +
                             sent({0xFD}) + lean_in(3));
}

TEST(BlockTransfer, RefusedBlockEndsAMultiBlockWriteWithCmd12) {
    ready(sdhc_card, {0x00, 0x05, 0x00, 0xFF, 0x0D, 0x3C, 0x00, 0xFF});
    std::uint32_t done = 0;
    EXPECT_EQ(spi_write_blocks(0x800000, two, done), CardResult::no_data);
    EXPECT_EQ(done, 1u);
    const Bytes di = di_bytes();
    EXPECT_EQ(Bytes(di.end() - 7 - 3, di.end() - 3), frame(12, 0, 0x61));
}

TEST(BlockTransfer, EachCardTakesTheSectorsItCanAddress) {
    const std::tuple<const Bytes&, std::uint32_t, bool> cases[] = {
        {byte_addressed_card, 0x7FFFFE, true}, {byte_addressed_card, 0x7FFFFF, false},
        {sdhc_card, 0xFFFFFFFD, true},         {sdhc_card, 0xFFFFFFFE, false},
    };
    for (const auto& [card, first, taken] : cases) {
        ready(card, {});
        std::uint32_t done = 7;
        const bool read = spi_read_blocks(first, two, done) != CardResult::out_of_range || !recorded().empty();
        const bool written = spi_write_blocks(first, two, done) != CardResult::out_of_range || !recorded().empty();
        EXPECT_EQ(read, taken) << std::hex << first;
        EXPECT_EQ(written, taken) << std::hex << first;
        EXPECT_EQ(done, 0u);
    }
    ready(sdhc_card, Bytes{0x00} + data_block(block0));
    EXPECT_EQ(spi_read(0xFFFFFFFE, one), CardResult::ok);
    const Bytes di = di_bytes();
    EXPECT_EQ(Bytes(di.begin(), di.begin() + 7), frame(17, 0xFFFFFFFE, 0x6D));
    EXPECT_EQ(spi_read(no_sector, one), CardResult::out_of_range);
}
