#include <cerrno>
#include <cstdio>
#include <cstring>

#include "port/bit_loops.h"
#include "port/backends.h"
#include "port/port.h"
#include "base/file_lock.h"
#include "base/privilege.h"
#include "base/system_calls.h"
#include "port/wiring.h"

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#endif

namespace {

std::uint16_t base_port = wiring::default_base;
constexpr unsigned long ports_used = 2;  // data and status, nothing more

std::string port_range() {
    char text[32];
    std::snprintf(text, sizeof text, "0x%X-0x%X", base_port, base_port + 1);
    return text;
}

#if defined(__i386__) || defined(__x86_64__)
struct DirectAccess {
    static void write_data(std::uint8_t value) { outb(value, base_port); }
    static std::uint8_t read_status() { return inb(static_cast<unsigned short>(base_port + 1)); }
};
#else
// Never reached: without port instructions access is always refused.
struct DirectAccess {
    static void write_data(std::uint8_t) {}
    static std::uint8_t read_status() { return 0; }
};
#endif

// ENOSYS: the kernel (or the machine) offers no port access at all, so
// root would not help.
std::string refusal(int error) {
    const char* advice = error == ENOSYS ? "this system gives no direct port access; use --port=ppdev"
                                         : "run as root or with CAP_SYS_RAWIO, or use --port=ppdev";
    return "cannot access I/O ports " + port_range() + ": " + std::strerror(error) + "; " + advice;
}

// Keeps a second run of the program off the port while this one has it.
PortLock port_lock;

std::string lock_name() {
    char text[24];
    std::snprintf(text, sizeof text, "direct-%X", base_port);
    return text;
}

Outcome acquire() {
    if (Outcome locked = port_lock.take(lock_name()); !locked) return locked;
    if (system_calls.ioperm(base_port, ports_used, 1) != 0) {
        port_lock.give_back();
        return Outcome::failed(refusal(errno));
    }
    Outcome dropped = drop_root();
    if (!dropped) {
        (void)system_calls.ioperm(base_port, ports_used, 0);
        port_lock.give_back();
    }
    return dropped;
}

bool release() {
    const bool released = system_calls.ioperm(base_port, ports_used, 0) == 0;
    port_lock.give_back();
    return released;
}

}  // namespace

void direct_port_select(std::uint16_t base) {
    base_port = base;
    port_select({
        .ops = bit_loops::ops_for<DirectAccess>(),
        .acquire = acquire,
        .release = release,
        .link_ok = [] { return true; },
        .needs_io_privilege = true,
        .now_ns = system_clock_ns,
        .pause_ns = system_pause_ns,
    });
}
