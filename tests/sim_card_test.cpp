// The simulated card, seen only through the port: what it answers and when.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "card/mmc_if.h"
#include "card/mmc_spi.h"
#include "sim/card_model.h"
#include "sim/crc.h"
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

std::vector<std::uint8_t> bytes_in(std::size_t count) {
    std::vector<std::uint8_t> in(count);
    for (auto& b : in) b = mmc_serial_in();
    return in;
}

std::uint32_t word_in() {
    std::uint32_t word = 0;
    for (std::uint8_t b : bytes_in(4)) word = word << 8 | b;
    return word;
}

// CRC16-CCITT of a block followed by its CRC leaves remainder 0.
bool crc16_holds(const std::vector<std::uint8_t>& block_and_crc) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : block_and_crc) {
        crc = static_cast<std::uint16_t>(crc ^ (b << 8));
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc == 0;
}

// The token after at most 16 bytes of 0xFF, then (after a start token) the
// data; crc_ok tells whether its CRC16 held.
struct DataBlock {
    std::uint8_t token = 0xFF;
    std::vector<std::uint8_t> data;
    bool crc_ok = false;
};

DataBlock data_block(std::size_t size) {
    DataBlock block;
    for (int i = 0; i < 16 && block.token == 0xFF; ++i) block.token = mmc_serial_in();
    if (block.token != 0xFE) return block;
    block.data = bytes_in(size + 2);
    block.crc_ok = crc16_holds(block.data);
    block.data.resize(size);
    return block;
}

// Sends a block for writing and returns the data response and how many busy bytes followed.
std::pair<std::uint8_t, int> send_block(std::uint8_t token, const std::uint8_t* data) {
    mmc_serial_out(0xFF);
    mmc_serial_out(token);
    for (int i = 0; i < 512; ++i) mmc_serial_out(data[i]);
    mmc_serial_out(0x00);
    mmc_serial_out(0x00);
    std::uint8_t response = 0xFF;
    for (int i = 0; i < 16 && response == 0xFF; ++i) response = mmc_serial_in();
    int busy = 0;
    while (mmc_serial_in() == 0x00 && busy < 100) ++busy;
    return {response, busy};
}

constexpr std::uint8_t cmd8_crc = 0x87;         // CMD8 with argument 0x1AA
constexpr std::uint32_t hcs = 0x40000000;

// Brings a card up the way its family needs; false when it stays idle.
bool bring_up(CardKind kind) {
    power_up(80);
    if (r1(0x40, 0) != 0x01) return false;
    if (kind != CardKind::mmc && kind != CardKind::sd1 && r1(0x48, 0x1AA, cmd8_crc) != 0x01) return false;
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (kind == CardKind::mmc ? r1(0x41, 0) == 0x00 : (r1(0x77, 0), r1(0x69, hcs) == 0x00)) return true;
    }
    return false;
}

SimSettings card_of(CardKind kind, std::string image = {}) {
    SimSettings s = card_with(std::move(image));
    s.kind = kind;
    return s;
}

// A sparse image file of any size; removed with the object.
struct SparseImage {
    std::string path = (std::filesystem::temp_directory_path() / ("vantacle-sparse-" + std::to_string(::getpid()))).string();
    explicit SparseImage(std::uint64_t bytes) {
        std::ofstream{path};
        std::filesystem::resize_file(path, bytes);
    }
    ~SparseImage() { std::remove(path.c_str()); }
};

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
    EXPECT_EQ(r1(0x49, 0), 0x05);  // CMD9 only once ready
    EXPECT_TRUE(bring_up(CardKind::mmc));
    EXPECT_EQ(r1(0x48, 0x1AA, cmd8_crc), 0x04);  // no MMC knows CMD8
    EXPECT_EQ(r1(0x51, 8 * 512), 0x20);  // past the end
    EXPECT_EQ(r1(0x51, 100), 0x20);      // not on a sector boundary
    EXPECT_EQ(spi_read(8, buf), CardResult::out_of_range);
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
    const std::vector<std::uint8_t> in = bytes_in(3 + 1 + 512 + 2);
    EXPECT_EQ(in[0], 0xFF);
    EXPECT_EQ(in[2], 0xFF);
    EXPECT_EQ(in[3], 0xFE);
    EXPECT_EQ(std::memcmp(&in[4], image.sector(2), 512), 0);
    EXPECT_TRUE(crc16_holds({in.begin() + 4, in.end()}));
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

