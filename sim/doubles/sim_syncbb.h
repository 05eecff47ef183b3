// An FTDI chip's synchronous bit-bang mode with the simulated card on its
// pins D0-D7, built from FTDI's rules for the mode: each byte the host
// writes sets the output pins (an input pin drives nothing; the chip's
// pull-ups hold it high), and for each the chip puts one byte in its FIFO
// to the host: all eight pins as sampled just before that byte set them.
// The pins change at the rate set (libftdi's baud rate); a pin state is
// only taken while the FIFO to the host has room, so what the host writes
// past that waits in the FIFO from the host, and a write that overflows
// that too times out. Reads come as USB packets bring them: nothing on
// the first poll after a write, then whole packets (two bytes of each are
// status) up to the FIFO's size a read, a part packet once the latency
// timer runs out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "sim/settings.h"

class SimCard;

class SimSyncBitBang {
public:
    // The chip's FIFOs and USB packet.
    struct Fifos {
        std::size_t packet;
        std::size_t to_host;
        std::size_t from_host;
    };

    SimSyncBitBang(SimCard& card, const SimBitBangPins& pins, Fifos fifos, std::uint64_t round_trip_ns);

    // set_bitmode's pin directions (a 1: output), the outputs as they were.
    void enter(std::uint8_t directions);
    void set_rate(int baudrate);
    void set_latency(std::uint64_t ns) { latency_ns_ = ns; }
    void purge();
    // libftdi's write and read; -1 when the write times out.
    int write(const unsigned char* data, int size);
    int read(unsigned char* data, int size);

    // USB round trips the host waited for, and pin states taken.
    [[nodiscard]] double round_trips() const { return round_trips_; }
    [[nodiscard]] std::uint64_t pin_states() const { return pin_states_; }

private:
    [[nodiscard]] std::uint8_t pins_now() const;
    void take(std::uint8_t pins);
    void take_waiting();
    void drive_card();

    SimCard& card_;
    SimBitBangPins wiring_;
    Fifos fifos_;
    std::uint64_t round_trip_ns_;
    std::uint64_t latency_ns_ = 16'000'000;
    std::uint64_t state_ns_ = 1'000'000'000 / 9600;  // one pin state at the rate set
    std::uint8_t directions_ = 0;
    std::uint8_t outputs_ = 0;
    std::deque<std::uint8_t> to_host_;
    std::deque<std::uint8_t> from_host_;
    bool trip_due_ = false;  // a write went out: the next read waits a round trip
    double round_trips_ = 0;
    std::uint64_t pin_states_ = 0;
};
