#include "sim/sim_card.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "base/exit_status.h"
#include "port/wiring.h"

namespace {

// How often, on the card's clock, a slot's file is looked at.
constexpr std::uint64_t slot_look_ns = 10'000'000;
constexpr std::uint64_t never = std::numeric_limits<std::uint64_t>::max();

}  // namespace

Outcome SimCard::open(const SimSettings& settings, std::unique_ptr<SimCard>& card) {
    card.reset();
    std::unique_ptr<SimCard> made(new SimCard(settings));
    if (settings.slot.empty() && !settings.empty_socket) {
        if (Outcome opened = insert(settings, made->in_); !opened) return opened;
    }
    card = std::move(made);
    return Outcome::ok();
}

// The model reads the image's size and the card's state, so both are open
// before it is built.
Outcome SimCard::insert(const SimSettings& settings, std::unique_ptr<Inserted>& card) {
    auto storage = std::make_unique<Storage>();
    CardState state;
    if (Outcome opened = storage->open(settings); !opened) return opened;
    if (Outcome read = state.open(settings); !read) return read;
    card = std::make_unique<Inserted>(settings, std::move(storage), std::move(state));
    return Outcome::ok();
}

SimCard::Inserted::Inserted(const SimSettings& settings, std::unique_ptr<Storage> held, CardState kept)
    : storage(std::move(held)), state(std::move(kept)), model(settings, *storage, state), wire(settings, model) {}

SimCard::SimCard(const SimSettings& settings)
    : settings_(settings), access_ns_(settings.access_ns()), next_look_ns_(settings.slot.empty() ? never : 0) {}

namespace {

std::string text_of(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

void SimCard::look_at_slot() {
    next_look_ns_ = now_ns_ + slot_look_ns;
    if (in_ && now_ns_ >= pull_at_ns_) {
        in_.reset();
        pulled_ = true;
    }
    std::error_code error;
    if (!std::filesystem::exists(settings_.slot, error)) {
        in_.reset();
        pulled_ = refused_ = false;
        return;
    }
    if (in_) {
        next_look_ns_ = std::min(next_look_ns_, pull_at_ns_);
        return;
    }
    // A file written anew between two looks is another card.
    std::string text = text_of(settings_.slot);
    if ((pulled_ || refused_) && text == slot_text_) return;
    pulled_ = refused_ = false;
    slot_text_ = std::move(text);
    put_in();
    if (in_) next_look_ns_ = std::min(next_look_ns_, pull_at_ns_);
}

// The card the slot's file describes, its supply and lines as the socket's now.
void SimCard::put_in() {
    SimSettings card = settings_;
    Outcome inserted = sim_card_in_slot(slot_text_, card);
    if (inserted) inserted = insert(card, in_);
    if (!inserted) {
        refused_ = true;
        report_failure(settings_.slot + ": " + inserted.why());
        return;
    }
    pull_at_ns_ = card.pull_ms ? now_ns_ + *card.pull_ms * 1'000'000ull : never;
    in_->wire.set_lines(lines_, now_ns_);
}

void SimCard::power(bool on) { drive(on ? static_cast<std::uint8_t>(lines_ | wiring::supply) : 0); }

void SimCard::select(bool selected) {
    drive(selected ? static_cast<std::uint8_t>(lines_ & ~wiring::cs) : static_cast<std::uint8_t>(lines_ | wiring::cs));
}

std::uint8_t SimCard::exchange(std::uint8_t di) {
    if (!in_) return 0xFF;
    const bool over = !(lines_ & wiring::cs) && hz_ > in_->model.top_clock_hz();
    const auto taken = over ? static_cast<std::uint8_t>(di_last_ << 7 | di >> 1) : di;
    di_last_ = di & 1;
    std::uint8_t in = 0;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        const auto with_di = (taken & mask) ? static_cast<std::uint8_t>(lines_ | wiring::di) : static_cast<std::uint8_t>(lines_ & ~wiring::di);
        drive(static_cast<std::uint8_t>(with_di & ~wiring::sck));
        drive(static_cast<std::uint8_t>(with_di | wiring::sck));
        if (!in_ || !in_->wire.do_low()) in |= mask;
    }
    const auto seen = over ? static_cast<std::uint8_t>(do_last_ << 7 | in >> 1) : in;
    do_last_ = in & 1;
    return seen;
}

std::uint64_t SimCard::now_ns() const { return now_ns_; }
void SimCard::pass(std::uint64_t ns) { now_ns_ += ns; }