TEST(SimCard, OnlyRegularFilesAndBlockDevicesServeAsImages) {
    TestImage odd(2, 100);
    const std::string fifo = odd.path() + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        std::string says;
    } cases[] = {
        {odd.path(), "must be a non-empty multiple of 512 bytes, it has 1124"},
        {"/nonexistent/card.img", "No such file"},
        {std::filesystem::temp_directory_path().string(), "is a directory"},
        {fifo, "is a FIFO"},
        {"/dev/null", "is a character device"},
    };
    for (const auto& c : cases) {
        for (bool writable : {false, true}) {
            SimSettings s = card_with(c.path);
            s.writable = writable;
            alarm(10);  // a wait on the FIFO ends the test program instead of hanging it
            const Outcome opened = storage_open(s);
            alarm(0);
            EXPECT_NE(opened.why().find(c.says), std::string::npos) << c.path << ": " << opened.why();
        }
    }
    TestImage good(3);
    ASSERT_TRUE(storage_open(card_with(good.path())));
    EXPECT_EQ(storage_sectors(), 3u);
    alarm(10);  // telling a trace from the image never opens the trace, which may be a FIFO
    EXPECT_FALSE(storage_is_file(fifo));
    alarm(0);
    EXPECT_TRUE(storage_is_file(good.path()));
    std::remove(fifo.c_str());
}

// Each family comes up only its own way; commands are answered with the
// illegal-command bit where the family does not know them. Frames carry
// their real CRC7 unless a step gives one; R3 and R7 bring a word after R1.
TEST(SimCardKinds, InitialisationAnswers) {
    struct Step {
        std::uint8_t cmd;
        std::uint32_t arg;
        std::uint8_t r1;
        std::int64_t word = -1;
        int crc = -1;
    };
    const Step cmd1{0x41, 0, 0x01}, cmd1_ready{0x41, 0, 0x00}, cmd8{0x48, 0x1AA, 0x01, 0x1AA},
        cmd8_illegal{0x48, 0x1AA, 0x05}, cmd55{0x77, 0, 0x01}, acmd41{0x69, 0, 0x01}, acmd41_hcs{0x69, hcs, 0x01},
        acmd41_ready{0x69, hcs, 0x00}, ocr_idle{0x7A, 0, 0x01, 0x00FF8000}, ocr_byte{0x7A, 0, 0x00, 0x80FF8000},
        ocr_block{0x7A, 0, 0x00, 0xC0FF8000};
    const struct {
        CardKind kind;
        std::vector<Step> steps;
    } cases[] = {
        {CardKind::mmc, {cmd8_illegal, {0x77, 0, 0x05}, {0x69, hcs, 0x05}, ocr_idle, cmd1, cmd1_ready, ocr_byte}},
        {CardKind::sd1, {cmd8_illegal, cmd55, acmd41, cmd55, {0x69, 0, 0x00}, ocr_byte}},
        {CardKind::sd1, {cmd1, cmd1_ready}},
        {CardKind::sd2, {cmd55, acmd41, cmd55, {0x69, 0, 0x00}, ocr_byte}},
        {CardKind::sd2, {{0x48, 0x1AA, 0x09, -1, 0x95}, {0x48, 0x2C3, 0x01, 0x0C3}, cmd55, acmd41_hcs, cmd55, acmd41_ready}},
        {CardKind::sdhc, {cmd1, cmd1, cmd1, cmd8, cmd1, cmd1}},
        {CardKind::sdhc, {cmd55, acmd41_hcs, cmd55, acmd41_hcs, cmd55, acmd41_hcs}},
        {CardKind::sdhc, {cmd8, cmd55, acmd41, cmd55, acmd41, cmd55, acmd41, ocr_idle}},
        {CardKind::sdhc, {cmd8, {0x51, 0, 0x05}, {0x49, 0, 0x05}, cmd55, acmd41_hcs, cmd55, acmd41_ready, ocr_block,
                          {0x48, 0x1AA, 0x04}}},
        {CardKind::sdxc, {{0x48, 0x15A, 0x01, 0x15A}, cmd55, acmd41_hcs, {0x40, 0, 0x01}, cmd55, acmd41_hcs, cmd55,
                          acmd41_hcs}},
    };
    for (const auto& c : cases) {
        SimSettings s = card_of(c.kind);
        s.idle_answers = 1;
        record_sim(s);
        power_up(80);
        ASSERT_EQ(r1(0x40, 0), 0x01);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            const std::array<std::uint8_t, 5> frame{step.cmd, std::uint8_t(step.arg >> 24), std::uint8_t(step.arg >> 16),
                                                    std::uint8_t(step.arg >> 8), std::uint8_t(step.arg)};
            const auto crc = std::uint8_t(step.crc < 0 ? crc7_byte(frame) : step.crc);
            EXPECT_EQ(r1(step.cmd, step.arg, crc), step.r1) << int(c.kind) << " step " << i;
            if (step.word >= 0) {
                EXPECT_EQ(word_in(), step.word) << int(c.kind) << " step " << i;
            }
        }
    }
}

