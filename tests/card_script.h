// What the card layer puts on the port, written out by hand for the tests:
// data-register values for bytes sent and clocked in, command frames with
// their CRC bytes, data blocks as a card sends them.
#pragma once

#include <cstdint>
#include <vector>

#include "base/crc.h"
#include "tests/test_util.h"

// Writes for bytes sent with the card powered and selected: two per bit.
inline Bytes sent(const Bytes& bytes) {
    Bytes w;
    for (std::uint8_t byte : bytes)
        for (int bit = 7; bit >= 0; --bit) w.insert(w.end(), {std::uint8_t(0xF8 | ((byte >> bit) & 1) << 2), std::uint8_t(0xF9 | ((byte >> bit) & 1) << 2)});
    return w;
}

// Writes for n bytes clocked in by the known byte-in: clock low twice, then high.
inline Bytes clocked_in(std::size_t n) {
    Bytes w;
    for (std::size_t i = 0; i < n * 8; ++i) w.insert(w.end(), {0xFC, 0xFC, 0xFD});
    return w;
}

// Writes for n bytes clocked in by the lean byte-in: clock low once, then high.
inline Bytes lean_in(std::size_t n) {
    Bytes w;
    for (std::size_t i = 0; i < n * 8; ++i) w.insert(w.end(), {0xFC, 0xFD});
    return w;
}

// A command frame as it goes out: gap byte, command, argument, CRC byte.
inline Bytes frame(std::uint8_t index, std::uint32_t arg, std::uint8_t crc) {
    return {0xFF, std::uint8_t(0x40 | index), std::uint8_t(arg >> 24), std::uint8_t(arg >> 16), std::uint8_t(arg >> 8),
            std::uint8_t(arg), crc};
}

// A command frame with its CRC7, as frames other than the known ones go out.
inline Bytes frame7(std::uint8_t index, std::uint32_t arg) {
    const Bytes f = frame(index, arg, 0);
    return frame(index, arg, crc::crc7_end_byte(std::span<const std::uint8_t>(f.data() + 1, 5)));
}

// A data block as the card sends it: start token, the bytes, their CRC16.
inline Bytes data_block(const Bytes& data, std::uint16_t crc_change = 0) {
    const std::uint16_t crc = crc::crc16(data) ^ crc_change;
    return Bytes{0xFE} + data + Bytes{std::uint8_t(crc >> 8), std::uint8_t(crc)};
}

inline Bytes counting(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
    return b;
}
