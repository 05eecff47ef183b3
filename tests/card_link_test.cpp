// The exact port accesses of the line driver and the SPI protocol: the
// byte-in, initialisation, single-block reads and writes with their CRC
// checks and re-reads, CMD18/CMD12 and CMD25 with its tokens.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <tuple>

#include "card/mmc_if.h"
#include "card/card.h"
#include "card/mmc_spi.h"
#include "tests/card_script.h"
#include "tests/recording_port.h"
#include "tests/test_image.h"

namespace {

// Power-up: off, on, the pause, CS high, 80 clocks with CS and DI high, CS low, a gap byte.
Bytes init_prefix() {
    Bytes w{0x06, 0xFE, 0xFE};
    for (int i = 0; i < 80; ++i) w.insert(w.end(), {0xFE, 0xFF});
    return w + Bytes{0xFD} + sent({0xFF});
}

// Answers that bring a card up: the known sequence, or the SD way with CCS set.
const Bytes byte_addressed_card{0x01, 0x00};
const Bytes sdhc_card{0x01, 0x05, 0x01, 0x01, 0x00, 0x00, 0x01, 0xAA, 0x01, 0x00,
                      0x00, 0xC0, 0xFF, 0x80, 0x00, 0x00, 0xC0, 0xFF, 0x80, 0x00};

// A card brought up, then answering with then (and after once that is used up); the log cleared.
void ready(const Bytes& then = {}, std::uint8_t after = 0xFF, const Bytes& card = byte_addressed_card) {
    record_scripted(card + then, after);
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    clear_recorded();
}

std::array<std::uint8_t, 512> one;
std::array<std::uint8_t, 1024> two;
const Bytes block0 = counting(512, 1);
const Bytes block1 = counting(512, 2);

// One single-block read of sector 3 as the browser makes it.
const Bytes read_sector_3 = sent(frame(17, 3 << 9, 0x95)) + clocked_in(1 + 1 + 512 + 2);

}  // namespace

// The first try is the known one; then every line goes low for 10 ms and the
// card is powered up again, for a second, in case a run left it stuck.
TEST(CardLink, NoCardGivesCmd0ErrorAfterExactly400BytesThenPowerCycles) {
    record_scripted({});
    EXPECT_EQ(mmc_init_spi(recorded_card()), CardResult::cmd0_failed);
    const Bytes first_try = init_prefix() + sent(frame(0, 0, 0x95)) + clocked_in(400);
    const Bytes w = written();
    ASSERT_GT(w.size(), first_try.size() * 2);
    EXPECT_EQ(Bytes(w.begin(), w.begin() + static_cast<std::ptrdiff_t>(first_try.size())), first_try);
    EXPECT_EQ(Bytes(w.begin() + static_cast<std::ptrdiff_t>(first_try.size()),
                    w.begin() + static_cast<std::ptrdiff_t>(2 * first_try.size())),
              Bytes{0x00} + Bytes(first_try.begin() + 1, first_try.end()));
    EXPECT_GE(recorded().back().when - recorded().front().when, std::chrono::seconds(1));
    // The supply goes on, then the card gets its 200 ms before the first clock.
    EXPECT_GE(recorded()[2].when - recorded()[1].when, std::chrono::milliseconds(200));
}

// Each bit: clock low (twice for the known byte-in, once for the lean one),
// clock high, then the status read.
TEST(CardLink, ByteInSamplesAfterTheClockRises) {
    for (bool lean : {false, true}) {
        record_scripted({0xA5});
        mmc_hw_power(recorded_card(), 1);
        clear_recorded();
        recording_link().set_clock(lean ? 25'000'000 : spi::init_hz);
        EXPECT_EQ(mmc_serial_in(recorded_card()), 0xA5);
        std::string kinds;
        for (const auto& a : recorded()) kinds += a.kind;
        std::string expected_kinds;
        Bytes expected_writes;
        for (int bit = 0; bit < 8; ++bit) {
            expected_kinds += lean ? "WWR" : "WWWR";
            expected_writes = expected_writes + (lean ? Bytes{0xFE, 0xFF} : Bytes{0xFE, 0xFE, 0xFF});
        }
        EXPECT_EQ(kinds, expected_kinds);
        EXPECT_EQ(written(), expected_writes);
    }
}

