#include "app/options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string_view>
#include <vector>

#include "app/mode_work.h"
#include "base/exit_status.h"
#include "card/card_types.h"
#include "sim/adapter_settings.h"

namespace {

bool starts_with(std::string_view text, std::string_view prefix, std::string_view& rest) {
    if (text.substr(0, prefix.size()) != prefix) return false;
    rest = text.substr(prefix.size());
    return true;
}

// Ports below 0x100 belong to the system board's own devices; a parallel
// port's registers start on a 4-port boundary (legacy 3BC, 378, 278, PCI cards).
constexpr unsigned lowest_base = 0x100;
constexpr unsigned highest_base = 0xFFFC;
constexpr unsigned base_alignment = 4;

// A hex number up to max, with or without 0x or 0X before it.
bool parse_hex(std::string_view text, std::uint32_t max, std::uint32_t& value) {
    if (text.substr(0, 2) == "0x" || text.substr(0, 2) == "0X") text.remove_prefix(2);
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, 16);
    return !text.empty() && ec == std::errc() && ptr == end && value <= max;
}

// A base I/O port where a parallel port can be.
bool parse_base(std::string_view text, std::uint16_t& base) {
    std::uint32_t value = 0;
    if (!parse_hex(text, highest_base, value) || value < lowest_base || value % base_alignment != 0) return false;
    base = static_cast<std::uint16_t>(value);
    return true;
}

// START:COUNT in hex, every sector of it a sector number; the card refuses
// those it does not have (past 7FFFFF on a byte-addressed card).
Outcome parse_range(std::string_view text, std::optional<SectorRange>& range) {
    const auto colon = text.find(':');
    std::uint32_t start = 0, count = 0;
    if (colon == std::string_view::npos || !parse_hex(text.substr(0, colon), last_block_sector, start) ||
        !parse_hex(text.substr(colon + 1), last_block_sector + 1, count) || count == 0 ||
        count - 1 > last_block_sector - start)
        return Outcome::failed("bad range '" + std::string(text) + "' (START:COUNT in hex, sectors 0 to FFFFFFFE)");
    range = SectorRange{start, count};
    return Outcome::ok();
}

// Passes over a map's bad areas: 0 to max_retries, in decimal.
constexpr int max_retries = 100;
Outcome parse_retries(std::string_view text, int& retries) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, retries);
    if (text.empty() || ec != std::errc() || ptr != end || retries < 0 || retries > max_retries)
        return Outcome::failed("bad retries '" + std::string(text) + "' (a count from 0 to 100)");
    return Outcome::ok();
}

// What may go with a mode besides its flag.
enum Takes : unsigned {
    takes_range = 1U << 0,     // --range
    takes_backup = 1U << 1,    // --backup
    takes_force = 1U << 2,     // --force (a --backup's own --force aside)
    takes_map = 1U << 3,       // --map
    takes_retries = 1U << 4,   // --retries, with --map
    takes_sparse = 1U << 5,    // --sparse
    takes_writable = 1U << 6,  // --writable
    takes_report = 1U << 7,    // --report
    takes_network = 1U << 8,   // --tls-psk, --tls-certificates, --insecure, --timeout, --idle
};

constexpr std::string_view one_card_control =
    "--protect, --unprotect, --set-password, --clear-password, --lock, --force-erase and --erase each replace the "
    "browser: give one of them";
constexpr std::string_view one_whole_card_mode = "give only one of --dump, --verify, --load, --probe, --serve and --fill";

