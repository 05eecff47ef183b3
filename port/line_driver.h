// A line driver: the card's lines on one adapter. The bit-bang master sets
// them all at once as a pattern laid out as the parallel port's data
// register (port/wiring.h) and reads DO as the port's status register shows
// it (bit 7, inverted); each driver maps both onto its own hardware.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/outcome.h"

// What an adapter's lines can do, for the link's capabilities; unless a
// driver says otherwise, the parallel port's.
struct LineTraits {
    bool switches_supply = true;
    // About a microsecond an access and three accesses a bit in the lean loop.
    std::uint32_t top_hz = 330'000 * 3;
    // Bits read in one batch at no extra cost (1: each is read on its own).
    std::size_t read_ahead = 1;
    // The driver sets the pace of the pin changes itself: one clock-low
    // write a bit is enough at every rate.
    bool paced = false;
};

class LineDriver {
public:
    virtual ~LineDriver() = default;

    virtual void write_data(std::uint8_t lines) = 0;
    // DO as the lines stand after the last write; a batching driver answers
    // later, through settle().
    virtual std::uint8_t read_status() = 0;
    // A batching driver runs what is queued and puts the status each
    // read_status() since the last settle() stood for into statuses, in
    // order; a driver that answers at once leaves them as they are.
    virtual void settle(std::span<std::uint8_t> statuses) { (void)statuses; }

    // Obtains the right to use the adapter, and gives it back (false when
    // that failed).
    virtual Outcome acquire() { return Outcome::ok(); }
    [[nodiscard]] virtual bool release() { return true; }
    // False once the driver knows the lines cannot reach the card.
    [[nodiscard]] virtual bool link_ok() { return true; }
    // Why, in the adapter's own words; empty when it cannot tell.
    [[nodiscard]] virtual std::string fault() const { return {}; }
    // Port instructions, which an NT-family system allows only after the
    // port-access driver's device has been opened.
    [[nodiscard]] virtual bool needs_io_privilege() const { return false; }
    // The clock rate the card layer asks for; a driver with a pace of its own sets it.
    virtual void set_clock(std::uint32_t hz) { (void)hz; }
    [[nodiscard]] virtual LineTraits traits() const { return {}; }

    // The clock waits are measured on and a pause that sleeps its full
    // length: the system's monotonic clock and a real sleep unless the
    // driver keeps time of its own.
    [[nodiscard]] virtual std::uint64_t now_ns();
    virtual void pause_ns(std::uint64_t ns);
};
