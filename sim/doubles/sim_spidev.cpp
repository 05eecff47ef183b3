#include "sim/doubles/sim_spidev.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/system_calls.h"
#include "sim/sim_card.h"

namespace {

enum Fd : int { spidev_fd = 100, bufsiz_fd, gpio_chip_fd, gpio_line_fd };

struct Device {
    std::unique_ptr<SimCard> card;
    std::uint32_t mode = SPI_MODE_0;
    std::uint32_t max_hz = 500'000;
    bool gpio_cs = false;
    bool gpio_high = true;
    std::vector<std::string> calls;
    std::uint64_t messages = 0;
};

Device device;

int fail(int error) {
    errno = error;
    return -1;
}

const SystemCalls real = system_calls_real();

bool simulated(int fd) { return fd >= spidev_fd && fd <= gpio_line_fd; }

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

int sim_close(int fd) { return simulated(fd) ? 0 : real.close(fd); }

ssize_t sim_read(int fd, void* buffer, std::size_t count) {
    constexpr char bufsiz[] = "4096\n";
    if (fd != bufsiz_fd) return real.read(fd, buffer, count);
    if (count < sizeof bufsiz) return fail(EINVAL);
    std::memcpy(buffer, bufsiz, sizeof bufsiz - 1);
    return sizeof bufsiz - 1;
}

// The card sees each byte in turn, for the time it takes on the wire.
void run_message(const spi_ioc_transfer* parts, unsigned count) {
    ++device.messages;
    std::string line = "message";
    const bool controller_cs = !device.gpio_cs && !(device.mode & SPI_NO_CS);
    SimCard& card = *device.card;
    if (controller_cs) card.select(true);
    for (unsigned i = 0; i < count; ++i) {
        const spi_ioc_transfer& part = parts[i];
        const auto* out = reinterpret_cast<const std::uint8_t*>(part.tx_buf);
        auto* in = reinterpret_cast<std::uint8_t*>(part.rx_buf);
        const std::uint32_t hz = part.speed_hz ? part.speed_hz : device.max_hz;
        line += (in ? " in " : " out ") + std::to_string(part.len);
        for (std::uint32_t b = 0; b < part.len; ++b) {
            const std::uint8_t received = card.exchange(out ? out[b] : 0x00);
            if (in) in[b] = received;
            card.pass(8'000'000'000ull / hz);
        }
        if (i + 1 == count) {
            line += " @" + std::to_string(hz);
            if (part.cs_change) line += " keep";
            if (controller_cs && !part.cs_change) card.select(false);
        }
    }
    device.calls.push_back(line);
}

int spidev_ioctl(unsigned long request, void* arg) {
    if (request == SPI_IOC_WR_MODE32) {
        device.mode = *static_cast<std::uint32_t*>(arg);
        device.calls.push_back((device.mode & SPI_NO_CS) ? "mode 0 no-cs" : "mode 0");
        if (device.mode & SPI_NO_CS && !device.gpio_cs) device.card->select(false);
        return 0;
    }
    if (request == SPI_IOC_WR_BITS_PER_WORD) return *static_cast<std::uint8_t*>(arg) == 8 ? 0 : fail(EINVAL);
    if (request == SPI_IOC_WR_MAX_SPEED_HZ) {
        device.max_hz = *static_cast<std::uint32_t*>(arg);
        device.calls.push_back("speed " + std::to_string(device.max_hz));
        return 0;
    }
    const unsigned count = _IOC_SIZE(request) / sizeof(spi_ioc_transfer);
    if (_IOC_TYPE(request) != SPI_IOC_MAGIC || _IOC_NR(request) != 0 || count == 0) return fail(ENOTTY);
    run_message(static_cast<const spi_ioc_transfer*>(arg), count);
    return 0;
}

int gpio_ioctl(int fd, unsigned long request, void* arg) {
    if (fd == gpio_chip_fd && request == GPIO_V2_GET_LINE_IOCTL) {
        auto* line = static_cast<gpio_v2_line_request*>(arg);
        device.calls.push_back("gpio line " + std::to_string(line->offsets[0]));
        device.gpio_cs = true;
        line->fd = gpio_line_fd;
        return 0;
    }
    if (fd == gpio_line_fd && request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
        device.gpio_high = (static_cast<gpio_v2_line_values*>(arg)->bits & 1) != 0;
        device.calls.push_back(device.gpio_high ? "cs high" : "cs low");
        device.card->select(!device.gpio_high);
        return 0;
    }
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
    if (Outcome opened = SimCard::open(settings, device.card); !opened) return opened;
    device.card->power(true);
    device.card->select(false);
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
