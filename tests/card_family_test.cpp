// Initialisation of each card family, seen as the frames on DI and the
// answers the card gives, and the telling apart of cards that take CMD1.
#include <gtest/gtest.h>

#include <tuple>

#include "card/card.h"
#include "card/mmc_spi.h"
#include "tests/card_script.h"
#include "tests/recording_port.h"

namespace {

// Frames with the CRC bytes cards expect (CMD1 keeps the known frame's 0x95).
const Bytes cmd0 = frame(0, 0, 0x95);
const Bytes cmd1 = frame(1, 0, 0x95);
const Bytes cmd8 = frame(8, 0x1AA, 0x87);
const Bytes cmd55 = frame(55, 0, 0x65);
const Bytes acmd41_hcs = frame(41, 0x40000000, 0x77);
const Bytes acmd41 = frame(41, 0, 0xE5);
const Bytes cmd58 = frame(58, 0, 0xFD);

struct Exchange {
    Bytes frame;
    Bytes answer;  // the bytes clocked in after it
};
using Dialogue = std::vector<Exchange>;

Bytes script_of(const Dialogue& d) {
    Bytes s;
    for (const auto& e : d) s = s + e.answer;
    return s;
}

// DI: the byte after selecting the card, then each frame and 0xFF per byte clocked in.
Bytes di_of(const Dialogue& d) {
    Bytes di{0xFF};
    for (const auto& e : d) di = di + e.frame + Bytes(e.answer.size(), 0xFF);
    return di;
}

const Dialogue cmd1_refused{{cmd0, {0x01}}, {cmd1, {0x05}}, {cmd0, {0x01}}};
const Dialogue v2_ready{{cmd8, {0x01, 0x00, 0x00, 0x01, 0xAA}}, {cmd55, {0x01}}, {acmd41_hcs, {0x01}},
                        {cmd55, {0x01}}, {acmd41_hcs, {0x00}}};

// CMD58 answered ready with this OCR.
Dialogue ocr(std::uint32_t value) {
    return {{cmd58, {0x00, std::uint8_t(value >> 24), std::uint8_t(value >> 16), std::uint8_t(value >> 8), std::uint8_t(value)}}};
}

Dialogue operator+(Dialogue a, const Dialogue& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Family {
    const char* name;
    Dialogue dialogue;
    CardResult result;
    InitWay way;
    bool block_addressed;
    InitStep failed_step;
};

}  // namespace

TEST(CardFamilies, EachComesUpItsOwnWay) {
    const Family families[] = {
        {"MMC, known sequence", {{cmd0, {0x01}}, {cmd1, {0x01}}, {cmd1, {0x00}}}, CardResult::ok, InitWay::cmd1, false,
         InitStep::none},
        {"SDHC", cmd1_refused + v2_ready + ocr(0xC0FF8000) + ocr(0xC0FF8000), CardResult::ok, InitWay::sd_v2, true,
         InitStep::none},
        {"SDSC v2", cmd1_refused + v2_ready + ocr(0x80FF8000) + ocr(0x80FF8000), CardResult::ok, InitWay::sd_v2, false,
         InitStep::none},
        // One flipped CCS bit does not decide the addressing: the OCR is read until two reads agree.
        {"SDSC v2, CCS flipped once", cmd1_refused + v2_ready + ocr(0xC0FF8000) + ocr(0x80FF8000) + ocr(0x80FF8000),
         CardResult::ok, InitWay::sd_v2, false, InitStep::none},
        {"OCR never the same twice", cmd1_refused + v2_ready + ocr(0xC0FF8000) + ocr(0x80FF8000) + ocr(0xC0FF8000) +
                                         ocr(0x80FF8000),
         CardResult::cmd1_failed, InitWay::none, false, InitStep::cmd58},
        {"SD v1", cmd1_refused + Dialogue{{cmd8, {0x05}}, {cmd55, {0x01}}, {acmd41, {0x00}}}, CardResult::ok,
         InitWay::sd_v1, false, InitStep::none},
        {"wrong echo", cmd1_refused + Dialogue{{cmd8, {0x01, 0x00, 0x00, 0x02, 0xAA}}}, CardResult::cmd1_failed,
         InitWay::none, false, InitStep::cmd8},
        {"CMD55 illegal", cmd1_refused + Dialogue{{cmd8, {0x05}}, {cmd55, {0x05}}}, CardResult::cmd1_failed,
         InitWay::none, false, InitStep::cmd55},
        {"ACMD41 error", cmd1_refused + Dialogue{{cmd8, {0x05}}, {cmd55, {0x01}}, {acmd41, {0x09}}},
         CardResult::cmd1_failed, InitWay::none, false, InitStep::acmd41},
        {"no answer to CMD1, nor to CMD0 of the SD way", {{cmd0, {0x01}}, {cmd1, Bytes(400, 0xFF)}, {cmd0, Bytes(400, 0xFF)}},
         CardResult::cmd1_failed, InitWay::none, false, InitStep::cmd0},
        {"no answer to the second CMD0", {{cmd0, {0x01}}, {cmd1, {0x05}}, {cmd0, Bytes(400, 0xFF)}},
         CardResult::cmd1_failed, InitWay::none, false, InitStep::cmd0},
    };
    for (const Family& f : families) {
        record_scripted(script_of(f.dialogue));
        EXPECT_EQ(mmc_init_spi(recorded_card()), f.result) << f.name;
        EXPECT_EQ(di_bytes(), di_of(f.dialogue)) << f.name;
        EXPECT_EQ(recorded_card().init_way(), f.way) << f.name;
        EXPECT_EQ(recorded_card().block_addressed(), f.block_addressed) << f.name;
        EXPECT_EQ(recorded_card().init_record().failed_step, f.failed_step) << f.name;
    }
    EXPECT_EQ(recorded_card().init_record().answer, 0xFF);
}

// A card that stays idle gets two seconds of the link's clock, not a count.
TEST(CardFamilies, Acmd41WaitsTwoSecondsThenGivesUp) {
    record_scripted(script_of(cmd1_refused + Dialogue{{cmd8, {0x05}}}), 0x01);
    const std::uint64_t start = recorded_card().link().now_ns();
    EXPECT_EQ(mmc_init_spi(recorded_card()), CardResult::cmd1_failed);
    EXPECT_EQ(recorded_card().init_record().failed_step, InitStep::acmd41);
    EXPECT_GE(recorded_card().link().now_ns() - start, 2'000'000'000u + 200'000'000u);
}

TEST(CardFamilies, CardsThatTookCmd1AreToldApartByTheSdWay) {
    const Dialogue known{{cmd0, {0x01}}, {cmd1, {0x00}}};
    const Dialogue mmc{{cmd0, {0x01}}, {cmd8, {0x05}}, {cmd55, {0x05}}, {cmd1, {0x01}}, {cmd1, {0x00}}};
    // An MMC's OCR bit 30 says it takes sector numbers (over 2 GB).
    const std::tuple<Dialogue, InitWay, bool> cases[] = {
        {mmc + ocr(0x80FF8000), InitWay::mmc, false},
        {mmc + ocr(0xC0FF8000), InitWay::mmc, true},
        {{{cmd0, {0x01}}, {cmd8, {0x05}}, {cmd55, {0x01}}, {acmd41, {0x00}}}, InitWay::sd_v1, false},
        {Dialogue{{cmd0, {0x01}}} + v2_ready + ocr(0x80FF8000) + ocr(0x80FF8000), InitWay::sd_v2, false},
    };
    for (const auto& [identification, way, by_sector] : cases) {
        record_scripted(script_of(known + identification));
        ASSERT_EQ(mmc_init_spi(recorded_card()), CardResult::ok);
        EXPECT_EQ(recorded_card().init_way(), InitWay::cmd1);
        EXPECT_EQ(recorded_card().identify(), CardResult::ok);
        EXPECT_EQ(recorded_card().init_way(), way);
        EXPECT_EQ(di_bytes(), di_of(known + identification));
        EXPECT_EQ(recorded_card().block_addressed(), by_sector);
    }
}
