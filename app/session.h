// The program's one fixed sequence: banner, port access, card
// initialisation, the work (the sector browser or a mode), power-down,
// closing report.
#pragma once

#include <functional>

// How the card is set up before the work: as the known sequence left it
// (the browser), checked (its kind, CSD, block length), or checked with CRC
// checking on (every mode that copies or writes).
enum class CardSetup { known, checked, checked_crc };

// What the session does with an initialised card, and the exit status when
// it never gets that far (no port access, or the card did not initialise).
struct CardWork {
    std::function<int()> run;  // returns the exit status
    int status_without_card;
    CardSetup setup = CardSetup::known;
};

// Runs the sequence on the selected port; returns the exit status.
int run_session(const CardWork& work);
