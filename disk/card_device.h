// The initialised card as a sector device: runs by CMD18 and CMD25, single
// sectors by CMD17 and CMD24, timed on the link's clock.
#pragma once

#include "card/card.h"
#include "disk/sector_device.h"

class CardDevice final : public SectorDevice {
public:
    explicit CardDevice(Card& card) : card_(card) {}

    // The capacity the card's CSD gives, 0 when unknown.
    std::uint64_t sectors() override { return card_.capacity_sectors(); }
    CardResult read(std::uint32_t first, std::span<std::uint8_t> buf, std::uint32_t& done) override {
        return card_.read_blocks(first, buf, done);
    }
    CardResult write(std::uint32_t first, std::span<const std::uint8_t> buf, std::uint32_t& done) override {
        return card_.write_blocks(first, buf, done);
    }
    CardResult read_sector(std::uint32_t sector, std::span<std::uint8_t, sector_size> buf) override {
        return card_.read(sector, buf);
    }
    CardResult write_sector(std::uint32_t sector, std::span<const std::uint8_t, sector_size> buf) override {
        return card_.write(sector, buf);
    }
    // A link that reads ahead keeps more blocks in flight.
    std::uint32_t run_sectors() override;
    std::uint32_t rereads() override { return card_.rereads(); }
    std::string failure_text() override;
    // On the simulated card its own clock.
    std::uint64_t now_ns() override { return card_.link().now_ns(); }

private:
    Card& card_;
};
