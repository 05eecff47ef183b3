// Port trace: every data-register write and status-register read, in order.
#pragma once

#include <cstdint>
#include <string>

#include "base/outcome.h"

// How a waveform trace stamps its accesses: one microsecond per access (a
// simulated card, whose accesses take no real time), or the time measured
// on the clock (a real port).
enum class TraceClock : std::uint8_t { per_access, measured };

// Starts tracing the accesses of the selected backend to path. A path ending
// in ".vcd" gets a Value Change Dump of the card's lines stamped by clock;
// any other path a log of one access a line: "W XX" for a write, "R XX" for
// a read and the value it returned.
Outcome trace_start(const std::string& path, TraceClock clock);
// Flushes and closes the trace and removes the wrapper; false when it could
// not be written completely.
[[nodiscard]] bool trace_stop();
