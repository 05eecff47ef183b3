#include "sim/settings.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <charconv>
#include <utility>

#include "sim/adapter_settings.h"
#include "sim/card_controls.h"

namespace {

// Hex values may carry a 0x or 0X in front.
std::string_view without_hex_prefix(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    return text;
}

bool parse_number(std::string_view text, int base, long long min, long long max, long long& out) {
    if (base == 16) text = without_hex_prefix(text);
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out, base);
    return !text.empty() && ec == std::errc() && ptr == end && out >= min && out <= max;
}

bool set_int(std::string_view value, long long min, long long max, int& field) {
    long long n = 0;
    if (!parse_number(value, 10, min, max, n)) return false;
    field = static_cast<int>(n);
    return true;
}

bool set_byte(std::string_view value, std::uint8_t& field) {
    long long n = 0;
    if (!parse_number(value, 16, 0, 0xFF, n)) return false;
    field = static_cast<std::uint8_t>(n);
    return true;
}

bool set_switch(std::string_view value, std::string_view on, std::string_view off, bool& field) {
    if (value != on && value != off) return false;
    field = value == on;
    return true;
}

bool set_idle(std::string_view value, SimSettings& s) {
    s.never_ready = value == "never";
    return s.never_ready || set_int(value, 0, 1000000, s.idle_answers);
}

bool set_cmd1(std::string_view value, SimSettings& s) {
    std::uint8_t byte = 0;
    if (!set_byte(value, byte)) return false;
    s.cmd1_answer = byte;
    return true;
}

bool set_response(std::string_view value, SimSettings& s) {
    std::uint8_t byte = 0;
    if (value == "none") s.data_response.reset();
    else if (set_byte(value, byte)) s.data_response = byte;
    else return false;
    return true;
}

// SECTOR in hex, then :N, the writes it takes before it fails (decimal).
bool set_bad_sector(std::string_view value, SimSettings& s) {
    long long n = 0, after = 0;
    const auto colon = value.find(':');
    if (!parse_number(value.substr(0, colon), 16, 0, 0xFFFFFFFFLL, n)) return false;
    if (colon != std::string_view::npos && !parse_number(value.substr(colon + 1), 10, 1, 1000000, after)) return false;
    s.bad_sector = static_cast<std::uint32_t>(n);
    s.bad_after = static_cast<std::uint32_t>(after);
    return true;
}

bool set_kind(std::string_view value, SimSettings& s) {
    constexpr std::array<std::pair<std::string_view, CardKind>, 7> kinds{{
        {"mmc", CardKind::mmc}, {"sd1", CardKind::sd1}, {"sd2", CardKind::sd2}, {"sdhc", CardKind::sdhc},
        {"sdxc", CardKind::sdxc}, {"mmc1", CardKind::mmc1}, {"mmchc", CardKind::mmchc}}};
    for (const auto& [name, kind] : kinds) {
        if (value != name) continue;
        s.kind = kind;
        return true;
    }
    return false;
}

bool set_register(std::string_view value, std::optional<CardRegister>& field) {
    value = without_hex_prefix(value);
    CardRegister reg{};
    if (value.size() != reg.size() * 2) return false;
    for (std::size_t i = 0; i < reg.size(); ++i) {
        long long n = 0;
        if (!parse_number(value.substr(i * 2, 2), 16, 0, 0xFF, n)) return false;
        reg[i] = static_cast<std::uint8_t>(n);
    }
    field = reg;
    return true;
}

bool set_rate(std::string_view value, double& field) {
    double rate = 0;
    const char* end = value.data() + value.size();
    auto [ptr, ec] = std::from_chars(value.data(), end, rate);
    if (value.empty() || ec != std::errc() || ptr != end || !(rate >= 0 && rate <= 1)) return false;
    field = rate;
    return true;
}

template <typename T>
bool set_optional(std::string_view value, long long min, long long max, std::optional<T>& field) {
    long long n = 0;
    if (!parse_number(value, 10, min, max, n)) return false;
    field = static_cast<T>(n);
    return true;
}

bool set_block_len(std::string_view value, SimSettings& s) {
    if (value != "512" && value != "1024" && value != "2048") return false;
    s.block_len = value == "512" ? 512 : value == "1024" ? 1024 : 2048;
    return true;
}

