// The SD card's extra registers decoded with values real cards send, the
// manufacturer table with their CIDs, the CSD rewrite with their CSDs.
#include <gtest/gtest.h>

#include <string>

#include "card/sd_registers.h"

namespace {

template <std::size_t N>
std::array<std::uint8_t, N> from_hex(const std::string& hex) {
    std::array<std::uint8_t, N> bytes{};
    for (std::size_t i = 0; i < N && 2 * i < hex.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return bytes;
}

// Supported commands as one mask: CMD20, CMD23, CMD48/49, CMD58/59 from bit 0.
unsigned command_mask(const ScrInfo& s) { return s.cmd20 | s.cmd23 << 1 | s.cmd48_49 << 2 | s.cmd58_59 << 3; }

}  // namespace

TEST(SdRegisters, ScrOfRealCards) {
    struct Case {
        const char* scr;
        const char* version;
        std::uint8_t erased;
        const char* security;
        unsigned commands;
    };
    const Case cases[] = {
        {"0225000000000000", "2.0", 0x00, "SDSC security 1.01", 0},  // Unlabeled 1GB, SanDisk 2GB
        {"0125000000000000", "1.1", 0x00, "SDSC security 1.01", 0},  // ATP 2GB
        {"0235800100000000", "3.0", 0x00, "SDHC security 2.00", 1},  // Transcend 4GB, SanDisk 8GB
        {"0235800201000000", "3.0", 0x00, "SDHC security 2.00", 2},  // Phison SD16G
        {"0245848700000000", "6.x", 0x00, "SDXC security 3.xx", 7},  // SanDisk SN512
        {"0205808301000000", "6.x", 0x00, "none", 3},                // goodram 16gb
        {"0235804300000000", "5.x", 0x00, "SDHC security 2.00", 3},  // sandisk 32gb
        {"0235000000000000", "2.0", 0x00, "SDHC security 2.00", 0},  // kodak, pny 4gb
        {"02B500001C022102", "2.0", 0xFF, "SDHC security 2.00", 0},  // kingston 4gb
        {"02B5800000000000", "3.0", 0xFF, "SDHC security 2.00", 0},  // puntitos 4gb
        {"02A5000000000000", "2.0", 0xFF, "SDSC security 1.01", 0},  // kodak 2gb
        {"00A5000008070302", "1.0", 0xFF, "SDSC security 1.01", 0},  // pqi 64mb
        {"0245840000000000", "4.x", 0x00, "SDXC security 3.xx", 0},  // SD_SPEC4 alone
    };
    for (const Case& c : cases) {
        const ScrInfo info = decode_scr(from_hex<8>(c.scr));
        EXPECT_EQ(info.spec_version, c.version) << c.scr;
        EXPECT_EQ(info.erased_value, c.erased) << c.scr;
        EXPECT_EQ(info.security, c.security) << c.scr;
        EXPECT_EQ(command_mask(info), c.commands) << c.scr;
        EXPECT_TRUE(info.bus_1bit && info.bus_4bit) << c.scr;
    }
}

TEST(SdRegisters, SdStatusOfAClass4Card) {
    // SanDisk 8 GB SU08G: Class 4, 4 MiB AUs, 11 AUs erased in 1 s plus 1 s.
    const SdStatusInfo info = decode_sd_status(from_hex<64>("8000000003000000020290000B050000"));
    EXPECT_EQ(info.speed_class, 4u);
    EXPECT_EQ(info.au_kib, 4096u);
    EXPECT_EQ(info.uhs_grade, 0u);
    EXPECT_EQ(info.video_class, 0u);
    EXPECT_EQ(info.erase_size_au, 11u);
    EXPECT_EQ(info.erase_timeout_s, 1u);
    EXPECT_EQ(info.erase_offset_s, 1u);
    EXPECT_EQ(info.protected_area, 0x03000000u);
    // A UHS-I U3 V30 A2 card with 64 MiB AUs.
    const SdStatusInfo fast = decode_sd_status(from_hex<64>("80000000000000000405F0000000311E000000000002"));
    EXPECT_EQ(fast.speed_class, 10u);
    EXPECT_EQ(fast.au_kib, 65536u);
    EXPECT_EQ(fast.uhs_grade, 3u);
    EXPECT_EQ(fast.video_class, 30u);
    EXPECT_EQ(fast.app_class, 2u);
}

TEST(SdRegisters, EraseTimeOut) {
    const SdStatusInfo info = decode_sd_status(from_hex<64>("8000000003000000020290000B050000"));
    const std::uint64_t au = 4096 * 2;
    struct Case {
        const SdStatusInfo* status;
        std::uint64_t sectors;
        std::uint32_t group;
        std::uint64_t ms;
    };
    const Case cases[] = {
        {&info, 11 * au, 0, 2000},      // ERASE_TIMEOUT / ERASE_SIZE per AU, plus ERASE_OFFSET
        {&info, 110 * au, 0, 11000},
        {&info, 1, 0, 1000},            // a part of one AU counts whole; the offset alone is 1 s
        {nullptr, 100, 32, 1000},       // 4 groups: 1 s at least
        {nullptr, 32 * 1000, 32, 250000},
        {nullptr, 33, 32, 1000},
    };
    for (const Case& c : cases) EXPECT_EQ(erase_timeout_ms(c.status, c.sectors, c.group), c.ms) << c.sectors;
}

TEST(SdRegisters, SwitchStatus) {
    SwitchStatusBlock block{};
    block[0] = 0x00;
    block[1] = 0xC8;
    block[13] = 0x03;
    EXPECT_EQ(decode_switch_status(block).max_current_ma, 200u);
    EXPECT_TRUE(decode_switch_status(block).high_speed);
    block[13] = 0x01;
    EXPECT_FALSE(decode_switch_status(block).high_speed);
}

TEST(SdRegisters, ManufacturersOfRealCards) {
    struct Case {
        const char* cid;
        RegisterLayout layout;
        const char* name;
    };
    const Case cases[] = {
        {"03534453553031478080BAF50E009B8D", RegisterLayout::sd, "SanDisk"},
        {"09415041462055441047B00419007B37", RegisterLayout::sd, "ATP"},
        {"744A45555344553102C8105DF600E955", RegisterLayout::sd, "Transcend"},
        {"6F0303434241445310AA000609016AF9", RegisterLayout::sd, "unknown"},
        {"275048534431364730DA89B82900FB61", RegisterLayout::sd, "Phison"},
        {"02544D534430344738B26A38AA0089F5", RegisterLayout::sd, "Toshiba"},
        {"1B534D30303030301075A72C7E00A539", RegisterLayout::sd, "Samsung"},
        {"1D4144534420202010000256DB0067B1", RegisterLayout::sd, "ADATA"},
        {"64504320202020201088026F6400AAEF", RegisterLayout::sd, "unknown"},
        {"1501004D384731474303DC0DB061506F", RegisterLayout::mmc, "Samsung"},
        {"06000033324D202020011923A457C621", RegisterLayout::mmc, "unknown"},
        {"03534453553031478080BAF50E009B8D", RegisterLayout::mmc, "unknown"},  // the same ID means another maker on MMC
    };
    for (const Case& c : cases) EXPECT_EQ(manufacturer_name(from_hex<16>(c.cid)[0], c.layout), c.name) << c.cid;
}

TEST(SdRegisters, TemporaryProtectRewriteKeepsEverythingElse) {
    const char* real_csds[] = {
        "002600325F5983AE7EFBCFFF924040D7", "400E00325B590001D83D7F800A4000A5", "D02701320F5903FFF6DBFFEF8E40400D",
        "400E0032DB79000EE5B77F800A404093", "002E00325B5A83A9FFFFFF8016800091", "8C26012A0F5901E9F6D983E3924040D3",
        "905E002A1F5983D3EDB683FF9640001F", "002D0032135983CCF6DACF80164000EB",
    };
    for (const char* hex : real_csds) {
        const CardRegister csd = from_hex<16>(hex);
        const CardRegister on = csd_with_temporary_protect(csd, true);
        EXPECT_TRUE(register_crc_ok(on)) << hex;
        EXPECT_TRUE(decode_csd(on, RegisterLayout::sd).temporary_write_protect) << hex;
        EXPECT_FALSE(decode_csd(on, RegisterLayout::sd).permanent_write_protect) << hex;
        for (std::size_t i = 0; i < 14; ++i) EXPECT_EQ(on[i], csd[i]) << hex << " byte " << i;
        EXPECT_EQ(on[14] & ~0x10, csd[14]) << hex;
        EXPECT_EQ(csd_with_temporary_protect(on, false), csd) << hex;
    }
}

TEST(SdRegisters, LockBlocks) {
    struct Case {
        std::uint8_t flags;
        const char* old_password;
        const char* new_password;
        std::string block;  // the bytes of the block, its length with them
    };
    const Case cases[] = {
        {lock_flags::set_password, "", "abcd", std::string("\x01\x04" "abcd", 6)},
        {lock_flags::set_password, "old", "new1", std::string("\x01\x07" "oldnew1", 9)},
        {0, "abcd", "", std::string("\x00\x04" "abcd", 6)},
        {lock_flags::lock, "abcd", "", std::string("\x04\x04" "abcd", 6)},
        {lock_flags::clear_password, "abcd", "", std::string("\x02\x04" "abcd", 6)},
        {lock_flags::force_erase, "", "", std::string("\x08", 1)},
        {lock_flags::set_password, "", "0123456789abcdef", std::string("\x01\x10" "0123456789abcdef", 18)},
    };
    for (const Case& c : cases) {
        LockBlock block{};
        const std::size_t length = lock_block(c.flags, c.old_password, c.new_password, block);
        EXPECT_EQ(std::string(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(length)), c.block)
            << int{c.flags} << c.old_password;
    }
    LockBlock block{};
    EXPECT_EQ(lock_block(lock_flags::set_password, "", "0123456789abcdefX", block), 0u);
}
