// The card's own controls from the command line: write protection, the
// password lock and erase; and, before any other work, unlocking a locked
// card and refusing to write to a write-protected one.
#pragma once

#include "modes/command_line.h"
#include "modes/mode_run.h"
#include "base/outcome.h"

// Reads --password-file (each line a password of at most 16 bytes), then
// makes `work` the session's work: the control mode chosen, or `work` once
// a locked card is unlocked and, for work that writes, found not
// write-protected.
Outcome card_controls_work(const Options& options, CardWork& work);