// Each ecc= adds one sector.
bool set_ecc(std::string_view value, SimSettings& s) {
    constexpr std::string_view once = ":once";
    const bool only_once = value.ends_with(once);
    if (only_once) value.remove_suffix(once.size());
    long long n = 0;
    if (s.ecc_count == s.ecc.size() || !parse_number(value, 16, 0, 0xFFFFFFFFLL, n)) return false;
    s.ecc[s.ecc_count++] = {static_cast<std::uint32_t>(n), only_once};
    return true;
}

bool set_fake(std::string_view value, SimSettings& s) {
    constexpr std::string_view drop = ":drop";
    s.fake_drops = value.ends_with(drop);
    if (s.fake_drops) value.remove_suffix(drop.size());
    long long n = 0;
    if (!parse_number(value, 16, 1, 0xFFFFFFFFLL, n)) return false;
    s.fake_sectors = static_cast<std::uint32_t>(n);
    return true;
}

bool set_via(std::string_view value, SimSettings& s) {
    constexpr std::array<std::pair<std::string_view, SimVia>, 5> adapters{{{"port", SimVia::port},
                                                                           {"spidev", SimVia::spidev},
                                                                           {"ftdi", SimVia::ftdi},
                                                                           {"gpio", SimVia::gpio},
                                                                           {"ftdi-bitbang", SimVia::ftdi_bitbang}}};
    for (const auto& [name, via] : adapters) {
        if (value != name) continue;
        s.via = via;
        return true;
    }
    return false;
}

struct Setting {
    std::string_view name;
    std::string_view range;
    bool (*apply)(std::string_view value, SimSettings& s);
};

bool set_flag(std::string_view value, bool& field) { return value.empty() && (field = true); }

bool set_erased(std::string_view value, SimSettings& s) {
    if (value != "00" && value != "ff" && value != "FF") return false;
    s.erased = value == "00" ? 0x00 : 0xFF;
    return true;
}

bool set_slot(std::string_view value, SimSettings& s) {
    s.slot = std::string(value);
    return !value.empty();
}

bool set_psn(std::string_view value, SimSettings& s) {
    long long n = 0;
    if (!parse_number(value, 16, 0, 0xFFFFFFFFLL, n)) return false;
    s.serial = static_cast<std::uint32_t>(n);
    return true;
}

