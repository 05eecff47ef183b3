// The card's registers as read over SPI: the CSD (how big and how fast),
// the CID (who made it, when) and the OCR (voltages, power-up, capacity
// class), decoded for SD and MMC cards.
#pragma once

#include <array>
#include <cstdint>

#include "base/crc.h"

using CardRegister = std::array<std::uint8_t, 16>;

// Bits msb..lsb of a register, numbered 127 (first byte's top bit) to 0.
constexpr std::uint32_t register_bits(const CardRegister& r, int msb, int lsb) {
    std::uint32_t value = 0;
    for (int bit = msb; bit >= lsb; --bit) {
        const std::size_t byte = static_cast<std::size_t>(15 - bit / 8);
        value = value << 1 | ((r[byte] >> (bit % 8)) & 1u);
    }
    return value;
}

// True when the register's last byte carries the CRC7 of the other fifteen.
constexpr bool register_crc_ok(const CardRegister& r) {
    return r[15] == crc::crc7_end_byte(std::span<const std::uint8_t>(r.data(), 15));
}

namespace ocr_bits {
inline constexpr std::uint32_t powered_up = 0x80000000;      // clear while the card is still busy powering up
inline constexpr std::uint32_t ccs = 0x40000000;             // card capacity status: block addressed
inline constexpr std::uint32_t mmc_access_mode = 0x60000000;  // an MMC's bits 30-29
inline constexpr std::uint32_t mmc_sector_mode = 0x40000000;
inline constexpr std::uint32_t voltage_window = 0x00FF8000;  // 2.7 to 3.6 V
}  // namespace ocr_bits

// Which register layout applies: SD cards and MMC cards lay out CSD and CID differently.
enum class RegisterLayout : std::uint8_t { sd, mmc };

struct CsdInfo {
    std::uint32_t structure = 0;       // CSD_STRUCTURE
    bool capacity_known = false;       // false for layouts whose size lies elsewhere
    std::uint64_t capacity_bytes = 0;
    std::uint32_t read_block_bytes = 0;   // READ_BL_LEN as bytes
    std::uint32_t max_rate_kbit = 0;      // TRAN_SPEED in kbit/s
    bool permanent_write_protect = false;
    bool temporary_write_protect = false;
};

// TRAN_SPEED: rate unit (bits 2..0) times time value (bits 6..3), in kbit/s.
constexpr std::uint32_t tran_speed_kbit(std::uint8_t code) {
    constexpr std::array<std::uint32_t, 8> unit_kbit{100, 1000, 10000, 100000, 0, 0, 0, 0};
    constexpr std::array<std::uint32_t, 16> tenths{0, 10, 12, 13, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 70, 80};
    return unit_kbit[code & 7u] * tenths[(code >> 3) & 15u] / 10;
}

// Version 1.0 layout (SD CSD 1.0, every MMC CSD): C_SIZE, C_SIZE_MULT and
// READ_BL_LEN; the capacity counts bytes whatever block length is reported.
constexpr std::uint64_t csd_v1_capacity(const CardRegister& csd) {
    const std::uint64_t c_size = register_bits(csd, 73, 62);
    const std::uint32_t mult = register_bits(csd, 49, 47);
    const std::uint32_t read_bl_len = register_bits(csd, 83, 80);
    return (c_size + 1) << (mult + 2) << read_bl_len;
}

// SD CSD 2.0 (SDHC, SDXC): C_SIZE counts 512 KiB units.
constexpr std::uint64_t csd_v2_capacity(const CardRegister& csd) {
    return (std::uint64_t{register_bits(csd, 69, 48)} + 1) * 512 * 1024;
}

constexpr CsdInfo decode_csd(const CardRegister& csd, RegisterLayout layout) {
    CsdInfo info;
    info.structure = register_bits(csd, 127, 126);
    info.read_block_bytes = 1u << register_bits(csd, 83, 80);
    info.max_rate_kbit = tran_speed_kbit(csd[3]);
    info.permanent_write_protect = register_bits(csd, 13, 13) != 0;
    info.temporary_write_protect = register_bits(csd, 12, 12) != 0;
    // An MMC CSD of structure 3 leaves the size to the extended CSD; SD's
    // structure 2 and 3 are for cards past 2 TiB, which 32-bit sector numbers cannot reach.
    if (layout == RegisterLayout::mmc ? info.structure <= 2 : info.structure == 0) {
        info.capacity_known = true;
        info.capacity_bytes = csd_v1_capacity(csd);
    } else if (layout == RegisterLayout::sd && info.structure == 1) {
        info.capacity_known = true;
        info.capacity_bytes = csd_v2_capacity(csd);
    }
    return info;
}

