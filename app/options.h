// The command line: which port to use and whether to trace it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/surface_test.h"
#include "port/wiring.h"
#include "sim/settings.h"

inline constexpr const char* default_device = "/dev/parport0";

struct Options {
    enum class Port { direct, ppdev, sim };
    Port port = Port::direct;
    std::uint16_t base = wiring::default_base;
    std::string device = default_device;
    SimSettings sim;
    std::string trace;
    std::optional<SectorRange> test;  // --test=START:COUNT
    bool yes = false;                 // --yes: the surface test may write to a real card
    bool help = false;
};

// On failure fills error with one line and returns false.
bool parse_options(int argc, const char* const* argv, Options& options, std::string& error);

// Why the options, though each is valid, must not run together; empty when
// they may.
std::string options_conflict(const Options& options);

// The --help text.
std::string usage_text();
