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
constexpr std::uint8_t idle_byte = 0xFF;

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

// Mode 0, eight bits a word, the top rate; how the controller can clock
// with the card's chip select high; the kernel's buffer; the GPIO chip select.
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
    // A controller without SPI_NO_CS may still turn its CS active high, as
    // the kernel's own MMC host does for the wake-up clocks.
    no_cs_ = set_mode(SPI_MODE_0 | SPI_NO_CS);
    cs_high_ = !no_cs_ && set_mode(SPI_MODE_0 | SPI_CS_HIGH);
    if (cs_high_ && !set_mode(SPI_MODE_0)) return Outcome::failed(why_errno(device_ + " refuses SPI mode 0"));
    if (Outcome sized = size_messages(target.align); !sized) return sized;
    if (!target.gpio_chip.empty()) return request_gpio(target);
    if (!no_cs_ && !cs_high_)
        advice_ = "spidev: " + device_ + " can clock only with its chip select low (no SPI_NO_CS, no SPI_CS_HIGH): "
                  "wire the card's CS to a GPIO line and give cs=gpiochipN:LINE; the card's wake-up clocks go out "
                  "with CS low";
    return Outcome::ok();
}

// The kernel copies each transfer of a message into its buffer, tx and rx
// apart, each rounded up to the alignment: one transfer per message, and
// at most the aligned part of the buffer.
Outcome SpidevLink::size_messages(std::size_t align) {
    bufsiz_ = read_bufsiz();
    chunk_ = align == 0 ? 0 : bufsiz_ / align * align;
    if (chunk_ == 0)
        return Outcome::failed("spidev: the kernel's buffer (bufsiz " + std::to_string(bufsiz_) +
                               ") holds no transfer rounded up to " + std::to_string(align) +
                               " bytes: load spidev with a larger bufsiz, or give align= as this kernel aligns");
    out_.assign(chunk_, idle_byte);
    in_.assign(chunk_, idle_byte);
    return Outcome::ok();
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

bool SpidevLink::set_mode(std::uint32_t mode) {
    if (system_calls.ioctl(fd_, SPI_IOC_WR_MODE32, &mode) != 0) return false;
    mode_ = mode;
    return true;
}

void SpidevLink::set_gpio(bool high) {
    gpio_v2_line_values values{.bits = high ? 1u : 0u, .mask = 1};
    if (system_calls.ioctl(gpio_fd_, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) != 0)
        failed(why_errno("spidev: the chip select line"));
}

void SpidevLink::failed(const std::string& why) {
    if (healthy_) fault_ = why;
    healthy_ = false;
}

// A GPIO chip select follows at once. The controller's own goes low with the
// next message and stays low after each; going high takes one message that
// lets it go (eight clocks with DI high, which a card ignores). While the
// card is deselected, SPI_NO_CS keeps it high, where the controller has it.
void SpidevLink::select(bool selected) {
    if (selected == selected_) return;
    if (gpio_fd_ >= 0) {
        set_gpio(!selected);
    } else {
        if (selected_) {
            const std::array<std::uint8_t, 1> idle{idle_byte};
            messages(idle, {}, false);
        }
        if (no_cs_ && healthy_ && !set_mode(selected ? SPI_MODE_0 : SPI_MODE_0 | SPI_NO_CS))
            failed(why_errno("spidev: " + device_ + " refused SPI_NO_CS"));
    }
    selected_ = selected;
}

// Without SPI_NO_CS or a GPIO, the controller's CS made active high for the
// burst is high while it clocks, as the kernel's MMC host does it.
void SpidevLink::clock_deselected(std::size_t bytes) {
    const bool flip = gpio_fd_ < 0 && !no_cs_ && cs_high_;
    if (flip && !set_mode(SPI_MODE_0 | SPI_CS_HIGH)) failed(why_errno("spidev: " + device_ + " refused SPI_CS_HIGH"));
    std::fill(out_.begin(), out_.end(), idle_byte);
    for (std::size_t n = 0; bytes > 0 && healthy_; bytes -= n) {
        n = std::min(bytes, chunk_);
        message(n, false, false);
    }
    if (flip && healthy_ && !set_mode(SPI_MODE_0)) failed(why_errno("spidev: " + device_ + " refused SPI mode 0"));
}

// One transfer of out_'s first length bytes, into in_ when receive.
void SpidevLink::message(std::size_t length, bool receive, bool keep_selected) {
    spi_ioc_transfer part{};
    part.tx_buf = reinterpret_cast<std::uintptr_t>(out_.data());
    part.rx_buf = receive ? reinterpret_cast<std::uintptr_t>(in_.data()) : 0;
    part.len = static_cast<std::uint32_t>(length);
    part.speed_hz = hz_;
    part.bits_per_word = bits_per_word;
    part.cs_change = keep_selected ? 1 : 0;
    if (system_calls.ioctl(fd_, SPI_IOC_MESSAGE(1), &part) >= 0) return;
    if (errno == EMSGSIZE) failed("spidev: message too long for the kernel's buffer (bufsiz " + std::to_string(bufsiz_) + ")");
    else failed(why_errno("spidev: " + device_));
}

// tx and rx as one stream of bytes on the wire, cut into transfers of at
// most chunk_ bytes; a link that has failed clocks nothing and reads FF.
void SpidevLink::messages(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx, bool keep_selected) {
    const std::size_t total = tx.size() + rx.size();
    for (std::size_t at = 0; at < total && healthy_;) {
        const std::size_t length = std::min(chunk_, total - at);
        const std::size_t sent = at < tx.size() ? std::min(length, tx.size() - at) : 0;
        std::copy_n(tx.begin() + static_cast<std::ptrdiff_t>(at), sent, out_.begin());
        std::fill(out_.begin() + static_cast<std::ptrdiff_t>(sent), out_.begin() + static_cast<std::ptrdiff_t>(length), idle_byte);
        message(length, sent < length, keep_selected);
        if (sent < length && healthy_)
            std::copy_n(in_.begin() + static_cast<std::ptrdiff_t>(sent), length - sent,
                        rx.begin() + static_cast<std::ptrdiff_t>(at + sent - tx.size()));
        at += length;
    }
    if (!healthy_) std::fill(rx.begin(), rx.end(), idle_byte);
}

void SpidevLink::transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) {
    messages(tx, rx, selected_ && gpio_fd_ < 0);
}

void SpidevLink::pause_ns(std::uint64_t ns) { system_pause_ns(ns); }
std::uint64_t SpidevLink::now_ns() { return system_clock_ns(); }

Capabilities SpidevLink::capabilities() const {
    return {.switches_supply = false,
            .clocks_deselected = gpio_fd_ >= 0 || no_cs_ || cs_high_,
            .top_hz = max_hz_,
            .read_ahead = chunk_,
            .data_clock_throughout = true};
}

}  // namespace spi
