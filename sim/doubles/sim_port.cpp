#include "sim/doubles/sim_port.h"

#include <memory>

#include "port/bit_loops.h"
#include "port/port.h"
#include "sim/sim_card.h"

namespace {

// The card behind the port for this run; the port's functions reach it here.
std::unique_ptr<SimCard> card;
bool link_up = true;

struct CardAccess {
    static void write_data(std::uint8_t value) { card->write_lines(value); }
    static std::uint8_t read_status() { return card->read_status(); }
};

}  // namespace

Outcome sim_port_select(const SimSettings& settings) {
    if (Outcome opened = SimCard::open(settings, card); !opened) return opened;
    link_up = !settings.link_down;
    port_select({
        .ops = bit_loops::ops_for<CardAccess>(),
        .acquire = [] { return Outcome::ok(); },
        .release = [] {
            card.reset();
            return true;
        },
        .link_ok = [] { return link_up; },
        .now_ns = [] { return card->now_ns(); },
        .pause_ns = [](std::uint64_t ns) { card->pass(ns); },
    });
    return Outcome::ok();
}
