#include "card/mmc_if.h"

#include "port/port.h"
#include "port/wiring.h"

namespace {

std::uint8_t mmc_o_val = 0;

constexpr std::uint8_t powered_value = wiring::supply | wiring::cs | wiring::di;
constexpr std::uint8_t unpowered_value = wiring::cs | wiring::di;

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

void mmc_serial_out(std::uint8_t data) { port_movers().out(mmc_o_val, data); }

std::uint8_t mmc_serial_in() { return port_movers().in(mmc_o_val); }

std::uint8_t mmc_serial_in_lean() { return port_movers().in_lean(mmc_o_val); }

std::uint8_t mmc_o_val_now() { return mmc_o_val; }