constexpr std::array<Setting, 42> settings_table{{
    {"ncr", "1 to 8", [](std::string_view v, SimSettings& s) { return set_int(v, 1, 8, s.ncr); }},
    {"idle", "a count or never", set_idle},
    {"access", "0 to 100000", [](std::string_view v, SimSettings& s) { return set_int(v, 0, 100000, s.access_bytes); }},
    {"cmd0", "a hex byte", [](std::string_view v, SimSettings& s) { return set_byte(v, s.cmd0_answer); }},
    {"cmd1", "a hex byte", set_cmd1},
    {"token", "a hex byte", [](std::string_view v, SimSettings& s) { return set_byte(v, s.read_token); }},
    {"write", "on or off", [](std::string_view v, SimSettings& s) { return set_switch(v, "on", "off", s.writable); }},
    {"response", "a hex byte or none", set_response},
    {"busy", "0 to 100000", [](std::string_view v, SimSettings& s) { return set_int(v, 0, 100000, s.busy_bytes); }},
    {"bad", "a hex sector number, optionally followed by :N (writes it takes first)", set_bad_sector},
    {"link", "up or down", [](std::string_view v, SimSettings& s) { return set_switch(v, "down", "up", s.link_down); }},
    {"card", "mmc, mmc1, mmchc, sd1, sd2, sdhc or sdxc", set_kind},
    {"cid", "32 hex digits", [](std::string_view v, SimSettings& s) { return set_register(v, s.cid); }},
    {"csd", "32 hex digits", [](std::string_view v, SimSettings& s) { return set_register(v, s.csd); }},
    {"scr", "up to 16 hex digits", set_scr},
    {"ssr", "up to 128 hex digits", set_ssr},
    {"noise", "a rate from 0 to 1, such as 1e-5", [](std::string_view v, SimSettings& s) { return set_rate(v, s.noise_rate); }},
    {"fake", "a hex sector count, optionally followed by :drop", set_fake},
    {"clock", "1 to 1000000000 ns", [](std::string_view v, SimSettings& s) { return set_optional(v, 1, 1000000000, s.clock_ns); }},
    {"read-time", "0 to 10000000 us", [](std::string_view v, SimSettings& s) { return set_optional(v, 0, 10000000, s.read_time_us); }},
    {"write-time", "0 to 10000000 us", [](std::string_view v, SimSettings& s) { return set_optional(v, 0, 10000000, s.write_time_us); }},
    {"init-time", "0 to 100000 ms", [](std::string_view v, SimSettings& s) { return set_optional(v, 0, 100000, s.init_time_ms); }},
    {"timing", "real", [](std::string_view v, SimSettings& s) { return v == "real" && (s.timing_real = true); }},
    {"late", "1 to 7 bits", [](std::string_view v, SimSettings& s) { return set_int(v, 1, 7, s.late_bits); }},
    {"di-noise", "a rate from 0 to 1, such as 1e-5", [](std::string_view v, SimSettings& s) { return set_rate(v, s.di_noise_rate); }},
    {"regcrc", "bad", [](std::string_view v, SimSettings& s) { return v == "bad" && (s.regcrc_bad = true); }},
    {"blocklen", "512, 1024 or 2048", set_block_len},
    {"stuck", "on or off", [](std::string_view v, SimSettings& s) { return set_switch(v, "on", "off", s.stuck); }},
    {"ecc", "a hex sector number, optionally followed by :once", set_ecc},
    {"via", "port, spidev, ftdi, ftdi-bitbang or gpio", set_via},
    {"zero-before-token", "no value", [](std::string_view v, SimSettings& s) { return set_flag(v, s.zero_before_token); }},
    {"cmd0-answers-ready", "no value", [](std::string_view v, SimSettings& s) { return set_flag(v, s.cmd0_answers_ready); }},
    {"ocr-r1-idle", "no value", [](std::string_view v, SimSettings& s) { return set_flag(v, s.ocr_r1_idle); }},
    {"cmd1-on-sdhc", "no value", [](std::string_view v, SimSettings& s) { return set_flag(v, s.cmd1_on_sdhc); }},
    {"late-response", "1 to 7 bits", [](std::string_view v, SimSettings& s) { return set_int(v, 1, 7, s.late_response_bits); }},
    {"deferred-write-error", "no value", [](std::string_view v, SimSettings& s) { return set_flag(v, s.deferred_write_error); }},
    {"last-block-hang", "no value", [](std::string_view v, SimSettings& s) { return set_flag(v, s.last_block_hang); }},
    {"erased", "00 or ff", set_erased},
    {"erase-unit", "1 to 128 sectors", [](std::string_view v, SimSettings& s) { return set_optional(v, 1, 128, s.erase_unit); }},
    {"psn", "up to 8 hex digits", set_psn},
    {"slot", "a file name", set_slot},
    {"pull", "1 to 100000000 ms", [](std::string_view v, SimSettings& s) { return set_optional(v, 1, 100000000, s.pull_ms); }},
}};

// Settings of the socket, not of the card in it.
constexpr std::array<std::string_view, 3> socket_settings{"via", "slot", "link"};

// Settings that may be given more than once, each adding to a list.
constexpr std::string_view repeatable = "ecc";

// seen: the table's settings given so far; one given twice is refused.
Outcome apply_setting(std::string_view item, SimSettings& s, std::bitset<settings_table.size()>& seen) {
    const auto eq = item.find('=');
    const std::string_view name = item.substr(0, eq);
    for (std::size_t i = 0; i < settings_table.size(); ++i) {
        const Setting& setting = settings_table[i];
        if (setting.name != name) continue;
        if (seen[i] && name != repeatable)
            return Outcome::failed("simulated-card setting " + std::string(name) + " is given twice: give it once");
        seen[i] = true;
        const std::string_view value = eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
        if (setting.apply(value, s)) return Outcome::ok();
        return Outcome::failed("bad value '" + std::string(value) + "' for simulated-card setting " + std::string(name) +
                               " (" + std::string(setting.range) + ")");
    }
    if (std::optional<Outcome> adapter = sim_adapter_setting(name, eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1), s))
        return std::move(*adapter);
    return Outcome::failed("unknown simulated-card setting '" + std::string(name) + "'");
}

