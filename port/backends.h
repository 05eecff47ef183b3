// The port backends: each selects itself as the one the seam talks to.
#pragma once

#include <cstdint>
#include <string>

#include "sim/settings.h"

// The parallel port's registers at base (data) and base + 1 (status).
void direct_port_select(std::uint16_t base);

// The simulated card (or an empty socket). Opens the card's image first;
// on failure fills error with one line and selects nothing.
bool sim_port_select(const SimSettings& settings, std::string& error);
