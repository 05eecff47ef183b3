#include "card/mmc_if.h"

#include <array>

#include "card/card.h"
#include "card/mmc_spi.h"

namespace {
spi::Link& the_link() {
    mmc_card().bus().flush();
    return mmc_card().link();
}
}  // namespace

int mmc_hw_start() { return the_link().start() ? 1 : 0; }
void mmc_hw_stop() { the_link().stop(); }
void mmc_hw_power(std::uint8_t on) { the_link().power(on != 0); }
void mmc_hw_cs(std::uint8_t level) { the_link().select(level == 0); }

void mmc_serial_out(std::uint8_t data) {
    const std::array<std::uint8_t, 1> tx{data};
    the_link().transfer(tx, {});
}

std::uint8_t mmc_serial_in() {
    std::array<std::uint8_t, 1> rx{};
    the_link().transfer({}, rx);
    return rx[0];
}
