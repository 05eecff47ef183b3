#include <cerrno>
#include <cstdio>
#include <cstring>

#include "card/bit_loops.h"
#include "port/backends.h"
#include "port/port.h"

#if defined(__linux__) && (defined(__i386__) || defined(__x86_64__))
#include <sys/io.h>
#define VANTACLE_HAVE_IOPERM 1
#endif

namespace {

std::uint16_t base_port = 0x378;
constexpr unsigned long ports_used = 2;  // data and status

std::string port_range() {
    char text[32];
    std::snprintf(text, sizeof text, "0x%X-0x%X", base_port, base_port + 1);
    return text;
}

#ifdef VANTACLE_HAVE_IOPERM
struct DirectAccess {
    static void write_data(std::uint8_t value) { outb(value, base_port); }
    static std::uint8_t read_status() { return inb(static_cast<unsigned short>(base_port + 1)); }
};

bool acquire(std::string& why) {
    if (ioperm(base_port, ports_used, 1) == 0) return true;
    why = "cannot access I/O ports " + port_range() + ": " + std::strerror(errno) +
          "; run as root or with CAP_SYS_RAWIO";
    return false;
}

bool release() { return ioperm(base_port, ports_used, 0) == 0; }
#else
struct DirectAccess {
    static void write_data(std::uint8_t) {}
    static std::uint8_t read_status() { return 0; }
};

bool acquire(std::string& why) {
    why = "direct I/O to ports " + port_range() + " needs an x86 machine; use --port=sim";
    return false;
}

bool release() { return true; }
#endif

bool link_ok() { return true; }

}  // namespace

void direct_port_select(std::uint16_t base) {
    base_port = base;
    port_select({{DirectAccess::write_data, DirectAccess::read_status, bit_loops::movers_for<DirectAccess>()}, acquire, release, link_ok});
}
