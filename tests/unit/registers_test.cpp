// Register decoding with the values cards send, each capacity worked out
// by hand from its fields.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "card/registers.h"
#include "tests/fixtures/test_util.h"

namespace {

CardRegister hex_register(const char* hex) {
    CardRegister r{};
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
    return r;
}

}  // namespace

TEST(Registers, CsdCapacityAndSpeed) {
    struct Case {
        const char* name;
        const char* csd;
        RegisterLayout layout;
        std::uint64_t bytes;
        std::uint32_t read_block;
        std::uint32_t kbit;
    };
    const Case cases[] = {
        // 2 GB SDSC: C_SIZE 3751, C_SIZE_MULT 7, READ_BL_LEN 10 (1024-byte blocks), 25 Mbit/s.
        {"SDSC 2 GB", "002e00325b5a83a9ffffff8016800091", RegisterLayout::sd, 3752ull * 512 * 1024, 1024, 25000},
        // 8 GB SDHC: C_SIZE 0x3B37 = 15159 units of 512 KiB.
        {"SDHC 8 GB", "400e00325b5900003b377f800a4040af", RegisterLayout::sd, 15160ull * 524288, 512, 25000},
        // 64 GB SDXC: C_SIZE 0x1DBD3 = 121811 units of 512 KiB, 50 Mbit/s.
        {"SDXC 64 GB", "400e005a5b590001dbd37f800a404009", RegisterLayout::sd, 121812ull * 524288, 512, 50000},
        // 128 MB MMC, CSD structure 2: C_SIZE 3919, C_SIZE_MULT 4, READ_BL_LEN 9, 20 Mbit/s.
        {"MMC 128 MB", "905e002a1f5983d3edb67f87964000a1", RegisterLayout::mmc, 3920ull * 64 * 512, 512, 20000},
    };
    for (const Case& c : cases) {
        const CardRegister csd = hex_register(c.csd);
        const CsdInfo info = decode_csd(csd, c.layout);
        EXPECT_TRUE(register_crc_ok(csd)) << c.name;
        EXPECT_TRUE(info.capacity_known) << c.name;
        EXPECT_EQ(info.capacity_bytes, c.bytes) << c.name;
        EXPECT_EQ(info.read_block_bytes, c.read_block) << c.name;
        EXPECT_EQ(info.max_rate_kbit, c.kbit) << c.name;
        EXPECT_FALSE(info.permanent_write_protect || info.temporary_write_protect) << c.name;
    }
}

TEST(Registers, WriteProtectionAndCrc) {
    CardRegister csd = hex_register("400e00325b5900003b377f800a4040af");
    csd[14] |= 0x30;
    const CsdInfo info = decode_csd(csd, RegisterLayout::sd);
    EXPECT_TRUE(info.permanent_write_protect);
    EXPECT_TRUE(info.temporary_write_protect);
    EXPECT_FALSE(register_crc_ok(csd));
}

namespace {

// Every field of the CID, as one line, for comparing.
std::string fields(const CidInfo& c) {
    char text[96];
    std::snprintf(text, sizeof text, "%02X %04X %s %u.%u %08X %04u-%02u", static_cast<unsigned>(c.manufacturer), c.oem, c.name.data(),
                  c.revision_major, c.revision_minor, static_cast<unsigned>(c.serial), c.year, c.month);
    return text;
}

}  // namespace

TEST(Registers, SdAndMmcCid) {
    // SD: OID "SD", five-letter name, date from 2000; MMC: one-byte OID, six letters, date from 1997.
    EXPECT_EQ(fields(decode_cid(hex_register("0353445355303847801234567800d60b"), CidLayout::sd)),
              "03 5344 SU08G 8.0 12345678 2013-06");
    EXPECT_EQ(fields(decode_cid(hex_register("1500014d4d4331323812cafe00019621"), CidLayout::mmc_v4)),
              "15 0001 MMC128 1.2 CAFE0001 2003-09");
    // MMC 2.x and 3.x: a two-letter OEM; 1.x: a 24-bit manufacturer, seven letters, a 24-bit serial.
    EXPECT_EQ(fields(decode_cid(hex_register("565654564d4d43303110aabbccdd6601"), CidLayout::mmc_v2)),
              "56 5654 VMMC01 1.0 AABBCCDD 2003-06");
    EXPECT_EQ(fields(decode_cid(hex_register("560054564d4d43312e341202c0634401"), CidLayout::mmc_v1)),
              "560054 0000 VMMC1.4 1.2 0002C063 2001-04");
}

TEST(Checksums, KnownValues) {
    const Bytes all_ones(512, 0xFF);
    EXPECT_EQ(crc::crc16(all_ones), 0x7FA1);  // a block of 512 bytes 0xFF
    const std::string check = "123456789";
    EXPECT_EQ(crc::crc16(std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())), 0x31C3);
    const Bytes cmd17_sector0{0x51, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(crc::crc7_end_byte(cmd17_sector0), 0x55);
}
