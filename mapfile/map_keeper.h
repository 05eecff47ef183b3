// A whole-card run's mapfile: read before the run, checked against the card,
// updated after every run of sectors and written at every stop.
#pragma once

#include <optional>
#include <string>

#include "base/file_lock.h"
#include "mapfile/rescue_map.h"
#include "base/outcome.h"

class MapKeeper {
public:
    explicit MapKeeper(std::string path) : path_(std::move(path)) {}

    // Takes the map for the run (a second run on it is refused) and reads
    // it if its file exists; a file that is not a mapfile is refused.
    Outcome read();
    [[nodiscard]] bool existed() const { return existed_; }
    // Refuses a map another kind of run ("dump", "load") or another card
    // (its CID in hex, "" when unknown) made.
    Outcome check_card(const std::string& run, const std::string& cid);
    // Fits the map to a card of capacity sectors: a new map, or the one read
    // when it describes that size. An image file of file_bytes holds only the
    // copied sectors that lie within it; the others are read again. file is
    // the identity of the file the run copies to or from: a map that trusts
    // what another file holds is refused.
    Outcome fit(std::uint64_t capacity, std::uint64_t file_bytes, const std::string& file);

    RescueMap& map() { return map_; }
    const std::string& path() const { return path_; }
    // Writes the map; after the first failure it says so once and stops trying.
    void save();
    [[nodiscard]] bool failed() const { return failed_; }

private:
    std::string path_;
    PortLock lock_;
    RescueMap map_;
    bool existed_ = false;
    bool failed_ = false;
};
