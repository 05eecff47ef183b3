// The two checksums of the SD/MMC link: CRC7 over command frames and
// registers, CRC16-CCITT over data blocks.
#pragma once

#include <cstdint>
#include <span>

// CRC7 (polynomial x^7 + x^3 + 1), as the 7 bits that precede a frame's end bit.
constexpr std::uint8_t crc7(std::span<const std::uint8_t> data) {
    std::uint8_t crc = 0;
    for (std::uint8_t byte : data) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((byte >> bit) & 1) != ((crc >> 6) & 1);
            crc = static_cast<std::uint8_t>((crc << 1) & 0x7F);
            if (in) crc ^= 0x09;
        }
    }
    return crc;
}

// The last byte of a frame or register: CRC7 and the end bit.
constexpr std::uint8_t crc7_byte(std::span<const std::uint8_t> data) {
    return static_cast<std::uint8_t>(crc7(data) << 1 | 1);
}

// CRC16-CCITT (polynomial 0x1021, start 0) of a data block.
constexpr std::uint16_t crc16(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0;
    for (std::uint8_t byte : data) {
        crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}
