// Runs of consecutive sectors to and from an initialised card, as the
// whole-card modes and the probe move them.
#pragma once

#include <cstdint>
#include <span>

#include "card/mmc_spi.h"

// Reads buf.size() / sector_size sectors from first; done counts the sectors
// read correctly before a failure (all of them on success).
CardResult card_read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done);
// Writes buf.size() / sector_size sectors from first; done as for card_read.
CardResult card_write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done);

// Blocks read again after a failed read, since the card was initialised.
[[nodiscard]] std::uint32_t card_rereads();
// The card's capacity in sectors, or 0 when the card does not say.
[[nodiscard]] std::uint64_t card_sectors();
