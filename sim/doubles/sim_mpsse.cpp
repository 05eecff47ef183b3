#include "sim/doubles/sim_mpsse.h"

#include <algorithm>
#include <array>
#include <bit>
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

// Bulk packets a second: 13 a microframe (8000 a second) at high speed, 19 a frame (1000) at full speed.
constexpr std::uint32_t high_speed_packets = 13 * 8000;
constexpr std::uint32_t full_speed_packets = 19 * 1000;

constexpr SimFtdiChip chip_of(FtdiChip chip) {
    switch (chip) {
        case FtdiChip::ft232h: return {ftdi_chip::ft232h, 0x6014, 1, 512, high_speed_packets, 1024, 1024, true, true, 12'000'000};
        case FtdiChip::ft2232h: return {ftdi_chip::ft2232h, 0x6010, 2, 512, high_speed_packets, 4096, 4096, true, true, 12'000'000};
        case FtdiChip::ft4232h: return {ftdi_chip::ft4232h, 0x6011, 2, 512, high_speed_packets, 2048, 2048, true, true, 12'000'000};
        case FtdiChip::ft2232d: return {ftdi_chip::ft2232d, 0x6010, 2, 64, full_speed_packets, 128, 384, false, true, 3'000'000};
        // The FT232R: 256 bytes towards the host, 128 from it; the FT-X: 512 each way.
        case FtdiChip::ft232r: return {ftdi_chip::ft232r, 0x6001, 1, 64, full_speed_packets, 256, 128, false, false, 3'000'000};
        case FtdiChip::ft230x:
        case FtdiChip::ft231x: return {ftdi_chip::ft230x, 0x6015, 1, 64, full_speed_packets, 512, 512, false, false, 3'000'000};
    }
    return {};
}

