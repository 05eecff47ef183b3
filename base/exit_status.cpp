#include "base/exit_status.h"

#include <cstdio>

#include "base/escape.h"

// The reason quotes file names and names from other processes: escaped, it
// stays one line that cannot drive the terminal.
void report_failure(std::string_view why) {
    std::fflush(stdout);
    const std::string line = escaped(why);
    std::fprintf(stderr, "vantacle: %s\n", line.c_str());
}

int fail(std::string_view why) {
    report_failure(why);
    return ExitStatus::failed;
}
