#include "app/station.h"

#include "base/exit_status.h"

// The Windows build's thread library has no threads for the sockets: one card a run.
int run_station(const Options&) {
    report_failure("this Windows build tests one card at a time: give one --port");
    return ExitStatus::usage;
}
