// What a mode is handed when the card is up: the card, the card as a sector
// device (timed for the report when there is one) and the run's report.
#pragma once

class Card;
class CardReport;
class SectorDevice;

struct ModeRun {
    Card& card;
    SectorDevice& device;
    CardReport* report;  // nullptr without --report
};
