#include "link/ftdi_link.h"

#include <algorithm>
#include <array>

namespace spi {

namespace {

constexpr int ftdi_vendor = 0x0403;
// FT232H, FT2232H (and FT2232D, which shares its ids), FT4232H.
constexpr std::array<int, 3> mpsse_products{0x6014, 0x6010, 0x6011};
constexpr std::array<FtdiChipKind, 4> chip_kinds{{
    {ftdi_chip::ft232h, "FT232H", 1, true, 60'000'000},
    {ftdi_chip::ft2232h, "FT2232H", 2, true, 60'000'000},
    {ftdi_chip::ft4232h, "FT4232H", 2, true, 60'000'000},
    {ftdi_chip::ft2232d, "FT2232D", 2, false, 12'000'000},
}};
constexpr unsigned char bitmode_reset = 0x00;
constexpr unsigned char bitmode_mpsse = 0x02;
constexpr unsigned char latency_ms = 1;

// What libftdi's open returns.
constexpr int open_not_found = -3;
constexpr int open_failed = -4;   // libusb_open() failed: most often no permission
constexpr int claim_failed = -5;  // the interface is held, or the chip has none of that name
constexpr int open_denied = -8;   // inappropriate permissions on device

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
constexpr std::uint8_t divide_by_5_off = 0x8A;  // H chips only, as the two below
constexpr std::uint8_t three_phase_off = 0x8D;
constexpr std::uint8_t adaptive_off = 0x97;
constexpr std::uint8_t bad_command = 0xAA;    // answered with bad_answer and itself
constexpr std::uint8_t bad_answer = 0xFA;
constexpr std::size_t max_length = 65536;     // bytes one clocking command moves
}  // namespace mpsse

// What to do when the bridge cannot be opened: on Linux the device's
// permissions and the kernel's serial driver; on Windows, FTDI's driver
// lets one program at a time have it.
#ifdef _WIN32
constexpr const char* no_permission_advice = "; is FTDI's D2XX driver installed for it (Device Manager)?";
constexpr const char* held_advice = "; another program holds it: end the other program";
#else
constexpr const char* no_permission_advice =
    "; no permission: add a udev rule that gives you the device (such as SUBSYSTEM==\"usb\", "
    "ATTR{idVendor}==\"0403\", MODE=\"0666\"), plug it in again, or run as root";
constexpr const char* held_advice =
    "; the kernel's ftdi_sio driver or another program holds it: unbind ftdi_sio (echo the interface, such as "
    "1-1:1.0, > /sys/bus/usb/drivers/ftdi_sio/unbind) or end the other program";
#endif

// A bridge that brings nothing for this long has gone.
constexpr std::uint64_t answer_budget_ns = 1'000'000'000;

std::string hex4(int value) {
    constexpr char digits[] = "0123456789abcdef";
    std::string text(4, '0');
    for (int i = 3; i >= 0; --i, value >>= 4) text[static_cast<std::size_t>(i)] = digits[value & 0xF];
    return text;
}

const FtdiChipKind* chip_kind(int type) {
    for (const FtdiChipKind& kind : chip_kinds)
        if (kind.type == type) return &kind;
    return nullptr;
}

}  // namespace

FtdiLink::FtdiLink(const FtdiTarget& target)
    : wanted_hz_(target.max_hz),
      max_hz_(std::min<std::uint32_t>(target.max_hz, chip_kinds[0].base_hz / 2)),
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
    if (Outcome opened = open_bridge(target); !opened) return opened;
    if (Outcome locked = target.lock ? lock_place(target) : Outcome::ok(); !locked) {
        // Another run holds the bridge: let go of it untouched.
        (void)ftdi_calls.close(ftdi_);
        ftdi_calls.free_context(ftdi_);
        ftdi_ = nullptr;
        return locked;
    }
    chip_ = chip_kind(ftdi_calls.chip_type(ftdi_));
    if (!chip_) return Outcome::failed("the FTDI bridge's chip (libftdi type " + std::to_string(ftdi_calls.chip_type(ftdi_)) + ") has no MPSSE");
    if (target.interface > chip_->interfaces)
        return Outcome::failed(std::string("the FTDI bridge is an ") + chip_->name + ", which has no MPSSE on interface " +
                               static_cast<char>('A' + target.interface - 1));
    max_hz_ = std::min(wanted_hz_, chip_->base_hz / 2);
    return enter_mpsse();
}

