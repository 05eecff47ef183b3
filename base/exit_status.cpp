#include "base/exit_status.h"

#include <cstdio>

#include "base/escape.h"
#include "base/text_out.h"

// The reason quotes file names and names from other processes: escaped, it
// stays one line that cannot drive the terminal.
void report_failure(std::string_view why) {
    const std::string line = "vantacle: " + escaped(why) + "\n";
    if (current_text_sink()) return text_put(TextStream::err, line);
    std::fflush(stdout);
    std::fputs(line.c_str(), stderr);
}

int fail(std::string_view why) {
    report_failure(why);
    return ExitStatus::failed;
}
