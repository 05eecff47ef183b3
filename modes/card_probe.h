// The probe on the card in the session.
#pragma once

#include "modes/mode_run.h"

// Probes the initialised card, an ending signal (Ctrl+C and the like)
// stopping the search, and reports; the exit status.
int probe_the_card(ModeRun& run);