TEST(CardLink, InitialisationByCmd1Reply) {
    record_scripted({0x01, 0x01, 0x01, 0x00});
    EXPECT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
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
        EXPECT_EQ(mmc_init_spi(recorded_card()), result);
    }
    record_scripted({}, 0xFF, false);
    EXPECT_EQ(mmc_init_spi(recorded_card()), CardResult::no_link);
    EXPECT_EQ(written(), Bytes{0x06});  // before the supply goes on
}

TEST(CardLink, CardThatStaysIdleEndsInitialisationAfterTheBound) {
    record_scripted({0x01}, 0x01);
    EXPECT_EQ(mmc_init_spi(recorded_card()), CardResult::cmd1_failed);
    const Bytes di = di_bytes();
    std::size_t cmd1_frames = 0;
    for (std::size_t i = 0; i + 1 < di.size(); ++i) cmd1_frames += di[i] == 0xFF && di[i + 1] == 0x41;
    // At about a microsecond per access, over a second of CMD1s: each a frame
    // out (16 accesses a byte) and at least its answer in (32).
    EXPECT_GT(cmd1_frames * (7 * 16 + 32), 1000000u);
    EXPECT_LT(cmd1_frames, 20000u);
}

TEST(CardLink, ReadSendsByteAddressAndTakesTheBlock) {
    for (auto [sector, arg] : {std::pair{1u, 0x200u}, std::pair{0x123u, 0x24600u}}) {
        ready(Bytes{0x00, 0xFF} + data_block(block0));
        ASSERT_EQ(spi_read(recorded_card(), sector, one), CardResult::ok);
        EXPECT_EQ(written(), sent(frame(17, arg, 0x95)) + clocked_in(1 + 2 + 512 + 2));
        EXPECT_EQ(Bytes(one.begin(), one.end()), block0);
    }
}

TEST(CardLink, TokenAsThe400thByteStillReads) {
    ready(Bytes{0x00} + Bytes(399, 0xFF) + data_block(Bytes(512, 0x5A)));
    EXPECT_EQ(spi_read(recorded_card(), 0, one), CardResult::ok);
    EXPECT_EQ(one[0], 0x5A);

    // 400 bytes without a token: that read and its three re-reads give up.
    const Bytes no_token = Bytes{0x00} + Bytes(400, 0xFF);
    ready(no_token + no_token + no_token + no_token + data_block(Bytes(512, 0x5A)));
    EXPECT_EQ(spi_read(recorded_card(), 0, one), CardResult::no_data);
    EXPECT_EQ(bytes_clocked_in(), 4u * (1u + 400u));
}

TEST(CardLink, FailedReadsLeaveTheBufferAlone) {
    one.fill(0xEE);
    for (const Bytes& answer : {Bytes{0x01}, Bytes{0x20}, Bytes{0x00, 0x09}}) {
        ready(answer, 0x00);
        EXPECT_NE(spi_read(recorded_card(), 5, one), CardResult::ok);
        EXPECT_EQ(one[0], 0xEE);
    }
    ready();
    EXPECT_EQ(spi_read(recorded_card(), 5, one), CardResult::rejected);
    EXPECT_EQ(bytes_clocked_in(), 4u * 400u);  // the read and three re-reads
}