// What holds for the settings as a whole.
Outcome settled(const SimSettings& s) {
    if (s.pull_ms && s.slot.empty()) return Outcome::failed("simulated-card setting pull needs slot=FILE");
    if (s.block_len != 512 && (s.kind == CardKind::sdhc || s.kind == CardKind::sdxc || s.kind == CardKind::mmchc))
        return Outcome::failed("simulated-card setting blocklen needs a byte-addressed card (mmc, mmc1, sd1 or sd2)");
    return Outcome::ok();
}

}  // namespace

const char* const sim_settings_help =
    "  ncr=N         bytes clocked before each R1 arrives, 1 to 8 (default 2)\n"
    "  idle=N|never  CMD1 or ACMD41 answers idle N times before ready (default 3),\n"
    "                or never\n"
    "  access=N      0xFF bytes before a read's start token (default 2)\n"
    "  cmd0=HH       R1 answered to CMD0 (default 01)\n"
    "  cmd1=HH       R1 answered to every CMD1 instead of idle/ready\n"
    "  token=HH      token sent instead of the start token FE (a data error token)\n"
    "  write=on|off  open IMAGE for writing (default off: read-only)\n"
    "  response=HH|none  data response to a written block (default 05: accepted;\n"
    "                0B: CRC error, 0D: write error)\n"
    "  busy=N        bytes the card stays busy after a write (default 8)\n"
    "  bad=SECTOR[:N] writes to this sector (hex) fail with a write error; with\n"
    "                N, only once N writes to it went in since power-up\n"
    "  link=up|down  down: the port cannot reach the card (default up)\n"
    "  card=KIND     mmc (default), mmc1, mmchc, sd1, sd2, sdhc or sdxc: how the\n"
    "                card starts, its registers, byte (mmc, mmc1, sd1, sd2) or\n"
    "                block addressing; mmc1 takes single blocks only, mmchc is an\n"
    "                MMC over 2 GB\n"
    "  cid=HEX       CID register sent instead of the default (32 hex digits,\n"
    "                its CRC7 byte last, sent as given)\n"
    "  psn=HEX       the default CID with this product serial number (hex), its\n"
    "                CRC7 sealed again\n"
    "  csd=HEX       CSD register sent instead of the default (32 hex digits)\n"
    "  scr=HEX       SD cards: SCR sent instead of the default (up to 16 hex\n"
    "                digits, the rest zero)\n"
    "  ssr=HEX       SD cards: SD Status sent instead of the default (up to 128\n"
    "                hex digits, the rest zero)\n"
    "  noise=RATE    each bit on DO flips with this chance (e.g. 1e-5), the\n"
    "                same bits in every run\n"
    "  fake=N[:drop] a counterfeit card: claims the image's capacity, keeps only\n"
    "                N sectors (hex); past them addresses wrap, or with :drop\n"
    "                writes are lost and reads give zeros\n"
    "  clock=NS      card time of one port access in ns (default 1000)\n"
    "  read-time=US  from a read command, or between blocks, to the data token\n"
    "  write-time=US busy after each written block and after the stop token\n"
    "  init-time=MS  CMD1 or ACMD41 answer idle for at least this long\n"
    "  timing=real   read and write delays drawn like a real card's, the same in\n"
    "                every run (a time setting above overrides its part)\n"
    "  late=BITS     answers and tokens arrive 1 to 7 bits after a byte boundary\n"
    "  di-noise=RATE each bit the card receives on DI flips with this chance\n"
    "  regcrc=bad    register blocks carry a wrong CRC16 while CRC checking is off\n"
    "  blocklen=N    1024 or 2048: the block length of a byte-addressed card\n"
    "                until CMD16(512)\n"
    "  stuck=on      the card starts selected in the middle of a multi-block\n"
    "                write and ignores CMD0 until its supply is off for 1 ms\n"
    "                with CS, DI and SCK low\n"
    "  ecc=SECTOR[:once]  reads of this sector (hex) give the ECC error token\n"
    "                04, or only the first read with :once\n"
    "  via=ADAPTER   port (default): the card on the parallel port; spidev,\n"
    "                ftdi, ftdi-bitbang or gpio: behind a stand-in spidev\n"
    "                device, MPSSE bridge, FTDI chip in synchronous bit-bang\n"
    "                or GPIO chip\n"
    "  zero-before-token   0x00 bytes come before a read's start token\n"
    "  cmd0-answers-ready  CMD0 once in SPI mode is answered 00 (the card still\n"
    "                resets)\n"
    "  ocr-r1-idle   CMD58's R1 keeps the idle bit once the card is ready\n"
    "  cmd1-on-sdhc  an sdhc or sdxc card comes up by CMD1 too, still addressed\n"
    "                by sector\n"
    "  late-response=BITS  tokens and data responses arrive 1 to 7 bits after\n"
    "                the R1's bit offset\n"
    "  deferred-write-error  in a CMD25 run a failed block is reported by the\n"
    "                next block's data response (ACMD22 counts the blocks written)\n"
    "  last-block-hang  a CMD18 run that reaches the last sector hangs the card\n"
    "                until its supply goes off\n"
    "  erased=00|ff  what erased sectors read as, whatever the SCR says\n"
    "  erase-unit=N  the card erases whole units of N sectors, 1 to 128 (its CSD\n"
    "                says so; an MMC's N above 32 is rounded to a multiple of 32)\n"
    "  slot=FILE     a socket whose card comes and goes: the card is in while FILE\n"
    "                exists, and is the card FILE's settings describe over these\n"
    "                (image=IMAGE and any card setting, apart by commas or lines)\n"
    "  pull=MS       the card leaves its slot MS ms after it went in (the card's\n"
    "                clock), and stays out until FILE is gone or holds another card\n"
    "  (the card waits for 1 ms of supply before it answers; CMD59 turns CRC\n"
    "  checking on)\n";

