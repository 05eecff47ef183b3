// The exact port accesses the line driver and the SPI protocol make.
#include <gtest/gtest.h>

#include <array>
#include <chrono>

#include "card/mmc_if.h"
#include "card/mmc_spi.h"
#include "tests/card_script.h"
#include "tests/recording_port.h"

namespace {

// Power-up: off, on, the pause, CS high, 80 clocks with CS and DI high, CS low, a gap byte.
Bytes init_prefix() {
    Bytes w{0x06, 0xFE, 0xFE};
    for (int i = 0; i < 80; ++i) w.insert(w.end(), {0xFE, 0xFF});
    return w + Bytes{0xFD} + sent({0xFF});
}

// Script that brings the card to ready: CMD0 idle, CMD1 ready.
const Bytes ready_card{0x01, 0x00};

void init_ready(const Bytes& after_init = {}, std::uint8_t after = 0xFF) {
    record_scripted(ready_card + after_init, after);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    clear_recorded();
}

std::array<std::uint8_t, 512> buf;

}  // namespace

TEST(CardLink, NoCardGivesCmd0ErrorAfterExactly400Bytes) {
    record_scripted({});
    EXPECT_EQ(mmc_init_spi(), CardResult::cmd0_failed);
    EXPECT_EQ(written(), init_prefix() + sent(frame(0, 0, 0x95)) + clocked_in(400));
    // The supply goes on, then the card gets its 200 ms before the first clock.
    EXPECT_GE(recorded()[2].when - recorded()[1].when, std::chrono::milliseconds(200));
}

TEST(CardLink, ByteInSamplesAfterTheClockRises) {
    record_scripted({0xA5});
    mmc_hw_power(1);
    clear_recorded();
    EXPECT_EQ(mmc_serial_in(), 0xA5);
    // Each bit: clock low twice, clock high, then the status read.
    std::string kinds, expected_kinds;
    for (const auto& a : recorded()) kinds += a.kind;
    Bytes expected_writes;
    for (int bit = 0; bit < 8; ++bit) {
        expected_kinds += "WWWR";
        expected_writes = expected_writes + Bytes{0xFE, 0xFE, 0xFF};
    }
    EXPECT_EQ(kinds, expected_kinds);
    EXPECT_EQ(written(), expected_writes);
}

TEST(CardLink, InitialisationByCmd1Reply) {
    record_scripted({0x01, 0x01, 0x01, 0x00});
    EXPECT_EQ(mmc_init_spi(), CardResult::ok);
    // The wake-up bytes go out with CS high and are not seen as card input;
    // each frame is followed by the clock-in of its answer.
    Bytes di = Bytes{0xFF} + frame(0, 0, 0x95) + Bytes{0xFF};
    for (int i = 0; i < 3; ++i) di = di + frame(1, 0, 0x95) + Bytes{0xFF};
    EXPECT_EQ(di_bytes(), di);
    // DI changes only with a falling clock (or when everything goes low).
    const Bytes w = written();
    for (std::size_t i = 1; i < w.size(); ++i) {
        const bool di_changed = ((w[i] ^ w[i - 1]) & 0x04) && w[i] != 0x00;
        EXPECT_TRUE(!di_changed || ((w[i - 1] & 0x01) && !(w[i] & 0x01))) << i;
    }

    const std::pair<Bytes, CardResult> failing[] = {{{0x00}, CardResult::cmd0_failed},
                                                    {{0x01, 0x01, 0x05}, CardResult::cmd1_failed}};
    for (const auto& [script, result] : failing) {
        record_scripted(script);
        EXPECT_EQ(mmc_init_spi(), result);
    }
    record_scripted({}, 0xFF, false);
    EXPECT_EQ(mmc_init_spi(), CardResult::no_link);
    EXPECT_EQ(written(), Bytes{0x06});  // before the supply goes on
}

TEST(CardLink, CardThatStaysIdleEndsInitialisationAfterTheBound) {
    record_scripted({0x01}, 0x01);
    EXPECT_EQ(mmc_init_spi(), CardResult::cmd1_failed);
    const Bytes di = di_bytes();
    std::size_t cmd1_frames = 0;
    for (std::size_t i = 0; i + 1 < di.size(); ++i) cmd1_frames += di[i] == 0xFF && di[i + 1] == 0x41;
    // At about a microsecond per access, over a second of CMD1s: each a frame
    // out (16 accesses a byte) and at least its answer in (32).
    EXPECT_GT(cmd1_frames * (7 * 16 + 32), 1000000u);
    EXPECT_LT(cmd1_frames, 20000u);
}

TEST(CardLink, ReadSendsByteAddressAndTakesTheBlock) {
    const Bytes data = counting(512, 7);
    for (auto [sector, arg] : {std::pair{1u, 0x200u}, std::pair{0x123u, 0x24600u}}) {
        init_ready(Bytes{0x00, 0xFF} + data_block(data));
        ASSERT_EQ(spi_read(sector, buf), CardResult::ok);
        EXPECT_EQ(written(), sent(frame(17, arg, 0x95)) + clocked_in(1 + 2 + 512 + 2));
        EXPECT_EQ(Bytes(buf.begin(), buf.end()), data);
    }
}

TEST(CardLink, TokenAsThe400thByteStillReads) {
    init_ready(Bytes{0x00} + Bytes(399, 0xFF) + data_block(Bytes(512, 0x5A)));
    EXPECT_EQ(spi_read(0, buf), CardResult::ok);
    EXPECT_EQ(buf[0], 0x5A);

    // 400 bytes without a token: that read and its three re-reads give up.
    init_ready(Bytes{0x00} + Bytes(400, 0xFF) + Bytes{0x00} + Bytes(400, 0xFF) + Bytes{0x00} + Bytes(400, 0xFF) +
               Bytes{0x00} + Bytes(400, 0xFF) + data_block(Bytes(512, 0x5A)));
    EXPECT_EQ(spi_read(0, buf), CardResult::no_data);
    EXPECT_EQ(bytes_clocked_in(), 4u * (1u + 400u));
}

TEST(CardLink, FailedReadsLeaveTheBufferAlone) {
    buf.fill(0xEE);
    for (const Bytes& answer : {Bytes{0x01}, Bytes{0x20}, Bytes{0x00, 0x09}}) {
        init_ready(answer, 0x00);
        EXPECT_NE(spi_read(5, buf), CardResult::ok);
        EXPECT_EQ(buf[0], 0xEE);
    }
    init_ready();
    EXPECT_EQ(spi_read(5, buf), CardResult::rejected);
    EXPECT_EQ(bytes_clocked_in(), 4u * 400u);  // the read and three re-reads
}

TEST(CardLink, SectorsWhoseAddressWouldWrapAreRefusedUntouched) {
    init_ready();
    for (std::uint32_t sector : {0x800000u, 0xFFFFFFFFu, 0xFFFFFFFEu, 0x7FFFFFFFu}) {
        EXPECT_EQ(spi_read(sector, buf), CardResult::out_of_range) << sector;
        EXPECT_TRUE(recorded().empty());
    }
}

TEST(CardLink, DisableWritesZeroAndKeepsTheShadow) {
    init_ready();
    mmc_disable();
    EXPECT_EQ(written(), Bytes{0x00});
    EXPECT_EQ(mmc_o_val_now(), 0xFD);
}
