// Value Change Dump of the card link for waveform viewers: one wire per card
// line (from the wiring table) and DO as the card drives it, every port
// access a time step of its own.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "port/trace.h"
#include "port/wiring.h"

class VcdWriter {
public:
    // Writes the header and the starting levels to out and flushes them;
    // false when they could not be written.
    [[nodiscard]] bool begin(std::FILE* out, TraceClock clock);
    void wrote(std::uint8_t data);
    void read(std::uint8_t status);
    // Writes what is still held back and one last step, so the final line
    // levels have a length.
    void end();

private:
    // Wires: the data-register lines in table order, then DO.
    static constexpr std::size_t do_wire = wiring::data_lines.size();
    static constexpr std::size_t wire_count = do_wire + 1;
    using Levels = std::array<char, wire_count>;
    struct Step {
        std::uint64_t time;
        std::uint8_t data;
    };

    void advance();
    void write_pending();
    void emit(std::uint64_t time, const Levels& levels);
    void release_held(char do_level);
    void write_header(TraceClock clock);
    static Levels levels_of(std::uint8_t data, char do_level);

    std::FILE* out_ = nullptr;
    // Steps collect here and go to the file in large writes.
    std::array<char, 1 << 16> pending_{};
    std::size_t pending_size_ = 0;
    TraceClock clock_ = TraceClock::per_access;
    std::chrono::steady_clock::time_point started_;
    std::uint64_t now_ = 0;
    std::uint8_t last_data_ = 0;
    Levels shown_{};
    // The writes from the clock's last falling edge on: the card shifts DO
    // out on that edge, so they wait for the status read that shows the bit.
    std::array<Step, 8> held_{};
    std::size_t held_count_ = 0;
};
