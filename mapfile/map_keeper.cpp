#include "mapfile/map_keeper.h"

#include "base/exit_status.h"

Outcome MapKeeper::read() { return map_read(path_, map_, existed_); }

Outcome MapKeeper::fit(std::uint64_t capacity, std::uint64_t file_bytes) {
    if (capacity == 0) return Outcome::failed("the card does not say its capacity: --map cannot be used with it");
    if (!existed_) {
        map_ = RescueMap(capacity);
        return Outcome::ok();
    }
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
