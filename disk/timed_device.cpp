#include "disk/timed_device.h"

namespace {
struct Moved {
    CardResult result;
    std::uint64_t sectors;
};
// A run that failed short of the card's end spent its time on the failed sector too.
// done is read only once the run has set it.
template <class Run>
Moved run_moved(Run run, const std::uint32_t& done) {
    const CardResult r = run();
    return {r, done + (r == CardResult::ok || r == CardResult::out_of_range ? 0U : 1U)};
}
}  // namespace

template <class Move>
CardResult TimedDevice::timed(std::uint32_t first, Transfer transfer, Move move) {
    if (!times_) return move().result;
    const std::uint64_t started = inner_.now_ns();
    const auto [result, moved] = move();
    times_->time(first, moved, transfer, inner_.now_ns() - started);
    return result;
}


CardResult TimedDevice::read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) {
    return timed(first, Transfer::read, [&] { return run_moved([&] { return inner_.read(first, buf, done); }, done); });
}

CardResult TimedDevice::write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) {
    return timed(first, Transfer::write, [&] { return run_moved([&] { return inner_.write(first, buf, done); }, done); });
}

CardResult TimedDevice::read_sector(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) {
    return timed(sector, Transfer::read, [&] { return Moved{inner_.read_sector(sector, buf), 1}; });
}

CardResult TimedDevice::write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) {
    return timed(sector, Transfer::write, [&] { return Moved{inner_.write_sector(sector, buf), 1}; });
}
