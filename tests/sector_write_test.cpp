// Sector writes: the bytes on the wire, the card's answers, and the image
// file before and after.
#include <gtest/gtest.h>

#include <array>

#include "card/mmc_spi.h"
#include "sim/storage.h"
#include "tests/test_util.h"
#include "tests/recording_port.h"
#include "tests/test_image.h"

namespace {


std::array<std::uint8_t, 512> pattern(std::uint8_t seed) {
    std::array<std::uint8_t, 512> p{};
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(seed + i * 3);
    return p;
}

// Script of a card that is ready and answers CMD24 with r1, then data_response.
void scripted_write_card(Bytes after_r1, std::uint8_t after = 0xFF) {
    Bytes script{0x01, 0x00};
    script.insert(script.end(), after_r1.begin(), after_r1.end());
    record_scripted(script, after);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    clear_recorded();
}

SimSettings writable(const TestImage& image, bool write = true) {
    SimSettings s;
    s.image = image.path();
    s.writable = write;
    return s;
}

}  // namespace

TEST(SectorWrite, BytesOnDiForSector2) {
    scripted_write_card({0xFF, 0x00, 0xFF, 0xFF, 0xE5, 0x00, 0x00, 0xFF});
    const auto data = pattern(9);
    EXPECT_EQ(spi_write(2, data), CardResult::ok);
    // Clock-ins after the block: data response, busy, ready.
    Bytes expected = Bytes{0xFF, 0x58, 0x00, 0x00, 0x04, 0x00, 0x95, 0xFF, 0xFF, 0xFF, 0xFE} + Bytes(data.begin(), data.end()) +
                     Bytes{0x00, 0x00} + Bytes(3 + 2 + 1, 0xFF);
    EXPECT_EQ(di_bytes(), expected);
}

TEST(SectorWrite, DataResponseDecidesTheResult) {
    const std::pair<std::uint8_t, CardResult> cases[] = {
        {0xE5, CardResult::ok}, {0x05, CardResult::ok}, {0x0B, CardResult::no_data}, {0x0D, CardResult::no_data}};
    for (auto [response, result] : cases) {
        scripted_write_card({0x00, response, 0x00});
        EXPECT_EQ(spi_write(0, pattern(1)), result) << int(response);
        // A refused block is not waited on: the response is the last byte clocked in.
        if (result != CardResult::ok) {
            EXPECT_EQ(bytes_clocked_in(), 2u);
        }
    }
    scripted_write_card({0x00});
    EXPECT_EQ(spi_write(0, pattern(1)), CardResult::no_data);
    EXPECT_EQ(bytes_clocked_in(), 1u + 400u);
}

TEST(SectorWrite, RejectedCommandSendsNoToken) {
    scripted_write_card({0x01});
    EXPECT_EQ(spi_write(2, pattern(1)), CardResult::rejected);
    const Bytes di = di_bytes();
    EXPECT_EQ(Bytes(di.begin(), di.begin() + 7), (Bytes{0xFF, 0x58, 0x00, 0x00, 0x04, 0x00, 0x95}));
    EXPECT_EQ(std::count(di.begin() + 7, di.end(), 0xFE), 0);
}

TEST(SectorWrite, BusyWaitIsBoundedAndWrappingSectorsAreRefused) {
    scripted_write_card({0x00, 0x05}, 0x00);
    EXPECT_EQ(spi_write(1, pattern(1)), CardResult::still_busy);
    EXPECT_EQ(bytes_clocked_in(), 2u + static_cast<std::size_t>(write_busy_max_bytes));
    // At about a microsecond per access the bound lasts over half a second.
    EXPECT_GT(write_busy_max_bytes * 32, 500000);
    for (std::int32_t sector : {0x800000, -1}) {
        clear_recorded();
        EXPECT_EQ(spi_write(sector, pattern(1)), CardResult::out_of_range);
        EXPECT_TRUE(recorded().empty());
    }
}

TEST(SectorWrite, WriteChangesExactlyItsSectorInTheFile) {
    TestImage image(16);
    const Bytes before = file_bytes(image.path());
    record_sim(writable(image));
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    const auto data = pattern(0x42);
    ASSERT_EQ(spi_write(5, data), CardResult::ok);
    Bytes expected = before;
    std::copy(data.begin(), data.end(), expected.begin() + 5 * 512);
    EXPECT_EQ(file_bytes(image.path()), expected);
    std::array<std::uint8_t, 512> back{};
    ASSERT_EQ(spi_read(5, back), CardResult::ok);
    EXPECT_EQ(back, data);
    storage_close();
}

TEST(SectorWrite, RefusedWritesChangeNothing) {
    TestImage image(16);
    const Bytes before = file_bytes(image.path());
    record_sim(writable(image, false));
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    EXPECT_EQ(spi_write(3, pattern(1)), CardResult::no_data);  // read-only card: write error

    for (auto setting : {std::optional<std::uint8_t>{0x0B}, std::optional<std::uint8_t>{0x0D},
                         std::optional<std::uint8_t>{}}) {
        SimSettings s = writable(image);
        s.data_response = setting;
        record_sim(s);
        ASSERT_EQ(mmc_init_spi(), CardResult::ok);
        EXPECT_EQ(spi_write(3, pattern(1)), CardResult::no_data);
    }
    SimSettings bad = writable(image);
    bad.bad_sector = 3;
    record_sim(bad);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    EXPECT_EQ(spi_write(3, pattern(1)), CardResult::no_data);
    EXPECT_EQ(spi_write(16, pattern(1)), CardResult::out_of_range);  // past the end
    EXPECT_EQ(file_bytes(image.path()), before);
    storage_close();
}

TEST(SectorWrite, BusyBytesHoldDoLowThenTheDataIsInTheFile) {
    TestImage image(4);
    SimSettings s = writable(image);
    s.busy_bytes = 3;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(), CardResult::ok);
    clear_recorded();
    ASSERT_EQ(spi_write(1, pattern(7)), CardResult::ok);
    // R1 after ncr, data response, three busy bytes, then the first ready byte.
    EXPECT_EQ(bytes_clocked_in(), 2u + 1u + 3u + 1u);
    EXPECT_EQ(file_bytes(image.path())[512], pattern(7)[0]);
    storage_close();
}
