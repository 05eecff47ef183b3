#include "link/ftdi_link.h"

#include <algorithm>

namespace spi {

namespace {

constexpr int ftdi_vendor = 0x0403;
// FT232H, FT2232H, FT4232H: the bridges with an MPSSE that runs at 60 MHz.
constexpr std::array<int, 3> mpsse_products{0x6014, 0x6010, 0x6011};
constexpr unsigned char bitmode_reset = 0x00;
constexpr unsigned char bitmode_mpsse = 0x02;
constexpr unsigned char latency_ms = 1;

// ADBUS pins.
constexpr std::uint8_t pin_sck = 0x01;
constexpr std::uint8_t pin_mosi = 0x02;  // to the card's DI
constexpr std::uint8_t pin_cs = 0x08;

// MPSSE commands.
namespace mpsse {
constexpr std::uint8_t set_low_pins = 0x80;   // value, direction
constexpr std::uint8_t bytes_out = 0x11;      // MSB first, out on the falling edge
constexpr std::uint8_t bytes_in = 0x20;       // MSB first, in on the rising edge
constexpr std::uint8_t loopback_off = 0x85;
constexpr std::uint8_t set_divisor = 0x86;    // low, high
constexpr std::uint8_t send_immediate = 0x87;
constexpr std::uint8_t divide_by_5_off = 0x8A;
constexpr std::uint8_t three_phase_off = 0x8D;
constexpr std::uint8_t adaptive_off = 0x97;
constexpr std::size_t max_length = 65536;     // bytes one clocking command moves
}  // namespace mpsse

constexpr std::uint32_t base_hz = 60'000'000;
constexpr std::uint32_t mpsse_top_hz = base_hz / 2;

std::string hex4(int value) {
    constexpr char digits[] = "0123456789abcdef";
    std::string text(4, '0');
    for (int i = 3; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = digits[value & 0xF];
    return text;
}

}  // namespace

FtdiLink::FtdiLink(const FtdiTarget& target)
    : max_hz_(std::min(target.max_hz, mpsse_top_hz)),
      power_mask_(target.power_pin >= 0 ? static_cast<std::uint8_t>(1u << target.power_pin) : 0),
      pins_(pin_cs | pin_mosi),
      sent_pins_(0xFF) {}

Outcome FtdiLink::open(const FtdiTarget& target, std::unique_ptr<FtdiLink>& made) {
    std::unique_ptr<FtdiLink> link(new FtdiLink(target));
    if (Outcome connected = link->connect(target); !connected) return connected;
    made = std::move(link);
    return Outcome::ok();
}

FtdiLink::~FtdiLink() {
    lock_.give_back();
    if (!ftdi_) return;
    (void)ftdi_calls.set_bitmode(ftdi_, 0, bitmode_reset);
    (void)ftdi_calls.close(ftdi_);
    ftdi_calls.free_context(ftdi_);
}

// The first bridge of the known kinds with that serial, put in MPSSE mode at
// the initialisation clock with the card deselected.
Outcome FtdiLink::connect(const FtdiTarget& target) {
    ftdi_ = ftdi_calls.new_context();
    if (!ftdi_) return Outcome::failed(std::string("no FTDI support: ") + ftdi_calls.error_string(nullptr));
    if (ftdi_calls.set_interface(ftdi_, target.interface) < 0)
        return Outcome::failed(std::string("FTDI interface: ") + ftdi_calls.error_string(ftdi_));
    const char* serial = target.serial.empty() ? nullptr : target.serial.c_str();
    const bool found = std::any_of(mpsse_products.begin(), mpsse_products.end(),
                                   [&](int product) { return ftdi_calls.open(ftdi_, ftdi_vendor, product, serial) == 0; });
    if (!found) {
        std::string looked_for = "no FTDI MPSSE bridge found (looked for";
        for (int product : mpsse_products) looked_for.append(" ").append(hex4(ftdi_vendor)).append(":").append(hex4(product));
        if (serial) looked_for.append(" with serial ").append(target.serial);
        return Outcome::failed(looked_for.append(")"));
    }
    if (Outcome locked = target.lock ? lock_place(target) : Outcome::ok(); !locked) {
        // Another run holds the bridge: let go of it untouched.
        (void)ftdi_calls.close(ftdi_);
        ftdi_calls.free_context(ftdi_);
        ftdi_ = nullptr;
        return locked;
    }
    if (ftdi_calls.set_latency_timer(ftdi_, latency_ms) < 0 || ftdi_calls.set_bitmode(ftdi_, 0, bitmode_reset) < 0 ||
        ftdi_calls.set_bitmode(ftdi_, 0, bitmode_mpsse) < 0 || ftdi_calls.purge(ftdi_) < 0)
        return Outcome::failed(std::string("the FTDI bridge refuses MPSSE mode: ") + ftdi_calls.error_string(ftdi_));
    queue({mpsse::divide_by_5_off, mpsse::adaptive_off, mpsse::three_phase_off, mpsse::loopback_off});
    set_clock(init_hz);
    set_pins();
    flush();
    return healthy_ ? Outcome::ok() : Outcome::failed("the FTDI bridge does not take commands");
}

// Locked by the bridge's place on the USB, so that "ftdi" and "ftdi:SERIAL"
// for one bridge take one lock.
Outcome FtdiLink::lock_place(const FtdiTarget& target) {
    char place[64];
    const std::string where = ftdi_calls.usb_place(ftdi_, place, sizeof place) == 0
                                  ? std::string("usb-") + place
                                  : (target.serial.empty() ? std::string("first") : target.serial);
    return lock_.take("ftdi-" + where + "-" + static_cast<char>('A' + target.interface - 1));
}

void FtdiLink::queue(std::initializer_list<std::uint8_t> bytes) { commands_.insert(commands_.end(), bytes); }

void FtdiLink::set_pins() {
    if (pins_ == sent_pins_) return;
    const std::uint8_t outputs = pin_sck | pin_mosi | pin_cs | power_mask_;
    queue({mpsse::set_low_pins, pins_, outputs});
    sent_pins_ = pins_;
}

// A clocking command per 64 KiB; data is null for bytes in.
void FtdiLink::queue_clocked(std::uint8_t opcode, std::span<const std::uint8_t> data, std::size_t length) {
    for (std::size_t at = 0; at < length; at += mpsse::max_length) {
        const std::size_t n = std::min(mpsse::max_length, length - at);
        queue({opcode, static_cast<std::uint8_t>((n - 1) & 0xFF), static_cast<std::uint8_t>((n - 1) >> 8)});
        if (!data.empty()) commands_.insert(commands_.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                                            data.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
}

void FtdiLink::flush(std::span<std::uint8_t> rx) {
    if (!rx.empty()) queue({mpsse::send_immediate});
    if (!commands_.empty() &&
        ftdi_calls.write(ftdi_, commands_.data(), static_cast<int>(commands_.size())) != static_cast<int>(commands_.size()))
        healthy_ = false;
    commands_.clear();
    // The bridge answers as fast as the wire allows; a read that brings
    // nothing for a second means it has gone.
    std::size_t got = 0;
    std::uint64_t last_progress = ftdi_calls.now_ns();
    while (healthy_ && got < rx.size()) {
        const int n = ftdi_calls.read(ftdi_, rx.data() + got, static_cast<int>(rx.size() - got));
        if (n < 0 || (n == 0 && ftdi_calls.now_ns() - last_progress > 1'000'000'000)) healthy_ = false;
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            last_progress = ftdi_calls.now_ns();
        }
    }
    if (!healthy_) std::fill(rx.begin() + static_cast<std::ptrdiff_t>(got), rx.end(), 0xFF);
}

bool FtdiLink::start() {
    power(false);
    flush();
    return healthy_;
}

void FtdiLink::power(bool on) {
    pins_ = static_cast<std::uint8_t>(pin_cs | pin_mosi | (on ? power_mask_ : 0));
    set_pins();
}

void FtdiLink::select(bool selected) {
    pins_ = static_cast<std::uint8_t>(selected ? (pins_ & ~pin_cs) : (pins_ | pin_cs));
    set_pins();
}

// Every line low and the supply off.
void FtdiLink::stop() {
    pins_ = 0;
    set_pins();
    flush();
}

// DI goes high before bytes come in, as a card expects while it sends.
void FtdiLink::transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) {
    if (!tx.empty()) {
        queue_clocked(mpsse::bytes_out, tx, tx.size());
        // The data pin keeps the last bit sent.
        if (!(tx.back() & 1)) sent_pins_ &= static_cast<std::uint8_t>(~pin_mosi);
    }
    if (rx.empty()) return;
    pins_ |= pin_mosi;
    set_pins();
    queue_clocked(mpsse::bytes_in, {}, rx.size());
    flush(rx);
}

// SCK is 60 MHz / (2 * (divisor + 1)): the fastest rate not above hz.
void FtdiLink::set_clock(std::uint32_t hz) {
    hz = std::clamp<std::uint32_t>(hz, 1, max_hz_);
    const std::uint32_t divisor = std::min<std::uint32_t>((base_hz / 2 + hz - 1) / hz - 1, 0xFFFF);
    if (divisor == divisor_) return;
    divisor_ = divisor;
    queue({mpsse::set_divisor, static_cast<std::uint8_t>(divisor & 0xFF), static_cast<std::uint8_t>(divisor >> 8)});
}

void FtdiLink::pause_ns(std::uint64_t ns) {
    flush();
    ftdi_calls.sleep_ns(ns);
}

Capabilities FtdiLink::capabilities() const {
    return {.switches_supply = power_mask_ != 0,
            .clocks_deselected = true,
            .top_hz = max_hz_,
            .read_ahead = mpsse::max_length};
}

}  // namespace spi
