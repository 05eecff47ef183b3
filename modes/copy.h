// --dump, --verify and --load: the card and FILE compared or copied, a run
// of sectors at a time, over the whole card or a range, with or without a map.
#pragma once

#include <functional>

#include "base/outcome.h"
#include "modes/command_line.h"
#include "modes/mode_run.h"

// Opens the mode's files before the session starts and makes run the copy:
// a dump file that exists (without --force) or is the simulated card's
// image, a file to verify or load that is not whole sectors or too short
// for the range, and a map that cannot be used, are refused.
Outcome copy_prepare(const Options& options, std::function<int(ModeRun&)>& run);