TEST(CardLink, DisableWritesZeroAndKeepsTheShadow) {
    ready();
    mmc_disable(recorded_card());
    EXPECT_EQ(written(), Bytes{0x00});
    EXPECT_EQ(recording_link().mmc_o_val(), 0xFD);
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
    // A block that came wrong once is taken only when two reads of it agree.
    const Bytes good = Bytes{0x00} + data_block(block0);
    for (const Case& c : cases) {
        ready(c.bad + good + good);
        EXPECT_EQ(spi_read(recorded_card(), 3, one), CardResult::ok) << c.name;
        EXPECT_EQ(Bytes(one.begin(), one.end()), block0) << c.name;
        EXPECT_EQ(recorded_card().rereads(), c.bad.empty() ? 0u : 1u) << c.name;
        const Bytes bad_attempt = c.bad.empty() ? Bytes{} : sent(frame(17, 3 << 9, 0x95)) + clocked_in(c.bad_bytes);
        EXPECT_EQ(written(), bad_attempt + read_sector_3 + (c.bad.empty() ? Bytes{} : read_sector_3)) << c.name;
    }
    ready(Bytes{0x04} + good + Bytes{0x00} + data_block(block1) + good + good);
    EXPECT_EQ(spi_read(recorded_card(), 3, one), CardResult::ok);
    EXPECT_EQ(Bytes(one.begin(), one.end()), block0);
    const Bytes always_bad = Bytes{0x00} + data_block(block0, 1);
    ready(always_bad + always_bad + always_bad + always_bad + Bytes{0x00} + data_block(block0));
    EXPECT_EQ(spi_read(recorded_card(), 3, one), CardResult::bad_crc);
    EXPECT_EQ(recorded_card().rereads(), 3u);
}

// CMD18, blocks through the lean byte-in, CMD12; a bad block starts a new run at it.
// A block that fails in a run is read alone and confirmed by a second read.
TEST(BlockTransfer, MultiBlockReadReadsTheBadBlockAloneTwice) {
    const Bytes stop{0x3C, 0x00, 0xFF};
    const Bytes alone = Bytes{0x00} + data_block(block1);
    ready(Bytes{0x00} + data_block(block0) + data_block(block1, 0x8000) + stop + alone + alone, 0xFF, sdhc_card);
    std::uint32_t done = 0;
    EXPECT_EQ(recorded_card().read_blocks(0x800000, two, done), CardResult::ok);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(recorded_card().rereads(), 1u);
    EXPECT_EQ(Bytes(two.begin(), two.end()), block0 + block1);
    const Bytes cmd12 = sent(frame(12, 0, 0x61)) + lean_in(3);
    const Bytes read_alone = sent(frame7(17, 0x800001)) + clocked_in(1 + 515);
    EXPECT_EQ(written(), sent(frame(18, 0x800000, 0x6B)) + clocked_in(1) + lean_in(515 * 2) + cmd12 + read_alone + read_alone);
}

TEST(BlockTransfer, MultiBlockWriteIsCmd25TokensAndStopToken) {
    // R1; per block: data response, busy, ready; after the stop token: one byte, busy, ready.
    ready({0x00, 0xE5, 0x00, 0xFF, 0x05, 0x00, 0xFF, 0xFF, 0x00, 0xFF}, 0xFF, sdhc_card);
    const Bytes data = block0 + block1;
    std::copy(data.begin(), data.end(), two.begin());
    std::uint32_t done = 0;
    EXPECT_EQ(recorded_card().write_blocks(0x800000, two, done), CardResult::ok);
    EXPECT_EQ(done, 2u);
    const auto block_out = [](const Bytes& b) {
        const std::uint16_t crc = crc::crc16(b);
        return sent(Bytes{0xFF, 0xFC} + b + Bytes{std::uint8_t(crc >> 8), std::uint8_t(crc)}) + lean_in(3);
    };
    EXPECT_EQ(written(), sent(frame(25, 0x800000, 0x89)) + clocked_in(1) + block_out(block0) + block_out(block1) +
                             sent({0xFD}) + lean_in(3));
}

// A refused block ends the run with the stop token (never CMD12), and is
// written again on its own.
TEST(BlockTransfer, RefusedBlockEndsTheRunWithTheStopTokenAndIsWrittenAlone) {
    ready({0x00, 0x05, 0x00, 0xFF, 0x0D, 0xFF, 0x00, 0xFF, 0x00, 0x05, 0x00, 0xFF}, 0xFF, sdhc_card);
    const Bytes data = block0 + block1;
    std::copy(data.begin(), data.end(), two.begin());
    std::uint32_t done = 0;
    EXPECT_EQ(recorded_card().write_blocks(0x800000, two, done), CardResult::ok);
    EXPECT_EQ(done, 2u);
    const Bytes di = di_bytes();
    const Bytes block1_out = Bytes{0xFF, 0xFC} + block1;
    const auto block1_at = std::search(di.begin(), di.end(), block1_out.begin(), block1_out.end());
    ASSERT_NE(block1_at, di.end());
    const Bytes after(block1_at + static_cast<std::ptrdiff_t>(block1_out.size() + 2), di.end());
    // Data response, stop token, its byte and busy, then CMD24 for block 1 alone.
    EXPECT_EQ(Bytes(after.begin(), after.begin() + 2), (Bytes{0xFF, 0xFD}));
    const Bytes cmd24 = frame7(24, 0x800001);
    EXPECT_NE(std::search(after.begin(), after.end(), cmd24.begin(), cmd24.end()), after.end());
    EXPECT_EQ(std::search(di.begin(), di.end(), frame(12, 0, 0x61).begin(), frame(12, 0, 0x61).end()), di.end());
}

