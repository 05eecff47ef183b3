#include "sim/doubles/sim_mpsse.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>

#include "base/ftdi_calls.h"
#include "sim/sim_card.h"

namespace {

constexpr int ftdi_vendor = 0x0403;
constexpr int ft232h = 0x6014;
constexpr std::uint8_t pin_mosi = 0x02;
constexpr std::uint8_t pin_cs = 0x08;
constexpr unsigned char bitmode_mpsse = 0x02;
constexpr std::uint64_t base_hz = 60'000'000;

struct Bridge {
    std::unique_ptr<SimCard> card;
    int power_pin = -1;
    bool open = false;
    bool mpsse = false;
    std::uint8_t pins = 0;
    std::uint64_t hz = base_hz / 2 / 75;
    std::deque<std::uint8_t> answers;  // bytes clocked in, waiting for a read
    bool flushed = false;              // send immediate came: the answers may be read
    bool round_trip_due = false;       // the first read since it pays the round trip
    std::vector<std::string> commands;
    std::uint64_t round_trips = 0;
};

Bridge bridge;
// The context is never looked into; its address only has to be distinct.
ftdi_context* const the_context = reinterpret_cast<ftdi_context*>(&bridge);

std::string hex2(std::uint8_t value) {
    constexpr char digits[] = "0123456789abcdef";
    return {digits[value >> 4], digits[value & 0xF]};
}

// The card follows the pins: its supply (when a pin switches it) and CS.
void set_pins(std::uint8_t value, std::uint8_t direction) {
    bridge.pins = value;
    bridge.commands.push_back("pins " + hex2(value) + " " + hex2(direction));
    if (bridge.power_pin >= 0) bridge.card->power((value >> bridge.power_pin) & 1);
    bridge.card->select(!(value & pin_cs));
}

void clock_bytes(const unsigned char* out, std::size_t length, bool keep) {
    SimCard& card = *bridge.card;
    const std::uint8_t idle = (bridge.pins & pin_mosi) ? 0xFF : 0x00;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t in = card.exchange(out ? out[i] : idle);
        if (keep) bridge.answers.push_back(in);
        card.pass(8'000'000'000ull / bridge.hz);
    }
    // The data pin keeps the last bit clocked out.
    if (out && length > 0) bridge.pins = static_cast<std::uint8_t>((bridge.pins & ~pin_mosi) | ((out[length - 1] & 1) << 1));
}

// One command of the stream; the bytes it used, or 0 when it is cut short.
std::size_t run_command(const unsigned char* at, std::size_t left) {
    const auto needs = [&](std::size_t n) { return left >= n; };
    switch (at[0]) {
        case 0x80:
            if (!needs(3)) return 0;
            set_pins(at[1], at[2]);
            return 3;
        case 0x86:
            if (!needs(3)) return 0;
            bridge.hz = base_hz / 2 / (1 + (at[1] | at[2] << 8));
            bridge.commands.push_back("divisor " + std::to_string(at[1] | at[2] << 8));
            return 3;
        case 0x11:
        case 0x20: {
            if (!needs(3)) return 0;
            const std::size_t length = (at[1] | at[2] << 8) + 1u;
            const bool out = at[0] == 0x11;
            if (out && !needs(3 + length)) return 0;
            bridge.commands.push_back((out ? "out " : "in ") + std::to_string(length));
            clock_bytes(out ? at + 3 : nullptr, length, !out);
            return out ? 3 + length : 3;
        }
        case 0x87:
            bridge.commands.push_back("flush");
            bridge.flushed = bridge.round_trip_due = true;
            return 1;
        case 0x85: case 0x8A: case 0x8D: case 0x97: return 1;
        default:
            // The MPSSE answers a command it does not know with 0xFA and the command.
            bridge.answers.push_back(0xFA);
            bridge.answers.push_back(at[0]);
            return 1;
    }
}

int bridge_write(ftdi_context*, const unsigned char* data, int size) {
    if (!bridge.open || !bridge.mpsse) return -1;
    for (std::size_t at = 0, left = static_cast<std::size_t>(size); left > 0;) {
        const std::size_t used = run_command(data + at, left);
        if (used == 0) return -1;
        at += used;
        left -= used;
    }
    return size;
}

// Bytes reach the host only after a send immediate; the first read of them
// pays the USB round trip.
int bridge_read(ftdi_context*, unsigned char* data, int size) {
    if (!bridge.open) return -1;
    if (!bridge.flushed || bridge.answers.empty()) {
        // Nothing to read costs a poll of the bus.
        bridge.card->pass(sim_usb_round_trip_ns);
        return 0;
    }
    if (std::exchange(bridge.round_trip_due, false)) {
        bridge.card->pass(sim_usb_round_trip_ns);
        ++bridge.round_trips;
    }
    int n = 0;
    for (; n < size && !bridge.answers.empty(); ++n) {
        data[n] = bridge.answers.front();
        bridge.answers.pop_front();
    }
    return n;
}

}  // namespace

Outcome sim_mpsse_install(const SimSettings& settings, int power_pin) {
    bridge = Bridge{};
    bridge.power_pin = power_pin;
    if (Outcome opened = SimCard::open(settings, bridge.card); !opened) return opened;
    if (power_pin < 0) bridge.card->power(true);
    ftdi_calls = {
        [] { return the_context; },
        [](ftdi_context*) {},
        [](ftdi_context*, int interface) { return interface >= 1 && interface <= 2 ? 0 : -1; },
        [](ftdi_context*, int vendor, int product, const char* serial) {
            const bool match = vendor == ftdi_vendor && product == ft232h && (!serial || std::strcmp(serial, sim_ftdi_serial) == 0);
            bridge.open = bridge.open || match;
            return match ? 0 : -3;
        },
        [](ftdi_context*) {
            bridge.open = false;
            return 0;
        },
        [](ftdi_context*, unsigned char) { return 0; },
        [](ftdi_context*, unsigned char, unsigned char mode) {
            bridge.mpsse = mode == bitmode_mpsse;
            return 0;
        },
        [](ftdi_context*) {
            bridge.answers.clear();
            return 0;
        },
        bridge_write,
        bridge_read,
        [](ftdi_context*) { return "device not found"; },
        [] { return bridge.card->now_ns(); },
        [](std::uint64_t ns) { bridge.card->pass(ns); },
        [](ftdi_context*, char* text, int size) { return std::snprintf(text, static_cast<std::size_t>(size), "1-1") < size ? 0 : -1; },
    };
    return Outcome::ok();
}

void sim_mpsse_remove() {
    ftdi_calls = ftdi_calls_real();
    bridge.card.reset();
}

const std::vector<std::string>& sim_mpsse_commands() { return bridge.commands; }
void sim_mpsse_clear_commands() { bridge.commands.clear(); }
std::uint64_t sim_mpsse_round_trips() { return bridge.round_trips; }
