#include "card/mmc_if.h"

#include <array>

#include "card/card.h"

namespace {
// The card's link, with whatever the card's bus still holds sent first.
spi::Link& lines_of(Card& card) {
    card.bus().flush();
    return card.link();
}
}  // namespace

int mmc_hw_start(Card& card) { return lines_of(card).start() ? 1 : 0; }
void mmc_hw_stop(Card& card) { lines_of(card).stop(); }
void mmc_hw_power(Card& card, std::uint8_t on) { lines_of(card).power(on != 0); }
void mmc_hw_cs(Card& card, std::uint8_t level) { lines_of(card).select(level == 0); }

void mmc_serial_out(Card& card, std::uint8_t data) {
    const std::array<std::uint8_t, 1> tx{data};
    lines_of(card).transfer(tx, {});
}

std::uint8_t mmc_serial_in(Card& card) {
    std::array<std::uint8_t, 1> rx{};
    lines_of(card).transfer({}, rx);
    return rx[0];
}