Outcome FtdiLink::open_bridge(const FtdiTarget& target) {
    if (ftdi_calls.set_interface(ftdi_, target.interface) < 0)
        return Outcome::failed(std::string("FTDI interface: ") + ftdi_calls.error_string(ftdi_));
    const char* serial = target.serial.empty() ? nullptr : target.serial.c_str();
    for (int product : mpsse_products) {
        const int result = ftdi_calls.open(ftdi_, ftdi_vendor, product, serial);
        if (result == 0) return Outcome::ok();
        if (result != open_not_found) return why_not_opened(target, product, result);
    }
    std::string looked_for = "no FTDI MPSSE bridge found (looked for";
    for (int product : mpsse_products) looked_for.append(" ").append(hex4(ftdi_vendor)).append(":").append(hex4(product));
    if (serial) looked_for.append(" with serial ").append(target.serial);
    return Outcome::failed(looked_for.append(")"));
}

// libftdi's words, and what to do about them. A claim that fails on
// interface B may mean a chip with interface A only: opened on A, it says.
Outcome FtdiLink::why_not_opened(const FtdiTarget& target, int product, int result) {
    const std::string said = "cannot open the FTDI bridge " + hex4(ftdi_vendor) + ":" + hex4(product) + ": " +
                             ftdi_calls.error_string(ftdi_);
    if (result == open_failed || result == open_denied)
        return Outcome::failed(said + no_permission_advice);
    if (result != claim_failed) return Outcome::failed(said);
    if (target.interface > 1 && ftdi_calls.set_interface(ftdi_, 1) == 0 &&
        ftdi_calls.open(ftdi_, ftdi_vendor, product, target.serial.empty() ? nullptr : target.serial.c_str()) == 0) {
        const FtdiChipKind* kind = chip_kind(ftdi_calls.chip_type(ftdi_));
        (void)ftdi_calls.close(ftdi_);
        if (kind && kind->interfaces < target.interface)
            return Outcome::failed(std::string("the FTDI bridge is an ") + kind->name + ": it has no interface " +
                                   static_cast<char>('A' + target.interface - 1) + " (give interface=A)");
    }
    return Outcome::failed(said + held_advice);
}

// MPSSE mode; a bad command whose answer (FA AA) comes after whatever was
// waiting; then the H chips' 60 MHz clock without its extras.
Outcome FtdiLink::enter_mpsse() {
    if (ftdi_calls.set_latency_timer(ftdi_, latency_ms) < 0 || ftdi_calls.set_bitmode(ftdi_, 0, bitmode_reset) < 0 ||
        ftdi_calls.set_bitmode(ftdi_, 0, bitmode_mpsse) < 0 || ftdi_calls.purge(ftdi_) < 0)
        return Outcome::failed(std::string("the FTDI bridge refuses MPSSE mode: ") + ftdi_calls.error_string(ftdi_));
    if (!synchronise())
        return Outcome::failed(std::string("the FTDI bridge (") + chip_->name +
                               ") does not answer in MPSSE mode: no FA AA to the bad command AA");
    if (chip_->h_commands) queue({mpsse::divide_by_5_off, mpsse::adaptive_off, mpsse::three_phase_off});
    queue({mpsse::loopback_off});
    set_clock(init_hz);
    set_pins();
    flush();
    return healthy_ ? Outcome::ok() : Outcome::failed(fault_);
}

// Reads until the answer to the bad command, passing over what came before it.
bool FtdiLink::synchronise() {
    queue({mpsse::bad_command, mpsse::send_immediate});
    flush();
    std::array<std::uint8_t, 64> got{};
    std::uint8_t previous = 0;
    const std::uint64_t start = ftdi_calls.now_ns(ftdi_);
    while (healthy_ && ftdi_calls.now_ns(ftdi_) - start < answer_budget_ns) {
        const int n = ftdi_calls.read(ftdi_, got.data(), static_cast<int>(got.size()));
        if (n < 0) failed(std::string("FTDI bridge: ") + ftdi_calls.error_string(ftdi_));
        for (int i = 0; i < n; ++i) {
            if (previous == mpsse::bad_answer && got[static_cast<std::size_t>(i)] == mpsse::bad_command) return true;
            previous = got[static_cast<std::size_t>(i)];
        }
    }
    return false;
}

