#include "sim/doubles/sim_spidev.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "base/system_calls.h"
#include "port/wiring.h"
#include "sim/doubles/sim_gpio_chip.h"
#include "sim/sim_card.h"

namespace {

// Device N's descriptors are first_fd + fds_per_device * N plus these, its
// GPIO line requests from first_request_fd on; the module's bufsiz file is
// one for all.
enum Fd : int { spidev_fd, gpio_chip_fd, first_request_fd, fds_per_device = 1000 };
constexpr int first_fd = 100;
constexpr int bufsiz_fd = first_fd - 1;
constexpr std::size_t max_devices = 8;
constexpr std::string_view spidev_prefix = "/dev/spidev0.";
constexpr std::string_view gpio_prefix = "/dev/gpiochip";
constexpr const char* bufsiz_path = "/sys/module/spidev/parameters/bufsiz";

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
    bool on_bus = false;  // its spidev device has been opened
};

// The devices by number, their module's bufsiz (one for all, as the kernel
// has it), and the lock under which devices are added.
struct Devices {
    std::array<std::unique_ptr<Device>, max_devices> slots;
    std::size_t bufsiz = 0;
    std::size_t count = 0;
    std::mutex adding;
    // The spidev devices opened: chip selects of the one controller, whose
    // wire carries one message at a time.
    std::atomic<std::uint64_t> on_bus{0};
};
Devices devices;
// The device whose card's clock the calling thread's waits run on: the one
// it opened last (a station's every socket has its own thread and card).
thread_local Device* thread_device = nullptr;

int fail(int error) {
    errno = error;
    return -1;
}

const SystemCalls real = system_calls_real();

bool simulated(int fd) {
    return fd == bufsiz_fd || (fd >= first_fd && fd < first_fd + static_cast<int>(max_devices) * fds_per_device);
}

// The device behind one of its descriptors, and which of them it is.
Device* device_of(int fd, Fd& which) {
    if (fd < first_fd) return nullptr;
    const auto n = static_cast<std::size_t>((fd - first_fd) / fds_per_device);
    const int within = (fd - first_fd) % fds_per_device;
    which = static_cast<Fd>(within < first_request_fd ? within : first_request_fd);
    return n < max_devices ? devices.slots[n].get() : nullptr;
}

int fd_of(std::size_t n, Fd which) { return first_fd + static_cast<int>(n) * fds_per_device + which; }

// The device a path names (prefix then its number), or max_devices.
std::size_t numbered(std::string_view path, std::string_view prefix) {
    if (!path.starts_with(prefix) || path.size() != prefix.size() + 1) return max_devices;
    const char digit = path.back();
    const std::size_t n = digit >= '0' && digit <= '9' ? static_cast<std::size_t>(digit - '0') : max_devices;
    return n < max_devices && devices.slots[n] ? n : max_devices;
}

// The card's CS is the GPIO line once one was requested (the controller's
// own is then wired to nothing), else the controller's.
void drive_cs(Device& device) {
    const bool low =
        device.cs_line ? !device.chip.level(*device.cs_line) : device.asserted != ((device.mode & SPI_CS_HIGH) != 0);
    device.card->select(low);
}

void set_asserted(Device& device, bool asserted) {
    device.asserted = asserted && !(device.mode & SPI_NO_CS);
    drive_cs(device);
}

// The devices, their GPIO chips and the module's buffer size are the
// cards'; any other path is the system's.
int sim_open(const char* path, int flags) {
    const std::string name = path;
    if (name == bufsiz_path && devices.count != 0) {
        (thread_device ? *thread_device : *devices.slots[0]).calls.push_back("open " + name);
        return bufsiz_fd;
    }
    const std::size_t spidev = numbered(name, spidev_prefix), chip = numbered(name, gpio_prefix);
    const std::size_t n = spidev < max_devices ? spidev : chip;
    if (n == max_devices) return real.open(path, flags);
    thread_device = devices.slots[n].get();
    thread_device->calls.push_back("open " + name);
    if (spidev < max_devices && !thread_device->on_bus) {
        thread_device->on_bus = true;
        ++devices.on_bus;
    }
    return fd_of(n, spidev < max_devices ? spidev_fd : gpio_chip_fd);
}

int sim_close(int fd) {
    if (!simulated(fd)) return real.close(fd);
    Fd which{};
    Device* device = device_of(fd, which);
    return device && which == first_request_fd ? device->chip.close(fd) : 0;
}

ssize_t sim_read(int fd, void* buffer, std::size_t count) {
    if (fd != bufsiz_fd) return real.read(fd, buffer, count);
    const std::string text = std::to_string(devices.bufsiz) + "\n";
    if (count < text.size()) return fail(EINVAL);
    std::memcpy(buffer, text.data(), text.size());
    return static_cast<ssize_t>(text.size());
}

