// The link the card is reached through, made from the command line's port.
#pragma once

#include <memory>

#include "app/options.h"
#include "base/outcome.h"
#include "link/spi_link.h"
#include "link/tracing_link.h"

// Selects the port backend (for the parallel port and the simulated card)
// or opens the adapter, and makes its link; on failure makes none.
// beside_others: one of a station's links, the others open meanwhile.
Outcome open_link(const Options& options, std::unique_ptr<spi::Link>& made, bool beside_others = false);

// True when the card is reached through a byte-wide adapter (spidev, FTDI,
// or the simulated card behind a stand-in for one).
[[nodiscard]] bool is_byte_link(const Options& options);

// Replaces link with one that traces it to path, a transaction a line.
Outcome trace_link(const std::string& path, std::unique_ptr<spi::Link>& link, spi::TracingLink*& traced);
