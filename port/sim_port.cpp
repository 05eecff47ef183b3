#include "card/bit_loops.h"
#include "port/backends.h"
#include "port/port.h"
#include "sim/card_model.h"
#include "sim/storage.h"

namespace {

bool link_up = true;

void socket_write(std::uint8_t) {}
std::uint8_t socket_read() { return sim_status_idle; }

struct CardAccess {
    static void write_data(std::uint8_t value) { sim_card_write(value); }
    static std::uint8_t read_status() { return sim_card_read(); }
};

bool sim_acquire(std::string&) { return true; }
bool sim_release() {
    storage_close();
    return true;
}
bool sim_link_ok() { return link_up; }

}  // namespace

bool sim_port_select(const SimSettings& settings, std::string& error) {
    if (!settings.empty_socket && !storage_open(settings, error)) return false;
    sim_card_configure(settings);
    link_up = !settings.link_down;
    const PortOps ops = settings.empty_socket
                            ? PortOps{socket_write, socket_read, port_generic_movers()}
                            : PortOps{sim_card_write, sim_card_read, bit_loops::movers_for<CardAccess>()};
    port_select({ops, sim_acquire, sim_release, sim_link_ok});
    return true;
}
