#include "sim/card_controls.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/card_registers.h"
#include "sim/crc.h"
#include "sim/storage.h"

namespace {

constexpr std::uint8_t r1_ready = 0x00;
constexpr std::uint8_t r1_erase_sequence_error = 0x10;
constexpr std::uint8_t r1_parameter_error = 0x40;
constexpr std::uint8_t start_token = 0xFE;
constexpr std::uint8_t data_accepted = 0x05;
constexpr std::uint8_t data_write_error = 0x0D;
constexpr std::size_t block_crc_bytes = 2;

// The byte after R1 in CMD13's R2.
constexpr std::uint8_t status_locked = 0x01;
constexpr std::uint8_t status_lock_failed = 0x02;  // also: erase skipped for write protection
constexpr std::uint8_t status_wp_violation = 0x20;
constexpr std::uint8_t status_erase_param = 0x40;
constexpr std::uint8_t status_csd_overwrite = 0x80;

constexpr std::uint8_t lock_set = 0x01;
constexpr std::uint8_t lock_clear = 0x02;
constexpr std::uint8_t lock_lock = 0x04;
constexpr std::uint8_t lock_erase = 0x08;
constexpr std::size_t password_max = 16;

constexpr int csd_perm_bit = 13;
constexpr int csd_tmp_bit = 12;
// The CSD bits a host may program: FILE_FORMAT_GRP, COPY, the two write
// protections, FILE_FORMAT (byte 14) and the CRC (byte 15).
constexpr std::size_t csd_programmable_from = 14;

constexpr std::uint32_t erase_sectors_per_busy_byte = 64;
constexpr std::uint32_t force_erase_busy_factor = 4;

// Commands a locked card refuses: reads, writes, erase, CMD6 and CMD27.
constexpr std::array<std::uint8_t, 11> refused_when_locked{6, 17, 18, 24, 25, 27, 32, 33, 35, 36, 38};

// Defaults shaped like real cards of each kind (none for MMC).
constexpr std::array<std::string_view, 5> default_scr{"", "0125000000000000", "0225800000000000",
                                                      "0235800100000000", "0245848700000000"};
constexpr std::array<std::string_view, 5> default_ssr{
    "", "", "00000000000000000102800008050000", "0000000000000000020290000B050000",
    "00000000000000000405F000100A311E000000000002"};

enum class Expect : std::uint8_t { none, csd, lock };

struct Persisted {
    std::string password;
    bool temporary_protect = false;
};

struct Controls {
    SimSettings cfg;
    CardRegister* csd = nullptr;
    Persisted saved;
    bool locked = false;
    std::uint8_t status = 0;  // error bits until the next CMD13
    std::uint32_t block_length = sector_bytes;
    std::optional<std::uint32_t> erase_first;
    std::optional<std::uint32_t> erase_last;
    ScrBytes scr{};
    SsrBytes ssr{};
    std::array<std::uint8_t, 64> switch_status{};
    Expect expect = Expect::none;
    bool receiving = false;
    std::array<std::uint8_t, sector_bytes> incoming{};
    std::size_t incoming_pos = 0;
    std::size_t incoming_length = 0;
};

Controls controls;
// What IMAGE.state held when the card was opened, and for which image.
std::string opened_image;
std::optional<Persisted> opened_state;

bool is_sd() { return controls.cfg.kind != CardKind::mmc; }

template <std::size_t N>
bool parse_hex_bytes(std::string_view text, std::array<std::uint8_t, N>& out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    if (text.empty() || text.size() > 2 * N || text.size() % 2 != 0) return false;
    out.fill(0);
    for (std::size_t i = 0; i < text.size() / 2; ++i) {
        const char* first = text.data() + 2 * i;
        auto [end, ec] = std::from_chars(first, first + 2, out[i], 16);
        if (ec != std::errc() || end != first + 2) return false;
    }
    return true;
}

std::string hex_text(std::string_view bytes) {
    std::string text;
    char two[3];
    for (char c : bytes) {
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned char>(c));
        text += two;
    }
    return text;
}

bool csd_bit(int bit) { return ((*controls.csd)[15 - bit / 8] >> (bit % 8)) & 1; }

void set_csd_bit(int bit, bool on) {
    std::uint8_t& byte = (*controls.csd)[15 - bit / 8];
    const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
    byte = static_cast<std::uint8_t>(on ? byte | mask : byte & ~mask);
    (*controls.csd)[15] = crc7_byte(std::span<const std::uint8_t>(controls.csd->data(), 15));
}

// IMAGE.state: three lines, the first naming the file.
constexpr std::string_view state_heading = "vantacle card state 1";