// How a CID is laid out: SD's, or an MMC's by the version given in
// its CSD (SPEC_VERS): 1.x with a 24-bit manufacturer and a seven-character
// name, 2.x and 3.x with a two-letter OEM, 4.x with a one-byte OEM.
enum class CidLayout : std::uint8_t { sd, mmc_v1, mmc_v2, mmc_v4 };

constexpr CidLayout cid_layout(RegisterLayout layout, const CardRegister& csd) {
    if (layout == RegisterLayout::sd) return CidLayout::sd;
    const std::uint32_t spec_vers = register_bits(csd, 125, 122);
    return spec_vers <= 1 ? CidLayout::mmc_v1 : spec_vers <= 3 ? CidLayout::mmc_v2 : CidLayout::mmc_v4;
}

struct CidInfo {
    std::uint32_t manufacturer = 0;    // MID: 24 bits on an MMC 1.x, else 8
    std::uint16_t oem = 0;             // OID: two letters (SD, MMC 2.x-3.x), one byte (MMC 4.x), none (MMC 1.x)
    int oem_letters = 2;               // 2: oem holds two letters; 1: a byte; 0: none
    std::array<char, 8> name{};        // PNM: five characters on SD, six on MMC, seven on MMC 1.x
    std::uint8_t revision_major = 0;   // PRV n.m (MMC 1.x: hardware and firmware revision)
    std::uint8_t revision_minor = 0;
    std::uint32_t serial = 0;          // PSN
    unsigned year = 0;                 // MDT
    unsigned month = 0;
};

constexpr CidInfo decode_cid(const CardRegister& cid, CidLayout layout) {
    CidInfo info;
    const bool sd = layout == CidLayout::sd;
    const bool v1 = layout == CidLayout::mmc_v1;
    info.manufacturer = v1 ? register_bits(cid, 127, 104) : cid[0];
    info.oem_letters = v1 ? 0 : layout == CidLayout::mmc_v4 ? 1 : 2;
    info.oem = static_cast<std::uint16_t>(layout == CidLayout::mmc_v4 ? register_bits(cid, 111, 104)
                                          : v1                        ? 0
                                                                      : register_bits(cid, 119, 104));
    const std::size_t name_length = sd ? 5 : v1 ? 7 : 6;
    for (std::size_t i = 0; i < name_length; ++i) info.name[i] = static_cast<char>(cid[3 + i]);
    const std::uint8_t revision = cid[sd ? 8 : v1 ? 10 : 9];
    info.revision_major = revision >> 4;
    info.revision_minor = revision & 0x0F;
    info.serial = sd ? register_bits(cid, 55, 24) : v1 ? register_bits(cid, 39, 16) : register_bits(cid, 47, 16);
    info.year = sd ? 2000 + register_bits(cid, 19, 12) : 1997 + register_bits(cid, 11, 8);
    info.month = sd ? register_bits(cid, 11, 8) : register_bits(cid, 15, 12);
    return info;
}

// The kinds of card told apart by how they come up and by their CSD.
enum class CardType : std::uint8_t { unknown, mmc, sdsc_v1, sdsc_v2, sdhc, sdxc };

// Block-addressed SD cards from 32 GiB up (C_SIZE 0xFFFF and more) are SDXC;
// below it they are SDHC, whose C_SIZE ends at 0xFF5F.
inline constexpr std::uint64_t sdxc_smallest_bytes = 32ull * 1024 * 1024 * 1024;

constexpr const char* card_type_name(CardType kind) {
    constexpr std::array<const char*, 6> names{"unknown", "MMC", "SDSC v1", "SDSC v2", "SDHC", "SDXC"};
    return names[static_cast<std::size_t>(kind)];
}
