#include "sim/doubles/sim_mpsse.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "base/ftdi_calls.h"
#include "sim/sim_card.h"

namespace {

constexpr int ftdi_vendor = 0x0403;
constexpr std::uint8_t pin_sck = 0x01;
constexpr std::uint8_t pin_mosi = 0x02;
constexpr std::uint8_t pin_miso = 0x04;
constexpr std::uint8_t pin_cs = 0x08;
constexpr unsigned char bitmode_mpsse = 0x02;
constexpr unsigned char bitmode_syncbb = 0x04;
// libftdi multiplies a bit-bang baud rate by four before it sets the divisor.
constexpr int bit_bang_baud_factor = 4;
constexpr std::uint8_t bad_answer = 0xFA;

// libftdi's results.
constexpr int not_found = -3;
constexpr int usb_open_failed = -4;
constexpr int claim_failed = -5;

constexpr SimMpsseBridge::Chip chip_of(FtdiChip chip) {
    switch (chip) {
        case FtdiChip::ft232h: return {ftdi_chip::ft232h, 0x6014, 1, 512, 1024, 1024, true, true, 12'000'000};
        case FtdiChip::ft2232h: return {ftdi_chip::ft2232h, 0x6010, 2, 512, 4096, 4096, true, true, 12'000'000};
        case FtdiChip::ft4232h: return {ftdi_chip::ft4232h, 0x6011, 2, 512, 2048, 2048, true, true, 12'000'000};
        case FtdiChip::ft2232d: return {ftdi_chip::ft2232d, 0x6010, 2, 64, 128, 384, false, true, 3'000'000};
        // The FT232R: 256 bytes towards the host, 128 from it; the FT-X: 512 each way.
        case FtdiChip::ft232r: return {ftdi_chip::ft232r, 0x6001, 1, 64, 256, 128, false, false, 3'000'000};
        case FtdiChip::ft230x:
        case FtdiChip::ft231x: return {ftdi_chip::ft230x, 0x6015, 1, 64, 512, 512, false, false, 3'000'000};
    }
    return {};
}
constexpr std::size_t packet_status_bytes = 2;
// Opcodes of the H chips' extras: clock divide, three-phase and clocking
// without data, clock until a pin, adaptive clocking, drive-zero.
constexpr std::array<std::uint8_t, 13> h_only{0x8A, 0x8B, 0x8C, 0x8D, 0x8E, 0x8F, 0x94,
                                              0x95, 0x96, 0x97, 0x9C, 0x9D, 0x9E};

std::string hex2(std::uint8_t value) {
    constexpr char digits[] = "0123456789abcdef";
    return {digits[value >> 4], digits[value & 0xF]};
}

}  // namespace

SimMpsseBridge::SimMpsseBridge(const SimSettings& settings, std::string serial, int power_pin)
    : usb_(settings.ftdi),
      chip_(chip_of(settings.ftdi.chip.value_or(settings.via == SimVia::ftdi_bitbang ? FtdiChip::ft232r : FtdiChip::ft232h))),
      serial_(std::move(serial)),
      power_pin_(power_pin) {}

SimMpsseBridge::~SimMpsseBridge() = default;

Outcome SimMpsseBridge::make(const SimSettings& settings, std::string serial, int power_pin,
                             std::unique_ptr<SimMpsseBridge>& made) {
    std::unique_ptr<SimMpsseBridge> bridge(new SimMpsseBridge(settings, std::move(serial), power_pin));
    if (Outcome opened = SimCard::open(settings, bridge->card_); !opened) return opened;
    if (power_pin < 0) bridge->card_->power(true);
    bridge->bit_bang_ = std::make_unique<SimSyncBitBang>(
        *bridge->card_, settings.ftdi.pins,
        SimSyncBitBang::Fifos{bridge->chip_.packet, bridge->chip_.to_host, bridge->chip_.from_host},
        settings.ftdi.round_trip_ns);
    made = std::move(bridge);
    return Outcome::ok();
}

bool SimMpsseBridge::matches(int vendor, int product, const char* serial) const {
    return vendor == ftdi_vendor && product == chip_.product && (!serial || serial_ == serial);
}

std::uint64_t SimMpsseBridge::now_ns() const { return card_->now_ns(); }
void SimMpsseBridge::pass(std::uint64_t ns) { card_->pass(ns); }

