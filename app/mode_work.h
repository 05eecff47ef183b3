// What the session does in each mode, made from the options: the mode's
// run and the files it opens before the session starts.
#pragma once

#include "base/outcome.h"
#include "modes/command_line.h"
#include "modes/mode_run.h"

Outcome browser_work(const Options& options, CardWork& work);
Outcome info_work(const Options& options, CardWork& work);
Outcome surface_test_work(const Options& options, CardWork& work);
// --dump, --verify and --load.
Outcome copy_work(const Options& options, CardWork& work);
Outcome probe_work(const Options& options, CardWork& work);
Outcome serve_work(const Options& options, CardWork& work);
Outcome fill_work(const Options& options, CardWork& work);
Outcome restore_work(const Options& options, CardWork& work);
// A card control runs in place of the mode (see card_controls_work).
Outcome control_work(const Options& options, CardWork& work);