// A card that programs each block for 300 ms is waited for inside the run:
// one CMD25 for both blocks, none written again alone.
TEST(BlockTransfer, SlowCardIsWaitedForWithinTheRun) {
    TestImage image(16);
    SimSettings s;
    s.image = image.path();
    s.writable = true;
    s.write_time_us = 300000;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    const Bytes data = block0 + block1;
    std::copy(data.begin(), data.end(), two.begin());
    std::uint32_t done = 0;
    EXPECT_EQ(recorded_card().write_blocks(0, two, done), CardResult::ok);
    EXPECT_EQ(done, 2u);
    const Bytes di = di_bytes();
    const auto count = [&di](const Bytes& f) {
        int n = 0;
        for (auto at = di.begin(); (at = std::search(at, di.end(), f.begin(), f.end())) != di.end(); ++at) ++n;
        return n;
    };
    EXPECT_EQ(count(frame7(25, 0)), 1);
    EXPECT_EQ(count(frame(24, 0, 0x95)) + count(frame(24, 512, 0x95)), 0);
    const Bytes card = file_bytes(image.path());
    EXPECT_EQ(Bytes(card.begin(), card.begin() + 1024), data);
}

// Sectors past what the card can address are refused untouched: reads and writes, single and multi-block.
TEST(BlockTransfer, EachCardTakesTheSectorsItCanAddress) {
    const std::tuple<const Bytes&, std::uint32_t, bool> cases[] = {
        {byte_addressed_card, 0x7FFFFE, true}, {byte_addressed_card, 0x7FFFFF, false},
        {sdhc_card, 0xFFFFFFFD, true},         {sdhc_card, 0xFFFFFFFE, false},
    };
    for (const auto& [card, first, taken] : cases) {
        ready({}, 0xFF, card);
        std::uint32_t done = 7;
        const bool read = recorded_card().read_blocks(first, two, done) != CardResult::out_of_range || !recorded().empty();
        const bool written = recorded_card().write_blocks(first, two, done) != CardResult::out_of_range || !recorded().empty();
        EXPECT_EQ(read, taken) << std::hex << first;
        EXPECT_EQ(written, taken) << std::hex << first;
        EXPECT_EQ(done, 0u);
    }
    ready();
    for (std::uint32_t sector : {0x800000u, 0xFFFFFFFFu, 0xFFFFFFFEu, 0x7FFFFFFFu}) {
        EXPECT_EQ(spi_read(recorded_card(), sector, one), CardResult::out_of_range) << sector;
        EXPECT_EQ(spi_write(recorded_card(), sector, one), CardResult::out_of_range) << sector;
        EXPECT_TRUE(recorded().empty());
    }
    ready(Bytes{0x00} + data_block(block0), 0xFF, sdhc_card);
    EXPECT_EQ(spi_read(recorded_card(), 0xFFFFFFFE, one), CardResult::ok);
    const Bytes di = di_bytes();
    EXPECT_EQ(Bytes(di.begin(), di.begin() + 7), frame(17, 0xFFFFFFFE, 0x6D));
    EXPECT_EQ(spi_read(recorded_card(), no_sector, one), CardResult::out_of_range);
}

