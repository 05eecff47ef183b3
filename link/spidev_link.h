// A Linux spidev device as the link: SPI mode 0, whole spans per ioctl
// within the kernel's buffer as the kernel counts it, chip select by the
// controller or by a GPIO line. It cannot switch the card's supply.
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
    // align=: the kernel rounds each transfer up to this in its buffer (its
    // DMA alignment: 128 on arm64, less elsewhere).
    std::size_t align = 128;
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
    void clock_deselected(std::size_t bytes) override;
    void set_clock(std::uint32_t hz) override { hz_ = hz < max_hz_ ? hz : max_hz_; }
    void pause_ns(std::uint64_t ns) override;
    [[nodiscard]] std::uint64_t now_ns() override;
    [[nodiscard]] bool healthy() override { return healthy_; }
    [[nodiscard]] std::string fault() const override { return fault_; }
    [[nodiscard]] Capabilities capabilities() const override;
    // What to wire, when the card's wake-up clocks can only go out with CS
    // low; empty when they go out with CS high.
    [[nodiscard]] const std::string& wiring_advice() const { return advice_; }

private:
    explicit SpidevLink(const SpidevTarget& target) : device_(target.device), max_hz_(target.max_hz) {}
    Outcome configure(const SpidevTarget& target);
    Outcome size_messages(std::size_t align);
    Outcome request_gpio(const SpidevTarget& target);
    bool set_mode(std::uint32_t mode);
    void set_gpio(bool high);
    // SPI_IOC_MESSAGEs that clock tx out, then rx.size() bytes in with DI
    // high, each one transfer that fits the kernel's buffer.
    void messages(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx, bool keep_selected);
    void message(std::size_t length, bool receive, bool keep_selected);
    void failed(const std::string& why);

    std::string device_;
    std::uint32_t max_hz_;
    std::uint32_t hz_ = init_hz;
    int fd_ = -1;
    int gpio_fd_ = -1;        // the requested CS line, when a GPIO is chip select
    std::uint32_t mode_ = 0;  // the mode in force
    bool no_cs_ = false;      // the controller clocks without its CS (SPI_NO_CS)
    bool cs_high_ = false;    // the controller's CS can be made active high (SPI_CS_HIGH)
    bool selected_ = false;
    bool healthy_ = true;
    std::size_t bufsiz_ = 4096;
    std::size_t chunk_ = 4096;          // the longest transfer the buffer holds, aligned
    std::vector<std::uint8_t> out_;     // a transfer's bytes out: tx, then FF (DI high) while bytes come in
    std::vector<std::uint8_t> in_;      // a transfer's bytes in
    std::string fault_;
    std::string advice_;
    PortLock lock_;                     // one run per device
};

}  // namespace spi
