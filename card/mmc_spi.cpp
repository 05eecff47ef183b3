#include "card/mmc_spi.h"

#include "card/card.h"

CardResult mmc_init_spi(Card& card) { return card.init(); }
void mmc_disable(Card& card) { card.disable(); }

CardResult spi_read(Card& card, std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    return card.read(sector, buf);
}
CardResult spi_write(Card& card, std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    return card.write(sector, buf);
}
