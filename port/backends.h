// The port backends: each selects itself as the one the seam talks to.
#pragma once

#include <cstdint>
#include <string>

#include "sim/settings.h"

// The parallel port's registers at base (data) and base + 1 (status),
// through I/O port instructions.
void direct_port_select(std::uint16_t base);

// The parallel port behind a ppdev device node such as /dev/parport0.
void ppdev_port_select(const std::string& device);

// The simulated card (or an empty socket). Opens the card's image first;
// on failure fills error with one line and selects nothing.
bool sim_port_select(const SimSettings& settings, std::string& error);
