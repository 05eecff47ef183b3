#include <cerrno>
#include <cstdio>
#include <cstring>

#include "card/bit_loops.h"
#include "port/backends.h"
#include "port/port.h"
#include "port/privilege.h"
#include "port/system_calls.h"

#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#endif

namespace {

std::uint16_t base_port = 0x378;
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

bool acquire(std::string& why) {
    if (system_calls.ioperm(base_port, ports_used, 1) != 0) {
        why = refusal(errno);
        return false;
    }
    if (drop_root(why)) return true;
    system_calls.ioperm(base_port, ports_used, 0);
    return false;
}

bool release() { return system_calls.ioperm(base_port, ports_used, 0) == 0; }

bool link_ok() { return true; }

}  // namespace

void direct_port_select(std::uint16_t base) {
    base_port = base;
    port_select({{DirectAccess::write_data, DirectAccess::read_status, bit_loops::movers_for<DirectAccess>()}, acquire,
                 release, link_ok, true});
}
