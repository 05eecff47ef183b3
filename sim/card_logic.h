// Between the card's wire (sim/spi_framing) and what the card does with
// commands and data (sim/card_model): the wire hands over whole frames and
// bytes, the card queues its answers for DO.
#pragma once

#include <cstdint>
#include <span>

using CommandFrame = std::span<const std::uint8_t, 6>;

// Implemented by the card (sim/card_model.cpp), called by the wire.
void card_power_lost();
void card_frame(CommandFrame frame);
// A byte outside any command frame: a token, block data or filler.
void card_byte(std::uint8_t byte);
// True while the bytes arriving are block data, which never start a frame.
[[nodiscard]] bool card_takes_block_data();
// DO has nothing queued: the card may end programming or queue its next block.
void card_out_empty();

// Implemented by the wire (sim/spi_framing.cpp), called by the card.
void framing_configure(double noise_rate);
void out_fill(std::uint8_t byte, std::uint32_t count);
// The bytes must stay as they are until sent or cleared.
void out_bytes(std::span<const std::uint8_t> bytes);
void out_clear();
// Takes the next queued byte off DO's queue (0xFF when none).
[[nodiscard]] std::uint8_t out_take();
