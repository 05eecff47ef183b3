#include "sim/doubles/sim_syncbb.h"

#include <algorithm>

#include "port/wiring.h"
#include "sim/sim_card.h"

namespace {

constexpr std::size_t packet_status_bytes = 2;
// libusb's wait for a bulk write that the chip does not take (libftdi's default).
constexpr std::uint64_t write_timeout_ns = 5'000'000'000;

constexpr std::uint8_t bit(int pin) { return pin < 0 ? 0 : static_cast<std::uint8_t>(1u << pin); }

}  // namespace

SimSyncBitBang::SimSyncBitBang(SimCard& card, const SimBitBangPins& pins, Fifos fifos, std::uint64_t round_trip_ns)
    : card_(card), wiring_(pins), fifos_(fifos), round_trip_ns_(round_trip_ns) {}

void SimSyncBitBang::enter(std::uint8_t directions) {
    directions_ = directions;
    drive_card();
}

void SimSyncBitBang::set_rate(int baudrate) { state_ns_ = 1'000'000'000ull / static_cast<std::uint64_t>(std::max(baudrate, 1)); }

void SimSyncBitBang::purge() {
    to_host_.clear();
    from_host_.clear();
}

// Each pin as it stands: an output at its level, an input high unless
// the card pulls DO low on it.
std::uint8_t SimSyncBitBang::pins_now() const {
    std::uint8_t pins = static_cast<std::uint8_t>((outputs_ & directions_) | ~directions_);
    if (!(directions_ & bit(wiring_.miso)) && card_.do_low()) pins &= static_cast<std::uint8_t>(~bit(wiring_.miso));
    return pins;
}

// The card's lines from the pins, as the data register lays them out.
void SimSyncBitBang::drive_card() {
    const std::uint8_t pins = pins_now();
    std::uint8_t lines = 0;
    if (pins & bit(wiring_.sck)) lines |= wiring::sck;
    if (pins & bit(wiring_.mosi)) lines |= wiring::di;
    if (pins & bit(wiring_.cs)) lines |= wiring::cs;
    if (wiring_.power < 0 || (pins & bit(wiring_.power))) lines |= wiring::supply;
    card_.set_lines(lines);
}

// The pins are sampled, then set, then held for one state's time.
void SimSyncBitBang::take(std::uint8_t pins) {
    to_host_.push_back(pins_now());
    outputs_ = pins;
    drive_card();
    card_.pass(state_ns_);
    ++pin_states_;
}

void SimSyncBitBang::take_waiting() {
    while (!from_host_.empty() && to_host_.size() < fifos_.to_host) {
        take(from_host_.front());
        from_host_.pop_front();
    }
}

int SimSyncBitBang::write(const unsigned char* data, int size) {
    for (int i = 0; i < size; ++i) {
        if (from_host_.empty() && to_host_.size() < fifos_.to_host) {
            take(data[i]);
            continue;
        }
        if (from_host_.size() == fifos_.from_host) {
            card_.pass(write_timeout_ns);
            return -1;
        }
        from_host_.push_back(data[i]);
    }
    trip_due_ = true;
    return size;
}

int SimSyncBitBang::read(unsigned char* data, int size) {
    if (trip_due_) {
        trip_due_ = false;
        card_.pass(round_trip_ns_);
        round_trips_ += 1;
        return 0;
    }
    // Whole packets go at once; a part packet when the latency timer runs out.
    const std::size_t payload = fifos_.packet - packet_status_bytes;
    const std::size_t per_read = fifos_.to_host / fifos_.packet * payload;
    std::size_t ready = to_host_.size() / payload * payload;
    if (ready == 0) {
        card_.pass(latency_ns_);
        ready = to_host_.size();
    }
    const std::size_t n = std::min({static_cast<std::size_t>(size), ready, per_read});
    std::copy_n(to_host_.begin(), n, data);
    to_host_.erase(to_host_.begin(), to_host_.begin() + static_cast<std::ptrdiff_t>(n));
    take_waiting();
    return static_cast<int>(n);
}
