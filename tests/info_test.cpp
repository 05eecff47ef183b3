// --info on scripted cards: the lines it prints and its exit status.
#include <gtest/gtest.h>

#include "app/info.h"
#include "card/mmc_spi.h"
#include "tests/card_script.h"
#include "tests/recording_port.h"

namespace {

const Bytes sdhc_card{0x01, 0x05, 0x01, 0x01, 0x00, 0x00, 0x01, 0xAA, 0x01, 0x00, 0x00, 0xC0, 0xFF, 0x80, 0x00};
const Bytes ocr_answer{0x00, 0xC0, 0xFF, 0x80, 0x00};
const Bytes cid{0x03, 0x53, 0x44, 0x53, 0x55, 0x30, 0x38, 0x47, 0x80, 0x12, 0x34, 0x56, 0x78, 0x00, 0xD6, 0x0B};
const Bytes csd{0x40, 0x0E, 0x00, 0x32, 0x5B, 0x59, 0x00, 0x00, 0x3B, 0x37, 0x7F, 0x80, 0x0A, 0x40, 0x40, 0xAF};

struct Shown {
    int status;
    std::string out;
};

Shown info_on(const Bytes& answers) {
    record_scripted(sdhc_card + answers);
    EXPECT_EQ(mmc_init_spi(), CardResult::ok);
    testing::internal::CaptureStdout();
    const int status = show_card_info();
    return {status, testing::internal::GetCapturedStdout()};
}

}  // namespace

TEST(CardInfo, ShowsKindRegistersAndCapacity) {
    const Shown shown = info_on(ocr_answer + Bytes{0x00} + data_block(cid) + Bytes{0x00} + data_block(csd));
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out,
              "card: SDHC\n"
              "OCR: C0FF8000\n"
              "CID: 035344535530384780123456780" "0D60B\n"
              "CSD: 400E00325B5900003B377F800A4040AF\n"
              "capacity: 7948206080 bytes (15523840 sectors)\n"
              "addressing: by sector\n"
              "manufacturer: 03, OEM: SD, product: SU08G, revision 8.0\n"
              "serial: 12345678, made 2013-06\n"
              "read block: 512 bytes, top clock: 25000 kbit/s, write protection: none\n");
}

TEST(CardInfo, BadRegisterCrcIsShownAndAMissingRegisterFails) {
    Bytes bad_csd = csd;
    bad_csd[15] ^= 0x02;
    const Shown shown = info_on(ocr_answer + Bytes{0x00} + data_block(cid) + Bytes{0x00} + data_block(bad_csd));
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("CSD: 400E00325B5900003B377F800A4040AD\nCSD CRC error\n"), std::string::npos);
    EXPECT_EQ(shown.out.find("CID CRC error"), std::string::npos);
    EXPECT_NE(shown.out.find("capacity: 7948206080 bytes"), std::string::npos);

    const Shown missing = info_on(ocr_answer + Bytes{0x00} + data_block(cid) + Bytes{0x04});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
}
