// ppdev is Linux's parallel-port interface: elsewhere it is refused with a
// line that says what to use instead.
#include "port/backends.h"
#include "port/port.h"

namespace {

std::string device;

void no_write(std::uint8_t) {}
std::uint8_t no_read() { return 0x00; }

}  // namespace

void ppdev_port_select(const std::string& path) {
    device = path;
    port_select({
        .ops = {no_write, no_read, port_generic_movers()},
        .acquire = [] {
            return Outcome::failed("cannot use " + device + ": ppdev is a Linux interface; use --port=direct or --port=sim");
        },
        .release = [] { return true; },
        .link_ok = [] { return false; },
    });
}
