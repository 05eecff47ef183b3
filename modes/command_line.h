// The command line as data: the port, the trace, the mode (the browser when
// none is given) and the options that go with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "link/ftdi_bitbang.h"
#include "link/ftdi_link.h"
#include "link/spidev_link.h"
#include "port/gpio_lines.h"
#include "port/wiring.h"
#include "sim/settings.h"

inline constexpr const char* default_device = "/dev/parport0";

// Sectors from start, as --test and --range give them.
struct SectorRange {
    std::uint32_t start;
    std::uint32_t count;
};

struct Options {
    enum class Port { direct, ppdev, spidev, ftdi, ftdi_bitbang, gpio, sim };
    Port port = Port::direct;
    std::uint16_t base = wiring::default_base;
    std::string device = default_device;
    spi::SpidevTarget spidev;
    spi::FtdiTarget ftdi;
    spi::FtdiBitBangTarget ftdi_bitbang;
    GpioTarget gpio;
    SimSettings sim;
    std::string trace;
    bool test = false;                // --test: the surface test, over --range or the whole card
    bool yes = false;                 // --yes: the surface test may write to a real card
    bool info = false;                // --info: the card's registers instead of the browser
    bool crc = false;                 // --crc: the browser with CRC checking on
    // The tasks that take the card as a whole device of sectors.
    enum class Task { none, dump, verify, load, probe, serve, fill };
    Task task = Task::none;             // --dump, --verify, --load, --probe, --serve, --fill
    std::string file;                   // their FILE
    std::optional<SectorRange> range;   // --range=START:COUNT
    bool force = false;                 // --force: --dump (or --backup) may replace FILE
    std::optional<std::uint32_t> fill_seed;  // --fill=SEED
    std::string backup;                 // --backup=FILE: --fill saves the card there first
    std::string map;                    // --map=MAPFILE: FILE is a whole-card image, the map records it
    int retries = 1;                    // --retries=N: passes over a map's bad areas
    bool sparse = false;                // --sparse: a dump leaves sectors of zeros as holes
    std::string serve;                  // --serve=PATH or HOST:PORT
    bool writable = false;              // --writable: NBD clients may write
    std::string tls_psk;                // --tls-psk=FILE: the keys --serve's clients need
    std::string tls_certificates;       // --tls-certificates=DIR: or X.509 certificates
    bool insecure = false;              // --insecure: plain TCP on the loopback address
    std::uint32_t timeout = 0;          // --timeout=SECONDS: for one request (0: the default)
    std::uint32_t idle = 0;             // --idle=SECONDS: between requests (0: the default)
    std::string report;                 // --report=FILE.svg or FILE.csv: a picture of the card
    // The card's own controls, each instead of the browser.
    enum class Control { none, protect, unprotect, set_password, clear_password, lock, force_erase, erase };
    Control control = Control::none;
    std::string password_file;          // --password-file=FILE: passwords one a line
    std::vector<std::string> ports;     // every --port given, in order: more than one makes a station
    std::string station;                // --station=FILE: the sockets, one a line
    std::string restore;                // --restore=JOURNAL: put back what a run could not
    bool json = false;                  // --json: a JSON record of the run on standard output
    bool help = false;
    bool version = false;
};