// The modes, one row each: its flag (a FILE after it for --dump, --verify and
// --load), whether it is chosen, what goes with it, why it needs write access
// (empty when it only reads), what to say when another mode is chosen too,
// how the card is set up for it, its exit status when the card is never
// reached, what makes its work, and its report's title (FILE after it for
// the modes that take one).
struct Mode {
    std::string_view flag;
    bool (*chosen)(const Options&);
    Options::WholeCard whole;
    Options::Control control;
    bool file;
    unsigned takes;
    std::string_view writes;
    std::string_view clash;
    CardSetup setup;
    int without_card;
    Outcome (*work)(const Options&, CardWork&);
    std::string_view title;
};
constexpr CardSetup crc = CardSetup::checked_crc;
constexpr int failed = ExitStatus::failed;
using W = Options::WholeCard;
using C = Options::Control;
template <W mode>
constexpr bool whole_card(const Options& o) { return o.whole == mode; }
template <C mode>
constexpr bool card_control(const Options& o) { return o.control == mode; }
constexpr std::string_view changes_password = "--set-password, --clear-password and --lock change the card's password";
constexpr std::string_view changes_csd = "--protect and --unprotect change the card's CSD";
constexpr std::array<Mode, 15> modes{{
    {"--info", [](const Options& o) { return o.info; }, W::none, C::none, false, 0, "",
     "--info, --test, --dump, --verify, --load, --probe, --serve and --fill each replace the browser: give one of them",
     CardSetup::checked, failed, info_work, ""},
    {"--test", [](const Options& o) { return o.test; }, W::none, C::none, false, takes_range | takes_report,
     "the surface test writes to the card and restores each sector",
     "--test cannot run together with --dump, --verify, --load, --probe, --serve or --fill", crc, failed, surface_test_work,
     "surface test"},
    {"--dump", whole_card<W::dump>, W::dump, C::none, true,
     takes_range | takes_force | takes_map | takes_retries | takes_sparse | takes_report, "", one_whole_card_mode, crc, failed,
     copy_work, "dump to "},
    {"--verify", whole_card<W::verify>, W::verify, C::none, true, takes_range | takes_map | takes_report, "",
     one_whole_card_mode, crc, failed, copy_work, "verify against "},
    {"--load", whole_card<W::load>, W::load, C::none, true, takes_range | takes_map | takes_report,
     "--load writes to the card", one_whole_card_mode, crc, failed, copy_work, "load of "},
    {"--probe", whole_card<W::probe>, W::probe, C::none, false, takes_report,
     "--probe writes to the card and restores what it wrote over", one_whole_card_mode, crc, failed, probe_work, "probe"},
    {"--serve", whole_card<W::serve>, W::serve, C::none, false, takes_writable | takes_network, "", one_whole_card_mode, crc,
     failed,
     serve_work, ""},
    {"--fill", whole_card<W::fill>, W::fill, C::none, false, takes_range | takes_backup | takes_report,
     "--fill writes over every sector it tests", one_whole_card_mode, crc, failed, fill_work, "fill"},
    {"--protect", card_control<C::protect>, W::none, C::protect, false, 0, changes_csd, one_card_control, crc, failed, control_work, ""},
    {"--unprotect", card_control<C::unprotect>, W::none, C::unprotect, false, 0, changes_csd, one_card_control, crc, failed, control_work, ""},
    {"--set-password", card_control<C::set_password>, W::none, C::set_password, false, 0, changes_password, one_card_control, crc, failed, control_work, ""},
    {"--clear-password", card_control<C::clear_password>, W::none, C::clear_password, false, 0, changes_password,
     one_card_control, crc, failed, control_work, ""},
    {"--lock", card_control<C::lock>, W::none, C::lock, false, 0, changes_password, one_card_control, crc, failed, control_work, ""},
    {"--force-erase", card_control<C::force_erase>, W::none, C::force_erase, false, 0,
     "--force-erase erases the whole card and its password", one_card_control, crc, failed, control_work, ""},
    {"--erase", card_control<C::erase>, W::none, C::erase, false, takes_range, "--erase erases sectors of the card",
     one_card_control, crc, failed, control_work, ""},
}};

// The options that go with some modes only, in the order they are checked,
// and the mode's own write access they bring (--writable).
struct Companion {
    Takes bit;
    bool (*given)(const Options&);
    unsigned needs;  // other companions it needs beside it
    std::string_view goes_with;
    std::string_view writes;
};
constexpr std::array<Companion, 9> companions{{
    {takes_range, [](const Options& o) { return o.range.has_value(); }, 0,
     "--range goes with --test, --dump, --verify, --load, --fill or --erase", ""},
    {takes_backup, [](const Options& o) { return !o.backup.empty(); }, 0, "--backup goes with --fill", ""},
    {takes_force, [](const Options& o) { return o.force && o.backup.empty(); }, 0, "--force goes with --dump or --backup",
     ""},
    {takes_map, [](const Options& o) { return !o.map.empty(); }, 0, "--map goes with --dump, --verify or --load", ""},
    {takes_retries, [](const Options& o) { return o.retries != 1; }, takes_map, "--retries goes with --dump and --map", ""},
    {takes_sparse, [](const Options& o) { return o.sparse; }, 0, "--sparse goes with --dump", ""},
    {takes_writable, [](const Options& o) { return o.writable; }, 0, "--writable goes with --serve",
     "--writable lets clients write to the card"},
    {takes_report, [](const Options& o) { return !o.report.empty(); }, 0,
     "--report goes with --test, --dump, --verify, --load, --probe or --fill", ""},
    {takes_network,
     [](const Options& o) {
         return !o.tls_psk.empty() || !o.tls_certificates.empty() || o.insecure || o.timeout != 0 || o.idle != 0;
     },
     0, "--tls-psk, --tls-certificates, --insecure, --timeout and --idle go with --serve", ""},
}};

