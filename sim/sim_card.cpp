#include "sim/sim_card.h"

#include "port/wiring.h"
#include "sim/card_controls.h"
#include "sim/card_model.h"
#include "sim/storage.h"

namespace {
constexpr std::uint64_t port_access_ns = 1000;
}

Outcome SimCard::open(const SimSettings& settings, std::unique_ptr<SimCard>& card) {
    card.reset();
    if (!settings.empty_socket) {
        if (Outcome opened = storage_open(settings); !opened) return opened;
        if (Outcome state = controls_open(settings); !state) {
            storage_close();
            return state;
        }
    }
    sim_card_configure(settings);
    card.reset(new SimCard(settings));
    return Outcome::ok();
}

SimCard::~SimCard() { storage_close(); }

void SimCard::write_lines(std::uint8_t data_register) {
    now_ns_ += port_access_ns;
    lines_ = data_register;
    if (!settings_.empty_socket) sim_card_write(data_register);
}

std::uint8_t SimCard::read_status() {
    now_ns_ += port_access_ns;
    return settings_.empty_socket ? sim_status_idle : sim_card_read();
}

void SimCard::power(bool on) {
    lines_ = on ? static_cast<std::uint8_t>(lines_ | wiring::supply) : 0;
    if (!settings_.empty_socket) sim_card_write(lines_);
}

void SimCard::select(bool selected) {
    lines_ = selected ? static_cast<std::uint8_t>(lines_ & ~wiring::cs) : static_cast<std::uint8_t>(lines_ | wiring::cs);
    if (!settings_.empty_socket) sim_card_write(lines_);
}

std::uint8_t SimCard::exchange(std::uint8_t di) {
    if (settings_.empty_socket) return 0xFF;
    std::uint8_t in = 0;
    for (std::uint8_t mask = 0x80; mask; mask >>= 1) {
        lines_ = (di & mask) ? static_cast<std::uint8_t>(lines_ | wiring::di) : static_cast<std::uint8_t>(lines_ & ~wiring::di);
        sim_card_write(static_cast<std::uint8_t>(lines_ & ~wiring::sck));
        sim_card_write(static_cast<std::uint8_t>(lines_ | wiring::sck));
        if (!(sim_card_read() & wiring::do_status)) in |= mask;
    }
    lines_ |= wiring::sck;
    return in;
}

std::uint64_t SimCard::now_ns() const { return now_ns_; }
void SimCard::pass(std::uint64_t ns) { now_ns_ += ns; }