std::string state_path(const std::string& image) { return image + ".state"; }

bool parse_state(std::istream& in, Persisted& p) {
    std::string heading, password_line, protect_line, extra;
    if (!std::getline(in, heading) || heading != state_heading) return false;
    if (!std::getline(in, password_line) || !std::getline(in, protect_line) || std::getline(in, extra)) return false;
    constexpr std::string_view password_key = "password ";
    constexpr std::string_view protect_key = "write-protect ";
    if (password_line.rfind(password_key, 0) != 0 || protect_line.rfind(protect_key, 0) != 0) return false;
    const std::string password_hex = password_line.substr(password_key.size());
    if (password_hex != "none") {
        std::array<std::uint8_t, password_max> bytes{};
        if (!parse_hex_bytes(password_hex, bytes)) return false;
        p.password.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(password_hex.size() / 2));
    }
    const std::string protect = protect_line.substr(protect_key.size());
    if (protect != "temporary" && protect != "none") return false;
    p.temporary_protect = protect == "temporary";
    return true;
}

// Writes IMAGE.state through a temporary file, so that it is whole or old.
void save_state() {
    if (controls.cfg.image.empty()) return;
    const std::string path = state_path(controls.cfg.image);
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << state_heading << "\npassword "
            << (controls.saved.password.empty() ? std::string("none") : hex_text(controls.saved.password))
            << "\nwrite-protect " << (controls.saved.temporary_protect ? "temporary" : "none") << "\n";
        out.flush();
        if (out && std::rename(temporary.c_str(), path.c_str()) == 0) return;
    }
    std::remove(temporary.c_str());
    std::fprintf(stderr, "vantacle: the card state %s could not be written\n", path.c_str());
}

void fill_switch_status() {
    const bool high_speed = controls.cfg.kind != CardKind::sd1;
    auto& s = controls.switch_status;
    s.fill(0);
    const unsigned current_ma = high_speed ? 200 : 100;
    s[0] = static_cast<std::uint8_t>(current_ma >> 8);
    s[1] = static_cast<std::uint8_t>(current_ma);
    for (std::size_t group = 0; group < 6; ++group) {  // groups 6 down to 1: default function, bit 15 set
        s[2 + 2 * group] = 0x80;
        s[3 + 2 * group] = 0x01;
    }
    if (high_speed) s[13] |= 0x02;
}

bool address_to_sector(std::uint32_t arg, std::uint32_t& sector) {
    sector = block_addressed(controls.cfg.kind) ? arg : arg / sector_bytes;
    return sector < storage_sectors();
}

std::uint8_t erased_value() { return is_sd() && (controls.scr[1] & 0x80) ? 0xFF : 0x00; }

// An MMC erases whole erase groups: (ERASE_GRP_SIZE + 1) * (ERASE_GRP_MULT + 1) blocks.
std::uint32_t erase_unit() {
    if (is_sd()) return 1;
    const auto bits = [](int msb, int width) {
        std::uint32_t v = 0;
        for (int bit = msb; bit > msb - width; --bit) v = v << 1 | (csd_bit(bit) ? 1u : 0u);
        return v;
    };
    return (bits(46, 5) + 1) * (bits(41, 5) + 1);
}

void fill_sectors(std::uint32_t first, std::uint32_t last) {
    std::array<std::uint8_t, sector_bytes> erased{};
    erased.fill(erased_value());
    for (std::uint64_t s = first; s <= last && s < storage_sectors(); ++s)
        if (!storage_write(static_cast<std::uint32_t>(s), erased))
            std::fprintf(stderr, "vantacle: the card image refused the erase of sector %06X\n",
                         static_cast<unsigned>(s));
}

bool write_protected() { return controls.saved.temporary_protect || csd_bit(csd_perm_bit); }

BlockAnswer csd_received() {
    const CardRegister& now = *controls.csd;
    if (!std::equal(now.begin(), now.begin() + csd_programmable_from, controls.incoming.begin())) {
        controls.status |= status_csd_overwrite;
        return {data_accepted, 1};
    }
    if (!storage_writable()) return {data_write_error, 0};
    std::copy_n(controls.incoming.begin(), now.size(), controls.csd->begin());
    controls.saved.temporary_protect = csd_bit(csd_tmp_bit);
    save_state();
    return {data_accepted, static_cast<std::uint32_t>(controls.cfg.busy_bytes)};
}

bool force_erase() {
    if (controls.incoming[0] != lock_erase || !controls.locked || csd_bit(csd_perm_bit) || !storage_writable())
        return false;
    if (storage_sectors() > 0) fill_sectors(0, storage_sectors() - 1);
    controls.saved.password.clear();
    controls.locked = false;
    save_state();
    return true;
}

