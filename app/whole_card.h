// The whole-card modes: --dump, --verify, --load and --probe, each run
// within the normal session.
#pragma once

#include "app/options.h"
#include "app/session.h"
#include "base/outcome.h"

// Sectors the whole-card modes move per card command: long runs are fast,
// and Ctrl+C still takes effect within a fraction of a second on a real port.
inline constexpr std::uint32_t card_run_sectors = 32;

// Opens the mode's file before the session starts: a dump file that exists
// (without --force) or is the simulated card's image, and a file to verify or
// load that is not whole sectors or too short for the range, are refused.
Outcome whole_card_prepare(const Options& options);

// What the session does with the card in the mode chosen.
CardWork whole_card_work(const Options& options);

