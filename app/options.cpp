#include "app/options.h"

#include <algorithm>
#include <array>
#include <cctype>
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
    takes_range = 1U << 0,              // --range
    takes_backup = 1U << 1,             // --backup
    takes_force = 1U << 2,              // --force (a --backup's own --force aside)
    takes_map = 1U << 3,                // --map
    takes_retries = 1U << 4,            // --retries, with --map
    takes_sparse = 1U << 5,             // --sparse
    takes_writable = 1U << 6,           // --writable
    takes_report = 1U << 7,             // --report
    takes_tls_psk = 1U << 8,            // --tls-psk
    takes_tls_certificates = 1U << 9,   // --tls-certificates
    takes_insecure = 1U << 10,          // --insecure
    takes_timeout = 1U << 11,           // --timeout
    takes_idle = 1U << 12,              // --idle
};
constexpr unsigned takes_network = takes_tls_psk | takes_tls_certificates | takes_insecure | takes_timeout | takes_idle;

constexpr std::string_view one_card_control =
    "--protect, --unprotect, --set-password, --clear-password, --lock, --force-erase and --erase each replace the "
    "browser: give one of them";
constexpr std::string_view one_task = "give only one of --dump, --verify, --load, --probe, --serve and --fill";

// The modes, one row each: its flag and what it takes (FILE after it for
// --dump, --verify and --load), whether it is chosen, what goes with it, why
// it needs write access (empty when it only reads), what to say when another
// mode is chosen too, how the card is set up for it, its exit status when the
// card is never reached, what makes its work, its report's title (FILE after
// it for the modes that take one) and its text in --help (none: the row
// shares the one before it).
struct Mode {
    std::string_view flag{};
    std::string_view value{};
    bool (*chosen)(const Options&) = nullptr;
    Options::Task task = Options::Task::none;
    Options::Control control = Options::Control::none;
    bool file = false;
    unsigned takes = 0;
    std::string_view writes{};
    std::string_view clash{};
    CardSetup setup = CardSetup::checked_crc;
    int without_card = ExitStatus::failed;
    Outcome (*work)(const Options&, CardWork&) = nullptr;
    std::string_view title{};
    std::string_view help{};
};
using T = Options::Task;
using C = Options::Control;
template <T mode>
constexpr bool task_is(const Options& o) { return o.task == mode; }
template <C mode>
constexpr bool card_control(const Options& o) { return o.control == mode; }
constexpr std::string_view changes_password = "--set-password, --clear-password and --lock change the card's password";
constexpr std::string_view changes_csd = "--protect and --unprotect change the card's CSD";
constexpr std::array<Mode, 16> modes{{
    {.flag = "--info", .chosen = [](const Options& o) { return o.info; },
     .clash = "--info, --test, --dump, --verify, --load, --probe, --serve and --fill each replace the browser: give one of "
              "them",
     .setup = CardSetup::checked, .work = info_work,
     .help = "the card's kind, capacity and registers (OCR, CID, CSD; on SD cards SCR, SD Status, CMD6) and its lock "
             "and write protection instead of the browser; exit 0 when OCR, CID and CSD were read"},
    {.flag = "--test", .chosen = [](const Options& o) { return o.test; }, .takes = takes_range | takes_report,
     .writes = "the surface test writes to the card and restores each sector",
     .clash = "--test cannot run together with --dump, --verify, --load, --probe, --serve or --fill",
     .work = surface_test_work, .title = "surface test",
     .help = "surface test instead of the browser: for each sector of --range (else the whole card) save it, write a "
             "pattern, read it back, restore and verify; exit 0 when all pass (--test=START:COUNT works too)"},
    {.flag = "--dump", .value = "=FILE", .chosen = task_is<T::dump>, .task = T::dump, .file = true,
     .takes = takes_range | takes_force | takes_map | takes_retries | takes_sparse | takes_report, .clash = one_task,
     .work = copy_work, .title = "dump to ",
     .help = "copy the card's sectors to FILE; an existing FILE is replaced only with --force"},
    {.flag = "--verify", .value = "=FILE", .chosen = task_is<T::verify>, .task = T::verify, .file = true,
     .takes = takes_range | takes_map | takes_report, .clash = one_task, .work = copy_work, .title = "verify against ",
     .help = "compare the card with FILE (as far as FILE goes): one line per sector that differs; exit 1 if any does"},
    {.flag = "--load", .value = "=FILE", .chosen = task_is<T::load>, .task = T::load, .file = true,
     .takes = takes_range | takes_map | takes_report, .writes = "--load writes to the card", .clash = one_task,
     .work = copy_work, .title = "load of ",
     .help = "write FILE to the card, each sector read back and compared; refused when FILE runs past the card's end"},
    {.flag = "--probe", .chosen = task_is<T::probe>, .task = T::probe, .takes = takes_report,
     .writes = "--probe writes to the card and restores what it wrote over", .clash = one_task, .work = probe_work,
     .title = "probe",
     .help = "find how many sectors really keep data (counterfeit cards claim more) in a few hundred to a few thousand "
             "transfers: writes tagged sectors past the first MiB, puts back what they held; exit 0 when genuine. It "
             "finds a card that drops writes past its real size, one that wraps at a power of two, and one that wraps "
             "elsewhere when a tag shows on another sector; --fill finds the rest"},
    {.flag = "--serve", .value = "=PATH|HOST:PORT", .chosen = task_is<T::serve>, .task = T::serve,
     .takes = takes_writable | takes_network, .clash = one_task, .work = serve_work,
     .help = "serve the card over NBD on the Unix socket PATH (made with mode 0600), or on TCP at HOST:PORT (a name "
             "with a colon and no slash; HOST such as 0.0.0.0, [::1] or localhost) with TLS; up to 16 clients at once, "
             "until Ctrl+C. Read-only unless --writable"},
    {.flag = "--fill", .value = "[=SEED]", .chosen = task_is<T::fill>, .task = T::fill,
     .takes = takes_range | takes_backup | takes_report, .writes = "--fill writes over every sector it tests",
     .clash = one_task, .work = fill_work, .title = "fill",
     .help = "full-capacity test: writes a unique pattern (SEED in hex, else a new one) to every sector of the card or "
             "the range, reads all of it back and sorts each sector: ok, unreadable, corrupted, overwritten (holds "
             "another's pattern) or lost; says the usable size and the verdict, exit 0 when genuine. Destroys the data"},
    {.flag = "--protect", .chosen = card_control<C::protect>, .control = C::protect, .writes = changes_csd,
     .clash = one_card_control, .work = control_work,
     .help = "set or clear the card's temporary write protection (TMP_WRITE_PROTECT in its CSD, by CMD27)"},
    {.flag = "--unprotect", .chosen = card_control<C::unprotect>, .control = C::unprotect, .writes = changes_csd,
     .clash = one_card_control, .work = control_work},
    {.flag = "--set-password", .chosen = card_control<C::set_password>, .control = C::set_password,
     .writes = changes_password, .clash = one_card_control, .work = control_work,
     .help = "give the card a password (CMD42); it locks itself at every power-up until the password is given"},
    {.flag = "--clear-password", .chosen = card_control<C::clear_password>, .control = C::clear_password,
     .writes = changes_password, .clash = one_card_control, .work = control_work, .help = "remove the card's password"},
    {.flag = "--lock", .chosen = card_control<C::lock>, .control = C::lock, .writes = changes_password,
     .clash = one_card_control, .work = control_work, .help = "lock the card now"},
    {.flag = "--force-erase", .chosen = card_control<C::force_erase>, .control = C::force_erase,
     .writes = "--force-erase erases the whole card and its password", .clash = one_card_control, .work = control_work,
     .help = "erase a locked card whose password is lost: all its data and the password go (up to 3 minutes)"},
    {.flag = "--erase", .chosen = card_control<C::erase>, .control = C::erase, .takes = takes_range,
     .writes = "--erase erases sectors of the card", .clash = one_card_control, .work = control_work,
     .help = "erase the card's sectors (--range: only those), so they read as the card's erased value (00 or FF)"},
    {.flag = "--restore", .value = "=JOURNAL", .chosen = [](const Options& o) { return !o.restore.empty(); },
     .writes = "--restore writes the journal's sectors back to the card",
     .clash = "--restore runs on its own: give no other mode with it", .work = restore_work,
     .help = "put back the sectors a run could not, from the journal it named, each read back twice; the journal is "
             "removed once all are back (exit 0)"},
}};

