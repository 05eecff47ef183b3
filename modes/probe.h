// The counterfeit-capacity probe: how many of the sectors a card claims
// really keep data. It writes tagged sectors over the claimed capacity (past
// the first MiB where it can), writes enough other sectors to push them out
// of a write cache, sees where a tag lands on another sector (the distance
// gives the wrap size) or does not stay (dropping), narrows the boundary to
// the exact sector and puts back every sector it wrote over. A transfer that
// keeps failing makes the card damaged, never smaller. The search runs
// against any sector device, a sector a transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "disk/sector_device.h"

// Checked between steps: true ends the search, then everything is put back.
using StopCheck = std::function<bool()>;

enum class Verdict { genuine, counterfeit, damaged, interrupted };

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

// The first sector number the card refuses as past its end (a read answered
// CardResult::rejected), for a card that does not say its capacity.
[[nodiscard]] std::uint64_t probe_capacity(SectorDevice& device, std::uint32_t& transfers);

// Probes a card that claims claimed sectors; run_id makes this run's tags
// differ from any an earlier run left behind.
[[nodiscard]] ProbeReport probe(SectorDevice& device, const StopCheck& stop, std::uint64_t claimed, std::uint32_t run_id);
