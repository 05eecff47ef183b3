#include "sim/sim_card.h"

#include "port/wiring.h"

Outcome SimCard::open(const SimSettings& settings, std::unique_ptr<SimCard>& card) {
    card.reset();
    auto storage = std::make_unique<Storage>();
    CardState state;
    if (!settings.empty_socket) {
        if (Outcome opened = storage->open(settings); !opened) return opened;
        if (Outcome read = state.open(settings); !read) return read;
    }
    card.reset(new SimCard(settings, std::move(storage), std::move(state)));
    return Outcome::ok();
}

// The model reads the image's size and the card's state, so both are open
// before it is built.
SimCard::SimCard(const SimSettings& settings, std::unique_ptr<Storage> storage, CardState state)
    : settings_(settings), storage_(std::move(storage)), state_(std::move(state)), model_(settings, *storage_, state_),
      wire_(settings, model_),
      access_ns_(settings.access_ns()) {}

void SimCard::power(bool on) { drive(on ? static_cast<std::uint8_t>(lines_ | wiring::supply) : 0); }

void SimCard::select(bool selected) {
    drive(selected ? static_cast<std::uint8_t>(lines_ & ~wiring::cs) : static_cast<std::uint8_t>(lines_ | wiring::cs));
}

std::uint8_t SimCard::exchange(std::uint8_t di) {
    if (settings_.empty_socket) return 0xFF;
    const bool over = !(lines_ & wiring::cs) && hz_ > model_.top_clock_hz();
    const auto taken = over ? static_cast<std::uint8_t>(di_last_ << 7 | di >> 1) : di;
    di_last_ = di & 1;
    std::uint8_t in = 0;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        const auto with_di = (taken & mask) ? static_cast<std::uint8_t>(lines_ | wiring::di) : static_cast<std::uint8_t>(lines_ & ~wiring::di);
        drive(static_cast<std::uint8_t>(with_di & ~wiring::sck));
        drive(static_cast<std::uint8_t>(with_di | wiring::sck));
        if (!wire_.do_low()) in |= mask;
    }
    const auto seen = over ? static_cast<std::uint8_t>(do_last_ << 7 | in >> 1) : in;
    do_last_ = in & 1;
    return seen;
}

std::uint64_t SimCard::now_ns() const { return now_ns_; }
void SimCard::pass(std::uint64_t ns) { now_ns_ += ns; }
