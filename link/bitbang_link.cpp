#include "link/bitbang_link.h"

#include <algorithm>

#include "port/wiring.h"

namespace spi {

namespace {
constexpr std::uint8_t powered_value = wiring::supply | wiring::cs | wiring::di;
constexpr std::uint8_t unpowered_value = wiring::cs | wiring::di;

constexpr std::uint8_t clock_low(std::uint8_t lines) { return lines & ~wiring::sck; }
}  // namespace

bool BitBangLink::start() {
    power(false);
    return lines_->link_ok();
}

void BitBangLink::power(bool on) {
    mmc_o_val_ = on ? powered_value : unpowered_value;
    lines_->write_data(mmc_o_val_);
}

void BitBangLink::select(bool selected) {
    mmc_o_val_ = selected ? (mmc_o_val_ & ~wiring::cs) : (mmc_o_val_ | wiring::cs);
    lines_->write_data(mmc_o_val_);
}

// Every line low; the shadow byte keeps its value.
void BitBangLink::stop() { lines_->write_data(0x00); }

void BitBangLink::set_clock(std::uint32_t hz) {
    lean_ = hz > init_hz || lines_->traits().paced;
    lines_->set_clock(hz);
}

// Each bit: present it on DI with the clock low, then raise the clock.
void BitBangLink::shift_out(std::uint8_t data) {
    std::uint8_t v = mmc_o_val_ | wiring::sck;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        v = (data & mask) ? (v | wiring::di) : (v & ~wiring::di);
        lines_->write_data(clock_low(v));
        lines_->write_data(v);
    }
    mmc_o_val_ = v;
}

// Each bit: clock low (twice at the initialisation rate, once when lean),
// clock high, then sample DO, which the port shows inverted.
void BitBangLink::shift_in(std::span<std::uint8_t> rx) {
    const std::uint8_t v = mmc_o_val_ | wiring::sck | wiring::di;
    mmc_o_val_ = v;
    const int low_writes = lean_ ? 1 : 2;
    const std::span statuses = std::span(statuses_).first(rx.size() * 8);
    for (std::uint8_t& status : statuses) {
        for (int i = 0; i < low_writes; ++i) lines_->write_data(clock_low(v));
        lines_->write_data(v);
        status = lines_->read_status();
    }
    lines_->settle(statuses);
    for (std::size_t byte = 0; byte < rx.size(); ++byte) {
        std::uint8_t result = 0;
        for (std::size_t bit = 0; bit < 8; ++bit)
            if (!(statuses[byte * 8 + bit] & wiring::do_status)) result |= static_cast<std::uint8_t>(0x80 >> bit);
        rx[byte] = result;
    }
}

void BitBangLink::transfer(std::span<const std::uint8_t> tx, std::span<std::uint8_t> rx) {
    for (std::uint8_t byte : tx) shift_out(byte);
    while (!rx.empty()) {
        const std::size_t n = std::min(rx.size(), chunk_bytes);
        shift_in(rx.first(n));
        rx = rx.subspan(n);
    }
}

Capabilities BitBangLink::capabilities() const {
    const LineTraits traits = lines_->traits();
    return {.switches_supply = traits.switches_supply,
            .clocks_deselected = true,
            .top_hz = traits.top_hz,
            .read_ahead = traits.read_ahead};
}

}  // namespace spi
