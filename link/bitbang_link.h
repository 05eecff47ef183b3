// One bit-bang SPI master over any line driver (the parallel port, GPIO
// lines, an FTDI chip's bit-bang pins): it sets the card's lines as a
// pattern laid out as the port's data register (port/wiring.h) and reads
// DO as the port's status register shows it, bit by bit.
#pragma once

#include <array>
#include <memory>

#include "link/spi_link.h"
#include "port/line_driver.h"

namespace spi {

class BitBangLink final : public Link {
public:
    explicit BitBangLink(LineDriver& lines) : lines_(&lines) {}
    explicit BitBangLink(std::unique_ptr<LineDriver> owned) : owned_(std::move(owned)), lines_(owned_.get()) {}

    bool start() override;
    void power(bool on) override;
    void select(bool selected) override;
    void stop() override;
    void transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) override;
    // At the initialisation rate each bit in writes the clock low twice, as
    // the known sequence does; faster (or on lines with a pace of their own), once.
    void set_clock(std::uint32_t hz) override;
    void pause_ns(std::uint64_t ns) override { lines_->pause_ns(ns); }
    [[nodiscard]] std::uint64_t now_ns() override { return lines_->now_ns(); }
    [[nodiscard]] bool healthy() override { return lines_->link_ok(); }
    [[nodiscard]] std::string fault() const override { return lines_->fault(); }
    [[nodiscard]] Capabilities capabilities() const override;
    Outcome acquire() override { return lines_->acquire(); }
    [[nodiscard]] bool release() override { return lines_->release(); }
    [[nodiscard]] bool needs_io_privilege() const override { return lines_->needs_io_privilege(); }

    // The driver the lines go through, and one to route them through instead
    // (a trace that passes them on to the driver).
    [[nodiscard]] LineDriver& lines() { return *lines_; }
    void route_through(LineDriver& lines) { lines_ = &lines; }

    // The line pattern last set (the shadow byte).
    [[nodiscard]] std::uint8_t mmc_o_val() const { return mmc_o_val_; }

private:
    void shift_out(std::uint8_t data);
    void shift_in(std::span<std::uint8_t> rx);

    std::unique_ptr<LineDriver> owned_;
    LineDriver* lines_;
    std::uint8_t mmc_o_val_ = 0;
    bool lean_ = false;
    // DO as read for each bit of the bytes in, up to a chunk of bytes at a time.
    static constexpr std::size_t chunk_bytes = 512;
    std::array<std::uint8_t, chunk_bytes * 8> statuses_{};
};

}  // namespace spi
