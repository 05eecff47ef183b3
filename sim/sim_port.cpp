#include "sim/sim_port.h"

#include "port/bit_loops.h"
#include "port/port.h"
#include "sim/card_controls.h"
#include "sim/card_model.h"
#include "sim/storage.h"

namespace {

bool link_up = true;

struct CardAccess {
    static void write_data(std::uint8_t value) { sim_card_write(value); }
    static std::uint8_t read_status() { return sim_card_read(); }
};

// An empty socket: nothing drives DO.
struct SocketAccess {
    static void write_data(std::uint8_t) {}
    static std::uint8_t read_status() { return sim_status_idle; }
};

}  // namespace

Outcome sim_port_select(const SimSettings& settings) {
    if (!settings.empty_socket) {
        if (Outcome opened = storage_open(settings); !opened) return opened;
        if (Outcome state = controls_open(settings); !state) {
            storage_close();
            return state;
        }
    }
    sim_card_configure(settings);
    link_up = !settings.link_down;
    port_select({
        .ops = settings.empty_socket ? bit_loops::ops_for<SocketAccess>() : bit_loops::ops_for<CardAccess>(),
        .acquire = [] { return Outcome::ok(); },
        .release = [] {
            storage_close();
            return true;
        },
        .link_ok = [] { return link_up; },
    });
    return Outcome::ok();
}
