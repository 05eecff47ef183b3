// The simulated card (or an empty socket) as a port backend.
#pragma once

#include "base/outcome.h"
#include "sim/settings.h"

class SimCard;

// Opens the card's image and selects the card as the seam's backend; on
// failure selects nothing.
Outcome sim_port_select(const SimSettings& settings);
// The card behind the port once selected.
[[nodiscard]] SimCard& sim_port_card();
