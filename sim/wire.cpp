#include "sim/wire.h"

namespace {

constexpr std::uint32_t wake_up_clocks = 74;
constexpr std::uint64_t supply_settle_ns = 1000000;  // 1 ms on before the card answers
constexpr std::uint64_t power_off_ns = 1000000;      // 1 ms off, lines low, resets a stuck card
constexpr std::uint64_t do_noise_seed = 0x5EED0F7A17C0FFEEull;
constexpr std::uint64_t di_noise_seed = 0xD1D1A5EEDF00D123ull;
constexpr std::uint8_t all_lines = wiring::supply | wiring::cs | wiring::di | wiring::sck;

}  // namespace

Wire::Wire(const SimSettings& settings, CardModel& card)
    : card_(card),
      do_noise_(settings.noise_rate, do_noise_seed),
      di_noise_(settings.di_noise_rate, di_noise_seed),
      late_bits_(settings.late_bits) {
    if (!settings.stuck) return;
    // Powered, awake and selected by the run that was interrupted.
    powered_ = true;
    wake_clocks_ = wake_up_clocks;
}

void Wire::power_lost() {
    powered_ = false;
    wake_clocks_ = 0;
    rx_bits_ = 0;
    tx_ = 0xFFFFFFFF;
    do_high_ = true;
    frame_len_ = 0;
    card_.power_lost();
}

// A stuck card comes back only after its supply has been off for 1 ms with
// every line low; any other card as soon as the supply goes.
bool Wire::supply_off_long_enough() const {
    return !card_.stuck() || (lines_low_ && now_ns_ - off_since_ns_ >= power_off_ns);
}

// The supply went off or came on: false while it is off (the card sees no
// clock then).
bool Wire::supply_changed(std::uint8_t lines) {
    if ((lines & wiring::supply) != wiring::supply) {
        const bool low = (lines & all_lines) == 0;
        if (low && !lines_low_) off_since_ns_ = now_ns_;
        lines_low_ = low;
        if (powered_ && supply_off_long_enough()) power_lost();
        return false;
    }
    if (powered_ && supply_off_long_enough()) power_lost();
    if (!powered_) powered_at_ns_ = now_ns_;
    powered_ = true;
    lines_low_ = false;
    return true;
}

// Until it has had its wake-up clocks (and, when it keeps time, 1 ms of
// supply) the card takes no command.
bool Wire::awake() const {
    return wake_clocks_ >= wake_up_clocks && now_ns_ - powered_at_ns_ >= supply_settle_ns;
}

// A whole byte arrived on DI: part of a command frame, block data, a token
// or filler.
void Wire::byte_received(std::uint8_t byte) {
    if (frame_len_ > 0) {
        frame_[frame_len_++] = byte;
        if (frame_len_ < frame_.size()) return;
        frame_len_ = 0;
        if (awake() && frame_heard_) card_.frame(frame_, now_ns_);
        return;
    }
    if (!card_.takes_block_data() && (byte & 0xC0) == 0x40) {
        frame_[0] = byte;
        frame_len_ = 1;
        frame_heard_ = card_.listening();
        return;
    }
    card_.byte(byte, now_ns_);
}

// Falling edge: the card puts its next bit on DO, late_bits_ behind the
// byte boundary when it answers late, and its tokens further behind. Its
// busy ends at the first of its own bits after programming is over.
void Wire::clock_fell() {
    if (rx_bits_ == 0) tx_ = tx_ << 8 | card_.next_out(now_ns_);
    const int behind = late_bits_ + card_.token_lateness();
    if (rx_bits_ > behind && card_.releases_do(now_ns_)) tx_ |= (1u << (8 - rx_bits_ + behind)) - 1;
    const auto out = static_cast<std::uint8_t>(tx_ >> behind);
    do_high_ = ((out << rx_bits_) & 0x80) != 0;
    if (do_noise_.flips()) do_high_ = !do_high_;
}

// Rising edge: the card takes the bit on DI, as noise left it.
void Wire::clock_rose(bool di) {
    if (di_noise_.flips()) di = !di;
    rx_ = static_cast<std::uint8_t>(rx_ << 1 | di);
    if (++rx_bits_ == 8) {
        rx_bits_ = 0;
        byte_received(rx_);
    }
}

void Wire::deselected(bool rising) {
    if (rising && wake_clocks_ < wake_up_clocks) ++wake_clocks_;
    rx_bits_ = 0;
    do_high_ = true;
}
