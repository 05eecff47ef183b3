// The line driver's face: the card's supply, chip select and byte
// transfers, for the known sequence and for tests that drive the lines.
#pragma once

#include <cstdint>

class Card;

// Switches the card supply off; nonzero when the card link is usable.
[[nodiscard]] int mmc_hw_start(Card& card);
// All lines low, card unpowered.
void mmc_hw_stop(Card& card);
void mmc_hw_power(Card& card, std::uint8_t on);
// CS high (card not selected) for a nonzero level, low for zero.
void mmc_hw_cs(Card& card, std::uint8_t level);
// One byte out to the card and one byte in from it, most significant bit first.
void mmc_serial_out(Card& card, std::uint8_t data);
[[nodiscard]] std::uint8_t mmc_serial_in(Card& card);
