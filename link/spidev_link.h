// A Linux spidev device as the link: SPI mode 0, whole spans per ioctl
// within the kernel's buffer, chip select by the controller or by a GPIO
// line. It cannot switch the card's supply.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/file_lock.h"
#include "base/outcome.h"
#include "link/spi_link.h"

namespace spi {

struct SpidevTarget {
    std::string device;                 // /dev/spidevB.C
    std::uint32_t max_hz = 25'000'000;  // hz=
    std::string gpio_chip;              // cs=gpiochipN:LINE: /dev/gpiochipN, empty: the controller's CS
    std::uint32_t gpio_line = 0;
    bool lock = true;                   // take the device's lock file (a stand-in's card is locked by its image)
};

class SpidevLink final : public Link {
public:
    static Outcome open(const SpidevTarget& target, std::unique_ptr<SpidevLink>& made);
    ~SpidevLink() override;
    SpidevLink(const SpidevLink&) = delete;
    SpidevLink& operator=(const SpidevLink&) = delete;

    bool start() override { return healthy_; }
    void power(bool) override { select(false); }
    void select(bool selected) override;
    void stop() override { select(false); }
    void transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) override;
    void set_clock(std::uint32_t hz) override { hz_ = hz < max_hz_ ? hz : max_hz_; }
    void pause_ns(std::uint64_t ns) override;
    [[nodiscard]] std::uint64_t now_ns() override;
    [[nodiscard]] bool healthy() override { return healthy_; }
    [[nodiscard]] Capabilities capabilities() const override;

private:
    explicit SpidevLink(const SpidevTarget& target) : device_(target.device), max_hz_(target.max_hz) {}
    Outcome configure(const SpidevTarget& target);
    Outcome request_gpio(const SpidevTarget& target);
    bool set_mode(std::uint32_t mode);
    void set_gpio(bool high);
    // One SPI_IOC_MESSAGE: tx out, then rx in with DI high; CS stays
    // asserted after it while the card is selected.
    void message(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx, bool keep_selected);

    std::string device_;
    std::uint32_t max_hz_;
    std::uint32_t hz_ = init_hz;
    int fd_ = -1;
    int gpio_fd_ = -1;  // the requested CS line, when a GPIO is chip select
    bool no_cs_ = false;  // the controller clocks without its CS (SPI_NO_CS)
    bool selected_ = false;
    bool healthy_ = true;
    std::size_t bufsiz_ = 4096;
    std::vector<std::uint8_t> ones_;  // DI held high while bytes come in
    PortLock lock_;                   // one run per device
};

}  // namespace spi
