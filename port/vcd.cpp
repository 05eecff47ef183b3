#include "port/vcd.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>

#include "port/wiring.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t do_wire = wiring::data_lines.size();
constexpr std::size_t wire_count = do_wire + 1;

constexpr char wire_id(std::size_t wire) { return static_cast<char>('!' + wire); }

// A line is 1 when all its bits are set, 0 when none is, x in between.
constexpr char level(std::uint8_t data, std::uint8_t mask) {
    const std::uint8_t bits = data & mask;
    return bits == mask ? '1' : bits == 0 ? '0' : 'x';
}

// The data wires' levels for every data-register value.
constexpr auto data_levels = [] {
    std::array<std::array<char, wire_count>, 256> table{};
    for (std::size_t data = 0; data < table.size(); ++data)
        for (std::size_t wire = 0; wire < do_wire; ++wire)
            table[data][wire] = level(static_cast<std::uint8_t>(data), wiring::data_lines[wire].mask);
    return table;
}();

// The port reads DO inverted: status bit 7 is 0 while the card drives DO high.
constexpr char do_level_of(std::uint8_t status) { return (status & wiring::do_status) ? '0' : '1'; }

}  // namespace

VcdWriter::Levels VcdWriter::levels_of(std::uint8_t data, char do_level) {
    Levels levels = data_levels[data];
    levels[do_wire] = do_level;
    return levels;
}

void VcdWriter::advance() {
    if (clock_ == TraceClock::per_access) {
        ++now_;
        return;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started_).count();
    now_ = std::max(now_ + 1, static_cast<std::uint64_t>(ns));
}

void VcdWriter::write_pending() {
    std::fwrite(pending_.data(), 1, pending_size_, out_);
    pending_size_ = 0;
}

// Adds the time stamp and the wires that change, when any does.
void VcdWriter::emit(std::uint64_t time, const Levels& levels) {
    constexpr std::size_t longest_step = 24 + 3 * wire_count;
    if (levels == shown_) return;
    if (pending_.size() - pending_size_ < longest_step) write_pending();
    char* const start = pending_.data() + pending_size_;
    char* p = start;
    *p++ = '#';
    p = std::to_chars(p, p + 20, time).ptr;
    *p++ = '\n';
    for (std::size_t wire = 0; wire < wire_count; ++wire) {
        if (levels[wire] == shown_[wire]) continue;
        *p++ = levels[wire];
        *p++ = wire_id(wire);
        *p++ = '\n';
    }
    shown_ = levels;
    pending_size_ += static_cast<std::size_t>(p - start);
}

void VcdWriter::release_held(char do_level) {
    for (std::size_t i = 0; i < held_count_; ++i) emit(held_[i].time, levels_of(held_[i].data, do_level));
    held_count_ = 0;
}

void VcdWriter::write_header(TraceClock clock) {
    std::fputs("$version Vantacle port trace $end\n"
               "$comment one time step per port access $end\n",
               out_);
    std::fputs(clock == TraceClock::per_access ? "$timescale 1 us $end\n" : "$timescale 1 ns $end\n", out_);
    std::fputs("$scope module card $end\n", out_);
    for (std::size_t wire = 0; wire < do_wire; ++wire)
        std::fprintf(out_, "$var wire 1 %c %s $end\n", wire_id(wire), wiring::data_lines[wire].name);
    std::fprintf(out_, "$var wire 1 %c %s $end\n", wire_id(do_wire), wiring::do_name);
    std::fputs("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n", out_);
    for (std::size_t wire = 0; wire < wire_count; ++wire) std::fprintf(out_, "%c%c\n", shown_[wire], wire_id(wire));
    std::fputs("$end\n", out_);
}

bool VcdWriter::begin(std::FILE* file, TraceClock clock) {
    out_ = file;
    clock_ = clock;
    pending_size_ = 0;
    now_ = 0;
    last_data_ = 0;
    held_count_ = 0;
    // The data lines are unknown until the first write; DO rests high, as an
    // undriven line reads, until the first status read shows it.
    shown_.fill('x');
    shown_[do_wire] = '1';
    write_header(clock);
    started_ = Clock::now();
    return std::fflush(out_) == 0;
}

void VcdWriter::wrote(std::uint8_t data) {
    advance();
    const bool falling = (last_data_ & wiring::sck) && !(data & wiring::sck);
    last_data_ = data;
    if (falling || held_count_ == held_.size()) release_held(shown_[do_wire]);
    if (falling || held_count_ > 0) held_[held_count_++] = {now_, data};
    else emit(now_, levels_of(data, shown_[do_wire]));
}

void VcdWriter::read(std::uint8_t status) {
    advance();
    const char do_level = do_level_of(status);
    if (held_count_ > 0) return release_held(do_level);
    Levels levels = shown_;
    levels[do_wire] = do_level;
    emit(now_, levels);
}

void VcdWriter::end() {
    release_held(shown_[do_wire]);
    write_pending();
    advance();
    std::fprintf(out_, "#%llu\n", static_cast<unsigned long long>(now_));
}
