// Surface test: writes a pattern to each sector of a range, reads it back,
// and restores what the sector held.
#pragma once

#include "modes/command_line.h"
#include "modes/mode_run.h"

// Tests the range (without one, the whole card) on an initialised card;
// exit status 0 when every sector passed, 1 when any failed or the card
// ended inside the range. Stops early, between sectors, on Ctrl+C.
int surface_test(ModeRun& run, const std::optional<SectorRange>& range);
