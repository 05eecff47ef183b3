#include "port/port.h"

#include <chrono>

#include "port/bit_loops.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <ctime>
#endif

namespace {

struct SeamAccess {
    static void write_data(std::uint8_t value) { port_write_data(value); }
    static std::uint8_t read_status() { return port_read_status(); }
};

void no_write(std::uint8_t) {}
std::uint8_t no_read() { return 0x00; }

PortBackend selected{
    .ops = {no_write, no_read, bit_loops::movers_for<SeamAccess>()},
    .acquire = [] { return Outcome::failed("no port selected"); },
    .release = [] { return true; },
    .link_ok = [] { return false; },
};

}  // namespace

PortOps port_detail::active = selected.ops;

ByteMovers port_generic_movers() { return bit_loops::movers_for<SeamAccess>(); }

void port_select(const PortBackend& backend) {
    selected = backend;
    port_detail::active = backend.ops;
}

PortOps port_swap_ops(const PortOps& ops) {
    PortOps before = port_detail::active;
    port_detail::active = ops;
    return before;
}

Outcome port_acquire() { return selected.acquire(); }
bool port_release() { return selected.release(); }
bool port_link_ok() { return selected.link_ok(); }
bool port_needs_io_privilege() { return selected.needs_io_privilege; }

std::uint64_t port_now_ns() {
    if (selected.now_ns) return selected.now_ns();
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count());
}

// A pause sleeps its full length, through interruptions.
void port_pause_ns(std::uint64_t ns) {
    if (selected.pause_ns) return selected.pause_ns(ns);
#ifdef _WIN32
    Sleep(static_cast<DWORD>((ns + 999'999) / 1'000'000));
#else
    timespec left{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
#endif
}
