// The SD card's own registers beyond CID and CSD, decoded: the SCR, the SD
// Status, CMD6's switch status and the card status of CMD13; the published
// manufacturer IDs; the CSD with its temporary write protection changed;
// the data block of a lock or unlock command.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "card/registers.h"

using ScrRegister = std::array<std::uint8_t, 8>;
using SdStatusBlock = std::array<std::uint8_t, 64>;
using SwitchStatusBlock = std::array<std::uint8_t, 64>;

// Bits msb..lsb (at most 32) of a register sent most significant byte first;
// bit 0 is the last byte's lowest bit.
constexpr std::uint32_t field_bits(std::span<const std::uint8_t> reg, int msb, int lsb) {
    const int total = static_cast<int>(reg.size()) * 8;
    std::uint32_t value = 0;
    for (int bit = msb; bit >= lsb; --bit) {
        const auto byte = static_cast<std::size_t>((total - 1 - bit) / 8);
        value = value << 1 | ((reg[byte] >> (bit % 8)) & 1u);
    }
    return value;
}

struct ScrInfo {
    std::string_view spec_version;   // "1.0" ... "9.x", or "unknown"
    std::uint8_t erased_value = 0;   // what erased data reads as: 0x00 or 0xFF
    std::string_view security;       // SD_SECURITY in words
    bool bus_1bit = false;
    bool bus_4bit = false;
    bool cmd20 = false;              // speed class control
    bool cmd23 = false;              // set block count
    bool cmd48_49 = false;           // extension register single block
    bool cmd58_59 = false;           // extension register multi-block
};

ScrInfo decode_scr(const ScrRegister& scr);

struct SdStatusInfo {
    unsigned speed_class = 0;          // 0, 2, 4, 6 or 10
    unsigned uhs_grade = 0;            // UHS_SPEED_GRADE
    unsigned video_class = 0;          // VIDEO_SPEED_CLASS
    unsigned app_class = 0;            // APP_PERF_CLASS: 0, 1 (A1) or 2 (A2)
    std::uint32_t au_kib = 0;          // AU_SIZE in KiB; 0 when not defined
    unsigned erase_size_au = 0;        // ERASE_SIZE: AUs erased at a time; 0: no time-out given
    unsigned erase_timeout_s = 0;      // ERASE_TIMEOUT for erase_size_au AUs
    unsigned erase_offset_s = 0;       // ERASE_OFFSET
    std::uint32_t protected_area = 0;  // SIZE_OF_PROTECTED_AREA as the card gives it
};

SdStatusInfo decode_sd_status(const SdStatusBlock& status);

// The erase time-out in milliseconds for `sectors` sectors: from the SD
// Status erase fields when the card gives them, else 250 ms per erase group
// of `group_sectors`; at least a second either way.
std::uint64_t erase_timeout_ms(const SdStatusInfo* status, std::uint64_t sectors, std::uint32_t group_sectors);

struct SwitchInfo {
    unsigned max_current_ma = 0;  // 0: the card reported an error
    bool high_speed = false;      // function 1 of group 1 is supported
};

SwitchInfo decode_switch_status(const SwitchStatusBlock& status);

// The byte after R1 in an R2 (CMD13's answer).
namespace status_bits {
inline constexpr std::uint8_t locked = 0x01;
inline constexpr std::uint8_t lock_failed = 0x02;   // also a write-protected erase skipped
inline constexpr std::uint8_t error = 0x04;
inline constexpr std::uint8_t cc_error = 0x08;
inline constexpr std::uint8_t ecc_failed = 0x10;
inline constexpr std::uint8_t wp_violation = 0x20;
inline constexpr std::uint8_t erase_param = 0x40;
inline constexpr std::uint8_t out_of_range = 0x80;  // also CSD overwrite
}  // namespace status_bits

// The manufacturer's name for an SD or MMC manufacturer ID, or "unknown".
std::string_view manufacturer_name(std::uint8_t id, RegisterLayout layout);

// The CSD with TMP_WRITE_PROTECT set or cleared and its CRC7 byte recomputed.
CardRegister csd_with_temporary_protect(const CardRegister& csd, bool protect);

// CMD42's data block: a flags byte, the length of what follows, passwords.
inline constexpr std::size_t password_max = 16;
namespace lock_flags {
inline constexpr std::uint8_t set_password = 0x01;
inline constexpr std::uint8_t clear_password = 0x02;
inline constexpr std::uint8_t lock = 0x04;
inline constexpr std::uint8_t force_erase = 0x08;
}  // namespace lock_flags
using LockBlock = std::array<std::uint8_t, 2 + 2 * password_max>;

// Builds the block into `block` and returns its length (the block length to
// set with CMD16): the flags, then old and new password one after the other
// (a new password only when setting one). Passwords longer than
// password_max give 0.
std::size_t lock_block(std::uint8_t flags, std::string_view old_password, std::string_view new_password,
                       LockBlock& block);
