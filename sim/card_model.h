// A card in SPI mode, driven only by what crosses the port: data-register
// writes (supply, CS, clock, DI) and status-register reads (DO, inverted).
#pragma once

#include <cstdint>

#include "sim/settings.h"

// Sets the card's behaviour; the card starts unpowered.
void sim_card_configure(const SimSettings& settings);
void sim_card_write(std::uint8_t lines);
std::uint8_t sim_card_read();

// The status register with DO high (not driven), as an empty socket reads.
inline constexpr std::uint8_t sim_status_idle = 0x78;
