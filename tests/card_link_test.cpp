// The exact port accesses the line driver and the SPI protocol make.
#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "card/crc.h"
#include "card/mmc_if.h"
#include "card/mmc_spi.h"
#include "tests/recording_port.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// Writes for one byte sent with the card powered and selected.
Bytes sent(std::initializer_list<std::uint8_t> bytes) {
    Bytes w;
    for (std::uint8_t byte : bytes)
        for (int bit = 7; bit >= 0; --bit) append(w, (byte >> bit) & 1 ? Bytes{0xFC, 0xFD} : Bytes{0xF8, 0xF9});
    return w;
}

// Writes for n bytes clocked in with the card powered and selected.
Bytes clocked_in(std::size_t n) {
    Bytes w;
    for (std::size_t i = 0; i < n * 8; ++i) append(w, {0xFC, 0xFC, 0xFD});
    return w;
}

Bytes init_prefix() {
    Bytes w{0x06, 0xFE, 0xFE};
    for (int i = 0; i < 80; ++i) append(w, {0xFE, 0xFF});
    w.push_back(0xFD);
    append(w, sent({0xFF}));
    return w;
}

Bytes frame(std::uint8_t cmd, std::uint32_t arg) {
    return {0xFF, cmd, std::uint8_t(arg >> 24), std::uint8_t(arg >> 16), std::uint8_t(arg >> 8), std::uint8_t(arg), 0x95};
}

// A data block as the card sends it: token, bytes, CRC16.
Bytes data_block(const Bytes& data) {
    Bytes block{0xFE};
    append(block, data);
    const std::uint16_t crc = crc::crc16(data);
    append(block, {std::uint8_t(crc >> 8), std::uint8_t(crc)});
    return block;
}

// Script that brings the card to ready: CMD0 idle, CMD1 ready.
const Bytes ready_card{0x01, 0x00};

void init_ready() {
    record_scripted(ready_card);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
}

std::array<std::uint8_t, 512> buf;

}  // namespace

TEST(CardLink, NoCardGivesCmd0ErrorAfterExactly400Bytes) {
    record_scripted({});
    EXPECT_EQ(mmc_init_spi(), CardResult::cmd0_failed);
    Bytes expected = init_prefix();
    append(expected, sent({0xFF, 0x40, 0x00, 0x00, 0x00, 0x00, 0x95}));
    append(expected, clocked_in(400));
    EXPECT_EQ(written(), expected);
    EXPECT_EQ(bytes_clocked_in(), 400u);
}

TEST(CardLink, PowerUpPausesTwoHundredMilliseconds) {
    record_scripted({});
    (void)mmc_init_spi();
    const auto& log = recorded();
    ASSERT_GT(log.size(), 3u);
    EXPECT_GE(log[2].when - log[1].when, std::chrono::milliseconds(200));
}

TEST(CardLink, ByteInSamplesAfterTheClockRises) {
    record_scripted({0xA5});
    mmc_hw_power(1);
    clear_recorded();
    EXPECT_EQ(mmc_serial_in(), 0xA5);
    const auto& log = recorded();
    ASSERT_EQ(log.size(), 32u);
    for (std::size_t bit = 0; bit < 8; ++bit) {
        const auto* a = &log[bit * 4];
        EXPECT_EQ(a[0].kind, 'W');
        EXPECT_EQ(a[0].value, 0xFE);
        EXPECT_EQ(a[1].value, 0xFE);
        EXPECT_EQ(a[2].value, 0xFF);
        EXPECT_EQ(a[3].kind, 'R');
    }
}

TEST(CardLink, DiChangesOnlyWithTheFallingClockAndMsbFirst) {
    init_ready();
    EXPECT_EQ(spi_read(0x123, buf), CardResult::rejected);  // the script answers nothing
    const Bytes w = written();
    for (std::size_t i = 1; i < w.size(); ++i) {
        const bool di_changed = (w[i] ^ w[i - 1]) & 0x04;
        const bool clock_fell = (w[i - 1] & 0x01) && !(w[i] & 0x01);
        if (di_changed && w[i] != 0x00) {
            EXPECT_TRUE(clock_fell) << "write " << i;
        }
    }
}

TEST(CardLink, InitAnswersByCmd1Reply) {
    record_scripted({0x01, 0x01, 0x01, 0x00});
    EXPECT_EQ(mmc_init_spi(), CardResult::ok);
    Bytes expected_di(10, 0xFF);
    expected_di.push_back(0xFF);
    append(expected_di, frame(0x40, 0));
    expected_di.push_back(0xFF);  // the clock-in of CMD0's answer
    for (int i = 0; i < 3; ++i) {
        append(expected_di, frame(0x41, 0));
        expected_di.push_back(0xFF);
    }
    // The wake-up bytes go out with CS high and are not seen as card input.
    expected_di.erase(expected_di.begin(), expected_di.begin() + 10);
    EXPECT_EQ(di_bytes(), expected_di);

    record_scripted({0x00});
    EXPECT_EQ(mmc_init_spi(), CardResult::cmd0_failed);
    record_scripted({0x01, 0x01, 0x05});
    EXPECT_EQ(mmc_init_spi(), CardResult::cmd1_failed);
    record_scripted({0x01});
    EXPECT_EQ(mmc_init_spi(), CardResult::cmd1_failed);
}

