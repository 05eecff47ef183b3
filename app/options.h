// The command line: which port to use and whether to trace it.
#pragma once

#include <cstdint>
#include <string>

#include "port/wiring.h"
#include "sim/settings.h"

struct Options {
    enum class Port { direct, sim };
    Port port = Port::direct;
    std::uint16_t base = wiring::default_base;
    SimSettings sim;
    std::string trace;
    bool help = false;
};

// On failure fills error with one line and returns false.
bool parse_options(int argc, const char* const* argv, Options& options, std::string& error);

// The --help text.
std::string usage_text();
