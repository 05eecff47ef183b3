// The link the card is reached through, made from the command line's port.
#pragma once

#include <memory>

#include "app/options.h"
#include "base/outcome.h"
#include "link/spi_link.h"

// Selects the port backend (for the parallel port and the simulated card)
// or opens the adapter, and makes its link; on failure makes none.
Outcome open_link(const Options& options, std::unique_ptr<spi::Link>& made);
