// Line driver: drives the card's clock, chip select, data-in and supply from
// the port's data register and reads data-out from the status register.
#pragma once

#include <cstdint>

// Switches the card supply off; nonzero when the card link is usable.
[[nodiscard]] int mmc_hw_start();
// All lines low, card unpowered; the shadow byte keeps its value.
void mmc_hw_stop();
void mmc_hw_power(std::uint8_t on);
void mmc_hw_cs(std::uint8_t level);
// One byte out to the card and one byte in from it, most significant bit first.
void mmc_serial_out(std::uint8_t data);
[[nodiscard]] std::uint8_t mmc_serial_in();
// Byte in with three port accesses per bit instead of four: only after
// initialisation, when the card takes its full clock rate.
[[nodiscard]] std::uint8_t mmc_serial_in_lean();

// The line pattern last set for the data register (the shadow byte).
[[nodiscard]] std::uint8_t mmc_o_val_now();