// SET_PWD: the old password (if any) then the new one, on an unlocked card.
bool set_password(std::string_view given) {
    const std::string& old = controls.saved.password;
    if (controls.locked || !storage_writable() || given.size() <= old.size() || given.substr(0, old.size()) != old)
        return false;
    const std::string_view fresh = given.substr(old.size());
    if (fresh.size() > password_max) return false;
    controls.saved.password = std::string(fresh);
    controls.locked = (controls.incoming[0] & lock_lock) != 0;
    save_state();
    return true;
}

bool lock_command() {
    const std::uint8_t flags = controls.incoming[0];
    if (flags & lock_erase) return force_erase();
    const std::size_t length = std::min<std::size_t>(controls.incoming[1], controls.incoming_length - 2);
    const std::string_view given(reinterpret_cast<const char*>(controls.incoming.data() + 2), length);
    const std::string& password = controls.saved.password;
    if (flags & lock_set) return set_password(given);
    if (password.empty() || given != password) return false;
    if (flags & lock_clear) {
        if (!storage_writable()) return false;
        controls.saved.password.clear();
        controls.locked = false;
        save_state();
        return true;
    }
    const bool lock = (flags & lock_lock) != 0;
    if (lock == controls.locked) return false;
    controls.locked = lock;
    return true;
}

BlockAnswer lock_received() {
    const bool erasing = controls.incoming[0] == lock_erase;
    if (!lock_command()) controls.status |= status_lock_failed;
    const auto busy = static_cast<std::uint32_t>(controls.cfg.busy_bytes) * (erasing ? force_erase_busy_factor : 1);
    return {data_accepted, busy};
}

// An answer of R1 alone, or R1 and busy bytes (R1b).
ControlAnswer answer(std::uint8_t r1, std::uint32_t busy_bytes = 0) {
    ControlAnswer a;
    a.r1 = r1;
    a.busy_bytes = busy_bytes;
    return a;
}

// R1 then a data block; an R2 carries a status byte between them.
ControlAnswer answer_with(std::span<const std::uint8_t> data, std::optional<std::uint8_t> status = std::nullopt) {
    ControlAnswer a;
    a.status = status;
    a.data = data;
    return a;
}

ControlAnswer expect_block(Expect what, std::size_t length) {
    controls.expect = what;
    controls.receiving = false;
    controls.incoming_length = length;
    ControlAnswer a;
    a.block_expected = length;
    return a;
}

}  // namespace

bool set_scr(std::string_view value, SimSettings& s) {
    ScrBytes scr{};
    if (!parse_hex_bytes(value, scr)) return false;
    s.scr = scr;
    return true;
}

bool set_ssr(std::string_view value, SimSettings& s) {
    SsrBytes ssr{};
    if (!parse_hex_bytes(value, ssr)) return false;
    s.ssr = ssr;
    return true;
}

Outcome controls_open(const SimSettings& settings) {
    opened_image = settings.image;
    opened_state.reset();
    if (settings.image.empty()) return Outcome::ok();
    const std::string path = state_path(settings.image);
    std::ifstream in(path);
    if (!in) {
        std::FILE* exists = std::fopen(path.c_str(), "rb");
        if (!exists) return Outcome::ok();
        std::fclose(exists);
        return Outcome::failed("the card state " + path + " cannot be read");
    }
    Persisted state;
    if (!parse_state(in, state))
        return Outcome::failed("the card state " + path +
                               " makes no sense (remove it to forget the card's password and protection)");
    opened_state = state;
    return Outcome::ok();
}

void controls_configure(const SimSettings& settings, CardRegister& csd) {
    controls = Controls{};
    controls.cfg = settings;
    controls.csd = &csd;
    const auto kind = static_cast<std::size_t>(settings.kind);
    if (!parse_hex_bytes(default_scr[kind], controls.scr)) controls.scr.fill(0);
    if (!parse_hex_bytes(default_ssr[kind], controls.ssr)) controls.ssr.fill(0);
    if (settings.scr) controls.scr = *settings.scr;
    if (settings.ssr) controls.ssr = *settings.ssr;
    fill_switch_status();
    if (opened_state && opened_image == settings.image) {
        controls.saved = *opened_state;
        set_csd_bit(csd_tmp_bit, controls.saved.temporary_protect);
    } else {
        controls.saved.temporary_protect = csd_bit(csd_tmp_bit);
    }
    controls.locked = !controls.saved.password.empty();
}

