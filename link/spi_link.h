// The SPI link under the card layer: the card's supply, its chip select and
// whole-span transfers, at a clock rate the card layer sets, with a
// monotonic clock for every wait. One implementation per adapter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace spi {

// A card takes at most this clock until it is initialised.
inline constexpr std::uint32_t init_hz = 400'000;

struct Capabilities {
    bool switches_supply = false;    // can power the card off and on
    bool clocks_deselected = false;  // can clock with chip select high
    std::uint32_t top_hz = init_hz;  // fastest clock the adapter runs
    // Bytes one transfer may clock in ahead of need at no extra cost; 1 on
    // a link that pays for every byte (each is then clocked on demand).
    std::size_t read_ahead = 1;
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
    // The clock rate from now on: at most init_hz until the card is ready,
    // later the card's own rate capped by top_hz.
    virtual void set_clock(std::uint32_t hz) = 0;
    virtual void pause_ns(std::uint64_t ns) = 0;
    [[nodiscard]] virtual std::uint64_t now_ns() = 0;
    // False once the link knows it cannot reach the card.
    [[nodiscard]] virtual bool healthy() = 0;
    [[nodiscard]] virtual Capabilities capabilities() const = 0;
};

}  // namespace spi
