// The card on four (or five) GPIO lines of one chip through the kernel's
// GPIO character device: one line request for all of them, outputs set
// together by mask in one ioctl, MISO read with a pull-up in another.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "port/line_driver.h"

struct GpioTarget {
    std::string chip;  // /dev/gpiochipN
    std::uint32_t sck = 0, mosi = 0, miso = 0, cs = 0;
    std::optional<std::uint32_t> power;  // a line that switches the card's supply, high for on
};

class GpioLines final : public LineDriver {
public:
    explicit GpioLines(GpioTarget target) : target_(std::move(target)) {}
    ~GpioLines() override;

    void write_data(std::uint8_t lines) override;
    std::uint8_t read_status() override;
    Outcome acquire() override;
    [[nodiscard]] bool release() override;
    [[nodiscard]] bool link_ok() override { return fault_.empty(); }
    [[nodiscard]] std::string fault() const override { return fault_; }
    [[nodiscard]] LineTraits traits() const override;
    [[nodiscard]] std::uint64_t now_ns() override;
    void pause_ns(std::uint64_t ns) override;

    // The lines in the request's order, MISO last but the supply.
    [[nodiscard]] std::array<std::uint32_t, 5> offsets() const;
    [[nodiscard]] std::uint32_t line_count() const { return target_.power ? 5 : 4; }

private:
    Outcome check_free(int chip) const;
    Outcome request(int chip);
    void failed(const char* call);

    GpioTarget target_;
    int fd_ = -1;
    std::uint64_t last_bits_ = ~std::uint64_t{0};
    std::string fault_;
};