// The browser: chosen when no other mode is; nothing goes with it.
constexpr Mode browser{"", nullptr, W::none, C::none, false, 0, "", "", CardSetup::known, ExitStatus::ok, browser_work, ""};

// When modes clash, the first of two that replace the browser speaks; a card
// control speaks against a single other mode.
Outcome modes_clash(const Options& o) {
    const Mode* first = nullptr;
    const Mode* control = nullptr;
    int others = 0;
    for (const Mode& m : modes) {
        if (!m.chosen(o)) continue;
        if (m.control != C::none) control = &m;
        else if (others++ == 0) first = &m;
    }
    if (others > 1) return Outcome::failed(std::string(first->clash));
    if (control && others == 1) return Outcome::failed(std::string(control->clash));
    return Outcome::ok();
}

const Mode& chosen_mode(const Options& o) {
    for (const Mode& m : modes) {
        if (m.chosen(o)) return m;
    }
    return browser;
}

unsigned given_companions(const Options& o) {
    unsigned given = 0;
    for (const Companion& c : companions) {
        if (c.given(o)) given |= c.bit;
    }
    return given;
}

// Why the options chosen write to the card; empty when they only read.
std::string_view writing_mode(const Mode& mode, const Options& o) {
    if (!mode.writes.empty()) return mode.writes;
    for (const Companion& c : companions) {
        if (!c.writes.empty() && (mode.takes & c.bit) && c.given(o)) return c.writes;
    }
    return {};
}

// --dump=FILE and the like: the mode and its file; only one mode at a time.
Outcome parse_whole_card(Options::WholeCard mode, std::string_view file, Options& o) {
    if (o.whole != Options::WholeCard::none)
        return Outcome::failed(std::string(one_whole_card_mode));
    o.whole = mode;
    o.file = std::string(file);
    return Outcome::ok();
}

// --timeout and --idle: at most a day.
constexpr std::uint32_t max_serve_seconds = 86400;

// A decimal number from min to max.
bool parse_decimal(std::string_view text, std::uint32_t min, std::uint32_t max, std::uint32_t& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc() && ptr == end && value >= min && value <= max;
}

// The ,NAME=VALUE settings after an adapter's name, each given to apply,
// which says whether the value was good; what each takes is in help.
template <class Apply>
Outcome parse_adapter_settings(std::string_view text, std::string_view adapter, std::string_view help, Apply apply) {
    while (!text.empty()) {
        const auto comma = text.find(',', 1);
        const std::string_view item = text.substr(1, comma == std::string_view::npos ? comma : comma - 1);
        const auto eq = item.find('=');
        if (text[0] != ',' || eq == std::string_view::npos || !apply(item.substr(0, eq), item.substr(eq + 1)))
            return Outcome::failed("bad " + std::string(adapter) + " setting '" + std::string(item) + "' (" +
                                   std::string(help) + ")");
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma);
    }
    return Outcome::ok();
}

constexpr std::uint32_t lowest_hz = 100'000;
constexpr std::uint32_t highest_hz = 50'000'000;

// spidev:/dev/spidevB.C[,hz=N][,cs=gpiochipN:LINE][,align=N]
Outcome parse_spidev(std::string_view rest, Options& o) {
    const auto comma = rest.find(',');
    o.port = Options::Port::spidev;
    o.spidev = spi::SpidevTarget{};
    o.spidev.device = std::string(rest.substr(0, comma));
    if (o.spidev.device.empty()) return Outcome::failed("name the spidev device: --port=spidev:/dev/spidevB.C");
    return parse_adapter_settings(
        comma == std::string_view::npos ? std::string_view{} : rest.substr(comma), "spidev",
        "hz=100000 to 50000000, cs=gpiochipN:LINE, align=1 to 4096", [&](std::string_view name, std::string_view value) {
            if (name == "hz") return parse_decimal(value, lowest_hz, highest_hz, o.spidev.max_hz);
            if (name == "align") {
                std::uint32_t align = 0;
                if (!parse_decimal(value, 1, 4096, align)) return false;
                o.spidev.align = align;
                return true;
            }
            const auto colon = value.find(':');
            if (name != "cs" || !value.starts_with("gpiochip") || colon == std::string_view::npos) return false;
            o.spidev.gpio_chip = "/dev/" + std::string(value.substr(0, colon));
            return parse_decimal(value.substr(colon + 1), 0, 511, o.spidev.gpio_line);
        });
}