void controls_power_lost() {
    controls.locked = !controls.saved.password.empty();
    controls.status = 0;
    controls.block_length = sector_bytes;
    controls.erase_first.reset();
    controls.erase_last.reset();
    controls.expect = Expect::none;
    controls.receiving = false;
}

bool controls_refuses(std::uint8_t index, bool app) {
    if (!controls.locked || app) return false;
    return std::find(refused_when_locked.begin(), refused_when_locked.end(), index) != refused_when_locked.end();
}

bool controls_refuse_write() {
    if (!write_protected()) return false;
    controls.status |= status_wp_violation;
    return true;
}

bool controls_block_length(std::uint32_t length) {
    if (length == 0 || length > sector_bytes) return false;
    controls.block_length = length;
    return true;
}

ControlAnswer controls_send_status(std::uint32_t) {
    const std::uint8_t status = static_cast<std::uint8_t>(controls.status | (controls.locked ? status_locked : 0));
    controls.status = 0;
    ControlAnswer a;
    a.status = status;
    return a;
}

// Check mode only (bit 31 clear): the functions are told, none is switched.
ControlAnswer controls_switch(std::uint32_t arg) {
    const std::uint32_t group1 = arg & 0xF;
    const bool high_speed = (controls.switch_status[13] & 0x02) != 0;
    const std::uint8_t selected = group1 == 0xF || group1 == 0 ? 0 : group1 == 1 && high_speed ? 1 : 0xF;
    controls.switch_status[16] = selected;
    return answer_with(controls.switch_status);
}

ControlAnswer controls_program_csd(std::uint32_t) { return expect_block(Expect::csd, controls.csd->size()); }

ControlAnswer controls_erase_first(std::uint32_t arg) {
    std::uint32_t sector = 0;
    if (!address_to_sector(arg, sector)) return answer(r1_parameter_error);
    controls.erase_first = sector;
    controls.erase_last.reset();
    return answer(r1_ready);
}

ControlAnswer controls_erase_last(std::uint32_t arg) {
    std::uint32_t sector = 0;
    if (!controls.erase_first) return answer(r1_erase_sequence_error);
    if (!address_to_sector(arg, sector)) return answer(r1_parameter_error);
    controls.erase_last = sector;
    return answer(r1_ready);
}

// R1b: busy for a time that grows with the sectors erased.
ControlAnswer controls_erase(std::uint32_t) {
    const auto first = std::exchange(controls.erase_first, std::nullopt);
    const auto last = std::exchange(controls.erase_last, std::nullopt);
    if (!first || !last) return answer(r1_erase_sequence_error);
    if (*last < *first) {
        controls.status |= status_erase_param;
        return answer(r1_ready, 1);
    }
    if (write_protected() || !storage_writable()) {
        controls.status |= status_lock_failed;
        return answer(r1_ready, 1);
    }
    const std::uint32_t unit = erase_unit();
    const std::uint32_t from = *first / unit * unit;
    const std::uint64_t group_end = std::uint64_t{*last} / unit * unit + unit - 1;
    const auto to = static_cast<std::uint32_t>(std::min<std::uint64_t>(group_end, storage_sectors() - 1));
    fill_sectors(from, to);
    const auto busy = static_cast<std::uint32_t>(controls.cfg.busy_bytes) + (to - from) / erase_sectors_per_busy_byte;
    return answer(r1_ready, busy);
}

ControlAnswer controls_lock_unlock(std::uint32_t) { return expect_block(Expect::lock, controls.block_length); }

ControlAnswer controls_sd_status(std::uint32_t) {
    return answer_with(controls.ssr, static_cast<std::uint8_t>(controls.locked ? status_locked : 0));
}

ControlAnswer controls_send_scr(std::uint32_t) { return answer_with(controls.scr); }

void controls_frame() {
    controls.expect = Expect::none;
    controls.receiving = false;
}

bool controls_takes_block_data() { return controls.receiving; }

std::optional<BlockAnswer> controls_byte(std::uint8_t byte) {
    if (controls.expect == Expect::none) return std::nullopt;
    if (!controls.receiving) {
        if (byte == start_token) {
            controls.receiving = true;
            controls.incoming_pos = 0;
            controls.incoming.fill(0);
        }
        return std::nullopt;
    }
    if (controls.incoming_pos < controls.incoming_length) controls.incoming[controls.incoming_pos] = byte;
    if (++controls.incoming_pos < controls.incoming_length + block_crc_bytes) return std::nullopt;
    const Expect what = std::exchange(controls.expect, Expect::none);
    controls.receiving = false;
    return what == Expect::csd ? csd_received() : lock_received();
}
