#include "port/vcd.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>

#include "port/wiring.h"

namespace {

using Clock = std::chrono::steady_clock;

// Wires: the data-register lines in table order, then DO.
constexpr std::size_t do_wire = wiring::data_lines.size();
constexpr std::size_t wire_count = do_wire + 1;
using Levels = std::array<char, wire_count>;

constexpr char wire_id(std::size_t wire) { return static_cast<char>('!' + wire); }

// A line is 1 when all its bits are set, 0 when none is, x in between.
constexpr char level(std::uint8_t data, std::uint8_t mask) {
    const std::uint8_t bits = data & mask;
    return bits == mask ? '1' : bits == 0 ? '0' : 'x';
}

// The data wires' levels for every data-register value.
constexpr auto data_levels = [] {
    std::array<Levels, 256> table{};
    for (std::size_t data = 0; data < table.size(); ++data)
        for (std::size_t wire = 0; wire < do_wire; ++wire)
            table[data][wire] = level(static_cast<std::uint8_t>(data), wiring::data_lines[wire].mask);
    return table;
}();

Levels levels_of(std::uint8_t data, char do_level) {
    Levels levels = data_levels[data];
    levels[do_wire] = do_level;
    return levels;
}

// The port reads DO inverted: status bit 7 is 0 while the card drives DO high.
constexpr char do_level_of(std::uint8_t status) { return (status & wiring::do_status) ? '0' : '1'; }

struct Step {
    std::uint64_t time;
    std::uint8_t data;
};

std::FILE* out = nullptr;
// Steps collect here and go to the file in large writes.
std::array<char, 1 << 16> pending;
std::size_t pending_size = 0;
TraceClock clock_kind = TraceClock::per_access;
Clock::time_point started;
std::uint64_t now = 0;
std::uint8_t last_data = 0;
Levels shown{};

// The writes from the clock's last falling edge on: the card shifts DO out on
// that edge, so they wait for the status read that shows the bit.
std::array<Step, 8> held;
std::size_t held_count = 0;

void advance() {
    if (clock_kind == TraceClock::per_access) {
        ++now;
        return;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count();
    now = std::max(now + 1, static_cast<std::uint64_t>(ns));
}

void write_pending() {
    std::fwrite(pending.data(), 1, pending_size, out);
    pending_size = 0;
}

// Adds the time stamp and the wires that change, when any does.
void emit(std::uint64_t time, const Levels& levels) {
    constexpr std::size_t longest_step = 24 + 3 * wire_count;
    if (levels == shown) return;
    if (pending.size() - pending_size < longest_step) write_pending();
    char* const start = pending.data() + pending_size;
    char* p = start;
    *p++ = '#';
    p = std::to_chars(p, p + 20, time).ptr;
    *p++ = '\n';
    for (std::size_t wire = 0; wire < wire_count; ++wire) {
        if (levels[wire] == shown[wire]) continue;
        *p++ = levels[wire];
        *p++ = wire_id(wire);
        *p++ = '\n';
    }
    shown = levels;
    pending_size += static_cast<std::size_t>(p - start);
}

void release_held(char do_level) {
    for (std::size_t i = 0; i < held_count; ++i) emit(held[i].time, levels_of(held[i].data, do_level));
    held_count = 0;
}

void write_header(TraceClock clock) {
    std::fputs("$version Vantacle port trace $end\n"
               "$comment one time step per port access $end\n",
               out);
    std::fputs(clock == TraceClock::per_access ? "$timescale 1 us $end\n" : "$timescale 1 ns $end\n", out);
    std::fputs("$scope module card $end\n", out);
    for (std::size_t wire = 0; wire < do_wire; ++wire)
        std::fprintf(out, "$var wire 1 %c %s $end\n", wire_id(wire), wiring::data_lines[wire].name);
    std::fprintf(out, "$var wire 1 %c %s $end\n", wire_id(do_wire), wiring::do_name);
    std::fputs("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n", out);
    for (std::size_t wire = 0; wire < wire_count; ++wire) std::fprintf(out, "%c%c\n", shown[wire], wire_id(wire));
    std::fputs("$end\n", out);
}

}  // namespace

bool vcd_begin(std::FILE* file, TraceClock clock) {
    out = file;
    clock_kind = clock;
    pending_size = 0;
    now = 0;
    last_data = 0;
    held_count = 0;
    // The data lines are unknown until the first write; DO rests high, as an
    // undriven line reads, until the first status read shows it.
    shown.fill('x');
    shown[do_wire] = '1';
    write_header(clock);
    started = Clock::now();
    return std::fflush(out) == 0;
}

void vcd_wrote(std::uint8_t data) {
    advance();
    const bool falling = (last_data & wiring::sck) && !(data & wiring::sck);
    last_data = data;
    if (falling || held_count == held.size()) release_held(shown[do_wire]);
    if (falling || held_count > 0) held[held_count++] = {now, data};
    else emit(now, levels_of(data, shown[do_wire]));
}

void vcd_read(std::uint8_t status) {
    advance();
    const char do_level = do_level_of(status);
    if (held_count > 0) return release_held(do_level);
    Levels levels = shown;
    levels[do_wire] = do_level;
    emit(now, levels);
}

void vcd_end() {
    release_held(shown[do_wire]);
    write_pending();
    advance();
    std::fprintf(out, "#%llu\n", static_cast<unsigned long long>(now));
}
