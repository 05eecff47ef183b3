// The full-capacity test (--fill): a unique pattern written to every sector,
// all of it read back, and every sector sorted by what it holds. It finds
// every kind of counterfeit, whatever size it really keeps.
#pragma once

#include <cstdint>
#include <span>

#include "modes/command_line.h"
#include "base/outcome.h"
#include "card/card_types.h"
#include "modes/mode_run.h"

// What a sector held when it was read back.
enum class Kept : std::uint8_t { ok, unreadable, corrupted, overwritten, lost };

// One run's patterns: the sector number, the seed, the run's tag, then bytes
// that depend on the sector and the seed.
class FillPattern {
public:
    FillPattern(std::uint32_t seed, std::uint32_t tag) : seed_(seed), tag_(tag) {}
    void make(std::uint32_t sector, std::span<std::uint8_t, sector_size> out) const;
    // What a block read from sector shows; for overwritten, holds names the
    // sector whose pattern it is.
    [[nodiscard]] Kept sort(std::uint32_t sector, std::span<const std::uint8_t, sector_size> block,
                            std::uint32_t& holds) const;

private:
    std::uint32_t seed_;
    std::uint32_t tag_;
};

// Checks the backup file before the session: not the card image, and not
// one that exists unless --force.
Outcome fill_prepare(const Options& options);

// Runs the test on the initialised card, each sector's kind in the run's
// report; the exit status (0 only for a genuine card).
int run_fill(ModeRun& run, const Options& options);