// The card follows the pins: its supply (when a pin switches it) and CS.
void SimMpsseBridge::set_pins(std::uint8_t value, std::uint8_t direction) {
    pins_ = value;
    directions_ = direction;
    commands_.push_back("pins " + hex2(value) + " " + hex2(direction));
    if (power_pin_ >= 0) card_->power(driven(static_cast<std::uint8_t>(1u << power_pin_)) && ((value >> power_pin_) & 1));
    card_->select(!level(pin_cs));
}

// Without SCK driven nothing is clocked; with DO driven by the bridge
// itself, it reads its own level.
void SimMpsseBridge::clock_bytes(const unsigned char* out, std::size_t length, bool keep) {
    const std::uint8_t idle = level(pin_mosi) ? 0xFF : 0x00;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t in = 0xFF;
        if (driven(pin_sck)) {
            const std::uint8_t sent = out && driven(pin_mosi) ? out[i] : idle;
            card_->clock_at(sck_hz());
            in = card_->exchange(sent);
            card_->pass(8'000'000'000ull / sck_hz());
        }
        if (driven(pin_miso)) in = (pins_ & pin_miso) ? 0xFF : 0x00;
        if (keep) answers_.push_back(in);
    }
    // The data pin keeps the last bit clocked out.
    if (out && length > 0) pins_ = static_cast<std::uint8_t>((pins_ & ~pin_mosi) | ((out[length - 1] & 1) << 1));
}

bool SimMpsseBridge::chip_lacks(std::uint8_t opcode) const {
    return !chip_.h_commands && std::find(h_only.begin(), h_only.end(), opcode) != h_only.end();
}

void SimMpsseBridge::bad_command(std::uint8_t opcode) {
    commands_.push_back("bad " + hex2(opcode));
    answers_.push_back(bad_answer);
    answers_.push_back(opcode);
}

// One command of the stream; the bytes it used, or 0 when it is cut short.
std::size_t SimMpsseBridge::run_command(const unsigned char* at, std::size_t left) {
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
            divisor_ = at[1] | at[2] << 8;
            commands_.push_back("divisor " + std::to_string(divisor_));
            return 3;
        case 0x11:
        case 0x20: {
            if (!needs(3)) return 0;
            const std::size_t length = (at[1] | at[2] << 8) + 1u;
            const bool out = at[0] == 0x11;
            if (out && !needs(3 + length)) return 0;
            commands_.push_back((out ? "out " : "in ") + std::to_string(length));
            clock_bytes(out ? at + 3 : nullptr, length, !out);
            return out ? 3 + length : 3;
        }
        case 0x87:
            commands_.push_back("flush");
            flushed_ = answers_.size();
            return 1;
        case 0x8A: base_hz_ = 60'000'000; return 1;
        case 0x8B: base_hz_ = 12'000'000; return 1;
        case 0x85: case 0x8D: case 0x97: return 1;
        default:
            // The MPSSE answers a command it does not know with 0xFA and the command.
            bad_command(at[0]);
            return 1;
    }
}

// Every call after the bridge is pulled out fails, as libusb's do.
bool SimMpsseBridge::gone(const char* error) {
    if (usb_.unplug_after && transfers_++ >= *usb_.unplug_after) unplugged_ = true;
    if (unplugged_) error_ = error;
    return unplugged_ || !open_;
}

// The wait for a command's answers: a whole round trip to an idle bridge,
// less the time the bridge still spends on answers queued before it.
void SimMpsseBridge::charge_round_trip(std::size_t pending) {
    const std::uint64_t busy = pending * 8'000'000'000ull / sck_hz();
    const std::uint64_t wait = busy >= usb_.round_trip_ns ? 0 : usb_.round_trip_ns - busy;
    if (wait > trip_ns_) trip_ns_ = wait;
}

int SimMpsseBridge::open(int interface) {
    if (usb_.open_fault == UsbFault::denied) {
        error_ = "libusb_open() failed";
        return usb_open_failed;
    }
    if (usb_.open_fault == UsbFault::busy || interface > chip_.interfaces || open_) {
        error_ = "unable to claim usb device. Make sure the default FTDI driver is not in use";
        return claim_failed;
    }
    open_ = true;
    return 0;
}

int SimMpsseBridge::close() {
    open_ = mpsse_ = bit_banging_ = false;
    return 0;
}

