// One simulated card, driven only by what crosses its pins: at port level
// (data-register writes, status-register reads) for the parallel port, or a
// byte at a time (supply, chip select, eight clocks) for byte-wide links.
// It keeps its own clock, so that no simulated run ever sleeps.
#pragma once

#include <cstdint>
#include <memory>

#include "base/outcome.h"
#include "port/wiring.h"
#include "sim/card_model.h"
#include "sim/card_state.h"
#include "sim/settings.h"
#include "sim/storage.h"
#include "sim/wire.h"

// The status register with DO high (not driven), as an empty socket reads.
inline constexpr std::uint8_t sim_status_idle = 0x78;

class SimCard {
public:
    // Opens the card's image (or the demo card) and the state kept beside it;
    // the card starts unpowered.
    // sim:none gives an empty socket, where DO is never driven.
    static Outcome open(const SimSettings& settings, std::unique_ptr<SimCard>& card);
    ~SimCard() = default;
    SimCard(const SimCard&) = delete;
    SimCard& operator=(const SimCard&) = delete;

    // Port level: one data-register write, one status-register read; each
    // takes the time of one port access (clock=, 1000 ns unless set).
    void write_lines(std::uint8_t data_register) {
        now_ns_ += access_ns_;
        drive(data_register);
    }
    [[nodiscard]] std::uint8_t read_status() {
        now_ns_ += access_ns_;
        const bool do_low = !settings_.empty_socket && wire_.do_low();
        return do_low ? static_cast<std::uint8_t>(sim_status_idle | wiring::do_status) : sim_status_idle;
    }

    // Lines set by an adapter with a pace of its own, laid out as the data
    // register; pass() moves the time. DO as the card drives it.
    void set_lines(std::uint8_t data_register) { drive(data_register); }
    [[nodiscard]] bool do_low() const { return !settings_.empty_socket && wire_.do_low(); }

    // Byte level: the supply, chip select (true: CS low), and eight clocks
    // with `di` on DI, most significant bit first; returns the eight DO bits.
    // With CS high the clocks count towards the card's wake-up clocks and DO
    // reads 0xFF. The caller advances the clock for the byte's time.
    void power(bool on);
    void select(bool selected);
    [[nodiscard]] std::uint8_t exchange(std::uint8_t di);
    // The byte face's clock from now on (400 kHz until set). Clocked above
    // what the card takes, it misreads as a card past its timing does: its
    // output comes after the host has sampled, and its input stage takes
    // each bit a clock late, so both DI and DO run one bit behind.
    void clock_at(std::uint64_t hz) { hz_ = hz; }

    // The card's clock in nanoseconds since it was opened; pass() lets time
    // go by (a host's pause, a byte link's transfer time).
    [[nodiscard]] std::uint64_t now_ns() const;
    void pass(std::uint64_t ns);

    [[nodiscard]] const SimSettings& settings() const { return settings_; }

private:
    SimCard(const SimSettings& settings, std::unique_ptr<Storage> storage, CardState state);
    void drive(std::uint8_t lines) {
        lines_ = lines;
        if (!settings_.empty_socket) wire_.set_lines(lines, now_ns_);
    }

    SimSettings settings_;
    std::unique_ptr<Storage> storage_;
    CardState state_;
    CardModel model_;
    Wire wire_;
    std::uint64_t access_ns_;
    std::uint8_t lines_ = 0;
    std::uint64_t now_ns_ = 0;
    std::uint64_t hz_ = 400'000;
    std::uint8_t di_last_ = 1;  // the last bit of the last byte in and out, for an over-clocked byte
    std::uint8_t do_last_ = 1;
};
