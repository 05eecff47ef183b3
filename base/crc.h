// The two checksums of the SD/MMC link: CRC7 over command frames and
// registers, CRC16 (CCITT, start 0) over data blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace crc {

// CRC7 with polynomial x^7 + x^3 + 1, in the low seven bits.
constexpr std::uint8_t crc7(std::span<const std::uint8_t> bytes) {
    std::uint8_t crc = 0;
    for (std::uint8_t byte : bytes) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = (((byte >> bit) ^ (crc >> 6)) & 1) != 0;
            crc = static_cast<std::uint8_t>((crc << 1) & 0x7F);
            if (in) crc ^= 0x09;
        }
    }
    return crc;
}

// The byte that ends a command frame or a register: CRC7 and the end bit.
constexpr std::uint8_t crc7_end_byte(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint8_t>(crc7(bytes) << 1 | 1);
}

// CRC16 with polynomial x^16 + x^12 + x^5 + 1, a table entry per leading byte.
inline constexpr auto crc16_table = [] {
    std::array<std::uint16_t, 256> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        auto crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[i] = crc;
    }
    return table;
}();

// The CRC16 so far, one byte more.
constexpr std::uint16_t crc16_add(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>(crc << 8 ^ crc16_table[(crc >> 8 ^ byte) & 0xFF]);
}

constexpr std::uint16_t crc16(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t byte : bytes) crc = crc16_add(crc, byte);
    return crc;
}

}  // namespace crc
