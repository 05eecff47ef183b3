// The simulated card behind an FTDI MPSSE bridge, for the FTDI link: a
// libftdi table whose bridge interprets the MPSSE command stream (pins,
// clock divisor, bytes out and in, send immediate) and clocks the card a
// byte at a time on the card's clock. Each read that has to wait for the
// bridge costs one USB round trip of card time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "sim/settings.h"

// The bridge's serial number, and the modelled USB round trip.
inline constexpr const char* sim_ftdi_serial = "VT000001";
inline constexpr std::uint64_t sim_usb_round_trip_ns = 1'000'000;

// Opens the card and installs the table; on failure installs nothing. With
// power_pin (4 to 7) the card's supply follows that ADBUS pin; without one
// it is always on.
Outcome sim_mpsse_install(const SimSettings& settings, int power_pin = -1);
void sim_mpsse_remove();

// The command stream as the bridge took it, one command a line ("pins 0a
// 0b", "divisor 74", "out 7", "in 1", "flush"); cleared on request.
[[nodiscard]] const std::vector<std::string>& sim_mpsse_commands();
void sim_mpsse_clear_commands();
// USB round trips (reads that waited for the bridge) since installed.
[[nodiscard]] std::uint64_t sim_mpsse_round_trips();
