#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "port/ppdev_port.h"
#include "base/privilege.h"
#include "base/system_calls.h"

namespace {

// How long a claim may wait for another driver to let go of the port.
constexpr unsigned claim_wait_ms = 3000;
// A failed status read shows DO high, as an idle line does.
constexpr std::uint8_t idle_status = 0x00;

// The kernel's device numbers: parallel port devices, and terminals
// (virtual consoles and serial ports, /dev/tty and the console, pseudo-terminals).
constexpr unsigned ppdev_major = 99;
constexpr std::array<std::pair<unsigned, unsigned>, 3> terminal_majors{{{4, 5}, {136, 143}, {188, 188}}};

bool is_terminal_major(unsigned number) {
    for (auto [first, last] : terminal_majors) {
        if (number >= first && number <= last) return true;
    }
    return false;
}

std::string not_a_port(const char* what) { return std::string("it is ") + what + ", not a parallel port device"; }

}  // namespace

void PpdevPort::write_data(std::uint8_t lines) {
    if (system_calls.ioctl(fd_, PPWDATA, &lines) != 0) link_up_ = false;
}

// PPRSTATUS hands back the raw status register, BUSY inverted by the port
// itself, so bit 7 means what it means to inb on direct I/O.
std::uint8_t PpdevPort::read_status() {
    std::uint8_t status = idle_status;
    if (system_calls.ioctl(fd_, PPRSTATUS, &status) != 0) {
        link_up_ = false;
        status = idle_status;
    }
    return status;
}

std::uint64_t PpdevPort::now_ns() { return system_clock_ns(); }
void PpdevPort::pause_ns(std::uint64_t ns) { system_pause_ns(ns); }

// What the device path names when that is not a parallel port device;
// nullptr when it is one, or cannot be told.
const char* PpdevPort::what_else() const {
    struct stat info{};
    if (system_calls.file_status(device_.c_str(), &info) != 0) return nullptr;
    if (S_ISCHR(info.st_mode)) {
        if (major(info.st_rdev) == ppdev_major) return nullptr;
        return is_terminal_major(major(info.st_rdev)) ? "a terminal device" : "a character device of another driver";
    }
    if (S_ISREG(info.st_mode)) return "a regular file";
    if (S_ISDIR(info.st_mode)) return "a directory";
    if (S_ISBLK(info.st_mode)) return "a block device";
    if (S_ISFIFO(info.st_mode)) return "a FIFO";
    return "a socket";
}

std::string PpdevPort::open_advice(int error) const {
    if (const char* what = what_else()) return "; " + not_a_port(what);
    switch (error) {
        case EACCES:
        case EPERM: return "; add your user to the lp group (usermod -aG lp USER) and log in again";
        case ENOENT: return "; load the ppdev module (modprobe ppdev) or name the device with --port=ppdev:DEVICE";
        case ENXIO:
        case ENODEV: return "; no parallel port answers there (is the ppdev module loaded?)";
        default: return "";
    }
}

Outcome PpdevPort::open_device() {
    fd_ = system_calls.open(device_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ >= 0) return Outcome::ok();
    const int error = errno;
    return Outcome::failed("cannot open " + device_ + ": " + std::strerror(error) + open_advice(error));
}

// Only on the way out of a failed acquisition, where the failure reported
// is the one that led there.
void PpdevPort::close_device() {
    (void)system_calls.close(fd_);
    fd_ = -1;
}

// A claim that another driver's hold would block is cut short after claim_wait_ms.
int PpdevPort::claim_in_time() {
    if (system_calls.alarm_ms(claim_wait_ms) != 0) return -1;
    const int result = system_calls.ioctl(fd_, PPCLAIM, nullptr);
    const int error = errno;
    (void)system_calls.alarm_ms(0);
    errno = error;
    return result;
}

// Exclusive where the kernel allows; when another driver has the port
// registered (ENXIO) a fresh descriptor makes a plain claim.
Outcome PpdevPort::claim() {
    const bool exclusive = system_calls.ioctl(fd_, PPEXCL, nullptr) == 0;
    if (!exclusive && errno == ENOTTY) {
        const char* what = what_else();
        return Outcome::failed("cannot claim " + device_ + ": " + (what ? not_a_port(what) : "it is not a parallel port device"));
    }
    if (claim_in_time() == 0) return Outcome::ok();
    if (exclusive && errno == ENXIO) {
        close_device();
        if (Outcome opened = open_device(); !opened) return opened;
        if (claim_in_time() == 0) return Outcome::ok();
    }
    if (errno == ENXIO || errno == EINTR)
        return Outcome::failed("cannot claim " + device_ + ": the port is busy, another driver or program holds it");
    return Outcome::failed("cannot claim " + device_ + ": " + std::strerror(errno));
}

// The device by its real path (a link to it shares the lock), slashes made dashes.
std::string PpdevPort::lock_name() const {
    std::error_code error;
    std::string path = std::filesystem::weakly_canonical(device_, error).string();
    if (error || path.empty()) path = device_;
    std::replace(path.begin(), path.end(), '/', '-');
    return "ppdev" + path;
}

Outcome PpdevPort::acquire_locked() {
    link_up_ = true;
    if (Outcome opened = open_device(); !opened) return opened;
    if (Outcome claimed = claim(); !claimed) {
        if (fd_ >= 0) close_device();
        return claimed;
    }
    Outcome dropped = drop_root();
    if (dropped) return dropped;
    (void)system_calls.ioctl(fd_, PPRELEASE, nullptr);
    close_device();
    return dropped;
}

Outcome PpdevPort::acquire() {
    if (Outcome locked = lock_.take(lock_name()); !locked) return locked;
    Outcome acquired = acquire_locked();
    if (!acquired) lock_.give_back();
    return acquired;
}

bool PpdevPort::release() {
    const bool released = system_calls.ioctl(fd_, PPRELEASE, nullptr) == 0;
    const bool closed = system_calls.close(fd_) == 0;
    fd_ = -1;
    lock_.give_back();
    return released && closed;
}

