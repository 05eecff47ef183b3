#include "sim/sim_port.h"

#include <memory>

#include "port/bit_loops.h"
#include "port/port.h"
#include "sim/sim_card.h"

namespace {

std::unique_ptr<SimCard> card;
bool link_up = true;

struct CardAccess {
    static void write_data(std::uint8_t value) {
        if (card) card->write_lines(value);
    }
    static std::uint8_t read_status() { return card ? card->read_status() : sim_status_idle; }
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
    });
    return Outcome::ok();
}