// ftdi[:SERIAL][,interface=A|B][,hz=N][,power=PIN]
Outcome parse_ftdi(std::string_view rest, Options& o) {
    o.port = Options::Port::ftdi;
    o.ftdi = spi::FtdiTarget{};
    if (!rest.empty() && rest[0] == ':') {
        const auto comma = rest.find(',');
        o.ftdi.serial = std::string(rest.substr(1, comma == std::string_view::npos ? comma : comma - 1));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma);
    }
    return parse_adapter_settings(rest, "ftdi", "interface=A or B, hz=100000 to 30000000, power=4 to 7",
                                  [&](std::string_view name, std::string_view value) {
                                      std::uint32_t n = 0;
                                      if (name == "interface" && (value == "A" || value == "B")) {
                                          o.ftdi.interface = value == "A" ? 1 : 2;
                                          return true;
                                      }
                                      if (name == "hz") return parse_decimal(value, lowest_hz, 30'000'000, o.ftdi.max_hz);
                                      if (name != "power" || !parse_decimal(value, 4, 7, n)) return false;
                                      o.ftdi.power_pin = static_cast<int>(n);
                                      return true;
                                  });
}

// --fill or --fill=SEED, the seed in hex.
Outcome parse_fill(std::string_view seed, Options& o) {
    std::uint32_t value = 0;
    if (!seed.empty()) {
        if (!parse_hex(seed, 0xFFFFFFFF, value)) return Outcome::failed("bad seed '" + std::string(seed) + "' (hex, up to 8 digits)");
        o.fill_seed = value;
    }
    return parse_whole_card(Options::WholeCard::fill, "", o);
}

Outcome parse_port(std::string_view value, Options& o) {
    std::string_view rest;
    if (value == "direct" || starts_with(value, "direct:", rest)) {
        o.port = Options::Port::direct;
        if (value == "direct" || parse_base(rest, o.base)) return Outcome::ok();
        return Outcome::failed("bad port base '" + std::string(rest) +
                               "' (a hex I/O port from 100 to FFFC on a 4-port boundary, such as 378 or 0x278)");
    }
    if (value == "ppdev" || (starts_with(value, "ppdev:", rest) && !rest.empty())) {
        o.port = Options::Port::ppdev;
        o.device = value == "ppdev" ? default_device : std::string(rest);
        return Outcome::ok();
    }
    if (starts_with(value, "spidev:", rest)) return parse_spidev(rest, o);
    if (starts_with(value, "ftdi", rest) && (rest.empty() || rest[0] == ':' || rest[0] == ',')) return parse_ftdi(rest, o);
    if (starts_with(value, "sim", rest) && (rest.empty() || rest[0] == ':' || rest[0] == ',')) {
        o.port = Options::Port::sim;
        o.sim = SimSettings{};
        return sim_parse_settings(rest, o.sim);
    }
    return Outcome::failed("unknown port '" + std::string(value) +
                           "' (direct[:BASE], ppdev[:DEVICE], spidev:DEVICE, ftdi[:SERIAL] or "
                           "sim[:IMAGE][,SETTING=VALUE...])");
}

// Options that take no value.
struct Flag {
    std::string_view name;
    bool Options::*field;
};
constexpr std::array<Flag, 11> flags{{{"--help", &Options::help},
                                     {"--json", &Options::json},
                                     {"--crc", &Options::crc},
                                     {"-h", &Options::help},
                                     {"--version", &Options::version},
                                     {"--yes", &Options::yes},
                                     {"--info", &Options::info},
                                     {"--force", &Options::force},
                                     {"--sparse", &Options::sparse},
                                     {"--writable", &Options::writable},
                                     {"--insecure", &Options::insecure}}};

Outcome parse_control(Options::Control control, Options& o) {
    if (o.control != Options::Control::none)
        return Outcome::failed("give only one of --protect, --unprotect, --set-password, --clear-password, --lock, "
                               "--force-erase and --erase");
    o.control = control;
    return Outcome::ok();
}

