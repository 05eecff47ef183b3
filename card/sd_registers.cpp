#include "card/sd_registers.h"

#include <algorithm>

namespace {

std::string_view scr_version(const ScrRegister& scr) {
    const std::uint32_t spec = field_bits(scr, 59, 56);
    const bool spec3 = field_bits(scr, 47, 47) != 0;
    const bool spec4 = field_bits(scr, 42, 42) != 0;
    const std::uint32_t specx = field_bits(scr, 41, 38);
    constexpr std::array<std::string_view, 6> from_specx{"3.0", "5.x", "6.x", "7.x", "8.x", "9.x"};
    if (spec == 0) return "1.0";
    if (spec == 1) return "1.1";
    if (spec != 2) return "unknown";
    if (!spec3) return "2.0";
    if (specx == 0) return spec4 ? "4.x" : "3.0";
    return specx < from_specx.size() ? from_specx[specx] : "unknown";
}

std::string_view security_name(std::uint32_t code) {
    constexpr std::array<std::string_view, 5> names{"none", "not used", "SDSC security 1.01", "SDHC security 2.00",
                                                    "SDXC security 3.xx"};
    return code < names.size() ? names[code] : "reserved";
}

// AU_SIZE codes in KiB.
constexpr std::array<std::uint32_t, 16> au_kib{0,    16,   32,   64,    128,   256,   512,   1024,
                                               2048, 4096, 8192, 12288, 16384, 24576, 32768, 65536};
// SPEED_CLASS codes: Class 0, 2, 4, 6, 10.
constexpr std::array<unsigned, 5> speed_classes{0, 2, 4, 6, 10};

constexpr std::uint32_t erase_ms_per_group = 250;
constexpr std::uint64_t least_erase_ms = 1000;
constexpr std::uint32_t kib_sectors = 2;
constexpr int tmp_write_protect_bit = 12;
constexpr std::uint32_t high_speed_function = 0x0002;  // function 1 of group 1

struct Maker {
    std::uint8_t id;
    std::string_view name;
};

// Manufacturer IDs as published for SD cards and for MMC/eMMC.
constexpr std::array<Maker, 17> sd_makers{{
    {0x01, "Panasonic"}, {0x02, "Toshiba"},       {0x03, "SanDisk"},      {0x09, "ATP"},
    {0x13, "Kingmax"},   {0x1A, "PQI"},           {0x1B, "Samsung"},      {0x1D, "ADATA"},
    {0x27, "Phison"},    {0x28, "Lexar"},         {0x31, "Silicon Power"}, {0x41, "Kingston"},
    {0x51, "STEC"},      {0x5D, "Swissbit"},      {0x74, "Transcend"},    {0x76, "Patriot"},
    {0x82, "Sony"},
}};
constexpr std::array<Maker, 7> mmc_makers{{
    {0x11, "Toshiba"}, {0x13, "Micron"}, {0x15, "Samsung"}, {0x45, "SanDisk"},
    {0x70, "Kingston"}, {0x90, "SK Hynix"}, {0xFE, "Micron"},
}};

}  // namespace

ScrInfo decode_scr(const ScrRegister& scr) {
    ScrInfo info;
    info.spec_version = scr_version(scr);
    info.erased_value = field_bits(scr, 55, 55) ? 0xFF : 0x00;
    info.security = security_name(field_bits(scr, 54, 52));
    const std::uint32_t widths = field_bits(scr, 51, 48);
    info.bus_1bit = (widths & 1) != 0;
    info.bus_4bit = (widths & 4) != 0;
    const std::uint32_t cmds = field_bits(scr, 35, 32);
    info.cmd20 = (cmds & 1) != 0;
    info.cmd23 = (cmds & 2) != 0;
    info.cmd48_49 = (cmds & 4) != 0;
    info.cmd58_59 = (cmds & 8) != 0;
    return info;
}

SdStatusInfo decode_sd_status(const SdStatusBlock& status) {
    SdStatusInfo info;
    info.protected_area = field_bits(status, 479, 448);
    const std::uint32_t speed = field_bits(status, 447, 440);
    info.speed_class = speed < speed_classes.size() ? speed_classes[speed] : 0;
    info.au_kib = au_kib[field_bits(status, 431, 428)];
    info.erase_size_au = field_bits(status, 423, 408);
    info.erase_timeout_s = field_bits(status, 407, 402);
    info.erase_offset_s = field_bits(status, 401, 400);
    info.uhs_grade = field_bits(status, 399, 396);
    info.video_class = field_bits(status, 391, 384);
    info.app_class = field_bits(status, 339, 336);
    return info;
}

std::uint64_t erase_timeout_ms(const SdStatusInfo* status, std::uint64_t sectors, std::uint32_t group_sectors) {
    std::uint64_t ms = 0;
    if (status && status->erase_size_au && status->erase_timeout_s && status->au_kib) {
        const std::uint64_t au_sectors = std::uint64_t{status->au_kib} * kib_sectors;
        const std::uint64_t aus = (sectors + au_sectors - 1) / au_sectors;
        ms = (std::uint64_t{status->erase_timeout_s} * aus / status->erase_size_au + status->erase_offset_s) * 1000;
    } else {
        const std::uint64_t group = std::max<std::uint32_t>(group_sectors, 1);
        ms = (sectors + group - 1) / group * erase_ms_per_group;
    }
    return std::max(ms, least_erase_ms);
}

SwitchInfo decode_switch_status(const SwitchStatusBlock& status) {
    return {field_bits(status, 511, 496), (field_bits(status, 415, 400) & high_speed_function) != 0};
}

std::string_view manufacturer_name(std::uint8_t id, RegisterLayout layout) {
    const std::span<const Maker> makers = layout == RegisterLayout::sd ? std::span<const Maker>(sd_makers)
                                                                       : std::span<const Maker>(mmc_makers);
    const auto found = std::find_if(makers.begin(), makers.end(), [&](const Maker& m) { return m.id == id; });
    return found == makers.end() ? "unknown" : found->name;
}

CardRegister csd_with_temporary_protect(const CardRegister& csd, bool protect) {
    CardRegister changed = csd;
    const std::size_t byte = 15 - tmp_write_protect_bit / 8;
    const auto mask = static_cast<std::uint8_t>(1u << (tmp_write_protect_bit % 8));
    changed[byte] = static_cast<std::uint8_t>(protect ? changed[byte] | mask : changed[byte] & ~mask);
    changed[15] = crc::crc7_end_byte(std::span<const std::uint8_t>(changed.data(), 15));
    return changed;
}

std::size_t lock_block(std::uint8_t flags, std::string_view old_password, std::string_view new_password,
                       LockBlock& block) {
    if (old_password.size() > password_max || new_password.size() > password_max) return 0;
    block.fill(0);
    block[0] = flags;
    std::size_t at = 2;
    for (char c : old_password) block[at++] = static_cast<std::uint8_t>(c);
    if (flags & lock_flags::set_password)
        for (char c : new_password) block[at++] = static_cast<std::uint8_t>(c);
    block[1] = static_cast<std::uint8_t>(at - 2);
    return flags == lock_flags::force_erase ? 1 : at;
}