std::uint64_t bits(const std::vector<std::uint8_t>& reg, int msb, int width) {
    std::uint64_t value = 0;
    for (int bit = msb; bit > msb - width; --bit) value = value << 1 | ((reg[15 - bit / 8] >> (bit % 8)) & 1);
    return value;
}

// Capacity from the CSD: version 1.0 and MMC from C_SIZE, C_SIZE_MULT and
// READ_BL_LEN, version 2.0 from C_SIZE in 512 KiB units.
std::uint64_t csd_capacity(const std::vector<std::uint8_t>& csd) {
    if (bits(csd, 127, 2) == 1) return (bits(csd, 69, 22) + 1) * 512 * 1024;
    return (bits(csd, 73, 12) + 1) << (bits(csd, 49, 3) + 2 + bits(csd, 83, 4));
}

TEST(SimCardKinds, RegistersAreCheckedBlocksThatDescribeTheImage) {
    const struct {
        CardKind kind;
        std::uint64_t image_bytes;
        std::uint64_t capacity;
        int csd_structure;
        std::string name;
    } cases[] = {
        {CardKind::mmc, 8 * 512, 8 * 512, 2, "VMMC01"},
        {CardKind::sd1, 2ull << 30, 2ull << 30, 0, "VSD01"},  // 1024-byte read blocks
        {CardKind::sd2, (1 << 20) + 2048, (1 << 20) + 2048, 0, "VSD02"},
        {CardKind::sdhc, 64 << 20, 64 << 20, 1, "VSDHC"},
        {CardKind::sdhc, (1 << 20) + 512, 1 << 20, 1, "VSDHC"},  // rounded down to 512 KiB
        {CardKind::sdxc, 64ull << 30, 64ull << 30, 1, "VSDXC"},
        {CardKind::sdxc, 3ull << 40, (2ull << 40) - (512 << 10), 1, "VSDXC"},  // sectors stop at FFFFFFFF
    };
    for (const auto& c : cases) {
        SparseImage image(c.image_bytes);
        record_sim(card_of(c.kind, image.path));
        ASSERT_TRUE(bring_up(c.kind));
        ASSERT_EQ(r1(0x49, 0), 0x00);
        const DataBlock csd = data_block(16);
        ASSERT_EQ(r1(0x4A, 0), 0x00);
        const DataBlock cid = data_block(16);
        ASSERT_TRUE(csd.crc_ok && cid.crc_ok) << int(c.kind);
        EXPECT_EQ(csd_capacity(csd.data), c.capacity) << int(c.kind);
        EXPECT_EQ(bits(csd.data, 127, 2), std::uint64_t(c.csd_structure));
        EXPECT_EQ(std::string(cid.data.begin() + 3, cid.data.begin() + 3 + c.name.size()), c.name);
        for (const auto* reg : {&csd.data, &cid.data})
            EXPECT_EQ(reg->back(), crc7_byte(std::span(*reg).first(15))) << int(c.kind);
        // The image's last sector, however far (sparse files read as zeros).
        const auto last = std::uint32_t(std::min<std::uint64_t>(c.image_bytes / 512, 0xFFFFFFFF) - 1);
        const std::uint32_t scale = c.csd_structure == 1 ? 1 : 512;
        ASSERT_EQ(r1(0x51, last * scale), 0x00);
        EXPECT_EQ(data_block(512).data, std::vector<std::uint8_t>(512, 0));
        EXPECT_EQ(r1(0x51, (last + 1) * scale), 0x20);
    }
}

