#include "sim/doubles/sim_port.h"

Outcome SimPort::open(const SimSettings& settings, std::unique_ptr<SimPort>& made) {
    std::unique_ptr<SimCard> card;
    if (Outcome opened = SimCard::open(settings, card); !opened) return opened;
    made.reset(new SimPort(std::move(card), !settings.link_down));
    return Outcome::ok();
}
