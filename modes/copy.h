// The modes that work over the whole card or a range: --dump, --verify,
// --load, --probe, --serve and --fill, each run within the normal session.
#pragma once

#include "modes/command_line.h"
#include "modes/mode_run.h"
#include "base/outcome.h"

// Makes work the mode chosen and opens its files before the session starts:
// a dump file that exists (without --force) or is the simulated card's
// image, a file to verify or load that is not whole sectors or too short
// for the range, and a map or --fill backup that cannot be used, are refused.
Outcome whole_card_work(const Options& options, CardWork& work);
