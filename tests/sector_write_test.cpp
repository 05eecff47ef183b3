// Sector writes: the bytes on the wire, the card's answers, and the image
// file before and after.
#include <gtest/gtest.h>

#include <array>

#include "card/mmc_if.h"
#include "card/mmc_spi.h"
#include "sim/storage.h"
#include "tests/card_script.h"
#include "tests/recording_port.h"
#include "tests/test_image.h"

namespace {

std::array<std::uint8_t, 512> pattern(std::uint8_t seed) {
    std::array<std::uint8_t, 512> p{};
    const Bytes b = counting(512, seed);
    std::copy(b.begin(), b.end(), p.begin());
    return p;
}

// A card that is ready, then answers with script.
void scripted_write_card(const Bytes& script, std::uint8_t after = 0xFF) {
    record_scripted(Bytes{0x01, 0x00} + script, after);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    clear_recorded();
}

}  // namespace

TEST(SectorWrite, BytesOnDiForSector2) {
    scripted_write_card({0xFF, 0x00, 0xFF, 0xFF, 0xE5, 0x00, 0x00, 0xFF});
    const auto data = pattern(9);
    EXPECT_EQ(spi_write(2, data), CardResult::ok);
    // Clock-ins after the block: data response, busy, ready.
    EXPECT_EQ(di_bytes(), (frame(24, 0x400, 0x95) + Bytes{0xFF, 0xFF, 0xFF, 0xFE} + Bytes(data.begin(), data.end()) +
                           Bytes{0x00, 0x00} + Bytes(3 + 2 + 1, 0xFF)));
}

// R1 and the data response decide; a refused block or command is not waited on.
TEST(SectorWrite, AnswersDecideTheResult) {
    const struct {
        Bytes answers;
        CardResult result;
        std::size_t clocked_in;
    } cases[] = {
        {{0x00, 0xE5, 0x00}, CardResult::ok, 4},      {{0x00, 0x05, 0x00}, CardResult::ok, 4},
        {{0x00, 0x0B}, CardResult::no_data, 2},       {{0x00, 0x0D}, CardResult::no_data, 2},
        {{0x00}, CardResult::no_data, 1 + 400},       {{0x01}, CardResult::rejected, 1},
    };
    for (const auto& c : cases) {
        scripted_write_card(c.answers);
        EXPECT_EQ(spi_write(2, pattern(1)), c.result) << int(c.answers.back());
        EXPECT_EQ(bytes_clocked_in(), c.clocked_in) << int(c.answers.back());
        if (c.result == CardResult::rejected) {
            EXPECT_EQ(di_bytes(), (frame(24, 0x400, 0x95) + Bytes{0xFF}));
        }
    }
}

TEST(SectorWrite, BusyWaitIsBoundedAndWrappingSectorsAreRefused) {
    scripted_write_card({0x00, 0x05}, 0x00);
    EXPECT_EQ(spi_write(1, pattern(1)), CardResult::still_busy);
    EXPECT_EQ(bytes_clocked_in(), 2u + static_cast<std::size_t>(write_busy_max_bytes));
    // At about a microsecond per access the bound lasts over half a second.
    EXPECT_GT(write_busy_max_bytes * 32, 500000);
    for (std::int32_t sector : {0x800000, -1}) {
        clear_recorded();
        EXPECT_EQ(spi_write(sector, pattern(1)), CardResult::rejected);
        EXPECT_TRUE(recorded().empty());
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
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    const Bytes data = counting(512, 7);
    // The frame, NCR and R1, gap byte, start token, the block and its CRC.
    for (std::uint8_t b : frame(24, 5 * 512, 0x95) + Bytes{0xFF, 0xFF, 0xFF, 0xFE} + data + Bytes{0x00, 0x00})
        mmc_serial_out(b);
    EXPECT_EQ(mmc_serial_in(), 0x05);
    EXPECT_EQ(mmc_serial_in(), 0x00);
    EXPECT_EQ(mmc_serial_in(), 0x00);
    EXPECT_EQ(file_bytes(image.path()), expected);
    EXPECT_EQ(mmc_serial_in(), 0x00);
    EXPECT_EQ(mmc_serial_in(), 0xFF);
    std::copy(data.begin(), data.end(), expected.begin() + 5 * 512);
    EXPECT_EQ(file_bytes(image.path()), expected);

    const std::optional<std::uint8_t> responses[] = {0x0B, 0x0D, std::nullopt};
    for (const auto& response : responses) {
        s.data_response = response;
        record_sim(s);
        ASSERT_EQ(mmc_init_spi(), CardResult::ok);
        EXPECT_EQ(spi_write(3, pattern(1)), CardResult::no_data);
    }
    s.data_response = 0x05;
    s.bad_sector = 3;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    EXPECT_EQ(spi_write(3, pattern(1)), CardResult::no_data);
    EXPECT_EQ(spi_write(16, pattern(1)), CardResult::rejected);
    s.writable = false;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    EXPECT_EQ(spi_write(4, pattern(1)), CardResult::no_data);
    EXPECT_EQ(file_bytes(image.path()), expected);
    storage_close();
}
