// A sector device whose every transfer is timed and handed to a sink, for
// the reports of speed across the card.
#pragma once

#include "disk/sector_device.h"

// Where the times go: count sectors from first moved in ns.
class TransferTimes {
public:
    virtual void time(std::uint64_t first, std::uint64_t count, Transfer transfer, std::uint64_t ns) = 0;

protected:
    ~TransferTimes() = default;
};

class TimedDevice final : public WrappedDevice {
public:
    // Without times (nullptr) the transfers go straight through.
    TimedDevice(SectorDevice& inner, TransferTimes* times) : WrappedDevice(inner), times_(times) {}

    // A run counts the sectors it moved and the one it failed on.
    CardResult read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) override;
    CardResult write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) override;
    // A single sector counts one, whatever came of it.
    CardResult read_sector(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) override;
    CardResult write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) override;

private:
    template <class Move>
    CardResult timed(std::uint32_t first, Transfer transfer, Move move);
    TransferTimes* times_;
};
