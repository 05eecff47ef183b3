// The program's one fixed sequence: banner, port access, card
// initialisation, the work (the sector browser or a mode), power-down,
// closing report.
#pragma once

#include <functional>
#include <string>

#include "modes/mode_run.h"

// How the card is set up before the work: as the known sequence left it
// (the browser), checked (its kind, CSD, block length), or checked with CRC
// checking on (every mode that copies or writes).
enum class CardSetup { known, checked, checked_crc };

// What the session does with an initialised card, and the exit status when
// it never gets that far (no port access, or the card did not initialise).
struct CardWork {
    std::function<int(ModeRun&)> run;  // returns the exit status
    int status_without_card;
    CardSetup setup = CardSetup::known;
    // --report: the file the run's picture goes to (.svg or .csv), and its title.
    std::string report_path;
    std::string report_title;
    // Runs before the mode on the set-up card and calls it, or ends the run
    // itself (unlocking a locked card, a card control); none: the mode alone.
    std::function<int(Card&, const std::function<int()>& mode)> guard;
};

// Runs the sequence with card on the selected port; returns the exit status.
int run_session(Card& card, const CardWork& work);
