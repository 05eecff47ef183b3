// One card's run as a record for programs: a JSON object on one line (JSON
// Lines), as --json prints it for every card and run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/timed_device.h"

class Card;

struct RunRecord {
    std::string socket;  // the socket's name; empty for a run of one card
    std::string mode;    // "info", "test", "dump", ...
    bool card_found = false;
    // The card, when it came up.
    std::string family;  // "MMC", "SDSC v1", "SDSC v2", "SDHC", "SDXC" or "unknown"
    std::string cid;     // the CID in hex
    std::uint32_t manufacturer = 0;
    std::string oem;
    std::string product;
    std::string revision;  // "n.m"
    std::uint32_t serial = 0;
    std::string made;  // "YYYY-MM"
    std::uint64_t claimed_sectors = 0;
    std::optional<std::uint64_t> usable_sectors;
    // What the mode found.
    std::string verdict;
    std::uint64_t sectors = 0;
    std::uint64_t bad = 0;
    std::uint64_t reread = 0;
    std::uint64_t differ = 0;
    bool interrupted = false;
    // Bytes per second over the transfers of each kind, 0 when there were none.
    double read_rate = 0;
    double write_rate = 0;
    double elapsed_seconds = 0;
    int exit_status = 0;
    std::vector<std::string> files;
};

// The card's family, identity and claimed size into the record, from its
// CID and CSD (read again: a card that does not send them leaves them out).
void describe_card(Card& card, RunRecord& record);

// The record as one line of JSON and its newline.
[[nodiscard]] std::string json_line(const RunRecord& record);

// bytes as a JSON string, quotes included: control bytes escaped, and every
// byte that is not part of well-formed UTF-8 taken as the Latin-1 character
// of that value, so that the line is always valid UTF-8.
[[nodiscard]] std::string json_string(std::string_view bytes);

// Sums the time of every transfer by kind, for the record's rates, and
// hands each on to next (the run's picture) when there is one.
class TransferTally final : public TransferTimes {
public:
    explicit TransferTally(TransferTimes* next) : next_(next) {}
    void time(std::uint64_t first, std::uint64_t count, Transfer transfer, std::uint64_t ns) override;
    // Bytes per second of one kind of transfer, 0 when there was none.
    [[nodiscard]] double rate(Transfer transfer) const;

private:
    TransferTimes* next_;
    std::uint64_t sectors_[2]{};
    std::uint64_t ns_[2]{};
};
