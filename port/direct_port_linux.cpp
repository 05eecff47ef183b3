#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port/direct_port.h"
#include "base/privilege.h"
#include "base/system_calls.h"

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#endif

namespace {

constexpr unsigned long ports_used = 2;  // data and status, nothing more

std::string port_range(std::uint16_t base) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%X-0x%X", base, base + 1);
    return text;
}

// ENOSYS: the kernel (or the machine) offers no port access at all, so
// root would not help.
std::string refusal(std::uint16_t base, int error) {
    const char* advice = error == ENOSYS ? "this system gives no direct port access; use --port=ppdev"
                                         : "run as root or with CAP_SYS_RAWIO, or use --port=ppdev";
    return "cannot access I/O ports " + port_range(base) + ": " + std::strerror(error) + "; " + advice;
}

std::string lock_name(std::uint16_t base) {
    char text[24];
    std::snprintf(text, sizeof text, "direct-%X", base);
    return text;
}

}  // namespace

DirectPort::DirectPort(std::uint16_t base) : base_(base) {}

#if defined(__i386__) || defined(__x86_64__)
void DirectPort::write_data(std::uint8_t lines) { outb(lines, base_); }
std::uint8_t DirectPort::read_status() { return inb(static_cast<unsigned short>(base_ + 1)); }
#else
// Never reached: without port instructions access is always refused.
void DirectPort::write_data(std::uint8_t) {}
std::uint8_t DirectPort::read_status() { return 0; }
#endif

Outcome DirectPort::acquire() {
    if (Outcome locked = lock_.take(lock_name(base_)); !locked) return locked;
    if (system_calls.ioperm(base_, ports_used, 1) != 0) {
        lock_.give_back();
        return Outcome::failed(refusal(base_, errno));
    }
    Outcome dropped = drop_root();
    if (!dropped) {
        (void)system_calls.ioperm(base_, ports_used, 0);
        lock_.give_back();
    }
    return dropped;
}

bool DirectPort::release() {
    const bool released = system_calls.ioperm(base_, ports_used, 0) == 0;
    lock_.give_back();
    return released;
}

bool DirectPort::link_ok() { return true; }
std::uint64_t DirectPort::now_ns() { return system_clock_ns(); }
void DirectPort::pause_ns(std::uint64_t ns) { system_pause_ns(ns); }
