// The parallel port's registers at base (data) and base + 1 (status),
// through I/O port instructions.
#pragma once

#include <cstdint>

#include "base/file_lock.h"
#include "port/line_driver.h"
#include "port/wiring.h"

class DirectPort final : public LineDriver {
public:
    explicit DirectPort(std::uint16_t base = wiring::default_base);

    void write_data(std::uint8_t lines) override;
    std::uint8_t read_status() override;
    Outcome acquire() override;
    [[nodiscard]] bool release() override;
    [[nodiscard]] bool link_ok() override;
    [[nodiscard]] bool needs_io_privilege() const override { return true; }
    [[nodiscard]] std::uint64_t now_ns() override;
    void pause_ns(std::uint64_t ns) override;

private:
    std::uint16_t base_;
    // Keeps a second run of the program off the port while this one has it.
    PortLock lock_;
};