// Options that name a file and do nothing else.
struct Named {
    std::string_view prefix;
    std::string Options::*field;
};
constexpr std::array<Named, 8> named{{{"--backup=", &Options::backup},
                                      {"--station=", &Options::station},
                                      {"--tls-psk=", &Options::tls_psk},
                                      {"--tls-certificates=", &Options::tls_certificates},
                                      {"--report=", &Options::report},
                                      {"--map=", &Options::map},
                                      {"--password-file=", &Options::password_file},
                                      {"--trace=", &Options::trace}}};

// Options that need a value, and what it is.
struct Valued {
    std::string_view name;
    std::string_view needs;
};
constexpr std::array<Valued, 17> valued{{{"--dump", "=FILE"},
                                         {"--station", "=FILE"},
                                         {"--tls-psk", "=FILE"},
                                         {"--tls-certificates", "=DIR"},
                                         {"--timeout", "=SECONDS"},
                                         {"--idle", "=SECONDS"},
                                         {"--verify", "=FILE"},
                                         {"--load", "=FILE"},
                                         {"--backup", "=FILE"},
                                         {"--trace", "=FILE"},
                                         {"--map", "=MAPFILE"},
                                         {"--retries", "=N"},
                                         {"--report", "=FILE.svg or =FILE.csv"},
                                         {"--serve", "=PATH or =HOST:PORT"},
                                         {"--password-file", "=FILE"},
                                         {"--range", "=START:COUNT (hex)"},
                                         {"--port", "=PORT: direct[:BASE], ppdev[:DEVICE], spidev:DEVICE, ftdi[:SERIAL] or sim[:IMAGE]"}}};

// An option given without its value (--dump, --dump=, or --port sim).
Outcome missing_value(std::string_view arg) {
    const std::string_view name = arg.substr(0, arg.find('='));
    for (const Valued& v : valued) {
        if (name == v.name && (arg == name || arg.size() == name.size() + 1))
            return Outcome::failed(std::string(name) + " needs " + std::string(v.needs));
    }
    return Outcome::ok();
}

Outcome parse_one(std::string_view arg, Options& o) {
    if (Outcome given = missing_value(arg); !given) return given;
    for (const Flag& flag : flags) {
        if (arg != flag.name) continue;
        o.*flag.field = true;
        return Outcome::ok();
    }
    if (arg == "--probe") return parse_whole_card(Options::WholeCard::probe, "", o);
    std::string_view value;
    for (const Mode& m : modes) {
        if (m.control != C::none && arg == m.flag) return parse_control(m.control, o);
        if (m.file && starts_with(arg, m.flag, value) && value.size() > 1 && value[0] == '=')
            return parse_whole_card(m.whole, value.substr(1), o);
    }
    if (arg == "--fill" || starts_with(arg, "--fill=", value)) return parse_fill(value, o);
    if (arg == "--test") {
        o.test = true;
        return Outcome::ok();
    }
    if (starts_with(arg, "--range=", value) || starts_with(arg, "--test=", value)) {
        if (o.range) return Outcome::failed("give the range once: --range=START:COUNT (or --test=START:COUNT)");
        o.test = o.test || arg.starts_with("--test=");
        return parse_range(value, o.range);
    }
    if (starts_with(arg, "--port=", value)) {
        o.ports.emplace_back(value);
        return parse_port(value, o);
    }
    if (starts_with(arg, "--serve=", value) && !value.empty()) {
        o.serve = std::string(value);
        return parse_whole_card(Options::WholeCard::serve, "", o);
    }
    if (starts_with(arg, "--retries=", value)) return parse_retries(value, o.retries);
    if (starts_with(arg, "--timeout=", value) || starts_with(arg, "--idle=", value)) {
        std::uint32_t& seconds = arg.starts_with("--timeout=") ? o.timeout : o.idle;
        if (parse_decimal(value, 1, max_serve_seconds, seconds)) return Outcome::ok();
        return Outcome::failed("bad time '" + std::string(value) + "' (seconds from 1 to 86400)");
    }
    for (const Named& n : named) {
        if (!starts_with(arg, n.prefix, value) || value.empty()) continue;
        o.*n.field = std::string(value);
        return Outcome::ok();
    }
    return Outcome::failed((arg.substr(0, 1) == "-" ? "unknown option '" : "unexpected argument '") + std::string(arg) +
                           "' (see --help)");
}

}  // namespace

