// A sector device whose every transfer is logged as a line, "read 0x10+4:
// ok" (its first sector, its count, and what came of it): what the modes
// asked of the device, in order.
#pragma once

#include <functional>
#include <string_view>

#include "disk/sector_device.h"

class TracedDevice final : public WrappedDevice {
public:
    using Log = std::function<void(std::string_view line)>;
    TracedDevice(SectorDevice& inner, Log log) : WrappedDevice(inner), log_(std::move(log)) {}

    CardResult read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) override;
    CardResult write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) override;
    CardResult read_sector(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) override;
    CardResult write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) override;

private:
    CardResult logged(const char* what, std::uint32_t first, std::size_t bytes, CardResult result);
    Log log_;
};

// A result's name as the log shows it ("ok", "bad-crc", "out-of-range").
[[nodiscard]] const char* result_name(CardResult result);