int SimMpsseBridge::set_latency_timer(unsigned char ms) {
    latency_ns_ = std::uint64_t{ms} * 1'000'000;
    bit_bang_->set_latency(latency_ns_);
    return open_ ? 0 : not_found;
}

// A chip without an MPSSE takes the MPSSE mode's request and stays a serial port.
int SimMpsseBridge::set_bitmode(unsigned char pins, unsigned char mode) {
    if (gone("unable to configure bitbang mode. Perhaps not a BM/2232C type chip?")) return -1;
    mpsse_ = mode == bitmode_mpsse && chip_.mpsse;
    bit_banging_ = mode == bitmode_syncbb;
    if (bit_banging_) bit_bang_->enter(pins);
    return 0;
}

// libftdi's rule: in a bit-bang mode the rate is multiplied by four, and
// the chip's baud generator goes no faster than its top rate.
int SimMpsseBridge::set_baudrate(int baudrate) {
    if (gone("setting new baudrate failed")) return -1;
    const long long asked = static_cast<long long>(baudrate) * (bit_banging_ ? bit_bang_baud_factor : 1);
    if (baudrate <= 0 || asked > chip_.top_baud) {
        error_ = "Unsupported baudrate. Note: bitbang baudrates are automatically multiplied by 4";
        return -1;
    }
    bit_bang_->set_rate(baudrate);
    return 0;
}

int SimMpsseBridge::purge() {
    if (gone("FTDI purge of RX buffer failed")) return -1;
    answers_.clear();
    flushed_ = 0;
    bit_bang_->purge();
    return 0;
}

// Commands run as they come. While the FIFO to the host is full the MPSSE
// stops: what is written then waits in the chip's FIFO from the host, and
// a write that overflows it times out.
int SimMpsseBridge::write(const unsigned char* data, int size) {
    if (gone("usb bulk write failed")) return -1;
    if (bit_banging_) {
        if (bit_bang_->write(data, size) == size) return size;
        error_ = "usb bulk write failed";
        return -1;
    }
    if (!mpsse_) return size;  // serial data, not MPSSE commands
    const std::size_t pending = answers_.size();
    bool waiting = false;
    for (std::size_t at = 0, left = static_cast<std::size_t>(size); left > 0;) {
        if (!waiting && stalled()) {
            waiting = true;
            if ((stalled_bytes_ += left) > chip_.from_host) {
                error_ = "usb bulk write failed";
                return -1;
            }
        }
        const std::size_t used = run_command(data + at, left);
        if (used == 0) return -1;
        at += used;
        left -= used;
    }
    if (answers_.size() > pending) charge_round_trip(pending);
    return size;
}

// A read brings what has been released (by a send immediate, or by the
// latency timer running out), in whole USB packets up to the chip's FIFO.
int SimMpsseBridge::read(unsigned char* data, int size) {
    if (gone("usb bulk read failed")) return -1;
    if (bit_banging_) return bit_bang_->read(data, size);
    if (trip_ns_ > 0) {
        card_->pass(trip_ns_);
        round_trips_ += static_cast<double>(trip_ns_) / static_cast<double>(usb_.round_trip_ns);
        trip_ns_ = 0;
        return 0;
    }
    if (flushed_ == 0 && !answers_.empty()) {
        card_->pass(latency_ns_);
        flushed_ = answers_.size();
    }
    const std::size_t payload = chip_.packet - packet_status_bytes;
    const std::size_t per_read = chip_.to_host / chip_.packet * payload;
    const std::size_t n = std::min({static_cast<std::size_t>(size), flushed_, per_read});
    if (n == 0) card_->pass(usb_.round_trip_ns / 8);  // a poll that found nothing
    std::copy_n(answers_.begin(), n, data);
    answers_.erase(answers_.begin(), answers_.begin() + static_cast<std::ptrdiff_t>(n));
    flushed_ -= n;
    if (!stalled()) stalled_bytes_ = 0;
    return static_cast<int>(n);
}

