#include "disk/traced_device.h"

#include <array>
#include <cstdio>

const char* result_name(CardResult result) {
    static constexpr std::array<const char*, 11> names{"ok",       "no-link", "cmd0-failed", "cmd1-failed",
                                                       "rejected", "no-data", "still-busy",  "bad-crc",
                                                       "out-of-range", "unclear", "no-ocr"};
    const auto i = static_cast<std::size_t>(result);
    return i < names.size() ? names[i] : "?";
}

CardResult TracedDevice::logged(const char* what, std::uint32_t first, std::size_t bytes, CardResult result) {
    char line[64];
    std::snprintf(line, sizeof line, "%s 0x%X+%u: %s", what, static_cast<unsigned>(first),
                  static_cast<unsigned>(bytes / sector_size), result_name(result));
    log_(line);
    return result;
}

CardResult TracedDevice::read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    return logged("read", first, buf.size(), inner_.read(first, buf, done));
}

CardResult TracedDevice::write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    return logged("write", first, buf.size(), inner_.write(first, buf, done));
}

CardResult TracedDevice::read_sector(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    return logged("read", sector, buf.size(), inner_.read_sector(sector, buf));
}

CardResult TracedDevice::write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    return logged("write", sector, buf.size(), inner_.write_sector(sector, buf));
}
