// The card's own commands at port level: each frame, data block and busy
// wait as the card layer clocks them, against scripted answers; erase and
// the lock against the simulated card of each family.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>

#include "card/card_controls.h"
#include "card/mmc_if.h"
#include "card/card.h"
#include "card/mmc_spi.h"
#include "tests/card_script.h"
#include "tests/recording_port.h"
#include "tests/test_image.h"

namespace {

// A frame with its CRC7, as every control command carries.
Bytes cmd(std::uint8_t index, std::uint32_t arg) {
    const Bytes head{std::uint8_t(0x40 | index), std::uint8_t(arg >> 24), std::uint8_t(arg >> 16),
                     std::uint8_t(arg >> 8), std::uint8_t(arg)};
    return frame(index, arg, crc::crc7_end_byte(head));
}

// A data block as the host sends it: gap, start token, bytes, CRC16.
Bytes host_block(const Bytes& data) {
    const std::uint16_t crc = crc::crc16(data);
    return Bytes{0xFF, 0xFE} + data + Bytes{std::uint8_t(crc >> 8), std::uint8_t(crc)};
}

// A byte-addressed card brought up by CMD1, answering with then; the log cleared.
void ready(const Bytes& then, std::uint8_t after = 0xFF) {
    record_scripted(Bytes{0x01, 0x00} + then, after);
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    clear_recorded();
}

bool contains(const Bytes& hay, const Bytes& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

const Bytes scr_bytes{0x02, 0x35, 0x80, 0x01, 0, 0, 0, 0};

}  // namespace

TEST(CardControls, RegisterReadsAtPortLevel) {
    const Bytes ssr = counting(64, 7);
    const Bytes sw = counting(64, 9);
    std::uint8_t status = 0;
    ready({0xFF, 0x00, 0x21});
    ASSERT_EQ(card_read_status(recorded_card(), status), CardResult::ok);
    EXPECT_EQ(status, 0x21);
    EXPECT_EQ(written(), sent(cmd(13, 0)) + clocked_in(3));

    ScrRegister scr{};
    ready(Bytes{0x00, 0x00, 0xFF} + data_block(scr_bytes));
    ASSERT_EQ(card_read_scr(recorded_card(), scr), CardResult::ok);
    EXPECT_EQ(Bytes(scr.begin(), scr.end()), scr_bytes);
    EXPECT_EQ(written(), sent(cmd(55, 0)) + clocked_in(1) + sent(cmd(51, 0)) + clocked_in(1 + 1 + 1 + 8 + 2));

    SdStatusBlock block{};
    ready(Bytes{0x00, 0x00, 0x00} + data_block(ssr));  // ACMD13's R2: R1, then a status byte
    ASSERT_EQ(card_read_sd_status(recorded_card(), block), CardResult::ok);
    EXPECT_EQ(Bytes(block.begin(), block.end()), ssr);
    EXPECT_EQ(written(), sent(cmd(55, 0)) + clocked_in(1) + sent(cmd(13, 0)) + clocked_in(1 + 1 + 1 + 64 + 2));

    SwitchStatusBlock switched{};
    ready(Bytes{0x00} + data_block(sw));
    ASSERT_EQ(card_switch_check(recorded_card(), switched), CardResult::ok);
    EXPECT_EQ(written(), sent(cmd(6, 0x00FFFFF1)) + clocked_in(1 + 1 + 64 + 2));
}

TEST(CardControls, RefusedOrBrokenAnswers) {
    ScrRegister scr{};
    ready({0x05});  // an MMC calls CMD55 illegal: ACMD51 is never sent
    EXPECT_EQ(card_read_scr(recorded_card(), scr), CardResult::rejected);
    EXPECT_EQ(written(), sent(cmd(55, 0)) + clocked_in(1));
    ready(Bytes{0x00, 0x00} + data_block(scr_bytes, 1));
    EXPECT_EQ(card_read_scr(recorded_card(), scr), CardResult::bad_crc);
    std::uint8_t status = 0;
    ready({});
    EXPECT_EQ(card_read_status(recorded_card(), status), CardResult::rejected);
    EXPECT_EQ(written(), sent(cmd(13, 0)) + clocked_in(400));
}

TEST(CardControls, ProgramCsdSendsTheBlockAndWaitsWhileBusy) {
    const Bytes csd = counting(16, 3);
    CardRegister reg{};
    std::copy(csd.begin(), csd.end(), reg.begin());
    ready({0x00, 0xE5, 0x00, 0x00, 0xFF});
    ASSERT_EQ(card_program_csd(recorded_card(), reg), CardResult::ok);
    EXPECT_EQ(written(), sent(cmd(27, 0)) + clocked_in(1) + sent(host_block(csd)) + clocked_in(1 + 3));
    ready({0x00, 0x0D});  // write error: no busy wait
    EXPECT_EQ(card_program_csd(recorded_card(), reg), CardResult::no_data);
}

TEST(CardControls, LockCommandSetsTheBlockLengthAroundItAndReadsTheStatus) {
    LockBlock block{};
    const std::size_t length = lock_block(lock_flags::lock, "abcd", "", block);
    const Bytes data(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(length));
    const struct {
        std::uint8_t status;
    } cases[] = {{0x01}, {0x03}};
    for (const auto& c : cases) {
        std::uint8_t status = 0xFF;
        ready({0x00, 0x00, 0x05, 0x00, 0x00, 0xFF, 0x00, 0x00, c.status});
        ASSERT_EQ(card_lock_unlock(recorded_card(), data, 1000, status), CardResult::ok);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(written(), sent(cmd(16, 6)) + clocked_in(1) + sent(cmd(42, 0)) + clocked_in(1) + sent(host_block(data)) +
                                 clocked_in(1 + 3) + sent(cmd(16, 512)) + clocked_in(1) + sent(cmd(13, 0)) +
                                 clocked_in(2));
    }
    // CMD42 refused: the block length still goes back to 512.
    std::uint8_t status = 0;
    ready({0x00, 0x04, 0x00});
    EXPECT_EQ(card_lock_unlock(recorded_card(), data, 1000, status), CardResult::rejected);
    EXPECT_EQ(written(), sent(cmd(16, 6)) + clocked_in(1) + sent(cmd(42, 0)) + clocked_in(1) + sent(cmd(16, 512)) +
                             clocked_in(1));
}

TEST(CardControls, EraseBusyWaitEndsAtItsBound) {
    ready({0x00, 0x00, 0x00, 0x00, 0x00, 0xFF});
    ASSERT_EQ(card_erase(recorded_card(), 5, 9, 1000), CardResult::ok);
    EXPECT_EQ(written(), sent(cmd(32, 5 * 512)) + clocked_in(1) + sent(cmd(33, 9 * 512)) + clocked_in(1) +
                             sent(cmd(38, 0)) + clocked_in(1 + 3));
    // Busy for ever: the wait ends once the bound has passed on the link's clock.
    ready({0x00, 0x00, 0x00}, 0x00);
    EXPECT_EQ(card_erase(recorded_card(), 5, 9, 1500), CardResult::still_busy);
    const auto waited = recorded().back().when - recorded().front().when;
    EXPECT_GE(waited, std::chrono::milliseconds(1500));
    EXPECT_LT(waited, std::chrono::milliseconds(1600));
}

TEST(CardControls, EraseOnEachFamilyTakesExactlyItsUnits) {
    const struct {
        CardKind kind;
        std::uint32_t first, last;
        Bytes start, end;
        std::uint32_t erased_first, erased_last;  // what the card erased
    } cases[] = {
        {CardKind::sd2, 5, 9, cmd(32, 5 * 512), cmd(33, 9 * 512), 5, 9},
        {CardKind::sdhc, 5, 9, cmd(32, 5), cmd(33, 9), 5, 9},
        {CardKind::mmc, 1024, 2047, cmd(35, 1024 * 512), cmd(36, 2047 * 512), 1024, 2047},  // one erase group
    };
    for (const auto& c : cases) {
        TestImage image(4096);
        SimSettings s;
        s.image = image.path();
        s.kind = c.kind;
        s.writable = true;
        record_sim(s);
        ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
        ASSERT_EQ(recorded_card().identify(), CardResult::ok);
        clear_recorded();
        ASSERT_EQ(card_erase(recorded_card(), c.first, c.last, 1000), CardResult::ok);
        const Bytes di = di_bytes();
        EXPECT_TRUE(contains(di, c.start) && contains(di, c.end) && contains(di, cmd(38, 0)));
        std::array<std::uint8_t, 512> sector{};
        for (std::uint32_t n : {c.erased_first - 1, c.erased_first, c.erased_last, c.erased_last + 1}) {
            ASSERT_EQ(spi_read(recorded_card(), n, sector), CardResult::ok);
            const bool erased = n >= c.erased_first && n <= c.erased_last;
            EXPECT_EQ(std::all_of(sector.begin(), sector.end(), [](std::uint8_t b) { return b == 0; }), erased) << n;
            if (!erased) {
                EXPECT_TRUE(std::equal(sector.begin(), sector.end(), image.sector(n))) << n;
            }
        }
    }
}

TEST(CardControls, SimulatedCardLocksAtPowerUpAndRefusesWritesWhileProtected) {
    TestImage image(1024);
    SimSettings s;
    s.image = image.path();
    s.kind = CardKind::sdhc;
    s.writable = true;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    const auto send = [](std::uint8_t flags, const char* old_password, const char* new_password) {
        LockBlock block{};
        const std::size_t length = lock_block(flags, old_password, new_password, block);
        std::uint8_t status = 0xFF;
        EXPECT_EQ(card_lock_unlock(recorded_card(), std::span(block).first(length), 1000, status), CardResult::ok);
        return status;
    };
    EXPECT_EQ(send(lock_flags::set_password, "", "pw"), 0x00);
    std::array<std::uint8_t, 512> sector{};
    EXPECT_EQ(spi_read(recorded_card(), 3, sector), CardResult::ok);  // set, but not locked until power is lost

    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);  // a power cycle
    std::uint8_t status = 0;
    ASSERT_EQ(card_read_status(recorded_card(), status), CardResult::ok);
    EXPECT_EQ(status, status_bits::locked);
    EXPECT_EQ(spi_read(recorded_card(), 3, sector), CardResult::rejected);  // illegal while locked
    EXPECT_EQ(send(0, "pW", ""), status_bits::locked | status_bits::lock_failed);
    EXPECT_EQ(send(0, "pw", ""), 0x00);
    EXPECT_EQ(spi_read(recorded_card(), 3, sector), CardResult::ok);
    EXPECT_EQ(send(lock_flags::clear_password, "pw", ""), 0x00);

    CardRegister csd{};
    ASSERT_EQ(recorded_card().read_csd(csd), CardResult::ok);
    ASSERT_EQ(card_program_csd(recorded_card(), csd_with_temporary_protect(csd, true)), CardResult::ok);
    EXPECT_EQ(spi_write(recorded_card(), 3, sector), CardResult::no_data);  // the data response says write error
    ASSERT_EQ(card_read_status(recorded_card(), status), CardResult::ok);
    EXPECT_EQ(status, status_bits::wp_violation);
    ASSERT_EQ(card_read_status(recorded_card(), status), CardResult::ok);
    EXPECT_EQ(status, 0x00);  // error bits clear once read
    std::array<std::uint8_t, 512> kept{};
    ASSERT_EQ(spi_read(recorded_card(), 3, kept), CardResult::ok);
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), image.sector(3)));
    std::remove((image.path() + ".state").c_str());
}
