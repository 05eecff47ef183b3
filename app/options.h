// The command line read into Options, and what may run together.
#pragma once

#include <string>
#include <string_view>

#include "base/outcome.h"
#include "modes/command_line.h"
#include "modes/mode_run.h"

Outcome parse_options(int argc, const char* const* argv, Options& options);

// Fails when the options, though each is valid, must not run together, or
// when the mode writes to the card without write access to it.
Outcome options_conflict(const Options& options);

// Makes work the mode the options choose, as its row in the table of modes
// says, and opens the mode's files; fails when they cannot be used.
Outcome mode_work(const Options& options, CardWork& work);
// The row's part of that alone (setup, status without a card, write access,
// report, name): no run made, no file opened.
void mode_frame(const Options& options, CardWork& work);

// True when no mode replaces the sector browser.
[[nodiscard]] bool browses(const Options& options);

// One port as --port=SPEC gives it, into options.
Outcome parse_port_spec(std::string_view spec, Options& options);
// True for the modes that run over a whole card on their own (--info,
// --test, --dump, --verify, --load, --probe, --fill, --erase), as a station runs them.
[[nodiscard]] bool whole_card_mode(const Options& options);

[[nodiscard]] std::string version_text();
// The --help text.
[[nodiscard]] std::string usage_text();
