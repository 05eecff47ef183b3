// The line driver's bit loops, compiled against one backend's own register
// accesses (Access::write_data, Access::read_status), so that nothing but
// those accesses remains in them. Each backend instantiates them once.
#pragma once

#include <cstdint>

#include "port/port.h"
#include "port/wiring.h"

namespace bit_loops {

constexpr std::uint8_t clock_low(std::uint8_t lines) { return lines & ~wiring::sck; }

// Each bit: present it on DI with the clock low, then raise the clock.
template <class Access>
void shift_out(std::uint8_t& lines, std::uint8_t data) {
    std::uint8_t v = lines | wiring::sck;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        v = (data & mask) ? (v | wiring::di) : (v & ~wiring::di);
        Access::write_data(clock_low(v));
        Access::write_data(v);
    }
    lines = v;
}

// Each bit: clock low (written low_writes times), clock high, then sample DO
// (inverted on the port). The known byte-in writes the clock low twice; the
// lean one, for whole-card transfers after initialisation, once.
template <class Access, int low_writes>
std::uint8_t shift_in(std::uint8_t& lines) {
    const std::uint8_t v = lines | wiring::sck | wiring::di;
    lines = v;
    std::uint8_t result = 0;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        for (int i = 0; i < low_writes; ++i) Access::write_data(clock_low(v));
        Access::write_data(v);
        if (!(Access::read_status() & wiring::do_status)) result |= mask;
    }
    return result;
}

template <class Access>
constexpr ByteMovers movers_for() {
    return {shift_out<Access>, shift_in<Access, 2>, shift_in<Access, 1>};
}

// A backend's register accesses together with the bit loops built on them.
template <class Access>
constexpr PortOps ops_for() {
    return {Access::write_data, Access::read_status, movers_for<Access>()};
}

}  // namespace bit_loops
