#include "app/links.h"

#include "link/parallel_link.h"
#include "port/backends.h"
#include "sim/sim_port.h"

Outcome open_link(const Options& options, std::unique_ptr<spi::Link>& made) {
    switch (options.port) {
        case Options::Port::sim:
            if (Outcome selected = sim_port_select(options.sim); !selected) return selected;
            break;
        case Options::Port::ppdev: ppdev_port_select(options.device); break;
        case Options::Port::direct: direct_port_select(options.base); break;
    }
    made = std::make_unique<spi::ParallelLink>();
    return Outcome::ok();
}