namespace {

// The stand-in USB: the plugged bridges, which the table's contexts open.
std::vector<std::unique_ptr<SimMpsseBridge>> plugged_bridges;

// A libftdi context: the interface chosen and, once open, its bridge.
struct Context {
    int interface = 1;
    SimMpsseBridge* bridge = nullptr;
    const char* error = "";
};
Context& context(ftdi_context* ftdi) { return *reinterpret_cast<Context*>(ftdi); }

int open_bridge(ftdi_context* ftdi, int vendor, int product, const char* serial) {
    Context& c = context(ftdi);
    c.error = "device not found";
    for (const auto& bridge : plugged_bridges) {
        if (!bridge->matches(vendor, product, serial)) continue;
        const int result = bridge->open(c.interface);
        if (result == 0) c.bridge = bridge.get();
        c.error = bridge->error();
        return result;
    }
    return not_found;
}

// A call on a context with no bridge open fails as libftdi's do.
template <auto call, int closed, class... Args>
int on_bridge(ftdi_context* ftdi, Args... args) {
    SimMpsseBridge* bridge = context(ftdi).bridge;
    return bridge ? (bridge->*call)(args...) : closed;
}

SimMpsseBridge& first_bridge() { return *plugged_bridges.front(); }

FtdiCalls stand_in_calls() {
    return {
        [] { return reinterpret_cast<ftdi_context*>(new Context); },
        [](ftdi_context* ftdi) { delete &context(ftdi); },
        [](ftdi_context* ftdi, int interface) {
            Context& c = context(ftdi);
            if (c.bridge) return not_found;  // libftdi: not while the device is open
            c.interface = interface;
            return interface >= 1 && interface <= 4 ? 0 : -1;
        },
        open_bridge,
        [](ftdi_context* ftdi) {
            Context& c = context(ftdi);
            if (c.bridge) (void)c.bridge->close();
            c.bridge = nullptr;
            return 0;
        },
        [](ftdi_context* ftdi) { return on_bridge<&SimMpsseBridge::chip_type, -1>(ftdi); },
        [](ftdi_context* ftdi, unsigned char ms) { return on_bridge<&SimMpsseBridge::set_latency_timer, not_found>(ftdi, ms); },
        [](ftdi_context* ftdi, unsigned char pins, unsigned char mode) {
            return on_bridge<&SimMpsseBridge::set_bitmode, -1>(ftdi, pins, mode);
        },
        [](ftdi_context* ftdi, int baudrate) { return on_bridge<&SimMpsseBridge::set_baudrate, -1>(ftdi, baudrate); },
        [](ftdi_context* ftdi) { return on_bridge<&SimMpsseBridge::purge, -1>(ftdi); },
        [](ftdi_context* ftdi, const unsigned char* data, int size) {
            return on_bridge<&SimMpsseBridge::write, -1>(ftdi, data, size);
        },
        [](ftdi_context* ftdi, unsigned char* data, int size) { return on_bridge<&SimMpsseBridge::read, -1>(ftdi, data, size); },
        [](ftdi_context* ftdi) -> const char* {
            const Context& c = context(ftdi);
            return c.bridge ? c.bridge->error() : c.error;
        },
        [] { return first_bridge().now_ns(); },
        [](std::uint64_t ns) {
            for (const auto& bridge : plugged_bridges) bridge->pass(ns);
        },
        [](ftdi_context*, char* text, int size) { return std::snprintf(text, static_cast<std::size_t>(size), "1-1") < size ? 0 : -1; },
    };
}

}  // namespace

Outcome sim_mpsse_plug(const SimSettings& settings, const std::string& serial, int power_pin, SimMpsseBridge*& plugged) {
    std::unique_ptr<SimMpsseBridge> bridge;
    if (Outcome made = SimMpsseBridge::make(settings, serial, power_pin, bridge); !made) return made;
    if (plugged_bridges.empty()) ftdi_calls = stand_in_calls();
    plugged = bridge.get();
    plugged_bridges.push_back(std::move(bridge));
    return Outcome::ok();
}

void sim_mpsse_remove() {
    ftdi_calls = ftdi_calls_real();
    plugged_bridges.clear();
}

Outcome sim_mpsse_install(const SimSettings& settings, int power_pin) {
    sim_mpsse_remove();
    SimMpsseBridge* plugged = nullptr;
    return sim_mpsse_plug(settings, sim_ftdi_serial, power_pin, plugged);
}

const std::vector<std::string>& sim_mpsse_commands() { return first_bridge().commands(); }
void sim_mpsse_clear_commands() { first_bridge().clear_commands(); }
double sim_mpsse_round_trips() { return first_bridge().round_trips(); }
std::uint64_t sim_mpsse_pin_states() { return first_bridge().pin_states(); }
