// The simulated card, seen only through the port: what it answers and when.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>

#include "card/mmc_if.h"
#include "card/card.h"
#include "card/mmc_spi.h"
#include "link/bitbang_link.h"
#include "sim/crc.h"
#include "sim/doubles/sim_port.h"
#include "sim/sim_card.h"
#include "sim/storage.h"
#include "tests/fixtures/recording_port.h"
#include "tests/fixtures/test_image.h"
#include "tests/fixtures/test_util.h"

namespace {

SimSettings card_of(CardKind kind = CardKind::mmc, std::string image = {}) {
    SimSettings s;
    s.image = std::move(image);
    s.kind = kind;
    return s;
}

// Powers the card for a millisecond, gives it `clocks` clock pulses with CS
// high, selects it.
void power_up(int clocks) {
    ASSERT_TRUE(mmc_hw_start(recorded_card()));
    mmc_hw_power(recorded_card(), 1);
    recorded_sim_card().pass(1'000'000);
    for (int i = 0; i < clocks; ++i) {
        recorded_sim_card().write_lines(0xFE);
        recorded_sim_card().write_lines(0xFF);
    }
    mmc_hw_cs(recorded_card(), 0);
}

// Sends a command frame and returns every byte clocked in until R1 (at most 16).
std::vector<std::uint8_t> command(std::uint8_t cmd, std::uint32_t arg, std::uint8_t crc = 0x95) {
    for (std::uint8_t b : {std::uint8_t(0xFF), cmd, std::uint8_t(arg >> 24), std::uint8_t(arg >> 16),
                           std::uint8_t(arg >> 8), std::uint8_t(arg), crc})
        mmc_serial_out(recorded_card(), b);
    std::vector<std::uint8_t> in;
    do in.push_back(mmc_serial_in(recorded_card()));
    while (in.back() == 0xFF && in.size() < 16);
    return in;
}

std::uint8_t r1(std::uint8_t cmd, std::uint32_t arg, std::uint8_t crc = 0x95) { return command(cmd, arg, crc).back(); }

std::vector<std::uint8_t> bytes_in(std::size_t count) {
    std::vector<std::uint8_t> in(count);
    for (auto& b : in) b = mmc_serial_in(recorded_card());
    return in;
}

std::uint32_t word_in() {
    std::uint32_t word = 0;
    for (std::uint8_t b : bytes_in(4)) word = word << 8 | b;
    return word;
}

// True when a block's last two bytes are the CRC16 of the rest.
bool crc16_holds(const std::vector<std::uint8_t>& block_and_crc) {
    const std::size_t n = block_and_crc.size() - 2;
    return crc16(std::span(block_and_crc).first(n)) == (block_and_crc[n] << 8 | block_and_crc[n + 1]);
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
    for (int i = 0; i < 16 && block.token == 0xFF; ++i) block.token = mmc_serial_in(recorded_card());
    if (block.token != 0xFE) return block;
    block.data = bytes_in(size + 2);
    block.crc_ok = crc16_holds(block.data);
    block.data.resize(size);
    return block;
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

}  // namespace

// Nothing before 74 clocks with CS high; the first CMD0 needs its CRC, then
// CRCs are ignored; CMD1 answers idle as often as set; R1 comes after NCR.
TEST(SimCard, PowerUpCmd0AndCmd1) {
    SimSettings s = card_of();
    s.idle_answers = 2;
    record_sim(s);
    power_up(73);
    EXPECT_EQ(r1(0x40, 0), 0xFF);
    power_up(74);
    EXPECT_EQ(r1(0x40, 0, 0x94), 0xFF);
    EXPECT_EQ(r1(0x41, 0), 0xFF);
    EXPECT_EQ(r1(0x40, 0), 0x01);
    for (std::uint8_t answer : {0x01, 0x01, 0x00, 0x00}) EXPECT_EQ(r1(0x41, 0, 0x00), answer);
    EXPECT_EQ(r1(0x40, 0), 0x01);
    EXPECT_EQ(r1(0x41, 0), 0x01);
    for (int ncr : {1, 5, 8}) {
        s.ncr = ncr;
        record_sim(s);
        power_up(80);
        EXPECT_EQ(command(0x40, 0).size(), static_cast<std::size_t>(ncr));
    }
}

TEST(SimCard, ReadSendsAccessBytesTokenDataAndCrc16) {
    TestImage image(4);
    SimSettings s = card_of(CardKind::mmc, image.path());
    s.access_bytes = 3;
    record_sim(s);
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    ASSERT_EQ(r1(0x51, 2 * 512), 0x00);
    const std::vector<std::uint8_t> in = bytes_in(3 + 1 + 512 + 2);
    EXPECT_EQ(std::vector<std::uint8_t>(in.begin(), in.begin() + 4), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(std::memcmp(&in[4], image.sector(2), 512), 0);
    EXPECT_TRUE(crc16_holds({in.begin() + 4, in.end()}));
}

// Deselected or unpowered it never drives DO low; powered again it is back
// in its native mode and answers only CMD0.
TEST(SimCard, DeselectedOrSwitchedOffItIsSilentAndStartsOver) {
    record_sim(card_of());
    ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
    for (std::uint8_t b : {0xFF, 0x51, 0x00, 0x00, 0x00, 0x00, 0x00}) mmc_serial_out(recorded_card(), b);
    mmc_hw_cs(recorded_card(), 1);
    for (int i = 0; i < 600; ++i) EXPECT_EQ(mmc_serial_in(recorded_card()), 0xFF);
    mmc_disable(recorded_card());
    EXPECT_EQ(recorded_sim_card().read_status(), sim_status_idle);
    for (std::uint8_t lines : {0x00, 0x06, 0x7D, 0xF0}) {
        recorded_sim_card().write_lines(lines);
        EXPECT_EQ(recorded_sim_card().read_status() & 0x80, 0);
    }
    power_up(80);
    EXPECT_EQ(r1(0x51, 0), 0xFF);
    EXPECT_EQ(r1(0x40, 0), 0x01);
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
            SimSettings s = card_of(CardKind::mmc, c.path);
            s.writable = writable;
            alarm(10);  // a wait on the FIFO ends the test program instead of hanging it
            Storage storage;
            const Outcome opened = storage.open(s);
            alarm(0);
            EXPECT_NE(opened.why().find(c.says), std::string::npos) << c.path << ": " << opened.why();
        }
    }
    TestImage good(3);
    Storage storage;
    ASSERT_TRUE(storage.open(card_of(CardKind::mmc, good.path())));
    EXPECT_EQ(storage.sectors(), 3u);
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

// CMD18 on a block-addressed and a byte-addressed card; addresses past the
// end or off a sector boundary.
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
        EXPECT_EQ(mmc_serial_in(recorded_card()), 0x00);
        EXPECT_EQ(r1(0x52, 8 * scale), 0x20);
        EXPECT_EQ(r1(0x51, 8 * scale), 0x20);
        if (scale != 1) {
            EXPECT_EQ(r1(0x51, 5 * scale + 100), 0x20);
        }
        EXPECT_EQ(r1(0x52, 5 * scale + scale / 2), scale == 1 ? 0x00 : 0x20);
    }
}

