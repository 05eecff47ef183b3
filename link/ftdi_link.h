// An FTDI MPSSE bridge (FT232H, FT2232H, FT4232H) as the link, through
// libftdi1. Wiring: ADBUS0 SCK, ADBUS1 to the card's DI, ADBUS2 from the
// card's DO, ADBUS3 chip select, optionally one of ADBUS4-7 switching the
// card's supply. Commands are gathered and go to the bridge with the next
// read, so that a transaction costs one USB round trip.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/file_lock.h"
#include "base/ftdi_calls.h"
#include "base/outcome.h"
#include "link/spi_link.h"

namespace spi {

struct FtdiTarget {
    std::string serial;                 // ftdi:SERIAL, empty: the first bridge found
    int interface = 1;                  // interface=A (1) or B (2)
    std::uint32_t max_hz = 30'000'000;  // hz=
    int power_pin = -1;                 // power=4..7: ADBUSn switches the supply (high: on)
    bool lock = true;                   // take the bridge's lock file (a stand-in's card is locked by its image)
};

class FtdiLink final : public Link {
public:
    static Outcome open(const FtdiTarget& target, std::unique_ptr<FtdiLink>& made);
    ~FtdiLink() override;
    FtdiLink(const FtdiLink&) = delete;
    FtdiLink& operator=(const FtdiLink&) = delete;

    bool start() override;
    void power(bool on) override;
    void select(bool selected) override;
    void stop() override;
    void transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) override;
    void set_clock(std::uint32_t hz) override;
    void pause_ns(std::uint64_t ns) override;
    [[nodiscard]] std::uint64_t now_ns() override { return ftdi_calls.now_ns(); }
    [[nodiscard]] bool healthy() override { return healthy_; }
    [[nodiscard]] Capabilities capabilities() const override;

private:
    explicit FtdiLink(const FtdiTarget& target);
    Outcome connect(const FtdiTarget& target);
    Outcome lock_place(const FtdiTarget& target);
    void set_pins();
    void queue(std::initializer_list<std::uint8_t> bytes);
    void queue_clocked(std::uint8_t opcode, std::span<const std::uint8_t> data, std::size_t length);
    // Sends what is gathered; then reads rx.size() bytes back.
    void flush(std::span<std::uint8_t> rx = {});

    ftdi_context* ftdi_ = nullptr;
    std::uint32_t max_hz_;
    std::uint8_t power_mask_;
    std::uint8_t pins_;       // ADBUS levels wanted
    std::uint8_t sent_pins_;  // ADBUS levels the bridge holds now
    std::uint32_t divisor_ = 0x10000;  // the clock divisor in force (none yet)
    bool healthy_ = true;
    std::vector<std::uint8_t> commands_;
    PortLock lock_;  // one run per bridge interface
};

}  // namespace spi
