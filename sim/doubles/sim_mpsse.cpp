#include "sim/doubles/sim_mpsse.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>

#include "base/ftdi_calls.h"
#include "sim/sim_card.h"

namespace {

constexpr int ftdi_vendor = 0x0403;
constexpr std::uint8_t pin_sck = 0x01;
constexpr std::uint8_t pin_mosi = 0x02;
constexpr std::uint8_t pin_miso = 0x04;
constexpr std::uint8_t pin_cs = 0x08;
constexpr unsigned char bitmode_mpsse = 0x02;
constexpr std::uint8_t bad_answer = 0xFA;

// What sets the chips apart: USB ids, MPSSE interfaces, USB packets (high
// speed 512 bytes, full speed 64, two of them status), the FIFO towards
// the host and the one from it, and the commands only the H chips have.
struct Chip {
    int type;
    int product;
    int interfaces;
    std::size_t packet;
    std::size_t to_host;
    std::size_t from_host;
    bool h_commands;
};
constexpr Chip chip_of(FtdiChip chip) {
    switch (chip) {
        case FtdiChip::ft232h: return {ftdi_chip::ft232h, 0x6014, 1, 512, 1024, 1024, true};
        case FtdiChip::ft2232h: return {ftdi_chip::ft2232h, 0x6010, 2, 512, 4096, 4096, true};
        case FtdiChip::ft4232h: return {ftdi_chip::ft4232h, 0x6011, 2, 512, 2048, 2048, true};
        case FtdiChip::ft2232d: return {ftdi_chip::ft2232d, 0x6010, 2, 64, 128, 384, false};
    }
    return {};
}
constexpr std::size_t packet_status_bytes = 2;
// Opcodes of the H chips' extras: clock divide, three-phase and clocking
// without data, clock until a pin, adaptive clocking, drive-zero.
constexpr std::array<std::uint8_t, 13> h_only{0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F, 0x94,
                                              0x95, 0x96, 0x97, 0x9C, 0x9D, 0x9E};

struct Bridge {
    std::unique_ptr<SimCard> card;
    SimFtdi usb;
    Chip chip{};
    int power_pin = -1;
    int interface = 1;
    bool open = false;
    bool mpsse = false;
    bool unplugged = false;
    std::uint64_t transfers = 0;
    const char* error = "";
    std::uint8_t pins = 0;
    std::uint8_t directions = 0;
    std::uint64_t base_hz = 12'000'000;  // until divide-by-5 goes off
    std::uint32_t divisor = 0;
    std::uint64_t latency_ns = 16'000'000;
    std::deque<std::uint8_t> answers;  // bytes for the host, in order
    std::size_t flushed = 0;           // of them, how many a send immediate has released
    std::uint64_t trip_ns = 0;         // the wait the next read pays before anything comes
    std::size_t stalled_bytes = 0;     // written while the FIFO to the host was full
    std::vector<std::string> commands;
    double round_trips = 0;
};

Bridge bridge;
// The context is never looked into; its address only has to be distinct.
ftdi_context* const the_context = reinterpret_cast<ftdi_context*>(&bridge);

std::string hex2(std::uint8_t value) {
    constexpr char digits[] = "0123456789abcdef";
    return {digits[value >> 4], digits[value & 0xF]};
}

bool driven(std::uint8_t pin) { return (bridge.directions & pin) != 0; }
// An input pin drives nothing: the card's own pull-ups keep CS and DI high.
bool level(std::uint8_t pin) { return !driven(pin) || (bridge.pins & pin); }
std::uint64_t sck_hz() { return bridge.base_hz / 2 / (1 + bridge.divisor); }

// The card follows the pins: its supply (when a pin switches it) and CS.
void set_pins(std::uint8_t value, std::uint8_t direction) {
    bridge.pins = value;
    bridge.directions = direction;
    bridge.commands.push_back("pins " + hex2(value) + " " + hex2(direction));
    if (bridge.power_pin >= 0) bridge.card->power(driven(static_cast<std::uint8_t>(1u << bridge.power_pin)) && ((value >> bridge.power_pin) & 1));
    bridge.card->select(!level(pin_cs));
}

// Without SCK driven nothing is clocked; with DO driven by the bridge
// itself, it reads its own level.
void clock_bytes(const unsigned char* out, std::size_t length, bool keep) {
    SimCard& card = *bridge.card;
    const std::uint8_t idle = level(pin_mosi) ? 0xFF : 0x00;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t in = 0xFF;
        if (driven(pin_sck)) {
            const std::uint8_t sent = out && driven(pin_mosi) ? out[i] : idle;
            card.clock_at(sck_hz());
            in = card.exchange(sent);
            card.pass(8'000'000'000ull / sck_hz());
        }
        if (driven(pin_miso)) in = (bridge.pins & pin_miso) ? 0xFF : 0x00;
        if (keep) bridge.answers.push_back(in);
    }
    // The data pin keeps the last bit clocked out.
    if (out && length > 0) bridge.pins = static_cast<std::uint8_t>((bridge.pins & ~pin_mosi) | ((out[length - 1] & 1) << 1));
}

bool chip_lacks(std::uint8_t opcode) {
    return !bridge.chip.h_commands && std::find(h_only.begin(), h_only.end(), opcode) != h_only.end();
}

void bad_command(std::uint8_t opcode) {
    bridge.commands.push_back("bad " + hex2(opcode));
    bridge.answers.push_back(bad_answer);
    bridge.answers.push_back(opcode);
}

// One command of the stream; the bytes it used, or 0 when it is cut short.
std::size_t run_command(const unsigned char* at, std::size_t left) {
    const auto needs = [&](std::size_t n) { return left >= n; };
    if (chip_lacks(at[0])) {
        bad_command(at[0]);
        return 1;
    }
    switch (at[0]) {
        case 0x80:
            if (!needs(3)) return 0;
            set_pins(at[1], at[2]);
            return 3;
        case 0x86:
            if (!needs(3)) return 0;
            bridge.divisor = at[1] | at[2] << 8;
            bridge.commands.push_back("divisor " + std::to_string(bridge.divisor));
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
            bridge.flushed = bridge.answers.size();
            return 1;
        case 0x8A: bridge.base_hz = 60'000'000; return 1;
        case 0x8B: bridge.base_hz = 12'000'000; return 1;
        case 0x85: case 0x8D: case 0x97: return 1;
        default:
            // The MPSSE answers a command it does not know with 0xFA and the command.
            bad_command(at[0]);
            return 1;
    }
}

// Every call after the bridge is pulled out fails, as libusb's do.
bool gone(const char* error) {
    if (bridge.usb.unplug_after && bridge.transfers++ >= *bridge.usb.unplug_after) bridge.unplugged = true;
    if (bridge.unplugged) bridge.error = error;
    return bridge.unplugged || !bridge.open;
}

// The wait for a command's answers: a whole round trip to an idle bridge,
// less the time the bridge still spends on answers queued before it.
void charge_round_trip(std::size_t pending) {
    const std::uint64_t busy = pending * 8'000'000'000ull / sck_hz();
    const std::uint64_t wait = busy >= bridge.usb.round_trip_ns ? 0 : bridge.usb.round_trip_ns - busy;
    if (wait > bridge.trip_ns) bridge.trip_ns = wait;
}

bool stalled() { return bridge.answers.size() > bridge.chip.to_host; }

// Commands run as they come. While the FIFO to the host is full the MPSSE
// stops: what is written then waits in the chip's FIFO from the host, and
// a write that overflows it times out.
int bridge_write(ftdi_context*, const unsigned char* data, int size) {
    if (gone("usb bulk write failed")) return -1;
    if (!bridge.mpsse) return size;  // serial data, not MPSSE commands
    const std::size_t pending = bridge.answers.size();
    bool waiting = false;
    for (std::size_t at = 0, left = static_cast<std::size_t>(size); left > 0;) {
        if (!waiting && stalled()) {
            waiting = true;
            if ((bridge.stalled_bytes += left) > bridge.chip.from_host) {
                bridge.error = "usb bulk write failed";
                return -1;
            }
        }
        const std::size_t used = run_command(data + at, left);
        if (used == 0) return -1;
        at += used;
        left -= used;
    }
    if (bridge.answers.size() > pending) charge_round_trip(pending);
    return size;
}

// A read brings what has been released (by a send immediate, or by the
// latency timer running out), in whole USB packets up to the chip's FIFO.
int bridge_read(ftdi_context*, unsigned char* data, int size) {
    if (gone("usb bulk read failed")) return -1;
    if (bridge.trip_ns > 0) {
        bridge.card->pass(bridge.trip_ns);
        bridge.round_trips += static_cast<double>(bridge.trip_ns) / static_cast<double>(bridge.usb.round_trip_ns);
        bridge.trip_ns = 0;
        return 0;
    }
    if (bridge.flushed == 0 && !bridge.answers.empty()) {
        bridge.card->pass(bridge.latency_ns);
        bridge.flushed = bridge.answers.size();
    }
    const std::size_t payload = bridge.chip.packet - packet_status_bytes;
    const std::size_t per_read = bridge.chip.to_host / bridge.chip.packet * payload;
    const std::size_t n = std::min({static_cast<std::size_t>(size), bridge.flushed, per_read});
    if (n == 0) bridge.card->pass(bridge.usb.round_trip_ns / 8);  // a poll that found nothing
    std::copy_n(bridge.answers.begin(), n, data);
    bridge.answers.erase(bridge.answers.begin(), bridge.answers.begin() + static_cast<std::ptrdiff_t>(n));
    bridge.flushed -= n;
    if (!stalled()) bridge.stalled_bytes = 0;
    return static_cast<int>(n);
}

int bridge_open(ftdi_context*, int vendor, int product, const char* serial) {
    bridge.error = "device not found";
    if (vendor != ftdi_vendor || product != bridge.chip.product || (serial && std::strcmp(serial, sim_ftdi_serial) != 0))
        return -3;
    if (bridge.usb.open_fault == UsbFault::denied) {
        bridge.error = "libusb_open() failed";
        return -4;
    }
    if (bridge.usb.open_fault == UsbFault::busy || bridge.interface > bridge.chip.interfaces) {
        bridge.error = "unable to claim usb device. Make sure the default FTDI driver is not in use";
        return -5;
    }
    bridge.open = true;
    return 0;
}

}  // namespace