// Given registers go out as they are, a wrong CRC7 (here the CID's) included.
TEST(SimCard, RegisterSettingsAreSentAsGiven) {
    SimSettings s = card_of(CardKind::sd2);
    ASSERT_TRUE(sim_parse_settings(",cid=0x0123456789ABCDEFFEDCBA9876543210,csd=400E00325B5900003B377F800A4040AF", s));
    record_sim(s);
    ASSERT_TRUE(bring_up(CardKind::sd2));
    for (auto [cmd, reg] : {std::pair{0x4A, *s.cid}, std::pair{0x49, *s.csd}}) {
        ASSERT_EQ(r1(std::uint8_t(cmd), 0), 0x00);
        const DataBlock block = data_block(16);
        EXPECT_TRUE(block.crc_ok);
        EXPECT_EQ(block.data, std::vector<std::uint8_t>(reg.begin(), reg.end()));
    }
    EXPECT_NE(s.cid->at(15), crc7_byte(std::span(*s.cid).first(15)));
}

// CMD18 on a block-addressed and a byte-addressed card.
TEST(SimCardKinds, MultiBlockReadRunsUntilStopOrTheCardsEnd) {
    TestImage image(8);
    for (auto [kind, scale] : {std::pair{CardKind::sdhc, 1u}, std::pair{CardKind::sd2, 512u}}) {
        record_sim(card_of(kind, image.path()));
        ASSERT_TRUE(bring_up(kind));
        ASSERT_EQ(r1(0x52, 2 * scale), 0x00);
        for (std::size_t sector = 2; sector < 5; ++sector) {
            const DataBlock block = data_block(512);
            ASSERT_TRUE(block.crc_ok) << sector;
            EXPECT_EQ(std::memcmp(block.data.data(), image.sector(sector), 512), 0) << sector;
        }
        // CMD12: a stuff byte (data), R1 within NCR, then busy until the card is done.
        ASSERT_EQ(command(0x4C, 0).size(), 1u);
        EXPECT_EQ(bytes_in(4), (std::vector<std::uint8_t>{0xFF, 0x00, 0x00, 0xFF}));
        ASSERT_EQ(r1(0x52, 6 * scale), 0x00);
        for (std::size_t sector = 6; sector < 8; ++sector) EXPECT_TRUE(data_block(512).crc_ok) << sector;
        EXPECT_EQ(data_block(512).token, 0x08);  // out of range
        EXPECT_EQ(bytes_in(600), std::vector<std::uint8_t>(600, 0xFF));
        (void)command(0x4C, 0);
        EXPECT_EQ(mmc_serial_in(), 0x00);
        EXPECT_EQ(r1(0x52, 8 * scale), 0x20);
        EXPECT_EQ(r1(0x52, 5 * scale + scale / 2), scale == 1 ? 0x00 : 0x20);  // off a sector boundary
    }
}

