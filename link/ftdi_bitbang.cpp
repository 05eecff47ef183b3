#include "link/ftdi_bitbang.h"

#include <algorithm>
#include <array>

#include "port/wiring.h"

namespace spi {

namespace {

// The chips without an MPSSE first, so that the first bridge found is one
// that needs this port; then the MPSSE chips, which have the mode too.
constexpr std::array<int, 5> products{ftdi_product::ft232r, ftdi_product::ft_x, ftdi_product::ft232h,
                                      ftdi_product::ft2232, ftdi_product::ft4232h};
// FIFO sizes towards the host from FTDI's datasheets; USB full speed moves
// 64-byte packets, high speed 512. libftdi multiplies a bit-bang rate by four
// and takes at most what the baud generator makes: 3 MBaud, 12 on the H chips.
constexpr std::array<BitBangChip, 6> chips{{
    {ftdi_chip::ft232r, 256, 64, 750'000, false},
    {ftdi_chip::ft230x, 512, 64, 750'000, false},
    {ftdi_chip::ft2232d, 128, 64, 750'000, true},
    {ftdi_chip::ft232h, 1024, 512, 3'000'000, true},
    {ftdi_chip::ft2232h, 4096, 512, 3'000'000, true},
    {ftdi_chip::ft4232h, 2048, 512, 3'000'000, true},
}};
constexpr std::size_t packet_status_bytes = 2;
constexpr unsigned char bitmode_reset = 0x00;
constexpr unsigned char bitmode_syncbb = 0x04;
constexpr unsigned char latency_ms = 1;
// A bridge that brings nothing for this long has gone.
constexpr std::uint64_t answer_budget_ns = 1'000'000'000;

const BitBangChip* chip_of(int type) {
    for (const BitBangChip& chip : chips)
        if (chip.type == type) return &chip;
    return nullptr;
}

constexpr std::uint8_t mask(int pin) { return pin < 0 ? 0 : static_cast<std::uint8_t>(1u << pin); }

}  // namespace

FtdiBitBangLines::FtdiBitBangLines(const FtdiBitBangTarget& target)
    : sck_(mask(target.pins.sck)),
      mosi_(mask(target.pins.mosi)),
      miso_(mask(target.pins.miso)),
      cs_(mask(target.pins.cs)),
      power_(mask(target.pins.power)) {}

FtdiBitBangLines::~FtdiBitBangLines() { (void)release(); }

Outcome FtdiBitBangLines::open(const FtdiBitBangTarget& target, std::unique_ptr<FtdiBitBangLines>& made) {
    std::unique_ptr<FtdiBitBangLines> lines(new FtdiBitBangLines(target));
    if (Outcome connected = lines->connect(target); !connected) return connected;
    made = std::move(lines);
    return Outcome::ok();
}

Outcome FtdiBitBangLines::connect(const FtdiBitBangTarget& target) {
    if (Outcome opened = bridge_.open({target.serial, 1, target.lock}, products, "FTDI bridge"); !opened) return opened;
    ftdi_ = bridge_.context();
    chip_ = chip_of(bridge_.chip_type());
    const std::string name = ftdi_chip_name(bridge_.chip_type());
    if (!chip_)
        return Outcome::failed("the FTDI bridge " + ftdi_ids(bridge_.product()) + " is an " + name +
                               ", which has no synchronous bit-bang mode");
    if (chip_->mpsse) advice_ = "the FTDI bridge is an " + name + ", which has an MPSSE: --port=ftdi reaches the card faster";
    chunk_ = chip_->to_host / chip_->packet * (chip_->packet - packet_status_bytes);
    queued_.reserve(chunk_);
    read_back_.resize(chunk_);
    marks_.reserve(8 * 512 + 1);
    answers_.reserve(8 * 512 + 1);
    return enter_bit_bang();
}

// Synchronous bit-bang at the initialisation clock, the card's lines driven
// and DO read; nothing left over from the serial side.
Outcome FtdiBitBangLines::enter_bit_bang() {
    const std::uint8_t outputs = sck_ | mosi_ | cs_ | power_;
    if (ftdi_calls.set_latency_timer(ftdi_, latency_ms) < 0 || ftdi_calls.set_bitmode(ftdi_, 0, bitmode_reset) < 0 ||
        ftdi_calls.set_bitmode(ftdi_, outputs, bitmode_syncbb) < 0 || ftdi_calls.purge(ftdi_) < 0)
        return Outcome::failed("the FTDI bridge refuses synchronous bit-bang mode: " +
                               std::string(ftdi_calls.error_string(ftdi_)));
    set_clock(init_hz);
    return healthy_ ? Outcome::ok() : Outcome::failed(fault_);
}

void FtdiBitBangLines::failed(const std::string& why) {
    if (healthy_) fault_ = why;
    healthy_ = false;
}

// The lines as the port's data register lays them out, onto the chip's pins.
void FtdiBitBangLines::write_data(std::uint8_t lines) {
    std::uint8_t pins = 0;
    if (lines & wiring::sck) pins |= sck_;
    if (lines & wiring::di) pins |= mosi_;
    if (lines & wiring::cs) pins |= cs_;
    if (lines & wiring::supply) pins |= power_;
    queue(pins);
}

void FtdiBitBangLines::queue(std::uint8_t pins) {
    last_ = pins;
    queued_.push_back(pins);
    if (queued_.size() == chunk_) send_chunk();
}

// DO as the lines stand after the last pin state: the chip samples the pins
// just before it sets the next one, so the read-back of the NEXT pin state
// carries it. A bit in is two states, k (SCK low) and k + 1 (SCK high, the
// rising edge); its DO comes in read-back k + 2, taken with SCK still high,
// the next bit's SCK-low state (or, after a chunk's last bit, the repeat
// that settle() adds).
std::uint8_t FtdiBitBangLines::read_status() {
    marks_.push_back(sent_ + queued_.size());
    return 0;
}

// A DO read after the last state queued needs one state more: the same
// pins again, whose read-back samples them.
void FtdiBitBangLines::settle(std::span<std::uint8_t> statuses) {
    if (!marks_.empty() && marks_.back() == sent_ + queued_.size()) queue(last_);
    if (!queued_.empty()) send_chunk();
    std::fill(statuses.begin(), statuses.end(), std::uint8_t{0});
    std::copy_n(answers_.begin(), std::min(answers_.size(), statuses.size()), statuses.begin());
    sent_ = 0;
    marks_.clear();
    answers_.clear();
}

// DO shows in the port's status register inverted: the bit is set while DO is low.
void FtdiBitBangLines::send_chunk() {
    const std::size_t n = queued_.size();
    if (healthy_ && ftdi_calls.write(ftdi_, queued_.data(), static_cast<int>(n)) != static_cast<int>(n))
        failed(std::string("FTDI bridge: ") + ftdi_calls.error_string(ftdi_) + ": was it unplugged?");
    queued_.clear();
    if (!read_exactly(n)) std::fill_n(read_back_.begin(), n, 0xFF);
    while (answers_.size() < marks_.size() && marks_[answers_.size()] < sent_ + n) {
        const std::uint8_t pins = read_back_[marks_[answers_.size()] - sent_];
        answers_.push_back((pins & miso_) ? 0 : wiring::do_status);
    }
    sent_ += n;
}

// Read-backs come as USB packets bring them, often none on the first poll:
// read until every one is in. A bridge that brings nothing for a second has gone.
bool FtdiBitBangLines::read_exactly(std::size_t n) {
    std::size_t got = 0;
    std::uint64_t last_progress = ftdi_calls.now_ns(ftdi_);
    while (healthy_ && got < n) {
        const int r = ftdi_calls.read(ftdi_, read_back_.data() + got, static_cast<int>(n - got));
        if (r < 0) failed(std::string("FTDI bridge: ") + ftdi_calls.error_string(ftdi_) + ": was it unplugged?");
        else if (r > 0) {
            got += static_cast<std::size_t>(r);
            last_progress = ftdi_calls.now_ns(ftdi_);
        } else if (ftdi_calls.now_ns(ftdi_) - last_progress > answer_budget_ns) {
            failed("FTDI bridge: no answer for a second");
        }
    }
    return healthy_;
}

bool FtdiBitBangLines::release() {
    if (!queued_.empty()) send_chunk();
    return true;
}

bool FtdiBitBangLines::link_ok() {
    if (!queued_.empty()) send_chunk();
    return healthy_;
}

// Two pin states a clock: the pins change at twice the clock asked, at most
// at the fastest pace libftdi sets.
void FtdiBitBangLines::set_clock(std::uint32_t hz) {
    const std::uint32_t rate = std::min<std::uint32_t>(std::max<std::uint32_t>(hz, 1) * 2, chip_->top_rate);
    if (rate == rate_) return;
    if (!queued_.empty()) send_chunk();
    rate_ = rate;
    if (healthy_ && ftdi_calls.set_baudrate(ftdi_, static_cast<int>(rate)) < 0)
        failed(std::string("FTDI bridge: cannot set the bit-bang rate: ") + ftdi_calls.error_string(ftdi_));
}

void FtdiBitBangLines::pause_ns(std::uint64_t ns) {
    if (!queued_.empty()) send_chunk();
    ftdi_calls.sleep_ns(ftdi_, ns);
}

LineTraits FtdiBitBangLines::traits() const {
    // Bytes read ahead: as many as one chunk clocks (two pin states a bit), with
    // the state more that samples the last bit.
    return {.switches_supply = power_ != 0, .top_hz = chip_->top_rate / 2, .read_ahead = (chunk_ - 1) / 16, .paced = true};
}

}  // namespace spi
