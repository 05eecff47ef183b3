// A whole-card run's mapfile: read before the run, checked against the card,
// updated after every run of sectors and written at every stop.
#pragma once

#include <optional>
#include <string>

#include "mapfile/rescue_map.h"
#include "base/outcome.h"

class MapKeeper {
public:
    explicit MapKeeper(std::string path) : path_(std::move(path)) {}

    // Reads the map if its file exists; a file that is not a mapfile is refused.
    Outcome read();
    [[nodiscard]] bool existed() const { return existed_; }
    // Fits the map to a card of capacity sectors: a new map, or the one read
    // when it describes that size. An image file of file_bytes holds only the
    // copied sectors that lie within it; the others are read again.
    Outcome fit(std::uint64_t capacity, std::uint64_t file_bytes);

    RescueMap& map() { return map_; }
    const std::string& path() const { return path_; }
    // Writes the map; after the first failure it says so once and stops trying.
    void save();
    [[nodiscard]] bool failed() const { return failed_; }

private:
    std::string path_;
    RescueMap map_;
    bool existed_ = false;
    bool failed_ = false;
};
