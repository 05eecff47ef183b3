// The real-port backends: each selects itself as the one the seam talks to
// and owns its own acquisition and release of the port.
#pragma once

#include <cstdint>
#include <string>

// The parallel port's registers at base (data) and base + 1 (status),
// through I/O port instructions.
void direct_port_select(std::uint16_t base);

// The parallel port behind a ppdev device node such as /dev/parport0.
void ppdev_port_select(const std::string& device);
