// Port trace: every data-register write and status-register read, in order.
#pragma once

#include <string>

// Starts logging the accesses of the selected backend to path, one a line:
// "W XX" for a write, "R XX" for a read and the value it returned.
bool trace_start(const std::string& path, std::string& error);
// Flushes and closes the log and removes the wrapper; false when the log
// could not be written completely.
bool trace_stop();
