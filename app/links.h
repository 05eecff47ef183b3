// The link the card is reached through, made from the command line's port.
#pragma once

#include <memory>

#include "app/options.h"
#include "base/outcome.h"
#include "link/spi_link.h"
#include "link/tracing_link.h"
#include "port/trace.h"

// Makes the link for the command line's port: a bit-bang link over the
// port's line driver, or a byte link that opens its adapter; on failure makes none.
// beside_others: one of a station's links, the others open meanwhile.
Outcome open_link(const Options& options, std::unique_ptr<spi::Link>& made, bool beside_others = false);

// True when the card is reached through a byte-wide adapter (spidev, FTDI
// MPSSE, or the simulated card behind a stand-in for one), or through lines
// that answer in batches (an FTDI chip in bit-bang): traced a transaction a
// line, and the session takes no port for it; false for the other bit-bang
// links, whose line driver the session takes.
[[nodiscard]] bool is_byte_link(const Options& options);

// Routes the lines of link, a bit-bang link (no byte link), through a trace
// of every access to path.
Outcome trace_lines(const std::string& path, TraceClock clock, spi::Link& link, std::unique_ptr<PortTrace>& traced);

// Replaces link with one that traces it to path, a transaction a line.
Outcome trace_link(const std::string& path, std::unique_ptr<spi::Link>& link, spi::TracingLink*& traced);
