#include "mapfile/map_keeper.h"

#include <cstdio>
#include <filesystem>

#include "base/exit_status.h"

namespace {

// A short fixed name for a path of any length (FNV-1a).
std::string name_for(const std::string& path) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (const char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    char text[24];
    std::snprintf(text, sizeof text, "map-%016llx", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace

// The lock is named after the map's full path, so that every spelling of it takes one lock.
Outcome MapKeeper::read() {
    std::error_code ec;
    const std::string full = std::filesystem::weakly_canonical(path_, ec).string();
    if (Outcome locked = lock_.take(name_for(ec ? path_ : full), "the mapfile " + path_); !locked) return locked;
    return map_read(path_, map_, existed_);
}

Outcome MapKeeper::check_card(const std::string& run, const std::string& cid) {
    const MapOrigin& made = map_.origin;
    if (existed_ && !made.run.empty() && made.run != run)
        return Outcome::failed("the mapfile " + path_ + " records a " + made.run + ", not a " + run + ": name another map");
    if (existed_ && !made.card.empty() && !cid.empty() && made.card != cid)
        return Outcome::failed("the mapfile " + path_ + " is of another card (CID " + made.card +
                               "): name this card's map, or remove it to start anew");
    map_.origin.run = run;
    if (!cid.empty()) map_.origin.card = cid;
    return Outcome::ok();
}

Outcome MapKeeper::fit(std::uint64_t capacity, std::uint64_t file_bytes, const std::string& file) {
    if (capacity == 0) return Outcome::failed("the card does not say its capacity: --map cannot be used with it");
    const MapOrigin made = map_.origin;
    if (!existed_) {
        map_ = RescueMap(capacity);
        map_.origin = made;
        map_.origin.file = file;
        return Outcome::ok();
    }
    if (file_bytes != 0 && !made.file.empty() && made.file != file)
        return Outcome::failed("the mapfile " + path_ + " was made with another file (" + made.file +
                               "): name that file, or remove the map to start anew");
    map_.origin.file = file;
    if (map_.sectors() != capacity)
        return Outcome::failed("the mapfile " + path_ + " describes " + std::to_string(map_.sectors()) +
                               " sectors, the card has " + std::to_string(capacity));
    const std::uint64_t in_file = file_bytes / 512;
    if (in_file < capacity) {
        for (const MapArea& a : map_.areas(MapState::good, in_file, capacity - in_file)) map_.mark(a.first, a.count, MapState::untried);
    }
    return Outcome::ok();
}

void MapKeeper::save() {
    if (failed_) return;
    if (Outcome written = map_write(path_, map_); !written) {
        failed_ = true;
        report_failure(written.why());
    }
}
