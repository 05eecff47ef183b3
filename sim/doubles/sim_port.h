// The simulated card (or an empty socket) as a port backend.
#pragma once

#include "base/outcome.h"
#include "sim/settings.h"

// Opens the card's image and selects the card as the seam's backend; on
// failure selects nothing.
Outcome sim_port_select(const SimSettings& settings);