void FtdiLink::failed(const std::string& why) {
    if (healthy_) fault_ = why;
    healthy_ = false;
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
    if (!rx.empty() && !commands_.empty()) queue({mpsse::send_immediate});
    if (healthy_ && !commands_.empty() &&
        ftdi_calls.write(ftdi_, commands_.data(), static_cast<int>(commands_.size())) != static_cast<int>(commands_.size()))
        failed(std::string("FTDI bridge: ") + ftdi_calls.error_string(ftdi_) + ": was it unplugged?");
    commands_.clear();
    if (!read_exactly(rx)) std::fill(rx.begin(), rx.end(), 0xFF);
}

// Reads come back as USB packets bring them, often short or empty: read
// until every byte is in. A bridge that brings nothing for a second has gone.
bool FtdiLink::read_exactly(std::span<std::uint8_t> rx) {
    std::size_t got = 0;
    std::uint64_t last_progress = ftdi_calls.now_ns(ftdi_);
    while (healthy_ && got < rx.size()) {
        const int n = ftdi_calls.read(ftdi_, rx.data() + got, static_cast<int>(rx.size() - got));
        if (n < 0) failed(std::string("FTDI bridge: ") + ftdi_calls.error_string(ftdi_) + ": was it unplugged?");
        else if (n > 0) {
            got += static_cast<std::size_t>(n);
            last_progress = ftdi_calls.now_ns(ftdi_);
        } else if (ftdi_calls.now_ns(ftdi_) - last_progress > answer_budget_ns) {
            failed("FTDI bridge: no answer for a second");
        }
    }
    return healthy_;
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

void FtdiLink::transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) { transfer_then(tx, rx, 0); }

// DI goes high before bytes come in, as a card expects while it sends.
// Bytes asked ahead are on their way: the next read of them queues its own
// request first, so that the bridge never waits for the host.
void FtdiLink::transfer_then(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx, std::size_t ahead) {
    const bool taken_ahead = ahead_ > 0 && tx.empty() && rx.size() == ahead_;
    if (ahead_ > 0 && !taken_ahead) drop_ahead();
    ahead_ = 0;
    if (!tx.empty()) {
        queue_clocked(mpsse::bytes_out, tx, tx.size());
        // The data pin keeps the last bit sent.
        if (!(tx.back() & 1)) sent_pins_ &= static_cast<std::uint8_t>(~pin_mosi);
    }
    if (rx.empty()) return;
    pins_ |= pin_mosi;
    set_pins();
    if (!taken_ahead) queue_clocked(mpsse::bytes_in, {}, rx.size());
    if (ahead > 0) queue_clocked(mpsse::bytes_in, {}, ahead);
    flush(rx);
    ahead_ = healthy_ ? ahead : 0;
}

void FtdiLink::drop_ahead() {
    std::array<std::uint8_t, 4096> dropped{};
    for (std::size_t left = ahead_; left > 0 && healthy_;) {
        const std::size_t n = std::min(left, dropped.size());
        if (!read_exactly(std::span(dropped).first(n))) break;
        left -= n;
    }
    ahead_ = 0;
}

// SCK is the chip's base clock / (2 * (divisor + 1)): the fastest rate not above hz.
void FtdiLink::set_clock(std::uint32_t hz) {
    hz = std::clamp<std::uint32_t>(hz, 1, max_hz_);
    const std::uint32_t half = chip_->base_hz / 2;
    const std::uint32_t divisor = std::min<std::uint32_t>((half + hz - 1) / hz - 1, 0xFFFF);
    if (divisor == divisor_) return;
    divisor_ = divisor;
    queue({mpsse::set_divisor, static_cast<std::uint8_t>(divisor & 0xFF), static_cast<std::uint8_t>(divisor >> 8)});
}

void FtdiLink::pause_ns(std::uint64_t ns) {
    flush();
    ftdi_calls.sleep_ns(ftdi_, ns);
}

Capabilities FtdiLink::capabilities() const {
    return {.switches_supply = power_mask_ != 0,
            .clocks_deselected = true,
            .top_hz = max_hz_,
            .read_ahead = mpsse::max_length,
            .data_clock_throughout = true};
}

}  // namespace spi