TEST(SectorWrite, BytesOnDiForSector2) {
    ready({0xFF, 0x00, 0xFF, 0xFF, 0xE5, 0x00, 0x00, 0xFF});
    std::copy(block0.begin(), block0.end(), one.begin());
    EXPECT_EQ(spi_write(recorded_card(), 2, one), CardResult::ok);
    // Clock-ins after the block: data response, busy, ready.
    EXPECT_EQ(di_bytes(),
              (frame(24, 0x400, 0x95) + Bytes{0xFF, 0xFF, 0xFF, 0xFE} + block0 + Bytes{0x00, 0x00} + Bytes(3 + 2 + 1, 0xFF)));
}

// R1 and the data response decide; a refused block or command is not
// waited on, a busy card only up to the bound.
TEST(SectorWrite, AnswersDecideTheResult) {
    const struct {
        Bytes answers;
        CardResult result;
        std::size_t clocked_in;
        std::uint8_t after = 0xFF;
    } cases[] = {
        {{0x00, 0xE5, 0x00}, CardResult::ok, 4},      {{0x00, 0x05, 0x00}, CardResult::ok, 4},
        {{0x00, 0x0B}, CardResult::no_data, 2},       {{0x00, 0x0D}, CardResult::no_data, 2},
        {{0x00}, CardResult::no_data, 1 + 400},       {{0x01}, CardResult::rejected, 1},
        {{0x00, 0x05}, CardResult::still_busy, 0, 0x00},
    };
    for (const auto& c : cases) {
        ready(c.answers, c.after);
        EXPECT_EQ(spi_write(recorded_card(), 2, one), c.result) << int(c.answers.back());
        if (c.clocked_in != 0) EXPECT_EQ(bytes_clocked_in(), c.clocked_in) << int(c.answers.back());
        // A busy card is given three seconds of the link's clock, however many bytes that takes.
        else EXPECT_GE(recorded().back().when - recorded().front().when, std::chrono::seconds(3));
        if (c.result == CardResult::rejected) {
            EXPECT_EQ(di_bytes(), (frame(24, 0x400, 0x95) + Bytes{0xFF}));
        }
    }
}

// The simulated card: busy as long as set, and only then is the sector in
// the file; a read-only card, a refused block, a bad sector or one past the
// end change nothing.
TEST(SectorWrite, SimulatedCardWritesOnlyWhatItAccepts) {
    TestImage image(16);
    Bytes expected = file_bytes(image.path());
    SimSettings s;
    s.image = image.path();
    s.writable = true;
    s.busy_bytes = 3;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    const Bytes data = counting(512, 7);
    // The frame, NCR and R1, gap byte, start token, the block and its CRC.
    for (std::uint8_t b : frame(24, 5 * 512, 0x95) + Bytes{0xFF, 0xFF, 0xFF, 0xFE} + data + Bytes{0x00, 0x00})
        mmc_serial_out(recorded_card(), b);
    EXPECT_EQ(mmc_serial_in(recorded_card()), 0x05);
    EXPECT_EQ(mmc_serial_in(recorded_card()), 0x00);
    EXPECT_EQ(mmc_serial_in(recorded_card()), 0x00);
    EXPECT_EQ(file_bytes(image.path()), expected);
    EXPECT_EQ(mmc_serial_in(recorded_card()), 0x00);
    EXPECT_EQ(mmc_serial_in(recorded_card()), 0xFF);
    std::copy(data.begin(), data.end(), expected.begin() + 5 * 512);
    EXPECT_EQ(file_bytes(image.path()), expected);

    const std::optional<std::uint8_t> responses[] = {0x0B, 0x0D, std::nullopt};
    for (const auto& response : responses) {
        s.data_response = response;
        record_sim(s);
        ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
        EXPECT_EQ(spi_write(recorded_card(), 3, one), CardResult::no_data);
    }
    s.data_response = 0x05;
    s.bad_sector = 3;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    EXPECT_EQ(spi_write(recorded_card(), 3, one), CardResult::no_data);
    EXPECT_EQ(spi_write(recorded_card(), 16, one), CardResult::out_of_range);  // past the end
    s.writable = false;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    EXPECT_EQ(spi_write(recorded_card(), 4, one), CardResult::no_data);
    EXPECT_EQ(file_bytes(image.path()), expected);
}
