#include "app/links.h"

#include <cerrno>
#include <cstring>

#include "base/exit_status.h"
#include "base/safe_file.h"
#include "link/bitbang_link.h"
#include "link/ftdi_bitbang.h"
#include "link/ftdi_link.h"
#include "port/direct_port.h"
#include "port/ppdev_port.h"
#include "sim/doubles/sim_port.h"
#ifndef _WIN32
#include "link/spidev_link.h"
#include "port/gpio_lines.h"
#include "sim/doubles/sim_mpsse.h"
#include "sim/doubles/sim_spidev.h"
#endif

namespace {

// A byte link holds its adapter itself: the session takes no port for it.
template <class LinkType, class Target>
Outcome open_byte_link(const Target& target, std::unique_ptr<spi::Link>& made) {
    std::unique_ptr<LinkType> link;
    if (Outcome result = LinkType::open(target, link); !result) return result;
    if constexpr (requires { link->wiring_advice(); })
        if (!link->wiring_advice().empty()) report_failure(link->wiring_advice());
    made = std::move(link);
    return Outcome::ok();
}

Outcome open_line_link(std::unique_ptr<LineDriver> lines, std::unique_ptr<spi::Link>& made);

// An FTDI chip's bit-bang pins under the bit-bang master; the chip is held
// from its opening. On a chip with an MPSSE it says once that --port=ftdi is faster.
Outcome open_bit_bang_link(const spi::FtdiBitBangTarget& target, std::unique_ptr<spi::Link>& made) {
    std::unique_ptr<spi::FtdiBitBangLines> lines;
    if (Outcome opened = spi::FtdiBitBangLines::open(target, lines); !opened) return opened;
    if (!lines->advice().empty()) report_failure(lines->advice());
    made = std::make_unique<spi::BitBangLink>(std::move(lines));
    return Outcome::ok();
}

#ifndef _WIN32
// The simulated card behind a stand-in adapter, reached by the adapter's own link.
// Beside others (a station's sockets) a simulated spidev or GPIO card is a device of
// its own, a simulated FTDI card on a bridge of its own or the interface it names.
Outcome open_simulated_adapter(const SimSettings& settings, std::unique_ptr<spi::Link>& made, bool beside_others) {
    if (settings.via == SimVia::gpio) {
        std::string chip = sim_gpio_chip;
        Outcome installed = beside_others ? sim_spidev_add(settings, chip) : sim_spidev_install(settings);
        if (!installed) return installed;
        const SimGpio& board = settings.gpio;
        return open_line_link(
            std::make_unique<GpioLines>(GpioTarget{chip, board.sck, board.mosi, board.miso, board.cs, board.power}), made);
    }
    if (settings.via == SimVia::spidev) {
        std::string device = sim_spidev_device;
        Outcome installed = beside_others ? sim_spidev_add(settings, device) : sim_spidev_install(settings);
        if (!installed) return installed;
        spi::SpidevTarget target;
        target.device = device;
        target.align = settings.spidev.link_align.value_or(settings.spidev.align);
        target.lock = false;
        return open_byte_link<spi::SpidevLink>(target, made);
    }
    // Beside others a simulated bridge is found by its serial, as real ones are.
    std::string serial;
    Outcome plugged = beside_others ? sim_mpsse_add(settings, serial) : sim_mpsse_install(settings);
    if (!plugged) return plugged;
    if (settings.via == SimVia::ftdi_bitbang) {
        spi::FtdiBitBangTarget target;
        target.serial = serial;
        target.lock = false;
        return open_bit_bang_link(target, made);
    }
    spi::FtdiTarget target;
    target.serial = serial;
    target.interface = settings.ftdi.interface;
    target.lock = false;
    return open_byte_link<spi::FtdiLink>(target, made);
}
#endif

// The link over a line driver the session takes for the run.
Outcome open_line_link(std::unique_ptr<LineDriver> lines, std::unique_ptr<spi::Link>& made) {
    made = std::make_unique<spi::BitBangLink>(std::move(lines));
    return Outcome::ok();
}

Outcome open_simulated_port(const SimSettings& settings, std::unique_ptr<spi::Link>& made) {
    std::unique_ptr<SimPort> port;
    if (Outcome opened = SimPort::open(settings, port); !opened) return opened;
    return open_line_link(std::move(port), made);
}

}  // namespace

Outcome open_link(const Options& options, std::unique_ptr<spi::Link>& made, [[maybe_unused]] bool beside_others) {
    switch (options.port) {
        case Options::Port::sim:
#ifndef _WIN32
            if (options.sim.via != SimVia::port) return open_simulated_adapter(options.sim, made, beside_others);
#endif
            return open_simulated_port(options.sim, made);
        case Options::Port::ppdev: return open_line_link(std::make_unique<PpdevPort>(options.device), made);
        case Options::Port::direct: return open_line_link(std::make_unique<DirectPort>(options.base), made);
#ifndef _WIN32
        case Options::Port::spidev: return open_byte_link<spi::SpidevLink>(options.spidev, made);
        case Options::Port::gpio: return open_line_link(std::make_unique<GpioLines>(options.gpio), made);
#else
        case Options::Port::gpio:
        case Options::Port::spidev: return Outcome::failed("this Windows build reaches cards through the parallel port and FTDI bridges");
#endif
        case Options::Port::ftdi: return open_byte_link<spi::FtdiLink>(options.ftdi, made);
        case Options::Port::ftdi_bitbang: return open_bit_bang_link(options.ftdi_bitbang, made);
    }
    return Outcome::failed("no such port");
}

bool is_byte_link(const Options& options) {
    return options.port == Options::Port::spidev || options.port == Options::Port::ftdi ||
           options.port == Options::Port::ftdi_bitbang ||
           (options.port == Options::Port::sim &&
            (options.sim.via == SimVia::spidev || options.sim.via == SimVia::ftdi || options.sim.via == SimVia::ftdi_bitbang));
}

Outcome trace_lines(const std::string& path, TraceClock clock, spi::Link& link, std::unique_ptr<PortTrace>& traced) {
    // open_link made a bit-bang link for every port that is not a byte link.
    auto& lines = static_cast<spi::BitBangLink&>(link);
    auto trace = std::make_unique<PortTrace>(lines.lines());
    if (Outcome started = trace->start(path, clock); !started) return started;
    lines.route_through(*trace);
    traced = std::move(trace);
    return Outcome::ok();
}

Outcome trace_link(const std::string& path, std::unique_ptr<spi::Link>& link, spi::TracingLink*& traced) {
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".vcd") == 0)
        return Outcome::failed("a waveform trace (.vcd) shows the parallel port's lines; trace a byte link to a "
                               "file not ending in .vcd");
    std::FILE* out = nullptr;
    if (Outcome created = create_stream(path, "trace", {.in_place = true}, false, out); !created) return created;
    auto wrapped = std::make_unique<spi::TracingLink>(std::move(link), out);
    traced = wrapped.get();
    link = std::move(wrapped);
    return Outcome::ok();
}
