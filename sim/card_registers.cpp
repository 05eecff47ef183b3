#include "sim/card_registers.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "sim/crc.h"
#include "sim/storage.h"

namespace {

constexpr std::uint32_t ocr_ready = 0x80000000;
constexpr std::uint32_t ocr_ccs = 0x40000000;
constexpr std::uint32_t ocr_27_to_36_volts = 0x00FF8000;
constexpr std::uint64_t sectors_per_csd2_unit = 1024;  // 512 KiB
constexpr std::uint32_t csd1_max_c_size = 4095;
constexpr std::uint32_t mmc_csd_max_sectors = 0x200000;  // 1 GiB: C_SIZE and C_SIZE_MULT at their maximum
constexpr std::uint32_t csd2_max_c_size = 0x3FFFFF;

// Sets the register bits from msb down to msb - width + 1 (bit 127 is the first bit sent).
void put_bits(CardRegister& reg, int msb, int width, std::uint64_t value) {
    for (int i = 0; i < width; ++i) {
        const int bit = msb - i;
        const int byte = 15 - bit / 8;
        const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
        if ((value >> (width - 1 - i)) & 1) reg[byte] |= mask;
        else reg[byte] &= static_cast<std::uint8_t>(~mask);
    }
}

void put_text(CardRegister& reg, int msb, std::string_view text) {
    for (char c : text) {
        put_bits(reg, msb, 8, static_cast<std::uint8_t>(c));
        msb -= 8;
    }
}

void seal(CardRegister& reg) { reg[15] = crc7_byte(std::span(reg).first<15>()); }

// Capacity = (C_SIZE + 1) * 2^(C_SIZE_MULT + 2) * 2^READ_BL_LEN: the largest
// such capacity not above the image, exact whenever the image is a multiple
// of 2 KiB up to 2 GiB (4 GiB with 1024- or 2048-byte read blocks).
struct Csd1Size {
    std::uint32_t c_size;
    std::uint32_t c_size_mult;
    std::uint32_t read_bl_len;
};

Csd1Size csd1_size(std::uint32_t sectors, std::uint32_t min_bl_len) {
    const std::uint64_t bytes = std::uint64_t{sectors} * sector_bytes;
    for (std::uint32_t shift = min_bl_len + 2; shift <= 20; ++shift) {
        const std::uint64_t units = bytes >> shift;
        if (units > csd1_max_c_size + 1 && shift < 20) continue;
        const std::uint32_t bl_len = std::max(shift > 18 ? shift - 9 : 9, min_bl_len);
        const std::uint64_t c_size = units == 0 ? 0 : std::min<std::uint64_t>(units, csd1_max_c_size + 1) - 1;
        return {static_cast<std::uint32_t>(c_size), shift - 2 - bl_len, bl_len};
    }
    return {};
}

// The fields shared by SD CSD 1.0 and MMC CSD; WRITE_BL_LEN matches READ_BL_LEN.
void put_csd1_size(CardRegister& csd, std::uint32_t sectors, std::uint32_t min_bl_len) {
    const Csd1Size size = csd1_size(sectors, min_bl_len);
    put_bits(csd, 83, 4, size.read_bl_len);
    put_bits(csd, 25, 4, size.read_bl_len);
    put_bits(csd, 79, 1, 1);  // READ_BL_PARTIAL
    put_bits(csd, 73, 12, size.c_size);
    put_bits(csd, 61, 3, 7);  // VDD_R_CURR_MIN: 100 mA
    put_bits(csd, 58, 3, 6);  // VDD_R_CURR_MAX: 80 mA
    put_bits(csd, 55, 3, 7);  // VDD_W_CURR_MIN
    put_bits(csd, 52, 3, 6);  // VDD_W_CURR_MAX
    put_bits(csd, 49, 3, size.c_size_mult);
}

// An MMC of the given SPEC_VERS (1: 1.4, 3: 3.1 to 3.3, 4: 4.x). An MMC over
// 2 GB keeps C_SIZE at its maximum and gives its size in the EXT_CSD.
CardRegister mmc_csd(std::uint32_t sectors, std::uint32_t spec_vers, std::uint32_t block_len_log2) {
    CardRegister csd{};
    const bool high_capacity = spec_vers >= 4;
    put_bits(csd, 127, 2, spec_vers >= 3 ? 2 : 1);  // CSD_STRUCTURE: 1.2, or 1.1 before 3.1
    put_bits(csd, 125, 4, spec_vers);
    put_bits(csd, 119, 8, 0x26);    // TAAC: 1.5 ms
    put_bits(csd, 103, 8, 0x2A);    // TRAN_SPEED: 20 MHz
    put_bits(csd, 95, 12, 0x0F5);   // CCC: classes 0, 2, 4, 5, 6, 7
    put_csd1_size(csd, high_capacity ? mmc_csd_max_sectors : sectors, block_len_log2);
    put_bits(csd, 46, 5, 31);       // ERASE_GRP_SIZE
    put_bits(csd, 41, 5, 31);       // ERASE_GRP_MULT
    put_bits(csd, 28, 3, 4);        // R2W_FACTOR
    return csd;
}

CardRegister sd_csd1(std::uint32_t sectors, std::uint32_t block_len_log2) {
    CardRegister csd{};
    put_bits(csd, 119, 8, 0x26);    // TAAC: 1.5 ms
    put_bits(csd, 103, 8, 0x32);    // TRAN_SPEED: 25 MHz
    put_bits(csd, 95, 12, 0x5B5);   // CCC: classes 0, 2, 4, 5, 7, 8, 10
    put_csd1_size(csd, sectors, block_len_log2);
    put_bits(csd, 46, 1, 1);        // ERASE_BLK_EN
    put_bits(csd, 45, 7, 0x7F);     // SECTOR_SIZE
    put_bits(csd, 28, 3, 2);        // R2W_FACTOR
    return csd;
}

// Capacity = (C_SIZE + 1) * 512 KiB: the image rounded down to 512 KiB
// (at least one unit, at most 2 TiB).
CardRegister sd_csd2(std::uint32_t sectors, std::uint8_t tran_speed) {
    CardRegister csd{};
    const std::uint64_t units = sectors / sectors_per_csd2_unit;
    put_bits(csd, 127, 2, 1);       // CSD_STRUCTURE: 2.0
    put_bits(csd, 119, 8, 0x0E);    // TAAC: 1 ms
    put_bits(csd, 103, 8, tran_speed);
    put_bits(csd, 95, 12, 0x5B5);   // CCC
    put_bits(csd, 83, 4, 9);        // READ_BL_LEN: 512 bytes
    put_bits(csd, 69, 22, units == 0 ? 0 : std::min<std::uint64_t>(units - 1, csd2_max_c_size));
    put_bits(csd, 46, 1, 1);        // ERASE_BLK_EN
    put_bits(csd, 45, 7, 0x7F);     // SECTOR_SIZE
    put_bits(csd, 28, 3, 2);        // R2W_FACTOR
    put_bits(csd, 25, 4, 9);        // WRITE_BL_LEN: 512 bytes
    return csd;
}

struct Identity {
    std::string_view name;   // 5 characters (SD), 6 (MMC) or 7 (MMC 1.x)
    std::uint32_t serial;
    std::uint32_t year;      // from 2000 (SD) or 1997 (MMC)
    std::uint32_t month;
};

constexpr std::uint8_t manufacturer = 0x56;
constexpr std::string_view oem = "VT";
constexpr std::uint8_t revision = 0x10;  // 1.0

constexpr std::uint32_t mmc1_manufacturer = 0x560054;  // 24 bits in the 1.x layout

constexpr std::array<Identity, 7> identities{{
    {"VMMC01", 0x0A1B2C01, 2003 - 1997, 9},
    {"VSD01", 0x0A1B2C02, 2006 - 2000, 5},
    {"VSD02", 0x0A1B2C03, 2009 - 2000, 11},
    {"VSDHC", 0x0A1B2C04, 2016 - 2000, 3},
    {"VSDXC", 0x0A1B2C05, 2024 - 2000, 6},
    {"VMMC1.4", 0x2C06, 1999 - 1997, 4},
    {"VMMCHC", 0x0A1B2C07, 2010 - 1997, 2},
}};

constexpr std::uint32_t log2_of(std::uint32_t n) {
    std::uint32_t bits = 0;
    while (n > 1) {
        n >>= 1;
        ++bits;
    }
    return bits;
}

// MMC 1.x: 24-bit manufacturer, 7-character name, hardware and firmware
// revision, 24-bit serial, date.
CardRegister mmc1_cid(const Identity& id) {
    CardRegister cid{};
    put_bits(cid, 127, 24, mmc1_manufacturer);
    put_text(cid, 103, id.name);
    put_bits(cid, 47, 8, revision);
    put_bits(cid, 39, 24, id.serial & 0xFFFFFF);
    put_bits(cid, 15, 4, id.month);
    put_bits(cid, 11, 4, id.year);
    return cid;
}

}  // namespace