TEST(SimSettingsText, HexWithOrWithoutPrefixAndTheNewSettings) {
    for (const char* good : {",bad=0x5,cmd0=0X01,token=fe", ",card=sdxc,noise=0.0001,fake=0x100:drop",
                             ",cid=0123456789abcdef0123456789ABCDEF",
                             ",clock=500,read-time=90000,write-time=800000,init-time=5,timing=real,late=7,di-noise=1e-4",
                             ",regcrc=bad,blocklen=2048,stuck=on,ecc=0x10:once,ecc=7,card=mmc1"}) {
        SimSettings s;
        EXPECT_TRUE(sim_parse_settings(good, s)) << good;
    }
    for (const char* bad : {",card=sdhd", ",noise=2", ",noise=", ",fake=0", ",fake=10:wrap", ",csd=0x0123", ",bad=0x",
                            ":", ":,write=on", ",late=0", ",late=8", ",timing=fast", ",blocklen=4096",
                            ",card=sdhc,blocklen=1024", ",ecc=5:twice", ",ecc=", ",ecc=x", ",regcrc=good", ",di-noise=-1", ",clock=0"}) {
        SimSettings s;
        EXPECT_FALSE(sim_parse_settings(bad, s)) << bad;
    }
    SimSettings s;
    ASSERT_TRUE(sim_parse_settings(",bad=0x5,fake=0X100:drop,cmd0=0x00", s));
    EXPECT_TRUE(s.bad_sector == 5u && s.fake_sectors == 0x100u && s.fake_drops && s.cmd0_answer == 0x00);
    std::string sixteen, seventeen;
    for (int i = 0; i < 17; ++i) (i < 16 ? sixteen : seventeen) += ",ecc=" + std::to_string(i);
    EXPECT_TRUE(sim_parse_settings(sixteen, s));
    EXPECT_FALSE(sim_parse_settings(sixteen + seventeen, s = SimSettings{}));
}

// A slot's card is in while its file is there, and is the card the file
// describes; an empty slot answers nothing and loses what is written; a card
// pulled by pull= stays out until the file holds another card.
TEST(SimCard, ASlotsCardIsInWhileItsFileIsThere) {
    TestImage image(64);
    const std::string before = file_text(image.path());
    TempFile slot;
    SimSettings settings;
    settings.slot = slot.path;
    settings.writable = true;
    std::unique_ptr<SimPort> port;
    ASSERT_TRUE(SimPort::open(settings, port));
    SimCard& sim = port->card();
    spi::BitBangLink link(std::move(port));
    Card card(link);
    const auto put = [&](const std::string& text) { std::ofstream(slot.path) << text; };
    std::array<std::uint8_t, 512> data{};
    data.fill(0xA5);

    EXPECT_FALSE(card.answers_reset()) << "no file: an empty socket";
    put("image=" + image.path() + "\npsn=1234ABCD");
    EXPECT_TRUE(card.answers_reset());
    ASSERT_EQ(card.init(), CardResult::ok);
    CardRegister cid{};
    ASSERT_EQ(card.read_cid(cid), CardResult::ok);
    EXPECT_EQ(cid[10] << 24 | cid[11] << 16 | cid[12] << 8 | cid[13], 0x1234ABCD) << "the file's card";
    std::remove(slot.path.c_str());
    sim.pass(20'000'000);  // past the next look at the file
    EXPECT_NE(card.write(3, data), CardResult::ok);
    EXPECT_TRUE(file_text(image.path()) == before) << "a write to an empty socket is lost";
    EXPECT_FALSE(card.answers_reset());

    put("image=" + image.path() + ",pull=50");  // out during the 200 ms power-up pause
    EXPECT_FALSE(card.answers_reset());
    EXPECT_FALSE(card.answers_reset()) << "pulled, it stays out while the file stays";
    put("image=" + image.path() + ",via=ftdi");
    EXPECT_FALSE(card.answers_reset()) << "a card the file cannot describe stays out";
    put("image=" + image.path());
    EXPECT_TRUE(card.answers_reset()) << "another card in the file goes in";
}
