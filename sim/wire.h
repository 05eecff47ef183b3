// The card's wire, one bit at a time: supply, chip select and clock edges
// from the lines; a bit in on DI at each rising edge, a bit out on DO at
// each falling edge; whole bytes gathered into command frames for the card.
// Both the port-level and the byte-level face of the card run through it,
// so late bits and noise act the same on every link.
#pragma once

#include <array>
#include <cstdint>

#include "port/wiring.h"
#include "sim/card_model.h"
#include "sim/noise.h"
#include "sim/settings.h"

class Wire {
public:
    Wire(const SimSettings& settings, CardModel& card);

    // The lines as the data register drives them, at a time on the card's
    // clock. Inline: it runs at every port access.
    void set_lines(std::uint8_t lines, std::uint64_t now_ns) {
        now_ns_ = now_ns;
        const std::uint8_t before = lines_;
        lines_ = lines;
        const bool steady = (lines & wiring::supply) == wiring::supply && powered_ && !lines_low_;
        if (!steady && !supply_changed(lines)) return;
        const bool rising = (lines & ~before) & wiring::sck;
        const bool falling = (before & ~lines) & wiring::sck;
        if (lines & wiring::cs) return deselected(rising);
        if (falling) clock_fell();
        if (rising) clock_rose(lines & wiring::di);
    }
    // True while the card drives DO low.
    [[nodiscard]] bool do_low() const { return powered_ && !(lines_ & wiring::cs) && !do_high_; }

private:
    bool supply_changed(std::uint8_t lines);
    void power_lost();
    void byte_received(std::uint8_t byte);
    void clock_fell();
    void clock_rose(bool di);
    void deselected(bool rising);
    [[nodiscard]] bool awake() const;
    [[nodiscard]] bool supply_off_long_enough() const;

    CardModel& card_;
    BitNoise do_noise_;
    BitNoise di_noise_;
    int late_bits_;
    std::uint64_t now_ns_ = 0;
    std::uint8_t lines_ = 0;
    bool powered_ = false;
    std::uint64_t powered_at_ns_ = 0;
    std::uint64_t off_since_ns_ = 0;  // the supply and every line low since then
    bool lines_low_ = false;
    std::uint32_t wake_clocks_ = 0;
    std::uint8_t rx_ = 0;
    int rx_bits_ = 0;
    std::uint32_t tx_ = 0xFFFFFFFF;  // the byte going out, after the ones before it (for late bits)
    bool do_high_ = true;
    std::array<std::uint8_t, 6> frame_{};
    std::size_t frame_len_ = 0;
    bool frame_heard_ = false;  // its first byte came while the card listened
};
