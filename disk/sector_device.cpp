#include "disk/sector_device.h"

#include <chrono>

CardResult SectorDevice::read_sector(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    std::uint32_t done = 0;
    return read(sector, buf, done);
}

CardResult SectorDevice::write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    std::uint32_t done = 0;
    return write(sector, buf, done);
}

std::uint64_t SectorDevice::now_ns() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}
