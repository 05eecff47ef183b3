// How the simulated card is set up: what it holds and which faults it shows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/outcome.h"

// The card families the simulated card can be.
enum class CardKind : std::uint8_t { mmc, sd1, sd2, sdhc, sdxc };

// A CID or CSD register as the card sends it, its CRC7 byte last.
using CardRegister = std::array<std::uint8_t, 16>;
// The SCR and the SD Status as the card sends them.
using ScrBytes = std::array<std::uint8_t, 8>;
using SsrBytes = std::array<std::uint8_t, 64>;

struct SimSettings {
    std::string image;                        // empty: the built-in demo card
    bool empty_socket = false;                // sim:none
    bool writable = false;                    // write=on
    bool link_down = false;                   // link=down: the port cannot reach the card
    int ncr = 2;                              // bytes clocked until R1 arrives (1 to 8)
    int idle_answers = 3;                     // CMD1 answers idle this often, then ready
    bool never_ready = false;                 // idle=never
    int access_bytes = 2;                     // 0xFF bytes before a read's start token
    std::uint8_t cmd0_answer = 0x01;          // R1 sent for CMD0
    std::optional<std::uint8_t> cmd1_answer;  // R1 sent for every CMD1 instead
    std::uint8_t read_token = 0xFE;           // start token, or a data error token
    std::optional<std::uint8_t> data_response = 0x05;  // answer to a written block; none: no answer
    int busy_bytes = 8;                       // bytes DO stays low while a block is programmed
    std::optional<std::uint32_t> bad_sector;  // writes to this sector fail with a write error
    CardKind kind = CardKind::mmc;            // card=
    std::optional<CardRegister> cid;          // sent instead of the default CID
    std::optional<CardRegister> csd;          // sent instead of the default CSD
    std::optional<ScrBytes> scr;              // sent instead of the default SCR
    std::optional<SsrBytes> ssr;              // sent instead of the default SD Status
    double noise_rate = 0;                    // chance that a DO bit flips
    std::optional<std::uint32_t> fake_sectors;  // a counterfeit keeping only this many sectors
    bool fake_drops = false;                  // past them writes are lost (else addresses wrap)
};

// Parses what follows "sim" in --port=sim[:IMAGE][,SETTING=VALUE...].
Outcome sim_parse_settings(std::string_view text, SimSettings& settings);

// One line per setting, for --help.
extern const char* const sim_settings_help;