Outcome sim_mpsse_install(const SimSettings& settings, int power_pin) {
    bridge = Bridge{};
    bridge.usb = settings.ftdi;
    bridge.chip = chip_of(settings.ftdi.chip);
    bridge.power_pin = power_pin;
    if (Outcome opened = SimCard::open(settings, bridge.card); !opened) return opened;
    if (power_pin < 0) bridge.card->power(true);
    ftdi_calls = {
        [] { return the_context; },
        [](ftdi_context*) {},
        [](ftdi_context*, int interface) {
            if (bridge.open) return -3;  // libftdi: not while the device is open
            bridge.interface = interface;
            return interface >= 1 && interface <= 4 ? 0 : -1;
        },
        bridge_open,
        [](ftdi_context*) {
            bridge.open = bridge.mpsse = false;
            return 0;
        },
        [](ftdi_context*) { return bridge.chip.type; },
        [](ftdi_context*, unsigned char ms) {
            bridge.latency_ns = std::uint64_t{ms} * 1'000'000;
            return bridge.open ? 0 : -3;
        },
        [](ftdi_context*, unsigned char, unsigned char mode) {
            if (gone("unable to configure bitbang mode. Perhaps not a BM/2232C type chip?")) return -1;
            bridge.mpsse = mode == bitmode_mpsse;
            return 0;
        },
        [](ftdi_context*) {
            if (gone("FTDI purge of RX buffer failed")) return -1;
            bridge.answers.clear();
            bridge.flushed = 0;
            return 0;
        },
        bridge_write,
        bridge_read,
        [](ftdi_context*) { return bridge.error; },
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
double sim_mpsse_round_trips() { return bridge.round_trips; }