TEST(SimCard, MultiBlockWriteTakesTokensAndAnswersEachBlock) {
    TestImage image(8), blocks(3);
    SimSettings s = card_of(CardKind::sd2, image.path());
    s.writable = true;
    record_sim(s);
    ASSERT_TRUE(bring_up(CardKind::sd2));
    ASSERT_EQ(r1(0x59, 5 * 512), 0x00);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto [response, busy] = send_block(0xFC, blocks.sector(i));
        EXPECT_EQ(response, 0x05) << i;
        EXPECT_EQ(busy, 8) << i;
    }
    const auto [past_end, busy] = send_block(0xFC, blocks.sector(0));
    EXPECT_EQ(past_end, 0x0D);
    EXPECT_EQ(busy, 0);
    mmc_serial_out(0xFD);
    EXPECT_EQ(bytes_in(10), (std::vector<std::uint8_t>{0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(r1(0x51, std::uint32_t(5 + i) * 512), 0x00);
        EXPECT_EQ(std::memcmp(data_block(512).data.data(), blocks.sector(i), 512), 0) << i;
    }
}

// A counterfeit card of 4 real sectors claiming 16: sector 6 is written.
TEST(SimCard, FakeCardsWrapOrDropWhatLiesPastTheirRealSize) {
    const struct {
        const char* setting;
        int shown_at_2;  // which block sector 2 then holds: 0 the image's, 1 the written one
        int shown_at_6;  // 0 the image's, 1 the written one, 2 zeros
    } cases[] = {{",fake=4", 1, 1}, {",fake=0x4:drop", 0, 2}, {",fake=10", 0, 1}};
    for (const auto& c : cases) {
        TestImage image(16), block(1);
        SimSettings s = card_with(image.path());
        s.writable = true;
        ASSERT_TRUE(sim_parse_settings(c.setting, s));
        record_sim(s);
        ASSERT_EQ(mmc_init_spi(), CardResult::ok);
        std::array<std::uint8_t, 512> in{}, zeros{};
        std::memcpy(in.data(), block.sector(0), 512);
        ASSERT_EQ(spi_write(6, in), CardResult::ok);
        for (auto [sector, shown] : {std::pair{2, c.shown_at_2}, std::pair{6, c.shown_at_6}}) {
            ASSERT_EQ(spi_read(sector, buf), CardResult::ok);
            const std::uint8_t* expected = shown == 0 ? image.sector(std::size_t(sector)) : shown == 1 ? block.sector(0) : zeros.data();
            EXPECT_EQ(std::memcmp(buf.data(), expected, 512), 0) << c.setting << " sector " << sector;
        }
    }
}

// What a raw CMD17 of sector 0 brings in with noise at rate, DO as the host sees it.
std::vector<std::uint8_t> noisy_read(const char* rate) {
    SimSettings s = card_with();
    s.idle_answers = 0;
    EXPECT_TRUE(sim_parse_settings(std::string(",noise=") + rate, s));
    record_sim(s);
    power_up(80);
    (void)command(0x40, 0);
    (void)command(0x41, 0);
    (void)command(0x51, 0);
    return bytes_in(520);
}

TEST(SimCard, NoiseFlipsTheSameBitsInEveryRun) {
    const std::vector<std::uint8_t> clean = noisy_read("0");
    const std::vector<std::uint8_t> noisy = noisy_read("1e-3");
    EXPECT_EQ(noisy_read("0.001"), noisy);
    int flipped = 0;
    for (std::size_t i = 0; i < clean.size(); ++i) flipped += std::popcount(std::uint8_t(clean[i] ^ noisy[i]));
    EXPECT_GT(flipped, 0);
    EXPECT_LT(flipped, 20);  // about 4 expected in 4160 bits
}

TEST(SimSettingsText, HexWithOrWithoutPrefixAndTheNewSettings) {
    for (const char* good : {",bad=0x5,cmd0=0X01,token=fe", ",card=sdxc,noise=0.0001,fake=0x100:drop",
                             ",cid=0123456789abcdef0123456789ABCDEF"}) {
        SimSettings s;
        EXPECT_TRUE(sim_parse_settings(good, s)) << good;
    }
    for (const char* bad : {",card=sdhd", ",noise=2", ",noise=", ",fake=0", ",fake=10:wrap", ",csd=0x0123", ",bad=0x",
                            ":", ":,write=on"}) {
        SimSettings s;
        EXPECT_FALSE(sim_parse_settings(bad, s)) << bad;
    }
    SimSettings s;
    ASSERT_TRUE(sim_parse_settings(",bad=0x5,fake=0X100:drop,cmd0=0x00", s));
    EXPECT_TRUE(s.bad_sector == 5u && s.fake_sectors == 0x100u && s.fake_drops && s.cmd0_answer == 0x00);
}
