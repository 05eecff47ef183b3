// ppdev is Linux's parallel-port interface: elsewhere it is refused with a
// line that says what to use instead.
#include "port/ppdev_port.h"

void PpdevPort::write_data(std::uint8_t) {}
std::uint8_t PpdevPort::read_status() { return 0x00; }

Outcome PpdevPort::acquire() {
    link_up_ = false;
    return Outcome::failed("cannot use " + device_ + ": ppdev is a Linux interface; use --port=direct or --port=sim");
}

bool PpdevPort::release() { return true; }
std::uint64_t PpdevPort::now_ns() { return LineDriver::now_ns(); }
void PpdevPort::pause_ns(std::uint64_t ns) { LineDriver::pause_ns(ns); }
