// A picture of the card after a run: a map of regions coloured by what the
// run found there (good, slow, re-read, bad, overwritten, lost) above the
// read and write speed across the card (--report=FILE.svg), or the same
// figures as one CSV row per region (--report=FILE.csv).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "disk/timed_device.h"

enum class SectorState : std::uint8_t { good, slow, reread, bad, overwritten, lost };
inline constexpr std::size_t sector_states = 6;

// Time per sector of one kind of transfer within a region, in nanoseconds.
struct Timing {
    std::uint64_t sectors = 0;
    std::uint64_t total_ns = 0;
    std::uint64_t min_ns = 0;
    std::uint64_t max_ns = 0;
    void add(std::uint64_t count, std::uint64_t ns);
    [[nodiscard]] std::uint64_t average_ns() const { return sectors ? total_ns / sectors : 0; }
};

struct Region {
    std::uint64_t first = 0;
    std::uint64_t sectors = 0;
    std::array<std::uint64_t, sector_states> counts{};
    std::array<Timing, 2> timing{};  // by Transfer
};

class CardReport final : public TransferTimes {
public:
    // A card of sectors sectors, shown in at most max_regions regions.
    CardReport(std::uint64_t sectors, std::string title);

    void add(std::uint64_t first, std::uint64_t count, SectorState state);
    // count sectors from first moved in ns (a run of them, or one).
    void time(std::uint64_t first, std::uint64_t count, Transfer transfer, std::uint64_t ns) override;
    // One sector counted in from moves to to (or is added to to).
    void move(std::uint64_t sector, SectorState from, SectorState to);
    // n good sectors about sector that were read again before they came right.
    void reread(std::uint64_t sector, std::uint32_t n);

    // The regions with slow ones marked: good sectors of a region whose
    // transfers took over slow_factor times the card's median are slow.
    [[nodiscard]] std::vector<Region> regions() const;
    [[nodiscard]] std::string svg() const;
    [[nodiscard]] std::string csv() const;

    static constexpr std::size_t max_regions = 1024;
    static constexpr std::uint64_t slow_factor = 3;

private:
    [[nodiscard]] std::size_t region_of(std::uint64_t sector) const;
    std::uint64_t sectors_;
    std::uint64_t per_region_;
    std::string title_;
    std::vector<Region> regions_;
};

// Writes the report to path: FILE.csv as CSV, else SVG.
Outcome write_report(const CardReport& report, const std::string& path);