// An option given twice is refused rather than one of the two silently kept.
Outcome parse_options(int argc, const char* const* argv, Options& options) {
    std::vector<std::string_view> given;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const std::string_view name = arg.substr(0, arg.find('='));
        // --port more than once names the sockets of a station.
        if (name.starts_with("--") && name != "--port" && std::find(given.begin(), given.end(), name) != given.end())
            return Outcome::failed(std::string(name) + " is given twice: give it once");
        given.push_back(name);
        if (Outcome parsed = parse_one(arg, options); !parsed) return parsed;
    }
    return Outcome::ok();
}

Outcome options_conflict(const Options& o) {
    if (Outcome alone = modes_clash(o); !alone) return alone;
    const Mode& mode = chosen_mode(o);
    if (o.json && &mode == &browser) return Outcome::failed("--json goes with a mode that replaces the browser");
    const unsigned given = given_companions(o);
    for (const Companion& c : companions) {
        if ((given & c.bit) && (!(mode.takes & c.bit) || (given & c.needs) != c.needs))
            return Outcome::failed(std::string(c.goes_with));
    }
    if (!o.tls_psk.empty() && !o.tls_certificates.empty())
        return Outcome::failed("give one of --tls-psk and --tls-certificates");
    if (o.insecure && (!o.tls_psk.empty() || !o.tls_certificates.empty()))
        return Outcome::failed("--insecure serves without TLS: leave out --tls-psk and --tls-certificates");
    if (!o.report.empty() && !o.report.ends_with(".svg") && !o.report.ends_with(".csv"))
        return Outcome::failed("--report=" + o.report + ": name a .svg or .csv file");
    const std::string_view writes = writing_mode(mode, o);
    if (writes.empty()) return Outcome::ok();
    if (o.port == Options::Port::sim && !o.sim.writable && !o.sim.empty_socket)
        return Outcome::failed(std::string(writes) + ": open the simulated card with write=on");
    if (o.port != Options::Port::sim && !o.yes)
        return Outcome::failed(std::string(writes) + ": add --yes to run it on a real port");
    return Outcome::ok();
}

bool browses(const Options& o) { return &chosen_mode(o) == &browser; }

Outcome parse_port_spec(std::string_view spec, Options& options) { return parse_port(spec, options); }

bool whole_card_mode(const Options& o) {
    const Mode& mode = chosen_mode(o);
    return &mode != &browser && (mode.control == C::none || mode.control == C::erase) && mode.whole != W::serve;
}

void mode_frame(const Options& o, CardWork& work) {
    const Mode& mode = chosen_mode(o);
    work.setup = mode.setup;
    work.status_without_card = mode.without_card;
    work.writes = !writing_mode(mode, o).empty();
    work.report_path = o.report;
    work.report_title = std::string(mode.title) + (mode.file ? o.file : "");
    work.mode_name = mode.flag.empty() ? "browser" : std::string(mode.flag.substr(2));
}

Outcome mode_work(const Options& o, CardWork& work) {
    mode_frame(o, work);
    return chosen_mode(o).work(o, work);
}

std::string version_text() { return "vantacle " VANTACLE_VERSION "\n"; }