std::size_t aligned(const Device& device, std::size_t length) {
    const std::size_t a = device.kernel.align;
    return (length + a - 1) / a * a;
}

// What spidev and the SPI core refuse before anything is clocked: the
// message as copied into the kernel's buffer (tx and rx apart, each
// transfer rounded up to the alignment), word sizes, rates, line widths.
int check_message(const Device& device, const spi_ioc_transfer* parts, unsigned count) {
    std::size_t tx_total = 0, rx_total = 0, total = 0;
    for (unsigned i = 0; i < count; ++i) {
        const spi_ioc_transfer& part = parts[i];
        total += part.len;
        if (total > INT_MAX) return EMSGSIZE;
        if (part.rx_buf && (rx_total += aligned(device, part.len)) > devices.bufsiz) return EMSGSIZE;
        if (part.tx_buf && (tx_total += aligned(device, part.len)) > devices.bufsiz) return EMSGSIZE;
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

// The card sees each byte in turn, for the time it takes on the wire, which
// the devices opened on the controller share evenly; a transfer without
// tx_buf shifts out zeros.
void run_message(Device& device, const spi_ioc_transfer* parts, unsigned count) {
    ++device.messages;
    std::string line = "message";
    SimCard& card = *device.card;
    const std::uint64_t sharing = std::max<std::uint64_t>(1, devices.on_bus);
    set_asserted(device, true);
    for (unsigned i = 0; i < count; ++i) {
        const spi_ioc_transfer& part = parts[i];
        const auto* out = reinterpret_cast<const std::uint8_t*>(part.tx_buf);
        auto* in = reinterpret_cast<std::uint8_t*>(part.rx_buf);
        const std::uint32_t hz = std::min(part.speed_hz ? part.speed_hz : device.max_hz, device.kernel.max_hz);
        line += (in ? " duplex " : " out ") + std::to_string(part.len) + " @" + std::to_string(hz);
        card.clock_at(hz);
        for (std::uint32_t b = 0; b < part.len; ++b) {
            const std::uint8_t received = card.exchange(out ? out[b] : 0x00);
            if (in) in[b] = received;
            card.pass(8'000'000'000ull * sharing / hz);
        }
        const bool last = i + 1 == count;
        if (last && part.cs_change) line += " keep";
        // cs_change: between transfers CS goes inactive and back; after the last it stays active.
        if (part.cs_change != last) set_asserted(device, false);
        if (part.cs_change && !last) set_asserted(device, true);
    }
    device.calls.push_back(line);
}

// SPI_IOC_WR_MODE32 as spidev and spi_setup take it: bits outside the
// user mask or the controller's refused, the old mode kept; CS inactive after.
int set_mode(Device& device, std::uint32_t mode) {
    if (mode & ~SPI_MODE_USER_MASK) return fail(EINVAL);
    if (mode & ~(device.mode_bits | always_allowed | multi_line_bits)) return fail(EINVAL);
    device.mode = mode & ~multi_line_bits;
    std::string line = "mode " + std::to_string(mode & SPI_MODE_X_MASK);
    if (mode & SPI_NO_CS) line += " no-cs";
    if (mode & SPI_CS_HIGH) line += " cs-high";
    device.calls.push_back(line);
    set_asserted(device, false);
    return 0;
}

int spidev_ioctl(Device& device, unsigned long request, void* arg) {
    if (request == SPI_IOC_WR_MODE32) return set_mode(device, *static_cast<std::uint32_t*>(arg));
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
    if (const int error = check_message(device, parts, count); error != 0) {
        device.calls.push_back(std::string("message refused: ") + std::strerror(error));
        return fail(error);
    }
    run_message(device, parts, count);
    int total = 0;
    for (unsigned i = 0; i < count; ++i) total += static_cast<int>(parts[i].len);
    return total;
}

// The card's lines as the board wires them to the chip, in the port's
// pattern; without a supply line the card is always powered.
void drive_gpio_card(Device& device) {
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
bool gpio_input(const Device& device, std::uint32_t offset, bool pulled_up) {
    if (!device.on_gpio || offset != device.board.miso) return pulled_up;
    return !(device.card->read_status() & wiring::do_status);
}

// Behind the controller the first line requested is the card's CS.
int request_lines(Device& device, int first_request, gpio_v2_line_request& r) {
    if (device.chip.request(r, first_request) != 0) return -1;
    if (!device.on_gpio && !device.cs_line) {
        device.cs_line = r.offsets[0];
        device.calls.push_back("gpio line " + std::to_string(r.offsets[0]));
        drive_cs(device);
    }
    return 0;
}

int set_lines(Device& device, int fd, const gpio_v2_line_values& values) {
    if (device.chip.set_values(fd, values) != 0) return -1;
    if (!device.on_gpio && device.cs_line) device.calls.push_back(device.chip.level(*device.cs_line) ? "cs high" : "cs low");
    return 0;
}

int gpio_ioctl(Device& device, int fd, Fd which, unsigned long request, void* arg) {
    if (which == gpio_chip_fd && request == GPIO_V2_GET_LINE_IOCTL)
        return request_lines(device, fd - gpio_chip_fd + first_request_fd, *static_cast<gpio_v2_line_request*>(arg));
    if (which == gpio_chip_fd && request == GPIO_V2_GET_LINEINFO_IOCTL)
        return device.chip.line_info(*static_cast<gpio_v2_line_info*>(arg));
    if (which == first_request_fd && request == GPIO_V2_LINE_SET_VALUES_IOCTL)
        return set_lines(device, fd, *static_cast<gpio_v2_line_values*>(arg));
    if (which == first_request_fd && request == GPIO_V2_LINE_GET_VALUES_IOCTL)
        return device.chip.get_values(fd, *static_cast<gpio_v2_line_values*>(arg));
    return fail(ENOTTY);
}

int sim_ioctl(int fd, unsigned long request, void* arg) {
    if (!simulated(fd)) return real.ioctl(fd, request, arg);
    Fd which{};
    Device* device = device_of(fd, which);
    if (!device) return fail(ENOTTY);
    return which == spidev_fd ? spidev_ioctl(*device, request, arg) : gpio_ioctl(*device, fd, which, request, arg);
}

// The calling thread's card, else the first device's.
Device& clock_device() { return thread_device ? *thread_device : *devices.slots[0]; }

int sim_monotonic(timespec* now) {
    const std::uint64_t ns = clock_device().card->now_ns();
    now->tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    now->tv_nsec = static_cast<long>(ns % 1'000'000'000);
    return 0;
}

int sim_nanosleep(const timespec* length, timespec* left) {
    clock_device().card->pass(static_cast<std::uint64_t>(length->tv_sec) * 1'000'000'000 +
                      static_cast<std::uint64_t>(length->tv_nsec));
    if (left) *left = timespec{};
    return 0;
}

}  // namespace

Outcome sim_spidev_add(const SimSettings& settings, std::string& path) {
    const std::lock_guard<std::mutex> held(devices.adding);
    if (devices.count == max_devices) return Outcome::failed("the simulated spidev has 8 devices at most");
    if (devices.count != 0 && settings.spidev.bufsiz != devices.bufsiz)
        return Outcome::failed("spidev's bufsiz is one for all its devices: give every simulated device the same");
    auto device = std::make_unique<Device>();
    device->kernel = settings.spidev;
    device->mode_bits |= controller_bits(settings.spidev.controller);
    device->max_hz = settings.spidev.max_hz;
    device->chip = SimGpioChip(settings.via == SimVia::gpio ? settings.gpio.lines : settings.spidev.gpio_lines);
    device->on_gpio = settings.via == SimVia::gpio;
    device->board = settings.gpio;
    if (Outcome opened = SimCard::open(settings, device->card); !opened) return opened;
    for (std::uint32_t offset : settings.gpio.busy) device->chip.hold(offset, "spi0 CS0");
    if (device->on_gpio) {
        Device& wired = *device;
        wired.chip.on_output = [&wired] { drive_gpio_card(wired); };
        wired.chip.input_level = [&wired](std::uint32_t offset, bool pulled_up) { return gpio_input(wired, offset, pulled_up); };
    } else {
        device->card->power(true);
        device->card->select(false);
    }
    const std::size_t n = devices.count;
    devices.slots[n] = std::move(device);
    path = std::string(settings.via == SimVia::gpio ? gpio_prefix : spidev_prefix) + std::to_string(n);
    if (devices.count++ != 0) return Outcome::ok();
    devices.bufsiz = settings.spidev.bufsiz;
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

Outcome sim_spidev_install(const SimSettings& settings) {
    sim_spidev_remove();
    std::string path;
    return sim_spidev_add(settings, path);
}

void sim_spidev_remove() {
    system_calls = system_calls_real();
    for (auto& slot : devices.slots) slot.reset();
    devices.count = 0;
    devices.on_bus = 0;
    thread_device = nullptr;
}

const std::vector<std::string>& sim_spidev_calls() { return devices.slots[0]->calls; }
void sim_spidev_clear_calls() { devices.slots[0]->calls.clear(); }
std::uint64_t sim_spidev_messages() { return devices.slots[0]->messages; }
std::uint64_t sim_gpio_value_calls() { return devices.slots[0]->chip.value_calls(); }
