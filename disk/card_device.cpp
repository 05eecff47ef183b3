#include "disk/card_device.h"

#include "card/card_failure.h"

namespace {
// On a real port a run of 32 sectors keeps Ctrl+C within a fraction of a second.
constexpr std::uint32_t bulk_run_sectors = 256;
}  // namespace

std::uint32_t CardDevice::run_sectors() {
    return card_.link().capabilities().read_ahead > 1 ? bulk_run_sectors : default_run_sectors;
}

std::string CardDevice::failure_text() { return describe_failure(card_.last_failure()); }
