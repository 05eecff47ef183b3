#include "sim/card_controls.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

#include "sim/card_registers.h"
#include "sim/crc.h"

namespace {

constexpr std::uint8_t r1_ready = 0x00;
constexpr std::uint8_t r1_erase_reset = 0x02;
constexpr std::uint8_t r1_erase_sequence_error = 0x10;
constexpr std::uint8_t sd_erase_last_index = 33;
constexpr std::uint8_t mmc_erase_last_index = 36;
constexpr std::uint8_t erase_index = 38;
constexpr std::uint8_t r1_parameter_error = 0x40;
constexpr std::uint8_t start_token = 0xFE;
constexpr std::uint8_t data_accepted = 0x05;
constexpr std::uint8_t data_crc_error = 0x0B;
constexpr std::uint8_t data_write_error = 0x0D;

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

constexpr int csd_copy_bit = 14;
constexpr int csd_perm_bit = 13;
constexpr int csd_tmp_bit = 12;
// The CSD bits a host may program: FILE_FORMAT_GRP, COPY, the two write
// protections, FILE_FORMAT (byte 14) and the CRC (byte 15).
constexpr std::size_t csd_programmable_from = 14;

// Busy times, shaped like a real card's: programming the CSD or the
// password takes a few milliseconds; erase grows with the sectors erased.
constexpr std::uint64_t ns_per_us = 1000;
constexpr std::uint64_t program_busy_ns = 2'000'000;
constexpr std::uint64_t erase_ns_per_sector = 2'000;
constexpr std::uint64_t force_erase_ns_per_sector = 8'000;

// What a locked card still takes: the basic commands (class 0: reset,
// bring-up, its registers, status, stop, OCR, CRC on or off), the lock
// commands (class 7: block length, CMD42), CMD55 and ACMD41.
constexpr std::array<std::uint8_t, 12> taken_when_locked{0, 1, 8, 9, 10, 12, 13, 16, 42, 55, 58, 59};
constexpr std::uint8_t acmd_sd_send_op_cond = 41;

// Defaults shaped like real cards of each kind, in CardKind's order (none for MMC).
constexpr std::array<std::string_view, 7> default_scr{"", "0125000000000000", "0225800000000000",
                                                      "0235800100000000", "0245848700000000", "", ""};
constexpr std::array<std::string_view, 7> default_ssr{
    "", "", "00000000000000000102800008050000", "0000000000000000020290000B050000",
    "00000000000000000405F000100A311E000000000002", "", ""};

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

// An answer of R1 alone, or R1 and busy (R1b).
ControlAnswer answer(std::uint8_t r1, std::optional<std::uint64_t> busy_ns = std::nullopt) {
    ControlAnswer a;
    a.r1 = r1;
    a.busy_ns = busy_ns;
    return a;
}

// R1 then a data block; an R2 carries a status byte between them.
ControlAnswer answer_with(std::span<const std::uint8_t> data, std::optional<std::uint8_t> status = std::nullopt) {
    ControlAnswer a;
    a.status = status;
    a.data = data;
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

// A state file read at opening sets the CSD's temporary protection; without
// one the CSD's own bit is the state.
CardControls::CardControls(const SimSettings& settings, Storage& storage, CardState& state, CardRegister& csd)
    : cfg_(settings), storage_(storage), state_(state), csd_(csd) {
    const auto kind = static_cast<std::size_t>(settings.kind);
    if (!parse_hex_bytes(default_scr[kind], scr_)) scr_.fill(0);
    if (!parse_hex_bytes(default_ssr[kind], ssr_)) ssr_.fill(0);
    if (settings.scr) scr_ = *settings.scr;
    if (settings.ssr) ssr_ = *settings.ssr;
    fill_switch_status();
    if (state_.loaded()) set_csd_bit(csd_tmp_bit, state_.temporary_protect);
    else state_.temporary_protect = csd_bit(csd_tmp_bit);
    locked_ = !state_.password.empty();
}

bool CardControls::is_sd() const {
    return cfg_.kind == CardKind::sd1 || cfg_.kind == CardKind::sd2 || cfg_.kind == CardKind::sdhc ||
           cfg_.kind == CardKind::sdxc;
}

bool CardControls::csd_bit(int bit) const { return (csd_[15 - bit / 8] >> (bit % 8)) & 1; }

void CardControls::set_csd_bit(int bit, bool on) {
    std::uint8_t& byte = csd_[15 - bit / 8];
    const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
    byte = static_cast<std::uint8_t>(on ? byte | mask : byte & ~mask);
    csd_[15] = crc7_byte(std::span<const std::uint8_t>(csd_.data(), 15));
}

void CardControls::fill_switch_status() {
    const bool high_speed = cfg_.kind != CardKind::sd1;
    auto& s = switch_status_;
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

bool CardControls::address_to_sector(std::uint32_t arg, std::uint32_t& sector) const {
    sector = block_addressed(cfg_.kind) ? arg : arg / sector_bytes;
    return sector < storage_.sectors();
}

// What the SCR says erased data reads as, unless the card does otherwise (erased=).
std::uint8_t CardControls::erased_value() const {
    return cfg_.erased.value_or(is_sd() && (scr_[1] & 0x80) ? 0xFF : 0x00);
}

// The card erases whole units: an SD card single blocks when ERASE_BLK_EN
// is set, else SECTOR_SIZE + 1 blocks; an MMC (ERASE_GRP_SIZE + 1) *
// (ERASE_GRP_MULT + 1) blocks.
std::uint32_t CardControls::erase_unit() const {
    const auto bits = [this](int msb, int width) {
        std::uint32_t v = 0;
        for (int bit = msb; bit > msb - width; --bit) v = v << 1 | (csd_bit(bit) ? 1u : 0u);
        return v;
    };
    if (is_sd()) return bits(46, 1) ? 1 : bits(45, 7) + 1;
    return (bits(46, 5) + 1) * (bits(41, 5) + 1);
}

void CardControls::fill_sectors(std::uint32_t first, std::uint32_t last) {
    std::array<std::uint8_t, sector_bytes> erased{};
    erased.fill(erased_value());
    for (std::uint64_t s = first; s <= last && s < storage_.sectors(); ++s)
        if (!storage_.write(static_cast<std::uint32_t>(s), erased))
            std::fprintf(stderr, "vantacle: the card image refused the erase of sector %06X\n",
                         static_cast<unsigned>(s));
}

bool CardControls::write_protected() const { return state_.temporary_protect || csd_bit(csd_perm_bit); }

// write-time= sets it, as it does a sector's programming.
std::uint64_t CardControls::program_ns() const {
    return cfg_.write_time_us ? *cfg_.write_time_us * ns_per_us : program_busy_ns;
}

// Only the programmable bits may change, and the one-time ones (COPY,
// PERM_WRITE_PROTECT) never back to 0; a CSD whose CRC7 is wrong is
// refused as a whole.
BlockAnswer CardControls::csd_received() {
    const auto one_time_kept = [&] {
        return std::ranges::all_of(std::array{csd_copy_bit, csd_perm_bit}, [&](int bit) {
            return !csd_bit(bit) || (incoming_[15 - bit / 8] >> (bit % 8) & 1);
        });
    };
    const bool crc_ok = incoming_[15] == crc7_byte(std::span<const std::uint8_t>(incoming_.data(), 15));
    if (!std::equal(csd_.begin(), csd_.begin() + csd_programmable_from, incoming_.begin()) || !crc_ok ||
        !one_time_kept()) {
        status_ |= status_csd_overwrite;
        return {data_accepted, 0};
    }
    if (!storage_.writable()) return {data_write_error, 0};
    const auto before = csd_;
    std::copy_n(incoming_.begin(), csd_.size(), csd_.begin());
    state_.temporary_protect = csd_bit(csd_tmp_bit);
    if (!state_.save()) {
        csd_ = before;
        state_.temporary_protect = csd_bit(csd_tmp_bit);
        return {data_write_error, 0};
    }
    return {data_accepted, program_ns()};
}

bool CardControls::force_erase() {
    if (incoming_[0] != lock_erase || !locked_ || csd_bit(csd_perm_bit) || !storage_.writable()) return false;
    if (!keep_password("")) return false;
    if (storage_.sectors() > 0) fill_sectors(0, storage_.sectors() - 1);
    locked_ = false;
    return true;
}

// SET_PWD: the old password (if any) then the new one, on an unlocked card.
bool CardControls::set_password(std::string_view given) {
    const std::string& old = state_.password;
    if (locked_ || !storage_.writable() || given.size() <= old.size() || given.substr(0, old.size()) != old)
        return false;
    const std::string_view fresh = given.substr(old.size());
    if (fresh.size() > password_max) return false;
    if (!keep_password(std::string(fresh))) return false;
    locked_ = (incoming_[0] & lock_lock) != 0;
    return true;
}

bool CardControls::clear_password(std::string_view given) {
    if (given != state_.password || !storage_.writable()) return false;
    if (!keep_password("")) return false;
    locked_ = false;
    return true;
}

// The password from now on, once the card's state holds it; the old one
// stays when the state cannot be written, as on a card whose programming failed.
bool CardControls::keep_password(std::string password) {
    std::swap(state_.password, password);
    if (state_.save()) return true;
    state_.password = std::move(password);
    return false;
}

// PWDS_LEN must give the block's own length: the flags byte, itself and
// the passwords it counts.
bool CardControls::lock_command() {
    const std::uint8_t flags = incoming_[0];
    if (flags & lock_erase) return force_erase();
    if (incoming_length_ < 2 || std::size_t{incoming_[1]} + 2 != incoming_length_) return false;
    const std::string_view given(reinterpret_cast<const char*>(incoming_.data() + 2), incoming_[1]);
    if (flags & lock_set) return set_password(given);
    if (state_.password.empty() || given != state_.password) return false;
    if (flags & lock_clear) return clear_password(given);
    const bool lock = (flags & lock_lock) != 0;
    if (lock == locked_) return false;
    locked_ = lock;
    return true;
}

// A forced erase takes its time even when refused, as the card checks late.
BlockAnswer CardControls::lock_received() {
    const bool erasing = incoming_[0] == lock_erase;
    const std::uint64_t erase_ns = erasing ? force_erase_ns_per_sector * storage_.sectors() : 0;
    if (!lock_command()) status_ |= status_lock_failed;
    return {data_accepted, program_ns() + erase_ns};
}

ControlAnswer CardControls::expect_block(Expect what, std::size_t length) {
    expect_ = what;
    receiving_ = false;
    incoming_length_ = length;
    return answer(r1_ready);
}

void CardControls::power_lost() {
    locked_ = !state_.password.empty();
    high_speed_ = false;
    status_ = 0;
    block_length_ = sector_bytes;
    erase_first_.reset();
    erase_last_.reset();
    frame();
}

bool CardControls::refuses(std::uint8_t index, bool app) const {
    if (!locked_) return false;
    if (app) return index != acmd_sd_send_op_cond;
    return std::find(taken_when_locked.begin(), taken_when_locked.end(), index) == taken_when_locked.end();
}

bool CardControls::refuse_write() {
    if (!write_protected()) return false;
    status_ |= status_wp_violation;
    return true;
}

bool CardControls::block_length(std::uint32_t length) {
    if (length == 0 || length > sector_bytes) return false;
    block_length_ = length;
    return true;
}

ControlAnswer CardControls::send_status(std::uint32_t) {
    ControlAnswer a;
    a.status = static_cast<std::uint8_t>(std::exchange(status_, 0) | (locked_ ? status_locked : 0));
    return a;
}

// The functions are told, and in switch mode (bit 31 set) the one asked for
// in group 1 is what the card runs from then on; the card keeps no clock
// limit, so switching changes nothing else.
ControlAnswer CardControls::switch_func(std::uint32_t arg) {
    const std::uint32_t group1 = arg & 0xF;
    const bool high_speed = (switch_status_[13] & 0x02) != 0;
    const std::uint8_t selected = group1 == 0xF || group1 == 0 ? 0 : group1 == 1 && high_speed ? 1 : 0xF;
    switch_status_[16] = selected;
    constexpr std::uint32_t switch_mode = 0x80000000;  // else check mode, which changes nothing
    if ((arg & switch_mode) && selected == 1) high_speed_ = true;
    return answer_with(switch_status_);
}

ControlAnswer CardControls::program_csd(std::uint32_t) { return expect_block(Expect::csd, csd_.size()); }

ControlAnswer CardControls::erase_first(std::uint32_t arg) {
    std::uint32_t sector = 0;
    if (!address_to_sector(arg, sector)) return answer(r1_parameter_error);
    erase_first_ = sector;
    erase_last_.reset();
    return answer(r1_ready);
}

ControlAnswer CardControls::erase_last(std::uint32_t arg) {
    std::uint32_t sector = 0;
    if (!erase_first_) return answer(r1_erase_sequence_error);
    if (!address_to_sector(arg, sector)) return answer(r1_parameter_error);
    erase_last_ = sector;
    return answer(r1_ready);
}

// R1b: busy for a time that grows with the sectors erased; a refused erase
// is busy only briefly and says why in the next CMD13.
ControlAnswer CardControls::erase(std::uint32_t) {
    const auto first = std::exchange(erase_first_, std::nullopt);
    const auto last = std::exchange(erase_last_, std::nullopt);
    if (!first || !last) return answer(r1_erase_sequence_error);
    if (*last < *first) {
        status_ |= status_erase_param;
        return answer(r1_ready, 0);
    }
    if (write_protected() || !storage_.writable()) {
        status_ |= status_lock_failed;
        return answer(r1_ready, 0);
    }
    const std::uint32_t unit = erase_unit();
    const std::uint32_t from = *first / unit * unit;
    const std::uint64_t group_end = std::uint64_t{*last} / unit * unit + unit - 1;
    const auto to = static_cast<std::uint32_t>(std::min<std::uint64_t>(group_end, storage_.sectors() - 1));
    fill_sectors(from, to);
    return answer(r1_ready, program_ns() + erase_ns_per_sector * (to - from + 1));
}

ControlAnswer CardControls::lock_unlock(std::uint32_t) { return expect_block(Expect::lock, block_length_); }

ControlAnswer CardControls::sd_status(std::uint32_t) {
    return answer_with(ssr_, static_cast<std::uint8_t>(locked_ ? status_locked : 0));
}

ControlAnswer CardControls::send_scr(std::uint32_t) { return answer_with(scr_); }

void CardControls::frame() {
    expect_ = Expect::none;
    receiving_ = false;
}

// Any command but the erase sequence's next ends the sequence: its R1
// carries the erase-reset bit.
std::uint8_t CardControls::command_arrived(std::uint8_t index, bool app) {
    if (!erase_first_) return 0;
    const bool next_step = !app && (index == erase_last_index() || (erase_last_ && index == erase_index));
    if (next_step) return 0;
    erase_first_.reset();
    erase_last_.reset();
    return r1_erase_reset;
}

std::uint8_t CardControls::erase_last_index() const { return is_sd() ? sd_erase_last_index : mmc_erase_last_index; }

std::optional<BlockAnswer> CardControls::byte(std::uint8_t byte, bool check_crc) {
    if (expect_ == Expect::none) return std::nullopt;
    if (!receiving_) {
        if (byte == start_token) {
            receiving_ = true;
            incoming_pos_ = 0;
            incoming_.fill(0);
        }
        return std::nullopt;
    }
    incoming_[incoming_pos_] = byte;
    if (++incoming_pos_ < incoming_length_ + block_crc_bytes) return std::nullopt;
    return block_received(check_crc);
}

// With CRC checking on, a block whose CRC16 fails is answered 0B and dropped.
BlockAnswer CardControls::block_received(bool check_crc) {
    const Expect what = std::exchange(expect_, Expect::none);
    receiving_ = false;
    const std::size_t len = incoming_length_;
    const auto sent = static_cast<std::uint16_t>(incoming_[len] << 8 | incoming_[len + 1]);
    if (check_crc && sent != crc16(std::span<const std::uint8_t>(incoming_.data(), len))) return {data_crc_error, 0};
    return what == Expect::csd ? csd_received() : lock_received();
}