Outcome sim_parse_settings(std::string_view text, SimSettings& s) {
    if (!text.empty() && text.front() == ':') {
        text.remove_prefix(1);
        const auto comma = text.find(',');
        const std::string_view image = text.substr(0, comma);
        if (image.empty()) return Outcome::failed("no card image named after 'sim:' (leave out the ':' for the demo card)");
        s.empty_socket = image == "none";
        if (!s.empty_socket) s.image = std::string(image);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma);
    }
    std::bitset<settings_table.size()> seen;
    while (!text.empty()) {
        if (text.front() != ',') {
            return Outcome::failed("expected ',SETTING=VALUE' after sim, got '" + std::string(text) + "'");
        }
        text.remove_prefix(1);
        const auto comma = text.find(',');
        if (Outcome applied = apply_setting(text.substr(0, comma), s, seen); !applied) return applied;
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma);
    }
    if (!s.slot.empty() && s.empty_socket)
        return Outcome::failed("simulated-card setting slot names the socket's card: leave out 'none'");
    return settled(s);
}

Outcome sim_card_in_slot(std::string_view text, SimSettings& s) {
    constexpr std::string_view apart = ", \t\r\n";
    constexpr std::string_view image = "image=";
    std::bitset<settings_table.size()> seen;
    for (auto start = text.find_first_not_of(apart); start != std::string_view::npos;
         start = text.find_first_not_of(apart, start)) {
        const auto end = std::min(text.find_first_of(apart, start), text.size());
        const std::string_view item = text.substr(start, end - start);
        start = end;
        const std::string_view name = item.substr(0, item.find('='));
        if (item.starts_with(image)) {
            s.image = std::string(item.substr(image.size()));
            if (s.image.empty()) return Outcome::failed("no card image named after 'image='");
            continue;
        }
        const bool of_socket = std::find(socket_settings.begin(), socket_settings.end(), name) != socket_settings.end();
        SimSettings scratch;
        if (of_socket || sim_adapter_setting(name, {}, scratch).has_value())
            return Outcome::failed("simulated-card setting " + std::string(name) + " belongs to the socket, not the card");
        if (Outcome applied = apply_setting(item, s, seen); !applied) return applied;
    }
    return settled(s);
}

