#include "sim/doubles/sim_spidev.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "base/system_calls.h"
#include "sim/doubles/sim_gpio_chip.h"
#include "sim/sim_card.h"
#include "port/wiring.h"

namespace {

enum Fd : int { spidev_fd = 100, bufsiz_fd, gpio_chip_fd, first_request_fd = 200 };

// The mode bits a controller has besides clock polarity and phase.
constexpr std::uint32_t controller_bits(SpiController controller) {
    switch (controller) {
        case SpiController::no_cs: return SPI_CS_HIGH | SPI_NO_CS;
        case SpiController::cs_high: return SPI_CS_HIGH;
        case SpiController::plain: return 0;
    }
    return 0;
}

// Dual, quad and octal lines the core drops with a warning; the bits a
// device may ask for whatever the controller has.
constexpr std::uint32_t multi_line_bits = SPI_TX_DUAL | SPI_TX_QUAD | SPI_TX_OCTAL | SPI_RX_DUAL | SPI_RX_QUAD | SPI_RX_OCTAL;
constexpr std::uint32_t always_allowed = SPI_CS_WORD;

struct Device {
    std::unique_ptr<SimCard> card;
    SimSpidev kernel;
    std::uint32_t mode_bits = SPI_CPOL | SPI_CPHA;  // what the controller takes
    std::uint32_t mode = SPI_MODE_0;
    std::uint32_t max_hz = 0;      // the device's rate, within the controller's
    bool asserted = false;         // the controller's CS active (low, or high with SPI_CS_HIGH)
    SimGpioChip chip;
    // The card on GPIO lines alone (via=gpio), else behind the SPI controller
    // with its CS on the first GPIO line requested, when one is.
    bool on_gpio = false;
    SimGpio board;
    std::optional<std::uint32_t> cs_line;
    std::vector<std::string> calls;
    std::uint64_t messages = 0;
};

Device device;

int fail(int error) {
    errno = error;
    return -1;
}

const SystemCalls real = system_calls_real();

bool simulated(int fd) { return (fd >= spidev_fd && fd <= gpio_chip_fd) || device.chip.owns(fd); }

// The card's CS is the GPIO line once one was requested (the controller's
// own is then wired to nothing), else the controller's.
void drive_cs() {
    const bool low = device.cs_line ? !device.chip.level(*device.cs_line) : device.asserted != ((device.mode & SPI_CS_HIGH) != 0);
    device.card->select(low);
}

void set_asserted(bool asserted) {
    device.asserted = asserted && !(device.mode & SPI_NO_CS);
    drive_cs();
}

// The device, its buffer size and the GPIO chip are the card's; any other
// path is the system's.
int sim_open(const char* path, int flags) {
    const std::string name = path;
    const int fd = name == sim_spidev_device                          ? spidev_fd
                   : name == "/sys/module/spidev/parameters/bufsiz" ? bufsiz_fd
                   : name == sim_gpio_chip                          ? gpio_chip_fd
                                                                    : -1;
    if (fd < 0) return real.open(path, flags);
    device.calls.push_back("open " + name);
    return fd;
}

int sim_close(int fd) {
    if (device.chip.owns(fd)) return device.chip.close(fd);
    return simulated(fd) ? 0 : real.close(fd);
}

ssize_t sim_read(int fd, void* buffer, std::size_t count) {
    if (fd != bufsiz_fd) return real.read(fd, buffer, count);
    const std::string text = std::to_string(device.kernel.bufsiz) + "\n";
    if (count < text.size()) return fail(EINVAL);
    std::memcpy(buffer, text.data(), text.size());
    return static_cast<ssize_t>(text.size());
}

std::size_t aligned(std::size_t length) {
    const std::size_t a = device.kernel.align;
    return (length + a - 1) / a * a;
}

// What spidev and the SPI core refuse before anything is clocked: the
// message as copied into the kernel's buffer (tx and rx apart, each
// transfer rounded up to the alignment), word sizes, rates, line widths.
int check_message(const spi_ioc_transfer* parts, unsigned count) {
    std::size_t tx_total = 0, rx_total = 0, total = 0;
    for (unsigned i = 0; i < count; ++i) {
        const spi_ioc_transfer& part = parts[i];
        total += part.len;
        if (total > INT_MAX) return EMSGSIZE;
        if (part.rx_buf && (rx_total += aligned(part.len)) > device.kernel.bufsiz) return EMSGSIZE;
        if (part.tx_buf && (tx_total += aligned(part.len)) > device.kernel.bufsiz) return EMSGSIZE;
    }
    for (unsigned i = 0; i < count; ++i) {
        const spi_ioc_transfer& part = parts[i];
        if (part.bits_per_word != 0 && part.bits_per_word != 8) return EINVAL;
        const std::uint32_t hz = part.speed_hz ? part.speed_hz : device.max_hz;
        if (hz < device.kernel.min_hz) return EINVAL;
        if (part.tx_nbits > 1 || part.rx_nbits > 1) return EINVAL;
    }
    return 0;
}

// The card sees each byte in turn, for the time it takes on the wire; a
// transfer without tx_buf shifts out zeros.
void run_message(const spi_ioc_transfer* parts, unsigned count) {
    ++device.messages;
    std::string line = "message";
    SimCard& card = *device.card;
    set_asserted(true);
    for (unsigned i = 0; i < count; ++i) {
        const spi_ioc_transfer& part = parts[i];
        const auto* out = reinterpret_cast<const std::uint8_t*>(part.tx_buf);
        auto* in = reinterpret_cast<std::uint8_t*>(part.rx_buf);
        const std::uint32_t hz = std::min(part.speed_hz ? part.speed_hz : device.max_hz, device.kernel.max_hz);
        line += (in ? " duplex " : " out ") + std::to_string(part.len) + " @" + std::to_string(hz);
        for (std::uint32_t b = 0; b < part.len; ++b) {
            const std::uint8_t received = card.exchange(out ? out[b] : 0x00);
            if (in) in[b] = received;
            card.pass(8'000'000'000ull / hz);
        }
        const bool last = i + 1 == count;
        if (last && part.cs_change) line += " keep";
        // cs_change: between transfers CS goes inactive and back; after the last it stays active.
        if (part.cs_change != last) set_asserted(false);
        if (part.cs_change && !last) set_asserted(true);
    }
    device.calls.push_back(line);
}

// SPI_IOC_WR_MODE32 as spidev and spi_setup take it: bits outside the
// user mask or the controller's refused, the old mode kept; CS inactive after.
int set_mode(std::uint32_t mode) {
    if (mode & ~SPI_MODE_USER_MASK) return fail(EINVAL);
    if (mode & ~(device.mode_bits | always_allowed | multi_line_bits)) return fail(EINVAL);
    device.mode = mode & ~multi_line_bits;
    std::string line = "mode " + std::to_string(mode & SPI_MODE_X_MASK);
    if (mode & SPI_NO_CS) line += " no-cs";
    if (mode & SPI_CS_HIGH) line += " cs-high";
    device.calls.push_back(line);
    set_asserted(false);
    return 0;
}

int spidev_ioctl(unsigned long request, void* arg) {
    if (request == SPI_IOC_WR_MODE32) return set_mode(*static_cast<std::uint32_t*>(arg));
    if (request == SPI_IOC_WR_BITS_PER_WORD) {
        const std::uint8_t bits = *static_cast<std::uint8_t*>(arg);
        return bits == 0 || bits == 8 ? 0 : fail(EINVAL);
    }
    if (request == SPI_IOC_WR_MAX_SPEED_HZ) {
        const std::uint32_t hz = *static_cast<std::uint32_t*>(arg);
        device.max_hz = hz == 0 ? device.kernel.max_hz : std::min(hz, device.kernel.max_hz);
        device.calls.push_back("speed " + std::to_string(device.max_hz));
        return 0;
    }
    if (_IOC_TYPE(request) != SPI_IOC_MAGIC || _IOC_NR(request) != 0 || _IOC_DIR(request) != _IOC_WRITE) return fail(ENOTTY);
    if (_IOC_SIZE(request) % sizeof(spi_ioc_transfer) != 0) return fail(EINVAL);
    const unsigned count = _IOC_SIZE(request) / sizeof(spi_ioc_transfer);
    if (count == 0) return 0;
    const auto* parts = static_cast<const spi_ioc_transfer*>(arg);
    if (const int error = check_message(parts, count); error != 0) {
        device.calls.push_back(std::string("message refused: ") + std::strerror(error));
        return fail(error);
    }
    run_message(parts, count);
    int total = 0;
    for (unsigned i = 0; i < count; ++i) total += static_cast<int>(parts[i].len);
    return total;
}

// The card's lines as the board wires them to the chip, in the port's
// pattern; without a supply line the card is always powered.
void drive_gpio_card() {
    const SimGpio& b = device.board;
    const SimGpioChip& chip = device.chip;
    std::uint8_t lines = 0;
    if (chip.level(b.sck)) lines |= wiring::sck;
    if (chip.level(b.mosi)) lines |= wiring::di;
    if (chip.level(b.cs)) lines |= wiring::cs;
    if (!b.power || chip.level(*b.power)) lines |= wiring::supply;
    device.card->write_lines(lines);
}

// MISO is the card's DO (the port shows it inverted); other inputs float to their bias.
bool gpio_input(std::uint32_t offset, bool pulled_up) {
    if (!device.on_gpio || offset != device.board.miso) return pulled_up;
    return !(device.card->read_status() & wiring::do_status);
}

// Behind the controller the first line requested is the card's CS.
int request_lines(gpio_v2_line_request& r) {
    if (device.chip.request(r, first_request_fd) != 0) return -1;
    if (!device.on_gpio && !device.cs_line) {
        device.cs_line = r.offsets[0];
        device.calls.push_back("gpio line " + std::to_string(r.offsets[0]));
        drive_cs();
    }
    return 0;
}

int set_lines(int fd, const gpio_v2_line_values& values) {
    if (device.chip.set_values(fd, values) != 0) return -1;
    if (!device.on_gpio && device.cs_line) device.calls.push_back(device.chip.level(*device.cs_line) ? "cs high" : "cs low");
    return 0;
}

int gpio_ioctl(int fd, unsigned long request, void* arg) {
    if (fd == gpio_chip_fd && request == GPIO_V2_GET_LINE_IOCTL) return request_lines(*static_cast<gpio_v2_line_request*>(arg));
    if (fd == gpio_chip_fd && request == GPIO_V2_GET_LINEINFO_IOCTL)
        return device.chip.line_info(*static_cast<gpio_v2_line_info*>(arg));
    if (fd != gpio_chip_fd && request == GPIO_V2_LINE_SET_VALUES_IOCTL)
        return set_lines(fd, *static_cast<gpio_v2_line_values*>(arg));
    if (fd != gpio_chip_fd && request == GPIO_V2_LINE_GET_VALUES_IOCTL)
        return device.chip.get_values(fd, *static_cast<gpio_v2_line_values*>(arg));
    return fail(ENOTTY);
}

int sim_ioctl(int fd, unsigned long request, void* arg) {
    if (!simulated(fd)) return real.ioctl(fd, request, arg);
    return fd == spidev_fd ? spidev_ioctl(request, arg) : gpio_ioctl(fd, request, arg);
}

int sim_monotonic(timespec* now) {
    const std::uint64_t ns = device.card->now_ns();
    now->tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    now->tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return 0;
}

int sim_nanosleep(const timespec* length, timespec* left) {
    device.card->pass(static_cast<std::uint64_t>(length->tv_sec) * 1'000'000'000 +
                      static_cast<std::uint64_t>(length->tv_nsec));
    if (left) *left = timespec{};
    return 0;
}

}  // namespace

Outcome sim_spidev_install(const SimSettings& settings) {
    device = Device{};
    device.kernel = settings.spidev;
    device.mode_bits |= controller_bits(settings.spidev.controller);
    device.max_hz = settings.spidev.max_hz;
    device.chip = SimGpioChip(settings.via == SimVia::gpio ? settings.gpio.lines : settings.spidev.gpio_lines);
    device.on_gpio = settings.via == SimVia::gpio;
    device.board = settings.gpio;
    if (Outcome opened = SimCard::open(settings, device.card); !opened) return opened;
    for (std::uint32_t offset : settings.gpio.busy) device.chip.hold(offset, "spi0 CS0");
    if (device.on_gpio) {
        device.chip.on_output = drive_gpio_card;
        device.chip.input_level = gpio_input;
    } else {
        device.card->power(true);
        device.card->select(false);
    }
    SystemCalls table = real;
    table.open = sim_open;
    table.close = sim_close;
    table.ioctl = sim_ioctl;
    table.read = sim_read;
    table.monotonic = sim_monotonic;
    table.nanosleep = sim_nanosleep;
    system_calls = table;
    return Outcome::ok();
}

void sim_spidev_remove() {
    system_calls = system_calls_real();
    device.card.reset();
}

const std::vector<std::string>& sim_spidev_calls() { return device.calls; }
void sim_spidev_clear_calls() { device.calls.clear(); }
std::uint64_t sim_spidev_messages() { return device.messages; }
std::uint64_t sim_gpio_value_calls() { return device.chip.value_calls(); }