// The options that go with some modes only, in the order they are checked:
// whether given, the others it needs beside it, what to say when it comes
// without its mode, the mode's own write access it brings (--writable), how
// the usage shows it and its text in --help (none: the mode's text tells).
struct Companion {
    Takes bit = takes_range;
    bool (*given)(const Options&) = nullptr;
    unsigned needs = 0;
    std::string_view goes_with{};
    std::string_view writes{};
    std::string_view usage{};
    std::string_view option{};
    std::string_view help{};
};
constexpr std::string_view network_goes_with = "--tls-psk, --tls-certificates, --insecure, --timeout and --idle go with --serve";
constexpr std::array<Companion, 13> companions{{
    {.bit = takes_range, .given = [](const Options& o) { return o.range.has_value(); },
     .goes_with = "--range goes with --test, --dump, --verify, --load, --fill or --erase",
     .usage = "[--range=START:COUNT]", .option = "--range=START:COUNT",
     .help = "--test, --dump, --verify, --load, --fill or --erase only COUNT sectors from START (hex); FILE then "
             "holds just those; without it the whole card (--verify, --load: as much as FILE)"},
    {.bit = takes_backup, .given = [](const Options& o) { return !o.backup.empty(); }, .goes_with = "--backup goes with --fill",
     .usage = "[--backup=FILE [--force]]", .option = "--backup=FILE",
     .help = "--fill first saves the sectors to FILE and afterwards puts them back, verified (existing FILE: --force)"},
    {.bit = takes_force, .given = [](const Options& o) { return o.force && o.backup.empty(); },
     .goes_with = "--force goes with --dump or --backup", .usage = "[--force]", .option = "--force",
     .help = "--dump replaces an existing FILE, --backup an existing backup FILE"},
    {.bit = takes_map, .given = [](const Options& o) { return !o.map.empty(); },
     .goes_with = "--map goes with --dump, --verify or --load", .usage = "[--map=MAPFILE]", .option = "--map=MAPFILE",
     .help = "keep a GNU ddrescue mapfile of what was copied, failed or is left; FILE is then a whole-card image with "
             "every sector at its own offset. Run the same command again to go on where it stopped; --verify compares "
             "only the map's copied areas; --load records what it wrote and skips what the map says is written"},
    {.bit = takes_retries, .given = [](const Options& o) { return o.retries != 1; }, .needs = takes_map,
     .goes_with = "--retries goes with --dump and --map", .usage = "[--retries=N]", .option = "--retries=N",
     .help = "passes over the map's bad areas after a dump's copy (0 to 100, default 1)"},
    {.bit = takes_sparse, .given = [](const Options& o) { return o.sparse; }, .goes_with = "--sparse goes with --dump",
     .usage = "[--sparse]", .option = "--sparse", .help = "--dump leaves sectors of zeros as holes in FILE"},
    {.bit = takes_writable, .given = [](const Options& o) { return o.writable; }, .goes_with = "--writable goes with --serve",
     .writes = "--writable lets clients write to the card", .usage = "[--writable [--yes]]", .option = "--writable",
     .help = "let --serve's clients write to the card"},
    {.bit = takes_report, .given = [](const Options& o) { return !o.report.empty(); },
     .goes_with = "--report goes with --test, --dump, --verify, --load, --probe or --fill", .usage = "[--report=FILE]",
     .option = "--report=FILE",
     .help = "a picture of the card after --test, --dump, --verify, --load, --probe or --fill: FILE.svg maps its "
             "regions by what the run found (good, slow, re-read, bad, overwritten, lost) above the read and write "
             "speed across it; FILE.csv has one row per region"},
    {.bit = takes_tls_psk, .given = [](const Options& o) { return !o.tls_psk.empty(); }, .goes_with = network_goes_with,
     .usage = "[--tls-psk=FILE]", .option = "--tls-psk=FILE",
     .help = "TLS with the pre-shared keys in FILE (NAME:HEXKEY lines from psktool -u NAME -p FILE); clients use "
             "nbds://NAME@HOST:PORT/?tls-psk-file=FILE"},
    {.bit = takes_tls_certificates, .given = [](const Options& o) { return !o.tls_certificates.empty(); },
     .goes_with = network_goes_with, .usage = "[--tls-certificates=DIR]", .option = "--tls-certificates=DIR",
     .help = "TLS with DIR/server-cert.pem, DIR/server-key.pem; clients show a certificate from DIR/ca-cert.pem"},
    {.bit = takes_insecure, .given = [](const Options& o) { return o.insecure; }, .goes_with = network_goes_with,
     .usage = "[--insecure]", .option = "--insecure", .help = "plain TCP, on the loopback address only"},
    {.bit = takes_timeout, .given = [](const Options& o) { return o.timeout != 0; }, .goes_with = network_goes_with,
     .usage = "[--timeout=SECONDS]", .option = "--timeout=SECONDS",
     .help = "time for a client's handshake and for each request (default 30)"},
    {.bit = takes_idle, .given = [](const Options& o) { return o.idle != 0; }, .goes_with = network_goes_with,
     .usage = "[--idle=SECONDS]", .option = "--idle=SECONDS",
     .help = "time a client may idle between requests (default 600)"},
}};

