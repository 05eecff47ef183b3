// The SPI link under the card layer: the card's supply, its chip select and
// whole-span transfers, at a clock rate the card layer sets, with a
// monotonic clock for every wait. One implementation per adapter.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/outcome.h"

namespace spi {

// A card takes at most this clock until it is initialised.
inline constexpr std::uint32_t init_hz = 400'000;

struct Capabilities {
    bool switches_supply = false;    // can power the card off and on
    bool clocks_deselected = false;  // clock_deselected() keeps chip select high
    std::uint32_t top_hz = init_hz;  // fastest clock the adapter runs
    // Bytes one transfer may clock in ahead of need at no extra cost; 1 on
    // a link that pays for every byte (each is then clocked on demand).
    std::size_t read_ahead = 1;
    // The clock rate changes nothing but the rate: once the card is ready,
    // every frame and block may run at the data clock. The port's rate
    // picks its byte-in instead, and keeps the known one outside runs.
    bool data_clock_throughout = false;
};

class Link {
public:
    virtual ~Link() = default;

    // Switches the card's supply off; false when the link cannot reach the card.
    virtual bool start() = 0;
    // Supply on (chip select and data in high, clock low) or off.
    virtual void power(bool on) = 0;
    // Chip select: true selects the card (CS low).
    virtual void select(bool selected) = 0;
    // Every line low and the card unpowered.
    virtual void stop() = 0;
    // Sends tx, then clocks rx.size() bytes in with DI held high: one
    // transaction, and on a bridge one round trip.
    virtual void transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) = 0;
    // As transfer(), then `ahead` more bytes to be clocked in after rx, for
    // the next call: a link that keeps requests in flight (a bridge) queues
    // them now, so that their wait hides behind rx's. The next call takes
    // them when it sends nothing and reads exactly that many, else they are
    // dropped. Others clock them when the next call asks.
    virtual void transfer_then(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx, std::size_t ahead) {
        (void)ahead;
        transfer(tx, rx);
    }
    // Clocks bytes of 0xFF with the card's chip select high, the card
    // already deselected: the wake-up clocks a card needs before its first
    // command. A link whose chip select goes low with every clock overrides it.
    virtual void clock_deselected(std::size_t bytes) {
        constexpr std::array<std::uint8_t, 16> idle{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        for (std::size_t n = 0; bytes > 0; bytes -= n) {
            n = std::min(bytes, idle.size());
            transfer(std::span(idle).first(n), {});
        }
    }
    // The clock rate from now on: at most init_hz until the card is ready,
    // later the card's own rate capped by top_hz.
    virtual void set_clock(std::uint32_t hz) = 0;
    virtual void pause_ns(std::uint64_t ns) = 0;
    [[nodiscard]] virtual std::uint64_t now_ns() = 0;
    // False once the link knows it cannot reach the card.
    [[nodiscard]] virtual bool healthy() = 0;
    // Why the link stopped reaching the card, in its own words ("spidev:
    // ..."); empty while it is healthy or when it cannot tell.
    [[nodiscard]] virtual std::string fault() const { return {}; }
    [[nodiscard]] virtual Capabilities capabilities() const = 0;
    // The adapter taken for the run and given back after it, for a link
    // whose adapter the session takes (a port); one that holds its adapter
    // from its opening has nothing to take.
    virtual Outcome acquire() { return Outcome::ok(); }
    [[nodiscard]] virtual bool release() { return true; }
    // Taking it runs port instructions, which an NT-family system allows
    // only after the port-access driver's device has been opened.
    [[nodiscard]] virtual bool needs_io_privilege() const { return false; }
};

}  // namespace spi
