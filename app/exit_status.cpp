#include "app/exit_status.h"

#include <cstdio>

void report_failure(std::string_view why) {
    std::fflush(stdout);
    std::fprintf(stderr, "vantacle: %.*s\n", static_cast<int>(why.size()), why.data());
}

int fail(std::string_view why) {
    report_failure(why);
    return ExitStatus::failed;
}
