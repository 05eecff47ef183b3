// The program's one fixed sequence: banner, port access, card
// initialisation, sector browser, power-down, closing report.
#pragma once

#include <functional>

// What the session does with an initialised card, and the exit status when
// it never gets that far (no port access, or the card did not initialise).
// How the card is set up before the work: as the known sequence left it
// (the browser), checked (its kind, CSD, block length), or checked with CRC
// checking on (every mode that copies or writes).
enum class CardSetup { known, checked, checked_crc };

struct CardWork {
    std::function<int()> run;  // returns the exit status
    int status_without_card;
    CardSetup setup = CardSetup::known;
};

// The sector browser: keys and entries from the console.
int browse_sectors();

// Runs the sequence on the selected port; returns the exit status.
int run_session(const CardWork& work);
