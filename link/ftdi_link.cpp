#include "link/ftdi_link.h"

#include <algorithm>
#include <array>

namespace spi {

namespace {

// FT232H, FT2232H (and FT2232D, which shares its ids), FT4232H; then the
// chips without an MPSSE, only to say which port reaches them.
constexpr std::array<int, 3> mpsse_products{ftdi_product::ft232h, ftdi_product::ft2232, ftdi_product::ft4232h};
constexpr std::array<int, 2> bit_bang_products{ftdi_product::ft232r, ftdi_product::ft_x};
constexpr std::array<FtdiChipKind, 4> chip_kinds{{
    {ftdi_chip::ft232h, "FT232H", 1, true, 60'000'000},
    {ftdi_chip::ft2232h, "FT2232H", 2, true, 60'000'000},
    {ftdi_chip::ft4232h, "FT4232H", 2, true, 60'000'000},
    {ftdi_chip::ft2232d, "FT2232D", 2, false, 12'000'000},
}};
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
constexpr std::uint8_t divide_by_5_off = 0x8A;  // H chips only, as the two below
constexpr std::uint8_t three_phase_off = 0x8D;
constexpr std::uint8_t adaptive_off = 0x97;
constexpr std::uint8_t bad_command = 0xAA;    // answered with bad_answer and itself
constexpr std::uint8_t bad_answer = 0xFA;
constexpr std::size_t max_length = 65536;     // bytes one clocking command moves
}  // namespace mpsse

// A bridge that brings nothing for this long has gone.
constexpr std::uint64_t answer_budget_ns = 1'000'000'000;

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

FtdiLink::~FtdiLink() = default;

// The first bridge of the known kinds with that serial, put in MPSSE mode at
// the initialisation clock with the card deselected.
Outcome FtdiLink::connect(const FtdiTarget& target) {
    if (Outcome opened = open_bridge(target); !opened) return opened;
    ftdi_ = bridge_.context();
    chip_ = chip_kind(bridge_.chip_type());
    if (!chip_)
        return Outcome::failed("the FTDI bridge's chip (libftdi type " + std::to_string(bridge_.chip_type()) + ") has no MPSSE");
    if (target.interface > chip_->interfaces)
        return Outcome::failed(std::string("the FTDI bridge is an ") + chip_->name + ", which has no MPSSE on interface " +
                               static_cast<char>('A' + target.interface - 1));
    max_hz_ = std::min(wanted_hz_, chip_->base_hz / 2);
    return enter_mpsse();
}

Outcome FtdiLink::open_bridge(const FtdiTarget& target) {
    const FtdiWanted wanted{target.serial, target.interface, target.lock};
    Outcome opened = bridge_.open(wanted, mpsse_products, "FTDI MPSSE bridge");
    if (opened || !bridge_.none_found()) return opened;
    return refuse_without_mpsse(wanted, opened);
}

// A chip without an MPSSE where one was looked for: named, with the port
// that reaches it; it is given back untouched.
Outcome FtdiLink::refuse_without_mpsse(const FtdiWanted& wanted, const Outcome& none) {
    FtdiBridge other;
    if (!other.open({wanted.serial, 1, false}, bit_bang_products, "FTDI bridge")) return none;
    const std::string found = ftdi_ids(other.product()) + " is an " + ftdi_chip_name(other.chip_type());
    other.close();
    return Outcome::failed("the FTDI bridge " + found + ", which has no MPSSE: reach it with --port=ftdi-bitbang");
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