CardRegister default_csd(CardKind kind, std::uint32_t sectors, std::uint32_t block_len) {
    CardRegister csd{};
    const std::uint32_t bl_len = log2_of(block_len);
    switch (kind) {
        case CardKind::mmc: csd = mmc_csd(sectors, 3, bl_len); break;
        case CardKind::mmc1: csd = mmc_csd(sectors, 1, bl_len); break;
        case CardKind::mmchc: csd = mmc_csd(sectors, 4, bl_len); break;
        case CardKind::sd1:
        case CardKind::sd2: csd = sd_csd1(sectors, bl_len); break;
        case CardKind::sdhc:
        case CardKind::sdxc: csd = sd_csd2(sectors, 0x32); break;  // 25 MHz at power-up
    }
    seal(csd);
    return csd;
}

CardRegister default_cid(CardKind kind, std::optional<std::uint32_t> serial) {
    Identity id = identities[static_cast<std::size_t>(kind)];
    id.serial = serial.value_or(id.serial);
    if (kind == CardKind::mmc1) {
        CardRegister cid = mmc1_cid(id);
        seal(cid);
        return cid;
    }
    CardRegister cid{};
    put_bits(cid, 127, 8, manufacturer);
    // MMC 4.x: a card/BGA byte, then a one-byte OEM.
    if (kind == CardKind::mmchc) put_bits(cid, 119, 16, 0x0156);
    else put_text(cid, 119, oem);
    put_text(cid, 103, id.name);
    if (kind == CardKind::mmc || kind == CardKind::mmchc) {
        put_bits(cid, 55, 8, revision);
        put_bits(cid, 47, 32, id.serial);
        put_bits(cid, 15, 4, id.month);
        put_bits(cid, 11, 4, id.year);
    } else {
        put_bits(cid, 63, 8, revision);
        put_bits(cid, 55, 32, id.serial);
        put_bits(cid, 19, 8, id.year);
        put_bits(cid, 11, 4, id.month);
    }
    seal(cid);
    return cid;
}

bool block_addressed(CardKind kind) {
    return kind == CardKind::sdhc || kind == CardKind::sdxc || kind == CardKind::mmchc;
}

std::uint32_t card_ocr(CardKind kind, bool ready) {
    if (!ready) return ocr_27_to_36_volts;
    return ocr_27_to_36_volts | ocr_ready | (block_addressed(kind) ? ocr_ccs : 0);
}

void set_erase_unit(CardRegister& csd, CardKind kind, std::uint32_t sectors) {
    const bool sd = kind == CardKind::sd1 || kind == CardKind::sd2 || kind == CardKind::sdhc || kind == CardKind::sdxc;
    if (sd) {
        put_bits(csd, 46, 1, sectors == 1 ? 1 : 0);
        put_bits(csd, 45, 7, std::min<std::uint32_t>(sectors, 128) - 1);
    } else {
        const std::uint32_t size = std::min<std::uint32_t>(sectors, 32);
        put_bits(csd, 46, 5, size - 1);
        put_bits(csd, 41, 5, std::min<std::uint32_t>(sectors / size, 32) - 1);
    }
    seal(csd);
}