// The chip settings name: an FT232H unless given, an FT232R for bit-bang.
FtdiChip chip_named(const SimSettings& settings) {
    return settings.ftdi.chip.value_or(settings.via == SimVia::ftdi_bitbang ? FtdiChip::ft232r : FtdiChip::ft232h);
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

SimMpsseBridge::SimMpsseBridge(const SimSettings& settings, std::string serial)
    : usb_(settings.ftdi), chip_(chip_of(chip_named(settings))), serial_(std::move(serial)),
      first_interface_(settings.ftdi.interface) {
    for (int i = 1; i <= chip_.interfaces; ++i) mpsse_.push_back(std::unique_ptr<SimMpsse>(new SimMpsse(*this, i)));
}

SimMpsseBridge::~SimMpsseBridge() = default;
SimMpsse::SimMpsse(SimMpsseBridge& bridge, int interface) : bridge_(bridge), interface_(interface) {}
SimMpsse::~SimMpsse() = default;

Outcome SimMpsseBridge::make(const SimSettings& settings, std::string serial, int power_pin,
                             std::unique_ptr<SimMpsseBridge>& made) {
    // An interface the chip lacks is one the host asks for in vain: the card is on A.
    SimSettings placed = settings;
    if (placed.ftdi.interface > chip_of(chip_named(settings)).interfaces) placed.ftdi.interface = 1;
    std::unique_ptr<SimMpsseBridge> bridge(new SimMpsseBridge(placed, std::move(serial)));
    SimSettings empty;
    empty.empty_socket = true;
    for (const auto& mpsse : bridge->mpsse_) {
        std::unique_ptr<SimCard> none;
        if (Outcome opened = SimCard::open(empty, none); !opened) return opened;
        mpsse->hold(std::move(none), placed);
    }
    if (Outcome wired = bridge->wire(placed, power_pin); !wired) return wired;
    made = std::move(bridge);
    return Outcome::ok();
}

Outcome SimMpsseBridge::attach(const SimSettings& settings, int power_pin) {
    if (chip_of(chip_named(settings)).type != chip_.type)
        return Outcome::failed("the simulated bridge " + serial_ + " is one chip: give its cards one chip=");
    return wire(settings, power_pin);
}

Outcome SimMpsseBridge::wire(const SimSettings& settings, int power_pin) {
    const int interface = settings.ftdi.interface;
    const std::string name = std::string("interface ") + static_cast<char>('A' + interface - 1);
    if (interface < 1 || interface > chip_.interfaces)
        return Outcome::failed("the simulated bridge " + serial_ + " has no MPSSE on " + name);
    SimMpsse& m = mpsse(interface);
    if (m.has_card_) return Outcome::failed("the simulated bridge " + serial_ + " has a card on " + name + " already");
    std::unique_ptr<SimCard> card;
    if (Outcome opened = SimCard::open(settings, card); !opened) return opened;
    if (power_pin < 0) card->power(true);
    m.hold(std::move(card), settings);
    m.has_card_ = true;
    m.power_pin_ = power_pin;
    return Outcome::ok();
}

bool SimMpsseBridge::matches(int vendor, int product, const char* serial) const {
    return vendor == ftdi_vendor && product == chip_.product && (!serial || serial_ == serial);
}

bool SimMpsseBridge::is_open() const {
    return std::any_of(mpsse_.begin(), mpsse_.end(), [](const auto& m) { return m->is_open(); });
}

int SimMpsseBridge::open(int interface, const char*& error) {
    if (interface < 1 || interface > chip_.interfaces) {
        error = "unable to claim usb device. Make sure the default FTDI driver is not in use";
        return claim_failed;
    }
    SimMpsse& m = mpsse(interface);
    const int result = m.open();
    error = m.error();
    return result;
}

std::uint64_t SimMpsseBridge::usb_byte_ns() const {
    const auto payload = static_cast<std::uint64_t>(chip_.packet - packet_status_bytes) * chip_.packets_per_second;
    const auto sharing = static_cast<std::uint64_t>(std::max(1, std::popcount(streaming_.load())));
    return (1'000'000'000ull * sharing + payload - 1) / payload;
}

void SimMpsse::hold(std::unique_ptr<SimCard> card, const SimSettings& settings) {
    card_ = std::move(card);
    const SimFtdiChip& chip = bridge_.chip_;
    bit_bang_ = std::make_unique<SimSyncBitBang>(*card_, settings.ftdi.pins,
                                                 SimSyncBitBang::Fifos{chip.packet, chip.to_host, chip.from_host},
                                                 settings.ftdi.round_trip_ns);
}

std::uint64_t SimMpsse::now_ns() const { return card_->now_ns(); }
void SimMpsse::pass(std::uint64_t ns) { card_->pass(ns); }

// A data byte: its eight clocks, or its share of the USB when that is longer.
std::uint64_t SimMpsse::byte_ns() const { return std::max<std::uint64_t>(8'000'000'000 / sck_hz(), bridge_.usb_byte_ns()); }

bool SimMpsse::stalled() const { return answers_.size() > bridge_.chip_.to_host; }

// The card follows the pins: its supply (when a pin switches it) and CS.
void SimMpsse::set_pins(std::uint8_t value, std::uint8_t direction) {
    pins_ = value;
    directions_ = direction;
    commands_.push_back("pins " + hex2(value) + " " + hex2(direction));
    if (power_pin_ >= 0) card_->power(driven(static_cast<std::uint8_t>(1u << power_pin_)) && ((value >> power_pin_) & 1));
    card_->select(!level(pin_cs));
}

// Without SCK driven nothing is clocked; with DO driven by the bridge
// itself, it reads its own level.
void SimMpsse::clock_bytes(const unsigned char* out, std::size_t length, bool keep) {
    const std::uint8_t idle = level(pin_mosi) ? 0xFF : 0x00;
    for (std::size_t i = 0; i < length; ++i) {
        std::uint8_t in = 0xFF;
        if (driven(pin_sck)) {
            const std::uint8_t sent = out && driven(pin_mosi) ? out[i] : idle;
            card_->clock_at(sck_hz());
            in = card_->exchange(sent);
            card_->pass(byte_ns());
        }
        if (driven(pin_miso)) in = (pins_ & pin_miso) ? 0xFF : 0x00;
        if (keep) answers_.push_back(in);
    }
    // The data pin keeps the last bit clocked out.
    if (out && length > 0) pins_ = static_cast<std::uint8_t>((pins_ & ~pin_mosi) | ((out[length - 1] & 1) << 1));
}

void SimMpsse::bad_command(std::uint8_t opcode) {
    commands_.push_back("bad " + hex2(opcode));
    answers_.push_back(bad_answer);
    answers_.push_back(opcode);
}

// One command of the stream; the bytes it used, or 0 when it is cut short.
std::size_t SimMpsse::run_command(const unsigned char* at, std::size_t left) {
    const auto needs = [&](std::size_t n) { return left >= n; };
    const bool lacked = !bridge_.chip_.h_commands && std::find(h_only.begin(), h_only.end(), at[0]) != h_only.end();
    if (lacked) {
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

// Every call after the bridge is pulled out fails, as libusb's do, on
// every interface: unplug= counts the transfers of the interface it was given for.
bool SimMpsse::gone(const char* error) {
    const auto& after = bridge_.usb_.unplug_after;
    if (after && interface_ == bridge_.first_interface_ && transfers_++ >= *after) bridge_.unplugged_ = true;
    const bool unplugged = bridge_.unplugged_;
    if (unplugged) error_ = error;
    return unplugged || !open_;
}

// The wait for a command's answers: a whole round trip to an idle bridge,
// less the time the bridge still spends on answers queued before it.
void SimMpsse::charge_round_trip(std::size_t pending) {
    const std::uint64_t busy = pending * 8'000'000'000ull / sck_hz();
    const std::uint64_t trip = bridge_.usb_.round_trip_ns;
    const std::uint64_t wait = busy >= trip ? 0 : trip - busy;
    if (wait > trip_ns_) trip_ns_ = wait;
}

int SimMpsse::open() {
    if (bridge_.usb_.open_fault == UsbFault::denied) {
        error_ = "libusb_open() failed";
        return usb_open_failed;
    }
    if (bridge_.usb_.open_fault == UsbFault::busy || open_) {
        error_ = "unable to claim usb device. Make sure the default FTDI driver is not in use";
        return claim_failed;
    }
    open_ = true;
    return 0;
}

int SimMpsse::close() {
    open_ = mpsse_ = bit_banging_ = false;
    return 0;
}

int SimMpsse::set_latency_timer(unsigned char ms) {
    latency_ns_ = std::uint64_t{ms} * 1'000'000;
    bit_bang_->set_latency(latency_ns_);
    return open_ ? 0 : not_found;
}

// A chip without an MPSSE takes the MPSSE mode's request and stays a serial port.
int SimMpsse::set_bitmode(unsigned char pins, unsigned char mode) {
    if (gone("unable to configure bitbang mode. Perhaps not a BM/2232C type chip?")) return -1;
    mpsse_ = mode == bitmode_mpsse && bridge_.chip_.mpsse;
    bit_banging_ = mode == bitmode_syncbb;
    if (mpsse_) bridge_.streaming_ |= 1u << (interface_ - 1);
    if (bit_banging_) bit_bang_->enter(pins);
    return 0;
}

// libftdi's rule: in a bit-bang mode the rate is multiplied by four, and
// the chip's baud generator goes no faster than its top rate.
int SimMpsse::set_baudrate(int baudrate) {
    if (gone("setting new baudrate failed")) return -1;
    const long long asked = static_cast<long long>(baudrate) * (bit_banging_ ? bit_bang_baud_factor : 1);
    if (baudrate <= 0 || asked > bridge_.chip_.top_baud) {
        error_ = "Unsupported baudrate. Note: bitbang baudrates are automatically multiplied by 4";
        return -1;
    }
    bit_bang_->set_rate(baudrate);
    return 0;
}

int SimMpsse::purge() {
    if (gone("FTDI purge of RX buffer failed")) return -1;
    answers_.clear();
    flushed_ = 0;
    bit_bang_->purge();
    return 0;
}

// Commands run as they come. While the FIFO to the host is full the MPSSE
// stops: what is written then waits in the chip's FIFO from the host, and
// a write that overflows it times out.
int SimMpsse::write(const unsigned char* data, int size) {
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
            if ((stalled_bytes_ += left) > bridge_.chip_.from_host) {
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
int SimMpsse::read(unsigned char* data, int size) {
    if (gone("usb bulk read failed")) return -1;
    if (bit_banging_) return bit_bang_->read(data, size);
    if (trip_ns_ > 0) {
        card_->pass(trip_ns_);
        round_trips_ += static_cast<double>(trip_ns_) / static_cast<double>(bridge_.usb_.round_trip_ns);
        trip_ns_ = 0;
        return 0;
    }
    if (flushed_ == 0 && !answers_.empty()) {
        card_->pass(latency_ns_);
        flushed_ = answers_.size();
    }
    const SimFtdiChip& chip = bridge_.chip_;
    const std::size_t payload = chip.packet - packet_status_bytes;
    const std::size_t per_read = chip.to_host / chip.packet * payload;
    const std::size_t n = std::min({static_cast<std::size_t>(size), flushed_, per_read});
    if (n == 0) card_->pass(bridge_.usb_.round_trip_ns / 8);  // a poll that found nothing
    std::copy_n(answers_.begin(), n, data);
    answers_.erase(answers_.begin(), answers_.begin() + static_cast<std::ptrdiff_t>(n));
    flushed_ -= n;
    if (!stalled()) stalled_bytes_ = 0;
    return static_cast<int>(n);
}

namespace {

// The stand-in USB: the plugged bridges, in the order plugged, which the table's contexts open.
std::vector<std::unique_ptr<SimMpsseBridge>> plugged_bridges;

// A libftdi context: the interface chosen and, once open, its bridge and that interface.
struct Context {
    int interface = 1;
    SimMpsseBridge* bridge = nullptr;
    SimMpsse* mpsse = nullptr;
    const char* error = "";
};
Context& context(ftdi_context* ftdi) { return *reinterpret_cast<Context*>(ftdi); }

// libftdi opens the first bridge that matches, whether or not that one can be claimed.
int open_bridge(ftdi_context* ftdi, int vendor, int product, const char* serial) {
    Context& c = context(ftdi);
    c.error = "device not found";
    for (const auto& bridge : plugged_bridges) {
        if (!bridge->matches(vendor, product, serial)) continue;
        const int result = bridge->open(c.interface, c.error);
        if (result != 0) return result;
        c.bridge = bridge.get();
        c.mpsse = &bridge->mpsse(c.interface);
        return 0;
    }
    return not_found;
}

// A call on a context with no bridge open fails as libftdi's do.
template <auto call, int closed, class... Args>
int on_mpsse(ftdi_context* ftdi, Args... args) {
    SimMpsse* mpsse = context(ftdi).mpsse;
    return mpsse ? (mpsse->*call)(args...) : closed;
}

// Each bridge's place on the USB: bus 1, a port each in the order plugged.
int usb_place(ftdi_context* ftdi, char* text, int size) {
    const auto& all = plugged_bridges;
    const SimMpsseBridge* bridge = context(ftdi).bridge;
    const auto at = std::find_if(all.begin(), all.end(), [&](const auto& b) { return b.get() == bridge; });
    if (at == all.end()) return -1;
    const int port = static_cast<int>(at - all.begin()) + 1;
    return std::snprintf(text, static_cast<std::size_t>(size), "1-%d", port) < size ? 0 : -1;
}

SimMpsse& first_mpsse() { return plugged_bridges.front()->first(); }

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
            if (c.mpsse) (void)c.mpsse->close();
            c.bridge = nullptr;
            c.mpsse = nullptr;
            return 0;
        },
        [](ftdi_context* ftdi) {
            const SimMpsseBridge* bridge = context(ftdi).bridge;
            return bridge ? bridge->chip_type() : -1;
        },
        [](ftdi_context* ftdi, unsigned char ms) { return on_mpsse<&SimMpsse::set_latency_timer, not_found>(ftdi, ms); },
        [](ftdi_context* ftdi, unsigned char pins, unsigned char mode) {
            return on_mpsse<&SimMpsse::set_bitmode, -1>(ftdi, pins, mode);
        },
        [](ftdi_context* ftdi, int baudrate) { return on_mpsse<&SimMpsse::set_baudrate, -1>(ftdi, baudrate); },
        [](ftdi_context* ftdi) { return on_mpsse<&SimMpsse::purge, -1>(ftdi); },
        [](ftdi_context* ftdi, const unsigned char* data, int size) {
            return on_mpsse<&SimMpsse::write, -1>(ftdi, data, size);
        },
        [](ftdi_context* ftdi, unsigned char* data, int size) { return on_mpsse<&SimMpsse::read, -1>(ftdi, data, size); },
        [](ftdi_context* ftdi) -> const char* {
            const Context& c = context(ftdi);
            return c.mpsse ? c.mpsse->error() : c.error;
        },
        [](ftdi_context* ftdi) -> std::uint64_t {
            const SimMpsse* mpsse = ftdi ? context(ftdi).mpsse : nullptr;
            return mpsse ? mpsse->now_ns() : 0;
        },
        [](ftdi_context* ftdi, std::uint64_t ns) {
            if (SimMpsse* mpsse = ftdi ? context(ftdi).mpsse : nullptr) mpsse->pass(ns);
        },
        usb_place,
    };
}

Outcome plug(std::unique_ptr<SimMpsseBridge> bridge, SimMpsseBridge*& plugged) {
    if (plugged_bridges.empty()) ftdi_calls = stand_in_calls();
    plugged = bridge.get();
    plugged_bridges.push_back(std::move(bridge));
    return Outcome::ok();
}

SimMpsseBridge* bridge_of(const std::string& serial) {
    for (const auto& bridge : plugged_bridges)
        if (bridge->serial() == serial) return bridge.get();
    return nullptr;
}

}  // namespace

Outcome sim_mpsse_plug(const SimSettings& settings, const std::string& serial, int power_pin, SimMpsseBridge*& plugged) {
    std::unique_ptr<SimMpsseBridge> bridge;
    if (Outcome made = SimMpsseBridge::make(settings, serial, power_pin, bridge); !made) return made;
    return plug(std::move(bridge), plugged);
}

Outcome sim_mpsse_add(const SimSettings& settings, std::string& serial) {
    serial = settings.ftdi.serial;
    if (SimMpsseBridge* bridge = serial.empty() ? nullptr : bridge_of(serial)) return bridge->attach(settings, -1);
    for (int n = 1; serial.empty(); ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "VT%06d", n);
        if (!bridge_of(name)) serial = name;
    }
    std::unique_ptr<SimMpsseBridge> bridge;
    if (Outcome made = SimMpsseBridge::make(settings, serial, -1, bridge); !made) return made;
    SimMpsseBridge* plugged = nullptr;
    return plug(std::move(bridge), plugged);
}

Outcome sim_mpsse_apart(const SimSettings& a, const SimSettings& b) {
    const auto bridged = [](const SimSettings& s) { return s.via == SimVia::ftdi || s.via == SimVia::ftdi_bitbang; };
    if (!bridged(a) || !bridged(b) || a.ftdi.serial.empty() || a.ftdi.serial != b.ftdi.serial) return Outcome::ok();
    const std::string bridge = "the simulated bridge " + a.ftdi.serial;
    if (chip_named(a) != chip_named(b)) return Outcome::failed(bridge + " is one chip: give its cards one chip=");
    if (a.ftdi.interface == b.ftdi.interface)
        return Outcome::failed(bridge + " has one card on each interface: give them interface=A and interface=B");
    return Outcome::ok();
}

void sim_mpsse_remove() {
    ftdi_calls = ftdi_calls_real();
    plugged_bridges.clear();
}

Outcome sim_mpsse_install(const SimSettings& settings, int power_pin) {
    sim_mpsse_remove();
    SimMpsseBridge* plugged = nullptr;
    return sim_mpsse_plug(settings, settings.ftdi.serial.empty() ? sim_ftdi_serial : settings.ftdi.serial, power_pin,
                          plugged);
}

const std::vector<std::string>& sim_mpsse_commands() { return first_mpsse().commands(); }
void sim_mpsse_clear_commands() { first_mpsse().clear_commands(); }
double sim_mpsse_round_trips() { return first_mpsse().round_trips(); }
std::uint64_t sim_mpsse_pin_states() { return first_mpsse().pin_states(); }
