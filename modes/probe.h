// The counterfeit-capacity probe: how many of the sectors a card claims
// really keep data. It tags the top sectors of the claimed capacity (a
// block of about the square root of a sixth of it), writes other sectors
// to push them out of a write cache and reads them back: one lost gives a
// card that drops writes, narrowed to the exact sector; a tag on another
// sector gives a card that wraps. Where every one stays, it reads one
// sector in every block below: a card that wraps at any size shows one of
// the block's tags there, and the size is narrowed from the distance. It
// puts back every sector it wrote over. A transfer that keeps failing makes
// the card damaged, a card that does not do the same thing twice leaves the
// verdict open: never a wrong size. The search runs against any sector
// device, a sector a transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "disk/saving_device.h"

// Checked between steps: true ends the search, then everything is put back.
using StopCheck = std::function<bool()>;

// uncertain: the card answered one way, then another; only writing all of
// it can tell.
enum class Verdict { genuine, counterfeit, damaged, interrupted, uncertain };

// How a counterfeit card treats writes past what it keeps: puts them on
// lower sectors, loses them (reads zeros or refuses), or loses them while
// reads show other data (limbo).
enum class FakeKind { none, wraps, drops, limbo };

// Sectors written after the tags and before they are read back, so that a
// card's write cache holds none of them.
inline constexpr std::uint32_t probe_flush_sectors = 64;
// The probe's first sector on a card of probe_base_from sectors or more: the
// first MiB (partition tables, boot code) stays untouched.
inline constexpr std::uint32_t probe_base = 2048;
inline constexpr std::uint64_t probe_base_from = 8192;

struct ProbeReport {
    std::uint64_t claimed = 0;
    std::uint64_t usable = 0;  // sectors from 0 that keep data
    bool usable_known = true;  // false when a failed transfer ended the search
    Verdict verdict = Verdict::genuine;
    FakeKind kind = FakeKind::none;
    std::uint32_t transfers = 0;             // sector reads and writes made
    std::uint32_t saved = 0;                 // sectors saved and put back
    std::vector<std::uint32_t> failed;       // sectors whose read or write failed
    std::vector<std::uint32_t> not_restored; // sectors that could not be put back
};

// The sectors tagged at the top of a card of that many sectors.
[[nodiscard]] std::uint64_t probe_block_sectors(std::uint64_t sectors);
// The most transfers a probe of a card of that many sectors makes when none
// fails: about 2 * sqrt(6 * sectors) + 7,500 (each failed one tried again
// counts again).
[[nodiscard]] std::uint64_t probe_transfer_bound(std::uint64_t sectors);

// The first sector number the card refuses as past its end (a read answered
// CardResult::rejected), for a card that does not say its capacity.
[[nodiscard]] std::uint64_t probe_capacity(SectorDevice& device, std::uint32_t& transfers);

// Probes a card that claims claimed sectors, through a device that saves
// what it writes over and then puts it back; run_id makes this run's tags
// differ from any an earlier run left behind.
[[nodiscard]] ProbeReport probe(SavingDevice& device, const StopCheck& stop, std::uint64_t claimed, std::uint32_t run_id);
