// The record of a long copy in GNU ddrescue's mapfile format: for every
// stretch of the card, whether it was copied, failed or is still to be read,
// so that a stopped run goes on where it stopped and other tools read it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/outcome.h"

// A stretch's state, as the mapfile writes it.
enum class MapState : char {
    untried = '?',
    untrimmed = '*',  // failed in a large read, edges not yet narrowed
    unscraped = '/',  // failed, not yet read sector by sector
    bad = '-',
    good = '+',
};

// Sectors from first, all in one state.
struct MapArea {
    std::uint64_t first;
    std::uint64_t count;
    MapState state;
};

// What the run is doing, in the mapfile's status line.
enum class MapPhase : char { copying = '?', retrying = '-', finished = '+' };

// What a map was made by, in comment lines other tools pass over: the
// run's kind, the card's CID and the file's identity ("" where not known).
struct MapOrigin {
    std::string run, card, file;
    bool operator==(const MapOrigin&) const = default;
};

class RescueMap {
public:
    // A map of sectors sectors, none tried.
    explicit RescueMap(std::uint64_t sectors = 0);

    // Reads a mapfile's text; a text that is not a mapfile, is cut short or
    // does not lie on sector boundaries is refused with the reason.
    static Outcome parse(std::string_view text, RescueMap& map);
    [[nodiscard]] std::string text() const;

    void mark(std::uint64_t first, std::uint64_t count, MapState state);
    // The areas in state (or, with failed_too, any failed state) within
    // [first, first + count).
    [[nodiscard]] std::vector<MapArea> areas(MapState state, std::uint64_t first, std::uint64_t count,
                                             bool failed_too = false) const;
    [[nodiscard]] std::uint64_t count(MapState state) const;
    [[nodiscard]] std::uint64_t sectors() const { return sectors_; }
    [[nodiscard]] bool is_good(std::uint64_t sector) const;

    void set_phase(MapPhase phase, std::uint64_t position, int pass);

    MapOrigin origin;

private:
    std::uint64_t sectors_ = 0;
    std::vector<MapArea> areas_;  // in order, touching, covering every sector
    MapPhase phase_ = MapPhase::copying;
    std::uint64_t position_ = 0;
    int pass_ = 1;
};

[[nodiscard]] bool is_failed(MapState state);

// Reads the mapfile at path; a missing file gives exists false and no map.
Outcome map_read(const std::string& path, RescueMap& map, bool& exists);
// Writes the map to path atomically: a new file beside it, on the disk,
// then renamed over it; never through a link.
Outcome map_write(const std::string& path, const RescueMap& map);
