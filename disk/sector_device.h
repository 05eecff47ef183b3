// A device of 512-byte sectors read and written in runs: what the modes
// that copy, test, probe or serve sectors work over, whatever holds them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "card/card_types.h"

enum class Transfer : std::uint8_t { read, write };

class SectorDevice {
public:
    [[nodiscard]] static constexpr std::size_t sector_bytes() { return sector_size; }
    // Sectors the device holds; 0 when it does not say.
    [[nodiscard]] virtual std::uint64_t sectors() = 0;

    // buf.size() / sector_size consecutive sectors from first; done: sectors
    // moved correctly before a failure (all of them on success).
    virtual CardResult read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) = 0;
    virtual CardResult write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) = 0;
    // One sector on its own, where the device has a command for that (a
    // card's single-block read and write); else a run of one.
    virtual CardResult read_sector(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf);
    virtual CardResult write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf);

    // Sectors one run should move: long runs are fast, short ones let Ctrl+C
    // take effect soon.
    [[nodiscard]] virtual std::uint32_t run_sectors() { return default_run_sectors; }
    // Blocks read again since the device came up (each extra attempt counts one).
    [[nodiscard]] virtual std::uint32_t rereads() { return 0; }
    // The last failed transfer, in words ("data response 0D: write error").
    [[nodiscard]] virtual std::string failure_text() { return "transfer failed"; }
    // True once the device cannot be reached at all (its adapter failed):
    // nothing more is worth trying.
    [[nodiscard]] virtual bool gone() { return false; }
    // A monotonic clock in nanoseconds that times the transfers.
    [[nodiscard]] virtual std::uint64_t now_ns();

    static constexpr std::uint32_t default_run_sectors = 32;

protected:
    ~SectorDevice() = default;
};

// A device over another that passes everything on: a wrapper overrides only
// what it adds (timing, saving, tracing).
class WrappedDevice : public SectorDevice {
public:
    explicit WrappedDevice(SectorDevice& inner) : inner_(inner) {}

    std::uint64_t sectors() override { return inner_.sectors(); }
    CardResult read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) override {
        return inner_.read(first, buf, done);
    }
    CardResult write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) override {
        return inner_.write(first, buf, done);
    }
    CardResult read_sector(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) override {
        return inner_.read_sector(sector, buf);
    }
    CardResult write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) override {
        return inner_.write_sector(sector, buf);
    }
    std::uint32_t run_sectors() override { return inner_.run_sectors(); }
    std::uint32_t rereads() override { return inner_.rereads(); }
    std::string failure_text() override { return inner_.failure_text(); }
    bool gone() override { return inner_.gone(); }
    std::uint64_t now_ns() override { return inner_.now_ns(); }

protected:
    ~WrappedDevice() = default;
    SectorDevice& inner_;
};

// Sector i of a buffer of whole sectors.
[[nodiscard]] inline std::span<std::uint8_t, sector_size> sector_in(std::span<std::uint8_t> buf, std::size_t i) {
    return buf.subspan(i * sector_size).first<sector_size>();
}
[[nodiscard]] inline std::span<const std::uint8_t, sector_size> sector_in(std::span<const std::uint8_t> buf, std::size_t i) {
    return buf.subspan(i * sector_size).first<sector_size>();
}
