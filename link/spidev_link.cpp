#include "link/spidev_link.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>

#include "base/system_calls.h"

namespace spi {

namespace {

constexpr const char* bufsiz_path = "/sys/module/spidev/parameters/bufsiz";
constexpr std::size_t default_bufsiz = 4096;
constexpr std::uint8_t bits_per_word = 8;

std::string why_errno(const std::string& what) { return what + ": " + std::strerror(errno); }

// The kernel's limit on one message, from the module parameter.
std::size_t read_bufsiz() {
    const int fd = system_calls.open(bufsiz_path, O_RDONLY);
    if (fd < 0) return default_bufsiz;
    std::array<char, 32> text{};
    const ssize_t n = system_calls.read(fd, text.data(), text.size() - 1);
    system_calls.close(fd);
    std::size_t value = 0;
    if (n <= 0 || std::from_chars(text.data(), text.data() + n, value).ec != std::errc() || value == 0)
        return default_bufsiz;
    return value;
}

}  // namespace

Outcome SpidevLink::open(const SpidevTarget& target, std::unique_ptr<SpidevLink>& made) {
    std::unique_ptr<SpidevLink> link(new SpidevLink(target));
    if (Outcome configured = link->configure(target); !configured) return configured;
    made = std::move(link);
    return Outcome::ok();
}

SpidevLink::~SpidevLink() {
    if (gpio_fd_ >= 0) system_calls.close(gpio_fd_);
    if (fd_ >= 0) system_calls.close(fd_);
    lock_.give_back();
}

// Mode 0, eight bits a word, the top rate; whether the controller clocks
// with its chip select high; the kernel's buffer; the GPIO chip select.
Outcome SpidevLink::configure(const SpidevTarget& target) {
    if (target.lock) {
        // By the device's real path, so that every spelling of it takes one lock.
        std::error_code error;
        const std::string real = std::filesystem::weakly_canonical(device_, error).string();
        std::string name = error ? device_ : real;
        std::replace(name.begin(), name.end(), '/', '-');
        if (Outcome locked = lock_.take("spidev" + name); !locked) return locked;
    }
    fd_ = system_calls.open(device_.c_str(), O_RDWR);
    if (fd_ < 0) return Outcome::failed(why_errno("cannot open " + device_));
    if (!set_mode(SPI_MODE_0)) {
        if (errno == ENOTTY || errno == EINVAL) return Outcome::failed(device_ + " is not a spidev device");
        return Outcome::failed(why_errno(device_ + " refuses SPI mode 0"));
    }
    std::uint8_t bits = bits_per_word;
    std::uint32_t hz = max_hz_;
    if (system_calls.ioctl(fd_, SPI_IOC_WR_BITS_PER_WORD, &bits) != 0 ||
        system_calls.ioctl(fd_, SPI_IOC_WR_MAX_SPEED_HZ, &hz) != 0)
        return Outcome::failed(why_errno(device_ + " refuses 8-bit words at " + std::to_string(max_hz_) + " Hz"));
    no_cs_ = set_mode(SPI_MODE_0 | SPI_NO_CS);
    bufsiz_ = read_bufsiz();
    ones_.assign(bufsiz_, 0xFF);
    // The card starts deselected: with SPI_NO_CS in force, where the controller allows it.
    return target.gpio_chip.empty() ? Outcome::ok() : request_gpio(target);
}

// The chip select line as an output, high (card not selected).
Outcome SpidevLink::request_gpio(const SpidevTarget& target) {
    const int chip = system_calls.open(target.gpio_chip.c_str(), O_RDWR);
    if (chip < 0) return Outcome::failed(why_errno("cannot open " + target.gpio_chip));
    gpio_v2_line_request request{};
    request.offsets[0] = target.gpio_line;
    request.num_lines = 1;
    std::strncpy(request.consumer, "vantacle", sizeof request.consumer - 1);
    request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    request.config.num_attrs = 1;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    request.config.attrs[0].attr.values = 1;
    request.config.attrs[0].mask = 1;
    const int result = system_calls.ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request);
    system_calls.close(chip);
    if (result != 0)
        return Outcome::failed(why_errno("cannot use line " + std::to_string(target.gpio_line) + " of " + target.gpio_chip));
    gpio_fd_ = request.fd;
    return Outcome::ok();
}

bool SpidevLink::set_mode(std::uint32_t mode) { return system_calls.ioctl(fd_, SPI_IOC_WR_MODE32, &mode) == 0; }

void SpidevLink::set_gpio(bool high) {
    gpio_v2_line_values values{.bits = high ? 1u : 0u, .mask = 1};
    if (system_calls.ioctl(gpio_fd_, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0) healthy_ = false;
}

// A GPIO chip select follows at once. The controller's own goes low with the
// next message and stays low after each; going high takes one message that
// lets it go (eight clocks with DI high, which a card ignores). Clocks with
// CS high need SPI_NO_CS.
void SpidevLink::select(bool selected) {
    if (selected == selected_) return;
    if (gpio_fd_ >= 0) {
        set_gpio(!selected);
    } else {
        if (selected_) {
            std::array<std::uint8_t, 1> idle{0xFF};
            message(idle, {}, false);
        }
        if (no_cs_ && !set_mode(selected ? SPI_MODE_0 : SPI_MODE_0 | SPI_NO_CS)) healthy_ = false;
    }
    selected_ = selected;
}

void SpidevLink::message(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx, bool keep_selected) {
    std::array<spi_ioc_transfer, 2> parts{};
    std::size_t count = 0;
    const auto add = [&](const std::uint8_t* out, std::uint8_t* in, std::size_t length) {
        spi_ioc_transfer& part = parts[count++];
        part.tx_buf = reinterpret_cast<std::uintptr_t>(out);
        part.rx_buf = reinterpret_cast<std::uintptr_t>(in);
        part.len = static_cast<std::uint32_t>(length);
        part.speed_hz = hz_;
        part.bits_per_word = bits_per_word;
    };
    if (!tx.empty()) add(tx.data(), nullptr, tx.size());
    if (!rx.empty()) add(ones_.data(), rx.data(), rx.size());
    if (count == 0) return;
    parts[count - 1].cs_change = keep_selected ? 1 : 0;
    if (system_calls.ioctl(fd_, SPI_IOC_MESSAGE(count), parts.data()) < 0) healthy_ = false;
}

// Spans larger than the kernel's buffer go in several messages.
void SpidevLink::transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) {
    const bool keep = selected_ && gpio_fd_ < 0;
    while (!tx.empty() || !rx.empty()) {
        const std::size_t out = std::min(tx.size(), bufsiz_);
        const std::size_t in = std::min(rx.size(), bufsiz_ - out);
        message(tx.first(out), rx.first(in), keep);
        tx = tx.subspan(out);
        rx = rx.subspan(in);
    }
}

void SpidevLink::pause_ns(std::uint64_t ns) { system_pause_ns(ns); }
std::uint64_t SpidevLink::now_ns() { return system_clock_ns(); }

Capabilities SpidevLink::capabilities() const {
    return {.switches_supply = false,
            .clocks_deselected = gpio_fd_ >= 0 || no_cs_,
            .top_hz = max_hz_,
            .read_ahead = bufsiz_};
}

}  // namespace spi
