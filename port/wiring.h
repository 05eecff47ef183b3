// The adapter's wiring: which data-register bit drives which card line, and
// where the card's data output shows up in the status register.
#pragma once

#include <array>
#include <cstdint>

namespace wiring {

enum class Line : std::uint8_t { sck, cs, di, supply };

struct LineBits {
    Line line;
    const char* name;
    std::uint8_t mask;
};

// Data register: one entry per output line. A 1 means clock high, card not
// selected, data bit 1, supply on (all five supply bits together).
inline constexpr std::array<LineBits, 4> data_lines{{
    {Line::sck, "SCK", 0x01},
    {Line::cs, "CS", 0x02},
    {Line::di, "DI", 0x04},
    {Line::supply, "PWR", 0xF8},
}};

constexpr std::uint8_t mask_of(Line line) {
    for (const auto& entry : data_lines) {
        if (entry.line == line) return entry.mask;
    }
    return 0;
}

inline constexpr std::uint8_t sck = mask_of(Line::sck);
inline constexpr std::uint8_t cs = mask_of(Line::cs);
inline constexpr std::uint8_t di = mask_of(Line::di);
inline constexpr std::uint8_t supply = mask_of(Line::supply);

// Status register bit 7 carries DO, read inverted by the port: the bit reads
// 0 while the card drives DO high.
inline constexpr std::uint8_t do_status = 0x80;
inline constexpr const char* do_name = "DO";

inline constexpr std::uint16_t default_base = 0x378;

}  // namespace wiring