TEST(CardLink, CardThatStaysIdleEndsInitialisationAfterTheBound) {
    record_scripted({0x01}, 0x01);
    EXPECT_EQ(mmc_init_spi(), CardResult::cmd1_failed);
    const Bytes di = di_bytes();
    std::size_t cmd1_frames = 0;
    for (std::size_t i = 0; i + 1 < di.size(); ++i) cmd1_frames += di[i] == 0xFF && di[i + 1] == 0x41;
    EXPECT_EQ(cmd1_frames, static_cast<std::size_t>(cmd1_max_attempts));
    // At about a microsecond per access, the bound lasts over a second.
    EXPECT_GT(recorded().size(), 1000000u);
}

TEST(CardLink, LinkNotUsableGivesHardwareErrorBeforePowerOn) {
    record_scripted({}, 0xFF, false);
    EXPECT_EQ(mmc_init_spi(), CardResult::no_link);
    EXPECT_EQ(written(), Bytes{0x06});
}

TEST(CardLink, ReadSendsByteAddressAndTakesTheBlock) {
    for (auto [sector, arg] : {std::pair{1, Bytes{0, 0, 2, 0}}, std::pair{0x123, Bytes{0, 2, 0x46, 0}}}) {
        Bytes script = ready_card;
        append(script, {0x00, 0xFF});
        Bytes data;
        for (int i = 0; i < 512; ++i) data.push_back(static_cast<std::uint8_t>(i * 7));
        append(script, data_block(data));
        record_scripted(script);
        ASSERT_EQ(mmc_init_spi(), CardResult::ok);
        clear_recorded();
        ASSERT_EQ(spi_read(sector, buf), CardResult::ok);
        Bytes expected = sent({0xFF, 0x51});
        for (auto b : arg) append(expected, sent({b}));
        append(expected, sent({0x95}));
        append(expected, clocked_in(1 + 2 + 512 + 2));
        EXPECT_EQ(written(), expected);
        for (int i = 0; i < 512; ++i) ASSERT_EQ(buf[static_cast<std::size_t>(i)], static_cast<std::uint8_t>(i * 7));
    }
}

TEST(CardLink, TokenAsThe400thByteStillReads) {
    Bytes script = ready_card;
    script.push_back(0x00);
    script.insert(script.end(), 399, 0xFF);
    append(script, data_block(Bytes(512, 0x5A)));
    record_scripted(script);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    EXPECT_EQ(spi_read(0, buf), CardResult::ok);
    EXPECT_EQ(buf[0], 0x5A);

    // One byte later is too late: that read and its three re-reads find no token.
    script.insert(script.end() - 515, 0xFF);
    script.resize(script.size() - 515);
    record_scripted(script, 0xFF);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    clear_recorded();
    EXPECT_EQ(spi_read(0, buf), CardResult::rejected);
    EXPECT_EQ(bytes_clocked_in(), 1u + 400u + 3u * 400u);
}

TEST(CardLink, FailedReadsLeaveTheBufferAlone) {
    buf.fill(0xEE);
    for (const Bytes& answer : {Bytes{0x01}, Bytes{0x20}, Bytes{0x00, 0x09}}) {
        Bytes script = ready_card;
        append(script, answer);
        record_scripted(script, 0x00);
        ASSERT_EQ(mmc_init_spi(), CardResult::ok);
        EXPECT_NE(spi_read(5, buf), CardResult::ok);
        EXPECT_EQ(buf[0], 0xEE);
    }
    record_scripted(ready_card);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    clear_recorded();
    EXPECT_EQ(spi_read(5, buf), CardResult::rejected);
    EXPECT_EQ(bytes_clocked_in(), 4u * 400u);  // the read and three re-reads
}

TEST(CardLink, SectorsWhoseAddressWouldWrapAreRefusedUntouched) {
    init_ready();
    for (std::uint32_t sector : {0x800000u, 0xFFFFFFFFu, 0xFFFFFFFEu, 0x7FFFFFFFu}) {
        clear_recorded();
        EXPECT_EQ(spi_read(sector, buf), CardResult::rejected) << sector;
        EXPECT_TRUE(recorded().empty());
    }
}

TEST(CardLink, DisableWritesZeroAndKeepsTheShadow) {
    init_ready();
    const std::uint8_t before = mmc_o_val_now();
    clear_recorded();
    mmc_disable();
    EXPECT_EQ(written(), Bytes{0x00});
    EXPECT_EQ(mmc_o_val_now(), before);
    EXPECT_EQ(before, 0xFD);
}
