// Value Change Dump of the card link for waveform viewers: one wire per card
// line (from the wiring table) and DO as the card drives it, every port
// access a time step of its own.
#pragma once

#include <cstdint>
#include <cstdio>

#include "port/trace.h"

// Writes the header and the starting levels to out and flushes them;
// false when they could not be written.
[[nodiscard]] bool vcd_begin(std::FILE* out, TraceClock clock);
void vcd_wrote(std::uint8_t data);
void vcd_read(std::uint8_t status);
// Writes what is still held back and one last step, so the final line
// levels have a length.
void vcd_end();
