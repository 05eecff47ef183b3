// How a run ends: its exit status, and the one line that says why it failed.
#pragma once

#include <string_view>

struct ExitStatus {
    static constexpr int ok = 0;             // all went well
    static constexpr int failed = 1;         // bad sectors, differences, a counterfeit card, a failure
    static constexpr int usage = 2;          // the command line cannot run
    static constexpr int signal_base = 128;  // plus the number of the signal that ended the run
};

// "vantacle: WHY" on standard error, after whatever standard output holds.
void report_failure(std::string_view why);

// Reports why and returns ExitStatus::failed.
int fail(std::string_view why);
