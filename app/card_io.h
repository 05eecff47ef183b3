// Runs of consecutive sectors to and from an initialised card, as the
// whole-card modes and the probe move them.
#pragma once

#include <cstdint>
#include <span>

#include "card/mmc_spi.h"

// Sectors the whole-card modes move per card command: long runs are fast,
// and Ctrl+C still takes effect within a fraction of a second on a real port.
inline constexpr std::uint32_t card_run_sectors = 32;

// Reads buf.size() / sector_size sectors from first; done counts the sectors
// read correctly before a failure (all of them on success).
CardResult card_read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done);
// Writes buf.size() / sector_size sectors from first; done as for card_read.
CardResult card_write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done);

// Blocks read again after a failed read, since the card was initialised.
[[nodiscard]] std::uint32_t card_rereads();
// The card's capacity in sectors, or 0 when the card does not say.
[[nodiscard]] std::uint64_t card_sectors();
