// A port backend for tests: records every access and answers status reads
// either from a script of bytes the "card" sends or from the simulated card.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/parallel_link.h"
#include "sim/settings.h"

class Card;
class SimCard;

struct Access {
    char kind;  // 'W' data-register write, 'R' status-register read
    std::uint8_t value;
    std::chrono::steady_clock::time_point when;
};

// Each mmc_serial_in() gets the next byte of script, then after_script forever.
void record_scripted(std::vector<std::uint8_t> script, std::uint8_t after_script = 0xFF, bool link_ok = true);
// Forwards to the simulated card configured by settings (demo card unless an image is named).
void record_sim(const SimSettings& settings);
// The simulated card record_sim set up.
SimCard& recorded_sim_card();

// Makes acquire fail with why (empty: succeed), release fail, and the
// backend one that runs port instructions (needing the driver on NT).
void record_access_rules(std::string refuse_why, bool release_fails, bool needs_driver = false);

// The card over the recording port, and the link it talks through.
Card& recorded_card();
spi::ParallelLink& recording_link();

const std::vector<Access>& recorded();
void clear_recorded();

// The data-register values written, in order.
std::vector<std::uint8_t> written();
// The bytes the card saw on DI: a bit at every rising clock edge while CS is low.
std::vector<std::uint8_t> di_bytes();
// How many whole bytes were clocked in (eight status reads each).
std::size_t bytes_clocked_in();
