#include "card/mmc_if.h"

#include "port/port.h"
#include "port/wiring.h"

namespace {

using wiring::sck;

std::uint8_t mmc_o_val = 0;

constexpr std::uint8_t powered_value = wiring::supply | wiring::cs | wiring::di;
constexpr std::uint8_t unpowered_value = wiring::cs | wiring::di;
constexpr std::uint8_t clock_low(std::uint8_t value) { return value & ~sck; }

}  // namespace

int mmc_hw_start() {
    mmc_hw_power(0);
    return port_link_ok() ? 1 : 0;
}

void mmc_hw_stop() { port_write_data(0x00); }

void mmc_hw_power(std::uint8_t on) {
    mmc_o_val = on ? powered_value : unpowered_value;
    port_write_data(mmc_o_val);
}

void mmc_hw_cs(std::uint8_t level) {
    mmc_o_val = level ? (mmc_o_val | wiring::cs) : (mmc_o_val & ~wiring::cs);
    port_write_data(mmc_o_val);
}

// Each bit: present it on DI with the clock low, then raise the clock.
void mmc_serial_out(std::uint8_t data) {
    std::uint8_t v = mmc_o_val | sck;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        v = (data & mask) ? (v | wiring::di) : (v & ~wiring::di);
        port_write_data(clock_low(v));
        port_write_data(v);
    }
    mmc_o_val = v;
}

// Each bit: clock low twice, clock high, then sample DO (inverted on the port).
std::uint8_t mmc_serial_in() {
    const std::uint8_t v = mmc_o_val | sck | wiring::di;
    mmc_o_val = v;
    std::uint8_t result = 0;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        port_write_data(clock_low(v));
        port_write_data(clock_low(v));
        port_write_data(v);
        if (!(port_read_status() & wiring::do_status)) result |= mask;
    }
    return result;
}

std::uint8_t mmc_o_val_now() { return mmc_o_val; }
