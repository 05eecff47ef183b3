#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

#include "card/bit_loops.h"
#include "port/backends.h"
#include "port/port.h"
#include "port/privilege.h"
#include "port/system_calls.h"

namespace {

// How long a claim may wait for another driver to let go of the port.
constexpr unsigned claim_wait_ms = 3000;
// A failed status read shows DO high, as an idle line does.
constexpr std::uint8_t idle_status = 0x00;

std::string device;
int port_fd = -1;

// PPRSTATUS hands back the raw status register, BUSY inverted by the port
// itself, so bit 7 means what it means to inb on direct I/O.
struct PpdevAccess {
    static void write_data(std::uint8_t value) { system_calls.ioctl(port_fd, PPWDATA, &value); }
    static std::uint8_t read_status() {
        std::uint8_t status = idle_status;
        system_calls.ioctl(port_fd, PPRSTATUS, &status);
        return status;
    }
};

const char* open_advice(int error) {
    switch (error) {
        case EACCES:
        case EPERM: return "; add your user to the lp group (usermod -aG lp USER) and log in again";
        case ENOENT: return "; load the ppdev module (modprobe ppdev) or name the device with --port=ppdev:DEVICE";
        case ENXIO:
        case ENODEV: return "; no parallel port answers there (is the ppdev module loaded?)";
        default: return "";
    }
}

bool open_device(std::string& why) {
    port_fd = system_calls.open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (port_fd >= 0) return true;
    const int error = errno;
    why = "cannot open " + device + ": " + std::strerror(error) + open_advice(error);
    return false;
}

void close_device() {
    system_calls.close(port_fd);
    port_fd = -1;
}

// A claim that another driver's hold would block is cut short after claim_wait_ms.
int claim_in_time() {
    system_calls.alarm_ms(claim_wait_ms);
    const int result = system_calls.ioctl(port_fd, PPCLAIM, nullptr);
    const int error = errno;
    system_calls.alarm_ms(0);
    errno = error;
    return result;
}

// Exclusive where the kernel allows; when another driver has the port
// registered (ENXIO) a fresh descriptor makes a plain claim.
bool claim(std::string& why) {
    const bool exclusive = system_calls.ioctl(port_fd, PPEXCL, nullptr) == 0;
    if (!exclusive && errno == ENOTTY) {
        why = "cannot claim " + device + ": it is not a parallel port device";
        return false;
    }
    if (claim_in_time() == 0) return true;
    if (exclusive && errno == ENXIO) {
        close_device();
        if (!open_device(why)) return false;
        if (claim_in_time() == 0) return true;
    }
    if (errno == ENXIO || errno == EINTR)
        why = "cannot claim " + device + ": the port is busy, another driver or program holds it";
    else
        why = "cannot claim " + device + ": " + std::strerror(errno);
    return false;
}

bool acquire(std::string& why) {
    if (!open_device(why)) return false;
    if (!claim(why)) {
        if (port_fd >= 0) close_device();
        return false;
    }
    if (drop_root(why)) return true;
    system_calls.ioctl(port_fd, PPRELEASE, nullptr);
    close_device();
    return false;
}

bool release() {
    const bool released = system_calls.ioctl(port_fd, PPRELEASE, nullptr) == 0;
    const bool closed = system_calls.close(port_fd) == 0;
    port_fd = -1;
    return released && closed;
}

bool link_ok() { return true; }

}  // namespace

void ppdev_port_select(const std::string& path) {
    device = path;
    port_select({{PpdevAccess::write_data, PpdevAccess::read_status, bit_loops::movers_for<PpdevAccess>()}, acquire,
                 release, link_ok});
}
