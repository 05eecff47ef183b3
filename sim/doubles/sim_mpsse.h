// The simulated card behind an FTDI MPSSE bridge, for the FTDI link: a
// libftdi table whose bridge is one of the chips with an MPSSE (FT232H,
// FT2232H, FT4232H, FT2232D), built from FTDI's command set: pins with
// their directions (an input drives nothing), the clock divisor on the
// chip's base clock (12 MHz on the H chips until divide-by-5 is turned
// off), bytes out and in, send immediate, and a bad-command answer (FA and
// the byte) for every command the chip lacks. Reads come back as USB
// packets bring them: nothing on the first poll after a round trip, then
// at most the chip's FIFO in whole packets per read, the card clocked a
// byte at a time on the card's clock. A command queued while the bridge
// still has answers to deliver hides its round trip behind them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "sim/settings.h"

// The bridge's serial number.
inline constexpr const char* sim_ftdi_serial = "VT000001";

// Opens the card and installs the table; on failure installs nothing. With
// power_pin (4 to 7) the card's supply follows that ADBUS pin; without one
// it is always on.
Outcome sim_mpsse_install(const SimSettings& settings, int power_pin = -1);
void sim_mpsse_remove();

// The command stream as the bridge took it, one command a line ("pins 0a
// 0b", "divisor 74", "out 7", "in 1", "flush", "bad 8a"); cleared on request.
[[nodiscard]] const std::vector<std::string>& sim_mpsse_commands();
void sim_mpsse_clear_commands();
// USB round trips the host waited for, since installed: a wait partly
// hidden behind the bridge's work counts as that part of one.
[[nodiscard]] double sim_mpsse_round_trips();
