// An FTDI MPSSE bridge (FT232H, FT2232H, FT4232H, FT2232D) as the link,
// through libftdi1. Wiring: ADBUS0 SCK, ADBUS1 to the card's DI, ADBUS2
// from the card's DO, ADBUS3 chip select, optionally one of ADBUS4-7
// switching the card's supply. Commands are gathered and go to the bridge
// with the next read, so that a transaction costs one USB round trip.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/ftdi_calls.h"
#include "base/outcome.h"
#include "link/ftdi_bridge.h"
#include "link/spi_link.h"

namespace spi {

struct FtdiTarget {
    std::string serial;                 // ftdi:SERIAL, empty: the first bridge found
    int interface = 1;                  // interface=A (1) or B (2)
    std::uint32_t max_hz = 30'000'000;  // hz=
    int power_pin = -1;                 // power=4..7: ADBUSn switches the supply (high: on)
    bool lock = true;                   // take the bridge's lock file (a stand-in's card is locked by its image)
};

// What the link needs to know of each chip with an MPSSE.
struct FtdiChipKind {
    int type;           // libftdi's chip type
    const char* name;
    int interfaces;     // MPSSE interfaces: A, or A and B
    bool h_commands;    // clock divide, adaptive and three-phase commands (the H chips)
    std::uint32_t base_hz;  // SCK is this over 2 * (divisor + 1)
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
    void transfer_then(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx, std::size_t ahead) override;
    void set_clock(std::uint32_t hz) override;
    void pause_ns(std::uint64_t ns) override;
    [[nodiscard]] std::uint64_t now_ns() override { return ftdi_calls.now_ns(ftdi_); }
    [[nodiscard]] bool healthy() override { return healthy_; }
    [[nodiscard]] std::string fault() const override { return fault_; }
    [[nodiscard]] Capabilities capabilities() const override;

private:
    explicit FtdiLink(const FtdiTarget& target);
    Outcome connect(const FtdiTarget& target);
    Outcome open_bridge(const FtdiTarget& target);
    Outcome refuse_without_mpsse(const FtdiWanted& wanted, const Outcome& none);
    Outcome enter_mpsse();
    bool synchronise();
    void set_pins();
    void queue(std::initializer_list<std::uint8_t> bytes);
    void queue_clocked(std::uint8_t opcode, std::span<const std::uint8_t> data, std::size_t length);
    // Sends what is gathered; then reads rx.size() bytes back.
    void flush(std::span<std::uint8_t> rx = {});
    bool read_exactly(std::span<std::uint8_t> rx);
    // Reads and drops the bytes a transfer asked ahead of need.
    void drop_ahead();
    void failed(const std::string& why);

    FtdiBridge bridge_;
    ftdi_context* ftdi_ = nullptr;  // the bridge's, once open
    const FtdiChipKind* chip_ = nullptr;
    std::uint32_t wanted_hz_;
    std::uint32_t max_hz_;
    std::uint8_t power_mask_;
    std::uint8_t pins_;       // ADBUS levels wanted
    std::uint8_t sent_pins_;  // ADBUS levels the bridge holds now
    std::uint32_t divisor_ = 0x10000;  // the clock divisor in force (none yet)
    bool healthy_ = true;
    std::string fault_;
    std::vector<std::uint8_t> commands_;
    std::size_t ahead_ = 0;  // bytes clocked in for the next transfer, not yet read
};

}  // namespace spi