std::string usage_text() {
    return std::string(
               "Usage: vantacle [--port=PORT] [--trace=FILE] [--info]\n"
               "       vantacle [--port=PORT] [--trace=FILE] --test [--range=START:COUNT] [--yes]\n"
               "       vantacle [--port=PORT] [--trace=FILE] [--range=START:COUNT]\n"
               "                [--map=MAPFILE [--retries=N]] [--sparse]\n"
               "                --dump=FILE [--force] | --verify=FILE | --load=FILE [--yes]\n"
               "       vantacle [--port=PORT] [--trace=FILE] --probe [--yes]\n"
               "       vantacle [--port=PORT] [--trace=FILE] --serve=PATH|HOST:PORT\n"
               "                [--tls-psk=FILE | --tls-certificates=DIR | --insecure]\n"
               "                [--timeout=SECONDS] [--idle=SECONDS] [--writable [--yes]]\n"
               "       vantacle [--port=PORT] [--password-file=FILE] --protect | --unprotect |\n"
               "                --set-password | --clear-password | --lock | --force-erase |\n"
               "                --erase [--range=START:COUNT] [--yes]\n"
               "       vantacle [--port=PORT] [--trace=FILE] [--range=START:COUNT]\n"
               "                --fill[=SEED] [--backup=FILE [--force]] [--yes]\n"
               "Tests an MMC or SD card wired to a parallel port or an SPI adapter: powers it\n"
               "up, initialises it in SPI mode and shows its 512-byte sectors as hex dumps.\n"
               "\n"
               "  --port=direct[:BASE]  the parallel port at BASE (hex, default 378): data at\n"
               "                        BASE, status at BASE+1 (the default port)\n"
               "  --port=ppdev[:DEVICE] the parallel port behind the ppdev device DEVICE\n"
               "                        (default /dev/parport0)\n"
               "  --port=spidev:DEVICE[,hz=N][,cs=gpiochipN:LINE][,align=N]\n"
               "                        a card on a Linux spidev device such as\n"
               "                        /dev/spidev0.0 (SPI mode 0, at most N Hz, default\n"
               "                        25000000); cs= names a GPIO line as chip select;\n"
               "                        align= the kernel's DMA alignment (default 128)\n"
               "  --port=ftdi[:SERIAL][,interface=A|B][,hz=N][,power=PIN]\n"
               "                        a card on an FTDI FT232H, FT2232H, FT4232H or\n"
               "                        FT2232D (6 MHz at most) (MPSSE:\n"
               "                        ADBUS0 SCK, 1 to DI, 2 from DO, 3 CS; power=4..7\n"
               "                        names the ADBUS pin that switches the supply)\n"
               "  --port=sim[:IMAGE][,SETTING=VALUE...]\n"
               "                        a simulated card holding IMAGE (a file of whole\n"
               "                        512-byte sectors), the built-in demo card without\n"
               "                        IMAGE, or an empty socket with IMAGE none (a file\n"
               "                        named none is ./none; IMAGE cannot hold a comma)\n"
               "  --trace=FILE          log every port access to FILE: W XX (data written),\n"
               "                        R XX (status read); FILE.vcd gets a waveform of the\n"
               "                        card's lines for GTKWave, PulseView or sigrok\n"
               "  --test                surface test instead of the browser: for each sector\n"
               "                        of --range (else the whole card) save it, write a\n"
               "                        pattern, read it back, restore and verify; exit 0\n"
               "                        when all pass (--test=START:COUNT works too)\n"
               "  --dump=FILE           copy the card's sectors to FILE; an existing FILE is\n"
               "                        replaced only with --force\n"
               "  --verify=FILE         compare the card with FILE (as far as FILE goes): one\n"
               "                        line per sector that differs; exit 1 if any does\n"
               "  --load=FILE           write FILE to the card, each sector read back and\n"
               "                        compared; refused when FILE runs past the card's end\n"
               "  --range=START:COUNT   --test, --dump, --verify, --load or --fill only COUNT\n"
               "                        sectors from START (hex); FILE then holds just those;\n"
               "                        without it the whole card (--verify, --load: as much\n"
               "                        as FILE)\n"
               "  --map=MAPFILE         keep a GNU ddrescue mapfile of what was copied, failed\n"
               "                        or is left; FILE is then a whole-card image with\n"
               "                        every sector at its own offset. Run the same command\n"
               "                        again to go on where it stopped; --verify compares\n"
               "                        only the map's copied areas; --load records what it\n"
               "                        wrote and skips what the map says is written\n"
               "  --retries=N           passes over the map's bad areas after a dump's copy\n"
               "                        (0 to 100, default 1)\n"
               "  --sparse              --dump leaves sectors of zeros as holes in FILE\n"
               "  --probe               find how many sectors really keep data (counterfeit\n"
               "                        cards claim more) in a few hundred to a few thousand\n"
               "                        transfers: writes tagged sectors past the first MiB,\n"
               "                        puts back what they held; exit 0 when genuine. It\n"
               "                        finds a card that drops writes past its real size,\n"
               "                        one that wraps at a power of two, and one that wraps\n"
               "                        elsewhere when a tag shows on another sector; --fill\n"
               "                        finds the rest\n"
               "  --fill[=SEED]         full-capacity test: writes a unique pattern (SEED in\n"
               "                        hex, else a new one) to every sector of the card or\n"
               "                        the range, reads all of it back and sorts each\n"
               "                        sector: ok, unreadable, corrupted, overwritten (holds\n"
               "                        another's pattern) or lost; says the usable size and\n"
               "                        the verdict, exit 0 when genuine. Destroys the data\n"
               "  --backup=FILE         --fill first saves the sectors to FILE and afterwards\n"
               "                        puts them back, verified (existing FILE: --force)\n"
               "  --serve=PATH          serve the card over NBD on the Unix socket PATH (made\n"
               "                        with mode 0600), or on TCP at HOST:PORT (a name with\n"
               "                        a colon and no slash; HOST such as 0.0.0.0, [::1] or\n"
               "                        localhost) with TLS; up to 16 clients at once, until\n"
               "                        Ctrl+C. Read-only unless --writable\n"
               "  --tls-psk=FILE        TLS with the pre-shared keys in FILE (NAME:HEXKEY\n"
               "                        lines from psktool -u NAME -p FILE); clients use\n"
               "                        nbds://NAME@HOST:PORT/?tls-psk-file=FILE\n"
               "  --tls-certificates=DIR  TLS with DIR/server-cert.pem, DIR/server-key.pem;\n"
               "                        clients show a certificate from DIR/ca-cert.pem\n"
               "  --insecure            plain TCP, on the loopback address only\n"
               "  --timeout=SECONDS     time for a client's handshake and for each request\n"
               "                        (default 30)\n"
               "  --idle=SECONDS        time a client may idle between requests (default 600)\n"
               "  --writable            let --serve's clients write to the card\n"
               "  --report=FILE         a picture of the card after --test, --dump, --verify,\n"
               "                        --load, --probe or --fill: FILE.svg maps its regions\n"
               "                        by what the run found (good, slow, re-read, bad,\n"
               "                        overwritten, lost) above the read and write speed\n"
               "                        across it; FILE.csv has one row per region\n"
               "  --protect, --unprotect  set or clear the card's temporary write protection\n"
               "                        (TMP_WRITE_PROTECT in its CSD, by CMD27)\n"
               "  --set-password        give the card a password (CMD42); it locks itself at\n"
               "                        every power-up until the password is given\n"
               "  --clear-password      remove the card's password\n"
               "  --lock                lock the card now\n"
               "  --force-erase         erase a locked card whose password is lost: all its\n"
               "                        data and the password go (up to 3 minutes)\n"
               "  --erase               erase the card's sectors (--range: only those), so\n"
               "                        they read as the card's erased value (00 or FF)\n"
               "  --password-file=FILE  passwords from FILE, one a line, at most 16 bytes each\n"
               "                        (else asked on the terminal, without echo): the\n"
               "                        first unlocks a locked card for the run; for\n"
               "                        --set-password on a card with a password the first\n"
               "                        is the old one and the second the new\n"
               "  --yes                 allow --test, --load, --probe, --fill, --writable and\n"
               "                        the controls above on a real port (they write to the\n"
               "                        card)\n"
               "  --info                the card's kind, capacity and registers (OCR, CID,\n"
               "                        CSD; on SD cards SCR, SD Status, CMD6) and its lock\n"
               "                        and write protection instead of the browser; exit 0\n"
               "                        when OCR, CID and CSD were read\n"
               "  --crc                 the browser with CRC checking on (the other modes that\n"
               "                        read or write sectors always turn it on)\n"
               "  --port=PORT --port=PORT ...  or  --station=FILE\n"
               "                        a station: --info, --test, --dump, --verify, --load,\n"
               "                        --probe, --fill or --erase on every socket's card at\n"
               "                        once, each on its own thread, its lines marked [NAME];\n"
               "                        FILE holds one socket a line: NAME PORT (# comments);\n"
               "                        --port sockets are named 1, 2, ...; file names take\n"
               "                        {socket}, {serial} and {cid}; a summary ends the run,\n"
               "                        exit 0 when every card passed\n"
               "  --json                with any mode but the browser: one JSON line per card\n"
               "                        and run on standard output (docs/run-record.schema.json),\n"
               "                        the usual text on standard error\n"
               "  --help                this text\n"
               "  --version             the program's version\n"
               "\n"
               "Hex values (BASE, START, COUNT, HH, SECTOR) may start with 0x or 0X.\n"
               "\n"
               "Simulated-card settings:\n") +
           sim_settings_help + sim_adapter_settings_help +
           "\n"
           "Keys: Enter (or any other key) reads the next sector, space asks for a sector\n"
           "number in hex, E, e or Escape ends.\n"
           "\n"
           "--test, --dump, --verify, --load and --probe exit 0 when all went well, 1 for\n"
           "bad sectors, differences or a counterfeit card; bad usage exits 2, Ctrl+C 130.\n";
}
