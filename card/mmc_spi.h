// The card's procedural face, as the console program's known sequence uses
// it: initialisation, sector reads and writes and power-down of the card
// the caller hands in. Everything else is asked of the Card itself.
#pragma once

#include <cstdint>
#include <span>

#include "card/card_types.h"

class Card;

CardResult mmc_init_spi(Card& card);
void mmc_disable(Card& card);

// Sector numbers: 0 to 0x7FFFFF on byte-addressed cards, 0 to 0xFFFFFFFE on
// block-addressed ones; others are refused before anything is clocked.
// Reads check the block's CRC16 and read a failed block again a few times.
CardResult spi_read(Card& card, std::uint32_t sector, std::span<std::uint8_t, sector_size> buf);
CardResult spi_write(Card& card, std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf);
