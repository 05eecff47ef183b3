// The command line read into Options, and what may run together.
#pragma once

#include <string>

#include "base/outcome.h"
#include "modes/command_line.h"

Outcome parse_options(int argc, const char* const* argv, Options& options);

// Fails when the options, though each is valid, must not run together, or
// when the mode writes to the card without write access to it.
Outcome options_conflict(const Options& options);

// True when no mode replaces the sector browser.
[[nodiscard]] bool browses(const Options& options);

// True when the mode chosen writes to the card (a card control, the surface
// test, --load, --probe, --fill, or --serve with --writable).
[[nodiscard]] bool writes_to_card(const Options& options);

[[nodiscard]] std::string version_text();
// The --help text.
[[nodiscard]] std::string usage_text();
