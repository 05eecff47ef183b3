// The simulated card's settings for the stand-in adapters behind it: the
// spidev device and its controller, the FTDI chip and its USB.
#pragma once

#include <optional>
#include <string_view>

#include "base/outcome.h"
#include "sim/settings.h"

// Applies NAME=VALUE when NAME is an adapter setting; nullopt when it is not one.
std::optional<Outcome> sim_adapter_setting(std::string_view name, std::string_view value, SimSettings& s);

// One line per setting, for --help.
extern const char* const sim_adapter_settings_help;