// The browser: chosen when no other mode is; nothing goes with it.
constexpr Mode browser{.chosen = nullptr, .setup = CardSetup::known, .without_card = ExitStatus::ok, .work = browser_work};

// When modes clash, --restore (which runs alone) speaks; else the first of
// two that replace the browser; a card control speaks against a single
// other mode.
Outcome modes_clash(const Options& o) {
    const Mode* first = nullptr;
    const Mode* control = nullptr;
    const Mode* restore = nullptr;
    int others = 0;
    for (const Mode& m : modes) {
        if (!m.chosen(o)) continue;
        if (m.work == restore_work) restore = &m;
        if (m.control != C::none) control = &m;
        else if (others++ == 0) first = &m;
    }
    if (restore && (others > 1 || control)) return Outcome::failed(std::string(restore->clash));
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
Outcome parse_task(Options::Task mode, std::string_view file, Options& o) {
    if (o.task != Options::Task::none)
        return Outcome::failed(std::string(one_task));
    o.task = mode;
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

// A bit-bang pin: its bit number 0 to 7 or its name on the FT232R (TXD, RXD, ...).
bool parse_ftdi_pin(std::string_view text, int& pin) {
    std::uint32_t n = 0;
    if (parse_decimal(text, 0, 7, n)) {
        pin = static_cast<int>(n);
        return true;
    }
    for (std::size_t i = 0; i < spi::ftdi_pin_names.size(); ++i) {
        const std::string_view name = spi::ftdi_pin_names[i];
        if (text.size() == name.size() && std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
                return std::toupper(static_cast<unsigned char>(a)) == b;
            })) {
            pin = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

// ftdi-bitbang[:SERIAL][,sck=PIN][,mosi=PIN][,miso=PIN][,cs=PIN][,power=PIN], each pin on a line of its own.
Outcome parse_ftdi_bitbang(std::string_view rest, Options& o) {
    o.port = Options::Port::ftdi_bitbang;
    o.ftdi_bitbang = spi::FtdiBitBangTarget{};
    spi::FtdiBitBangPins& pins = o.ftdi_bitbang.pins;
    if (!rest.empty() && rest[0] == ':') {
        const auto comma = rest.find(',');
        o.ftdi_bitbang.serial = std::string(rest.substr(1, comma == std::string_view::npos ? comma : comma - 1));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma);
    }
    const std::array<std::pair<std::string_view, int*>, 5> lines{
        {{"sck", &pins.sck}, {"mosi", &pins.mosi}, {"miso", &pins.miso}, {"cs", &pins.cs}, {"power", &pins.power}}};
    Outcome parsed = parse_adapter_settings(
        rest, "ftdi-bitbang", "sck=, mosi=, miso=, cs=, power=: a pin 0 to 7 or TXD, RXD, RTS, CTS, DTR, DSR, DCD, RI",
        [&](std::string_view name, std::string_view value) {
            for (const auto& [line, pin] : lines)
                if (name == line) return parse_ftdi_pin(value, *pin);
            return false;
        });
    if (!parsed) return parsed;
    for (std::size_t a = 0; a < lines.size(); ++a)
        for (std::size_t b = a + 1; b < lines.size(); ++b)
            if (*lines[a].second >= 0 && *lines[a].second == *lines[b].second)
                return Outcome::failed("ftdi-bitbang: " + std::string(lines[a].first) + " and " + std::string(lines[b].first) +
                                       " are both on D" + std::to_string(*lines[a].second) + " (" +
                                       spi::ftdi_pin_names[static_cast<std::size_t>(*lines[a].second)] +
                                       "): give each line a pin of its own");
    return Outcome::ok();
}

// gpio:CHIP,sck=N,mosi=N,miso=N,cs=N[,power=N]: four lines (five) of one
// chip, each named once and none twice.
Outcome parse_gpio(std::string_view rest, Options& o) {
    o.port = Options::Port::gpio;
    o.gpio = GpioTarget{};
    const auto comma = rest.find(',');
    const std::string_view chip = rest.substr(0, comma);
    if (chip.empty()) return Outcome::failed("name the GPIO chip: --port=gpio:gpiochip0,sck=N,mosi=N,miso=N,cs=N");
    o.gpio.chip = chip.starts_with("/") ? std::string(chip) : "/dev/" + std::string(chip);
    std::array<bool, 5> given{};
    constexpr std::array<std::string_view, 5> names{"sck", "mosi", "miso", "cs", "power"};
    Outcome parsed = parse_adapter_settings(
        comma == std::string_view::npos ? std::string_view{} : rest.substr(comma), "gpio",
        "sck=, mosi=, miso=, cs= and power= each a line number from 0 to 511", [&](std::string_view name, std::string_view value) {
            std::uint32_t n = 0;
            const auto at = std::find(names.begin(), names.end(), name);
            if (at == names.end() || !parse_decimal(value, 0, 511, n)) return false;
            const auto index = static_cast<std::size_t>(at - names.begin());
            given[index] = true;
            std::array<std::uint32_t*, 4> lines{&o.gpio.sck, &o.gpio.mosi, &o.gpio.miso, &o.gpio.cs};
            if (index < lines.size()) *lines[index] = n;
            else o.gpio.power = n;
            return true;
        });
    if (!parsed) return parsed;
    if (!given[0] || !given[1] || !given[2] || !given[3])
        return Outcome::failed("name the card's four lines: --port=gpio:CHIP,sck=N,mosi=N,miso=N,cs=N[,power=N]");
    std::array<std::uint32_t, 5> used{o.gpio.sck, o.gpio.mosi, o.gpio.miso, o.gpio.cs, o.gpio.power.value_or(0)};
    const std::size_t count = o.gpio.power ? 5 : 4;
    std::sort(used.begin(), used.begin() + static_cast<std::ptrdiff_t>(count));
    if (std::adjacent_find(used.begin(), used.begin() + static_cast<std::ptrdiff_t>(count)) != used.begin() + static_cast<std::ptrdiff_t>(count))
        return Outcome::failed("each of the card's GPIO lines must be a line of its own");
    return Outcome::ok();
}

// --fill or --fill=SEED, the seed in hex.
Outcome parse_fill(std::string_view seed, Options& o) {
    std::uint32_t value = 0;
    if (!seed.empty()) {
        if (!parse_hex(seed, 0xFFFFFFFF, value)) return Outcome::failed("bad seed '" + std::string(seed) + "' (hex, up to 8 digits)");
        o.fill_seed = value;
    }
    return parse_task(Options::Task::fill, "", o);
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
    if (starts_with(value, "ftdi-bitbang", rest) && (rest.empty() || rest[0] == ':' || rest[0] == ','))
        return parse_ftdi_bitbang(rest, o);
    if (starts_with(value, "ftdi", rest) && (rest.empty() || rest[0] == ':' || rest[0] == ',')) return parse_ftdi(rest, o);
    if (starts_with(value, "gpio:", rest)) return parse_gpio(rest, o);
    if (starts_with(value, "sim", rest) && (rest.empty() || rest[0] == ':' || rest[0] == ',')) {
        o.port = Options::Port::sim;
        o.sim = SimSettings{};
        return sim_parse_settings(rest, o.sim);
    }
    return Outcome::failed("unknown port '" + std::string(value) +
                           "' (direct[:BASE], ppdev[:DEVICE], spidev:DEVICE, ftdi[:SERIAL], ftdi-bitbang[:SERIAL], gpio:CHIP,... or "
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
constexpr std::array<Named, 9> named{{{"--backup=", &Options::backup},
                                      {"--station=", &Options::station},
                                      {"--restore=", &Options::restore},
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
constexpr std::array<Valued, 18> valued{{{"--dump", "=FILE"},
                                         {"--station", "=FILE"},
                                         {"--restore", "=JOURNAL"},
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
                                         {"--port", "=PORT: direct[:BASE], ppdev[:DEVICE], spidev:DEVICE, ftdi[:SERIAL], ftdi-bitbang[:SERIAL] or sim[:IMAGE]"}}};

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
    if (arg == "--probe") return parse_task(Options::Task::probe, "", o);
    std::string_view value;
    for (const Mode& m : modes) {
        if (m.control != C::none && arg == m.flag) return parse_control(m.control, o);
        if (m.file && starts_with(arg, m.flag, value) && value.size() > 1 && value[0] == '=')
            return parse_task(m.task, value.substr(1), o);
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
        return parse_task(Options::Task::serve, "", o);
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


// --help: the usage lines and the option entries are made from the rows of
// the tables above; the options every mode takes have entries of their own.
struct HelpEntry {
    std::string_view option;
    std::string_view help;
};
constexpr std::array<HelpEntry, 8> leading_options{{
    {"--port=direct[:BASE]", "the parallel port at BASE (hex, default 378): data at BASE, status at BASE+1 (the "
                             "default port)"},
    {"--port=ppdev[:DEVICE]", "the parallel port behind the ppdev device DEVICE (default /dev/parport0)"},
    {"--port=spidev:DEVICE[,hz=N][,cs=gpiochipN:LINE][,align=N]",
     "a card on a Linux spidev device such as /dev/spidev0.0 (SPI mode 0, at most N Hz, default 25000000); cs= names "
     "a GPIO line as chip select; align= the kernel's DMA alignment (default 128)"},
    {"--port=ftdi[:SERIAL][,interface=A|B][,hz=N][,power=PIN]",
     "a card on an FTDI FT232H, FT2232H, FT4232H or FT2232D (6 MHz at most) (MPSSE: ADBUS0 SCK, 1 to DI, 2 from DO, "
     "3 CS; power=4..7 names the ADBUS pin that switches the supply)"},
    {"--port=ftdi-bitbang[:SERIAL][,sck=PIN,mosi=PIN,miso=PIN,cs=PIN[,power=PIN]]",
     "a card on an FTDI FT232R, FT230X or FT231X (or any FTDI bridge) in synchronous bit-bang: PIN is 0 to 7 or "
     "TXD, RXD, RTS, CTS, DTR, DSR, DCD, RI (D0 to D7); SCK on TXD, MISO (from DO) on RXD, MOSI (to DI) on RTS, CS "
     "on DTR unless given; power= names the pin that switches the supply (high: on)"},
    {"--port=gpio:CHIP,sck=N,mosi=N,miso=N,cs=N[,power=N]",
     "a card on four lines of a Linux GPIO chip such as gpiochip0 (MISO pulled up; power= names a line that switches "
     "the supply, high for on)"},
    {"--port=sim[:IMAGE][,SETTING=VALUE...]",
     "a simulated card holding IMAGE (a file of whole 512-byte sectors), the built-in demo card without IMAGE, or an "
     "empty socket with IMAGE none (a file named none is ./none; IMAGE cannot hold a comma)"},
    {"--trace=FILE", "log every port access to FILE: W XX (data written), R XX (status read); FILE.vcd gets a waveform "
                     "of the card's lines for GTKWave, PulseView or sigrok"},
}};
constexpr std::array<HelpEntry, 8> closing_options{{
    {"--password-file=FILE",
     "passwords from FILE, one a line, at most 16 bytes each (else asked on the terminal, without echo): the first "
     "unlocks a locked card for the run; for --set-password on a card with a password the first is the old one and "
     "the second the new"},
    {"--yes", "allow --test, --load, --probe, --fill, --restore, --writable and the controls above on a real port (they "
              "write to the card)"},
    {"--crc", "the browser with CRC checking on (the other modes that read or write sectors always turn it on)"},
    {"--port=PORT --port=PORT ...",
     "a station: --info, --test, --dump, --verify, --load, --probe, --fill or --erase on every socket's card at once, "
     "each on its own thread, its lines marked [NAME] (the sockets named 1, 2, ...); the files it writes take "
     "{socket}, {serial} and {cid} in their names; a summary ends the run, exit 0 when every card passed"},
    {"--station=FILE", "a station of the sockets in FILE, one a line: NAME PORT (blank lines and # comments left out)"},
    {"--json", "with any mode but the browser: one JSON line per card and run on standard output "
               "(docs/run-record.schema.json), the usual text on standard error"},
    {"--help", "this text"},
    {"--version", "the program's version"},
}};

constexpr std::size_t help_width = 79;
constexpr std::size_t help_column = 24;
constexpr std::string_view usage_indent = "       vantacle ";

// Adds the parts one space apart from column `at`, a new line at indent
// spaces wherever the next would pass the width; ends the line.
void add_wrapped(std::string& text, const std::vector<std::string>& parts, std::size_t at, std::size_t indent) {
    std::size_t column = at;
    for (const std::string& part : parts) {
        if (column > at && column + 1 + part.size() > help_width) {
            text += '\n';
            text.append(indent, ' ');
            column = indent;
        } else if (column > at) {
            text += ' ';
            ++column;
        }
        text += part;
        column += part.size();
    }
    text += '\n';
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> found;
    for (std::size_t space; !text.empty(); text.remove_prefix(std::min(text.size(), space + 1))) {
        space = std::min(text.find(' '), text.size());
        if (space > 0) found.emplace_back(text.substr(0, space));
    }
    return found;
}

// One option entry: the option, then its text from the help column on (on
// the next line when the option reaches it).
void help_entry(std::string& text, std::string_view option, std::string_view help) {
    text += "  ";
    text += option;
    if (2 + option.size() < help_column) {
        text.append(help_column - 2 - option.size(), ' ');
    } else {
        text += '\n';
        text.append(help_column, ' ');
    }
    add_wrapped(text, words(help), help_column, help_column);
}

// A usage line for each mode, and one for each run of rows that take the
// same options and write alike (the card controls, one after another).
void usage_lines(std::string& text) {
    const auto line = [&](const std::vector<std::string>& parts) {
        text += text.empty() ? "Usage: vantacle " : usage_indent;
        add_wrapped(text, parts, usage_indent.size(), usage_indent.size());
    };
    line({"[--port=PORT]", "[--trace=FILE]", "[--crc]"});
    for (std::size_t i = 0; i < modes.size();) {
        const Mode& m = modes[i];
        std::vector<std::string> parts{"[--port=PORT]", "[--trace=FILE]"};
        if (m.control != C::none) parts.push_back("[--password-file=FILE]");
        for (const Companion& c : companions) {
            if (m.takes & c.bit) parts.emplace_back(c.usage);
        }
        std::size_t j = i;
        for (; j < modes.size() && modes[j].takes == m.takes && modes[j].writes.empty() == m.writes.empty() &&
               (modes[j].control == C::none) == (m.control == C::none) && (j == i || m.control != C::none);
             ++j) {
            if (j > i) parts.push_back("|");
            parts.push_back(std::string(modes[j].flag) + std::string(modes[j].value));
        }
        if (!m.writes.empty()) parts.push_back("[--yes]");
        line(parts);
        i = j;
    }
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
    return &mode != &browser && (mode.control == C::none || mode.control == C::erase) && mode.task != T::serve &&
           mode.flag != "--restore";
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
    std::string text;
    usage_lines(text);
    text += "Tests an MMC or SD card wired to a parallel port or an SPI adapter: powers it\n"
            "up, initialises it in SPI mode and shows its 512-byte sectors as hex dumps.\n"
            "\n";
    for (const HelpEntry& e : leading_options) help_entry(text, e.option, e.help);
    unsigned listed = 0;
    for (std::size_t i = 0; i < modes.size(); ++i) {
        const Mode& m = modes[i];
        if (m.help.empty()) continue;
        std::string flags = std::string(m.flag) + std::string(m.value);
        for (std::size_t j = i + 1; j < modes.size() && modes[j].help.empty(); ++j) flags += ", " + std::string(modes[j].flag);
        help_entry(text, flags, m.help);
        for (const Companion& c : companions) {
            if (!(m.takes & c.bit) || (listed & c.bit) || c.help.empty()) continue;
            listed |= c.bit;
            help_entry(text, c.option, c.help);
        }
    }
    for (const HelpEntry& e : closing_options) help_entry(text, e.option, e.help);
    return text + "\n"
                  "Hex values (BASE, START, COUNT, HH, SECTOR) may start with 0x or 0X.\n"
                  "\n"
                  "Simulated-card settings:\n" +
           sim_settings_help + sim_adapter_settings_help +
           "\n"
           "Keys: Enter (or any other key) reads the next sector, space asks for a sector\n"
           "number in hex, E, e or Escape ends.\n"
           "\n"
           "--test, --dump, --verify, --load and --probe exit 0 when all went well, 1 for\n"
           "bad sectors, differences or a counterfeit card; bad usage exits 2, Ctrl+C 130.\n";
}
