// What a mode is handed when the card is up (the card, the card as a sector
// device timed for the report when there is one, the run's report and the
// console), and what the session is asked to do with it.
#pragma once

#include <functional>
#include <string>

class Card;
class CardReport;
class Operator;
class SectorDevice;
struct RunRecord;

struct ModeRun {
    Card& card;
    SectorDevice& device;
    CardReport* report;  // nullptr without --report
    Operator& console;
    RunRecord* record = nullptr;  // --json: what the mode found goes here as it ends
};

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
    std::function<int(Card&, Operator&, const std::function<int()>& mode)> guard;
    bool writes = false;  // the mode writes to the card
    std::string mode_name;  // "info", "test", "dump", ...: the mode's flag without its dashes
    RunRecord* record = nullptr;  // --json: the run's record, filled in as it goes
};
