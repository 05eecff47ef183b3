#include "port/port.h"
#include "portaccess/giveio.h"

namespace {

std::string failure;

// No system here needs the driver: the backend alone decides on access.
int is_winnt() { return 0; }

}  // namespace

int giveio_start() {
    if (!is_winnt()) return port_acquire(failure) ? 1 : 0;
    return 0;
}

int giveio_stop(int level) {
    if (!is_winnt()) return port_release() ? 0 : level;
    return 0;
}

const std::string& giveio_failure() { return failure; }
