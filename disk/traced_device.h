// A sector device whose every transfer is logged as a line, "read 0x10+4:
// ok" (its first sector, its count, and what came of it): what the modes
// asked of the device, in order.
#pragma once

#include <functional>
#include <string_view>

#include "disk/sector_device.h"

class TracedDevice final : public SectorDevice {
public:
    using Log = std::function<void(std::string_view line)>;
    TracedDevice(SectorDevice& inner, Log log) : inner_(inner), log_(std::move(log)) {}

    std::uint64_t sectors() override { return inner_.sectors(); }
    CardResult read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) override;
    CardResult write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) override;
    CardResult read_sector(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) override;
    CardResult write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) override;
    std::uint32_t run_sectors() override { return inner_.run_sectors(); }
    std::uint32_t rereads() override { return inner_.rereads(); }
    std::string failure_text() override { return inner_.failure_text(); }
    bool gone() override { return inner_.gone(); }
    std::uint64_t now_ns() override { return inner_.now_ns(); }

private:
    CardResult logged(const char* what, std::uint32_t first, std::size_t bytes, CardResult result);
    SectorDevice& inner_;
    Log log_;
};

// A result's name as the log shows it ("ok", "bad-crc", "out-of-range").
[[nodiscard]] const char* result_name(CardResult result);
