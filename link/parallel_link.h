// The parallel port as an SPI link: the line driver. Every output line is a
// bit of the data register (port/wiring.h), DO comes in on status bit 7, and
// each byte is clocked by the port backend's own bit loops.
#pragma once

#include "link/spi_link.h"

namespace spi {

class ParallelLink final : public Link {
public:
    bool start() override;
    void power(bool on) override;
    void select(bool selected) override;
    void stop() override;
    void transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) override;
    // At the initialisation rate each bit in writes the clock low twice, as
    // the known sequence does; faster, once.
    void set_clock(std::uint32_t hz) override { lean_ = hz > init_hz; }
    void pause_ns(std::uint64_t ns) override;
    [[nodiscard]] std::uint64_t now_ns() override;
    [[nodiscard]] bool healthy() override;
    [[nodiscard]] Capabilities capabilities() const override;

    // The line pattern last set for the data register (the shadow byte).
    [[nodiscard]] std::uint8_t mmc_o_val() const { return mmc_o_val_; }

private:
    std::uint8_t mmc_o_val_ = 0;
    bool lean_ = false;
};

}  // namespace spi
