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

// Each bit: clock low twice, clock high, then sample DO (inverted on the port).
template <class Access>
std::uint8_t shift_in(std::uint8_t& lines) {
    const std::uint8_t v = lines | wiring::sck | wiring::di;
    lines = v;
    std::uint8_t result = 0;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        Access::write_data(clock_low(v));
        Access::write_data(clock_low(v));
        Access::write_data(v);
        if (!(Access::read_status() & wiring::do_status)) result |= mask;
    }
    return result;
}

// Each bit: clock low once, clock high, then sample DO.
template <class Access>
std::uint8_t shift_in_lean(std::uint8_t& lines) {
    const std::uint8_t v = lines | wiring::sck | wiring::di;
    lines = v;
    std::uint8_t result = 0;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        Access::write_data(clock_low(v));
        Access::write_data(v);
        if (!(Access::read_status() & wiring::do_status)) result |= mask;
    }
    return result;
}

template <class Access>
constexpr ByteMovers movers_for() {
    return {shift_out<Access>, shift_in<Access>, shift_in_lean<Access>};
}

// A backend's register accesses together with the bit loops built on them.
template <class Access>
constexpr PortOps ops_for() {
    return {Access::write_data, Access::read_status, movers_for<Access>()};
}

}  // namespace bit_loops
