// The card's state machine: a table of commands (which card kinds know
// them, in which phase), a handler for each, answers queued for DO.
#include "sim/card_model.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "sim/card_controls.h"
#include "sim/card_registers.h"
#include "sim/crc.h"
#include "sim/storage.h"

namespace {

constexpr std::uint8_t r1_ready = 0x00;
constexpr std::uint8_t r1_idle = 0x01;
constexpr std::uint8_t r1_illegal_command = 0x04;
constexpr std::uint8_t r1_crc_error = 0x08;
constexpr std::uint8_t r1_address_error = 0x20;
constexpr std::uint8_t r1_parameter_error = 0x40;
constexpr std::uint8_t start_token = 0xFE;
constexpr std::uint8_t multi_write_token = 0xFC;
constexpr std::uint8_t stop_token = 0xFD;
constexpr std::uint8_t error_token_error = 0x01;
constexpr std::uint8_t error_token_ecc = 0x04;
constexpr std::uint8_t error_token_out_of_range = 0x08;
constexpr std::uint8_t data_accepted = 0x05;
constexpr std::uint8_t data_crc_error = 0x0B;
constexpr std::uint8_t data_write_error = 0x0D;
constexpr std::uint32_t high_capacity_support = 0x40000000;  // HCS in ACMD41's argument
constexpr std::uint32_t stop_busy_bytes = 1;                  // CMD12's busy after a read
constexpr std::uint32_t zeros_before_token = 2;               // zero-before-token
constexpr std::uint64_t delay_seed = 0x7D1A7E5C4A8D0B11ull;
constexpr std::uint64_t ns_per_us = 1000;
constexpr std::uint64_t ns_per_ms = 1000000;

// EXT_CSD bytes an MMC over 2 GB is read by.
constexpr std::size_t ext_csd_sec_count = 212;  // four bytes, least significant first
constexpr std::size_t ext_csd_card_type = 196;
constexpr std::size_t ext_csd_structure = 194;
constexpr std::size_t ext_csd_rev = 192;

// Which card kinds know a command, and in which phase it is taken.
enum Kinds : std::uint8_t {
    mmc = 1 << static_cast<int>(CardKind::mmc),
    mmc1 = 1 << static_cast<int>(CardKind::mmc1),
    mmchc = 1 << static_cast<int>(CardKind::mmchc),
    sd1 = 1 << static_cast<int>(CardKind::sd1),
    sd2 = 1 << static_cast<int>(CardKind::sd2),
    sdhc = 1 << static_cast<int>(CardKind::sdhc),
    sdxc = 1 << static_cast<int>(CardKind::sdxc),
    sd_v2 = sd2 | sdhc | sdxc,
    sd = sd1 | sd_v2,
    every_kind = mmc | mmc1 | mmchc | sd,
    mmc_family = mmc | mmc1 | mmchc,
    multi_block = every_kind & ~mmc1,
};
enum Phase : std::uint8_t { when_idle = 1, when_ready = 2, always = when_idle | when_ready };

bool sd_high_capacity(CardKind kind) { return kind == CardKind::sdhc || kind == CardKind::sdxc; }

bool frame_crc_holds(CommandFrame frame) { return frame[5] == crc7_byte(frame.first<5>()); }

}  // namespace

enum class CardModel::State : std::uint8_t {
    native,            // powered, not yet in SPI mode: takes only CMD0 with its CRC
    idle,              // SPI mode, initialising
    ready,             // transfer state: takes commands
    sending,           // CMD18: one block after another until CMD12
    awaiting_block,    // CMD24 answered: waits for the start token
    receiving_block,   // CMD24's block and CRC arrive
    awaiting_blocks,   // CMD25: waits for a start or stop token
    receiving_blocks,  // one of CMD25's blocks and its CRC arrive
};

struct CardModel::Command {
    std::uint8_t index;
    bool app;  // an ACMD: taken right after CMD55
    std::uint8_t kinds;
    Phase phase;
    void (CardModel::*handler)(Request request);
};

// After CMD55 an index that is no ACMD is taken as the plain command. A
// command another card kind knows is illegal to this one.
const CardModel::Command* CardModel::find_command(std::uint8_t index, bool app, CardKind kind) {
    using M = CardModel;
    using C = CardControls;
    static constexpr std::array<Command, 28> commands{{
        {0, false, every_kind, always, &M::go_idle_state},
        {1, false, every_kind, always, &M::send_op_cond},
        {6, false, sd, when_ready, &M::control<&C::switch_func>},
        {8, false, sd_v2, when_idle, &M::send_if_cond},
        {8, false, mmchc, when_ready, &M::send_ext_csd},
        {9, false, every_kind, when_ready, &M::send_csd},
        {10, false, every_kind, when_ready, &M::send_cid},
        {12, false, every_kind, when_ready, &M::stop_transmission},
        {13, false, every_kind, when_ready, &M::control<&C::send_status>},
        {16, false, every_kind, when_ready, &M::set_blocklen},
        {17, false, every_kind, when_ready, &M::read_single_block},
        {18, false, multi_block, when_ready, &M::read_multiple_block},
        {24, false, every_kind, when_ready, &M::write_block},
        {25, false, multi_block, when_ready, &M::write_multiple_block},
        {27, false, every_kind, when_ready, &M::control<&C::program_csd>},
        {32, false, sd, when_ready, &M::control<&C::erase_first>},
        {33, false, sd, when_ready, &M::control<&C::erase_last>},
        {35, false, mmc_family, when_ready, &M::control<&C::erase_first>},
        {36, false, mmc_family, when_ready, &M::control<&C::erase_last>},
        {38, false, every_kind, when_ready, &M::control<&C::erase>},
        {42, false, every_kind, when_ready, &M::control<&C::lock_unlock>},
        {55, false, sd, always, &M::app_cmd},
        {58, false, every_kind, always, &M::read_ocr},
        {59, false, every_kind, always, &M::crc_on_off},
        {13, true, sd, when_ready, &M::control<&C::sd_status>},
        {22, true, sd, when_ready, &M::send_num_wr_blocks},
        {41, true, sd, always, &M::sd_send_op_cond},
        {51, true, sd, when_ready, &M::control<&C::send_scr>},
    }};
    const auto is = [&](bool as_app) {
        return [=](const Command& c) {
            return c.index == index && c.app == as_app && (c.kinds & (1 << static_cast<int>(kind)));
        };
    };
    auto found = std::find_if(commands.begin(), commands.end(), is(app));
    if (found == commands.end() && app) found = std::find_if(commands.begin(), commands.end(), is(false));
    return found == commands.end() ? nullptr : &*found;
}

CardModel::CardModel(const SimSettings& settings, Storage& storage, CardState& state)
    : cfg_(settings),
      storage_(storage),
      cid_(settings.cid.value_or(default_cid(settings.kind))),
      csd_(settings.csd.value_or(default_csd(settings.kind, storage_.sectors(), settings.block_len))),
      controls_(settings, storage, state, csd_),
      delays_(delay_seed),
      state_(State::native),
      block_len_(settings.block_len) {
    if (settings.erase_unit && !settings.csd) set_erase_unit(csd_, settings.kind, *settings.erase_unit);
    const std::uint32_t sectors = storage_.sectors();
    for (std::size_t i = 0; i < 4; ++i) ext_csd_[ext_csd_sec_count + i] = static_cast<std::uint8_t>(sectors >> (8 * i));
    ext_csd_[ext_csd_card_type] = 0x03;  // 26 and 52 MHz
    ext_csd_[ext_csd_structure] = 2;
    ext_csd_[ext_csd_rev] = 5;
    if (!settings.stuck) return;
    // Where an interrupted run left it: selected, in a multi-block write.
    state_ = State::receiving_blocks;
    stuck_ = true;
}

void CardModel::power_lost() {
    out_.clear();
    state_ = State::native;
    idle_left_ = 0;
    init_until_ns_.reset();
    if_cond_seen_ = app_next_ = crc_on_ = busy_ = stuck_ = false;
    block_len_ = cfg_.block_len;
    incoming_pos_ = 0;
    commit_pending_ = run_failed_ = false;
    controls_.power_lost();
}

// --- answers ----------------------------------------------------------

// TRAN_SPEED (CSD byte 3): a rate unit of 100 kbit/s times ten to bits
// 2:0, times a factor in tenths from bits 6:3. A code below the
// identification clock still takes that.
std::uint64_t CardModel::top_clock_hz() const {
    constexpr std::uint64_t identification_hz = 400'000;
    constexpr std::uint64_t high_speed_hz = 50'000'000;
    constexpr std::array<std::uint64_t, 8> unit_hz{100'000, 1'000'000, 10'000'000, 100'000'000, 0, 0, 0, 0};
    constexpr std::array<std::uint64_t, 16> tenths{0, 10, 12, 13, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60, 70, 80};
    if (state_ == State::native || state_ == State::idle) return identification_hz;
    if (controls_.high_speed()) return high_speed_hz;
    const std::uint8_t code = csd_[3];
    return std::max(identification_hz, unit_hz[code & 7u] * tenths[(code >> 3) & 15u] / 10);
}

std::uint8_t CardModel::state_bits() const { return state_ == State::idle ? r1_idle : r1_ready; }

void CardModel::respond(std::uint8_t r1) {
    out_.fill(0xFF, static_cast<std::uint32_t>(cfg_.ncr - 1));
    out_.fill(r1 | std::exchange(r1_extra_, 0), 1);
}

void CardModel::respond_with_word(std::uint8_t r1, std::uint32_t word) {
    respond(r1);
    answer_ = {static_cast<std::uint8_t>(word >> 24), static_cast<std::uint8_t>(word >> 16),
               static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
    out_.bytes(answer_);
}

void CardModel::hold_until(std::uint8_t byte, std::uint64_t delay_ns) {
    if (delay_ns) out_.hold(byte, now_ns_ + delay_ns);
}

// A data block after the access bytes (and the read delay): start token,
// bytes, CRC16 (inverted when the block is to carry a wrong one).
void CardModel::queue_block(std::span<const std::uint8_t> data, bool bad_crc, std::uint64_t delay_ns) {
    const auto crc = static_cast<std::uint16_t>(bad_crc ? ~crc16(data) : crc16(data));
    block_crc_ = {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
    queue_token(start_token, delay_ns);
    out_.bytes(data);
    out_.bytes(block_crc_);
}

// The access bytes, the read delay, then the token: after 0x00 bytes
// (zero-before-token), late by its own bits (late-response=; idle bits
// come first).
void CardModel::queue_token(std::uint8_t token, std::uint64_t delay_ns) {
    const int late_idle = cfg_.late_response_bits && cfg_.access_bytes == 0 ? 1 : 0;
    out_.fill(0xFF, static_cast<std::uint32_t>(cfg_.access_bytes + late_idle));
    hold_until(0xFF, delay_ns);
    if (cfg_.zero_before_token) out_.fill(0x00, zeros_before_token);
    mark_late();
    out_.fill(token, 1);
}

void CardModel::mark_late() {
    if (cfg_.late_response_bits) out_.late_from_here();
}

void CardModel::queue_register(std::span<const std::uint8_t> reg) {
    respond(r1_ready);
    queue_block(reg, cfg_.regcrc_bad && !crc_on_, 0);
}

// --- delays -----------------------------------------------------------

// timing=real: reads mostly under 2 ms, one in 250 up to 90 ms.
std::uint64_t CardModel::read_delay_ns() {
    if (cfg_.read_time_us) return *cfg_.read_time_us * ns_per_us;
    if (!cfg_.timing_real) return 0;
    if (delays_.next() % 250 == 0) return delays_.between(10 * ns_per_ms, 90 * ns_per_ms);
    return delays_.between(100 * ns_per_us, 2 * ns_per_ms);
}

// timing=real: writes mostly 0.3 to 5 ms, one in 300 at 100 to 800 ms.
std::uint64_t CardModel::write_delay_ns() {
    if (cfg_.write_time_us) return *cfg_.write_time_us * ns_per_us;
    if (!cfg_.timing_real) return 0;
    if (delays_.next() % 300 == 0) return delays_.between(100 * ns_per_ms, 800 * ns_per_ms);
    return delays_.between(300 * ns_per_us, 5 * ns_per_ms);
}

std::uint64_t CardModel::init_delay_ns() {
    if (cfg_.init_time_ms) return *cfg_.init_time_ms * ns_per_ms;
    return cfg_.timing_real ? delays_.between(20 * ns_per_ms, 300 * ns_per_ms) : 0;
}

// --- sectors ----------------------------------------------------------

std::uint32_t CardModel::sectors_per_block() const { return block_len_ / sector_bytes; }

bool CardModel::sector_of(std::uint32_t arg, std::uint64_t& sector) const {
    if (block_addressed(cfg_.kind)) {
        sector = arg;
        return sector < storage_.sectors();
    }
    sector = arg / sector_bytes;
    return arg % sector_bytes == 0 && sector + sectors_per_block() <= storage_.sectors();
}

// A counterfeit card keeps only its first fake_sectors: past them it wraps,
// or loses writes and reads zeros.
bool CardModel::dropped_by_fake(std::uint32_t& sector) const {
    if (!cfg_.fake_sectors || sector < *cfg_.fake_sectors) return false;
    if (cfg_.fake_drops) return true;
    sector %= *cfg_.fake_sectors;
    return false;
}

bool CardModel::read_sector(std::uint32_t sector, SectorSpan out) {
    if (!dropped_by_fake(sector)) return storage_.read(sector, out);
    std::fill(out.begin(), out.end(), 0);
    return true;
}

bool CardModel::write_sector(std::uint32_t sector, ConstSectorSpan data) {
    return dropped_by_fake(sector) || storage_.write(sector, data);
}

bool CardModel::ecc_fails(std::uint64_t first, std::uint64_t count) {
    for (std::size_t i = 0; i < cfg_.ecc_count; ++i) {
        const EccFault& fault = cfg_.ecc[i];
        if (fault.sector < first || fault.sector >= first + count || (fault.once && ecc_spent_[i])) continue;
        ecc_spent_[i] = true;
        return true;
    }
    return false;
}

// A read's block (of the current block length), or the error token that
// replaces it.
bool CardModel::queue_sectors(std::uint64_t sector) {
    const std::uint32_t count = sectors_per_block();
    std::uint8_t token = cfg_.read_token;
    if (sector + count > storage_.sectors()) token = error_token_out_of_range;
    else if (ecc_fails(sector, count)) token = error_token_ecc;
    for (std::uint32_t i = 0; i < count && token == start_token; ++i) {
        const std::span<std::uint8_t, sector_bytes> part(block_.data() + i * sector_bytes, sector_bytes);
        if (!read_sector(static_cast<std::uint32_t>(sector + i), part)) token = error_token_error;
    }
    const std::uint64_t delay = read_delay_ns();
    if (token == start_token) {
        queue_block(std::span(block_).first(block_len_), false, delay);
        return true;
    }
    queue_token(token, delay);
    return false;
}

// --- commands ---------------------------------------------------------

void CardModel::go_idle_state(Request) {
    const bool in_spi_mode = state_ != State::native;
    controls_.go_idle();
    state_ = State::idle;
    idle_left_ = cfg_.idle_answers;
    init_until_ns_.reset();
    if_cond_seen_ = false;
    respond(cfg_.cmd0_answers_ready && in_spi_mode ? r1_ready : cfg_.cmd0_answer);
}

// The command that brings the card up: idle a set number of times and for
// the set time, then ready.
std::uint8_t CardModel::count_down_idle() {
    if (state_ != State::idle) return r1_ready;
    if (!init_until_ns_) init_until_ns_ = now_ns_ + init_delay_ns();
    if (cfg_.never_ready || idle_left_ > 0) {
        if (!cfg_.never_ready) --idle_left_;
        return r1_idle;
    }
    if (now_ns_ < *init_until_ns_) return r1_idle;
    state_ = State::ready;
    return r1_ready;
}

// A high-capacity SD card never comes up through CMD1, unless it is one
// that does (cmd1-on-sdhc).
void CardModel::send_op_cond(Request) {
    if (cfg_.cmd1_answer) return respond(*cfg_.cmd1_answer);
    respond(sd_high_capacity(cfg_.kind) && !cfg_.cmd1_on_sdhc ? state_bits() : count_down_idle());
}

// A high-capacity card comes up only for a host that sent CMD8 and sets HCS.
void CardModel::sd_send_op_cond(Request request) {
    const bool host_fits = if_cond_seen_ && (request.arg & high_capacity_support);
    respond(block_addressed(cfg_.kind) && !host_fits ? state_bits() : count_down_idle());
}

// R7: the voltage range accepted (2.7 to 3.6 V only) and the check pattern echoed.
void CardModel::send_if_cond(Request request) {
    if_cond_seen_ = true;
    const std::uint32_t voltage = (request.arg >> 8 & 0xF) == 1 ? 1 : 0;
    respond_with_word(state_bits(), voltage << 8 | (request.arg & 0xFF));
}

void CardModel::send_ext_csd(Request) { queue_register(ext_csd_); }

void CardModel::app_cmd(Request) {
    app_next_ = true;
    respond(state_bits());
}

void CardModel::read_ocr(Request) {
    respond_with_word(cfg_.ocr_r1_idle ? r1_idle : state_bits(), card_ocr(cfg_.kind, state_ != State::idle));
}

// ACMD22: the blocks of the last write command that were programmed, as a
// four-byte data block.
void CardModel::send_num_wr_blocks(Request) {
    for (std::size_t i = 0; i < well_written_block_.size(); ++i)
        well_written_block_[i] = static_cast<std::uint8_t>(well_written_ >> (24 - 8 * i));
    respond(r1_ready);
    queue_block(well_written_block_, false, 0);
}
void CardModel::send_csd(Request) { queue_register(csd_); }
void CardModel::send_cid(Request) { queue_register(cid_); }

// 512 bytes, or the card's own block length back; 1 to 512 bytes also sets
// the length of a lock block (CMD42).
void CardModel::set_blocklen(Request request) {
    const bool lock_length = controls_.block_length(request.arg);
    if (request.arg == sector_bytes || request.arg == cfg_.block_len) block_len_ = request.arg;
    else if (!lock_length) return respond(r1_parameter_error);
    respond(r1_ready);
}

// R1 comes after a stuff byte (the data DO was carrying), then a short busy.
void CardModel::stop_transmission(Request) {
    out_.fill(stuff_, 1);
    respond(r1_ready);
    out_.busy(stop_busy_bytes, 0);
    busy_ = true;
}

void CardModel::read_single_block(Request request) {
    std::uint64_t sector = 0;
    if (!sector_of(request.arg, sector)) return respond(r1_address_error);
    respond(r1_ready);
    (void)queue_sectors(sector);
}

// The blocks are queued one by one as DO runs dry (next_out).
void CardModel::read_multiple_block(Request request) {
    if (!sector_of(request.arg, next_read_)) return respond(r1_address_error);
    respond(r1_ready);
    state_ = State::sending;
}

void CardModel::write_block(Request request) {
    if (!sector_of(request.arg, next_write_)) return respond(r1_address_error);
    respond(r1_ready);
    well_written_ = 0;
    state_ = State::awaiting_block;
}

void CardModel::write_multiple_block(Request request) {
    if (!sector_of(request.arg, next_write_)) return respond(r1_address_error);
    respond(r1_ready);
    run_failed_ = false;
    well_written_ = 0;
    state_ = State::awaiting_blocks;
}

void CardModel::crc_on_off(Request request) {
    crc_on_ = (request.arg & 1) != 0;
    respond(state_bits());
}

// A command of the card's controls: R1, an R2's status byte, a data block,
// busy (R1b) while it programs; a block the host sends after it goes to the
// controls (byte).
template <ControlAnswer (CardControls::*handle)(std::uint32_t)>
void CardModel::control(Request request) {
    const ControlAnswer answer = (controls_.*handle)(request.arg);
    respond(answer.r1);
    if (answer.status) out_.fill(*answer.status, 1);
    if (!answer.data.empty()) queue_block(answer.data, false, 0);
    if (answer.busy_ns) busy_for(*answer.busy_ns);
}

// --- writing ----------------------------------------------------------

// DO low for the busy bytes and the write time; commands are ignored.
void CardModel::busy_for(std::uint64_t delay_ns) {
    out_.busy(static_cast<std::uint32_t>(cfg_.busy_bytes), delay_ns ? now_ns_ + delay_ns : 0);
    busy_ = true;
}

// The block and its CRC are in: answer, then stay busy while programming.
// With CRC checking on a block whose CRC16 fails is answered 0B and not
// written; the rest of a run is then refused.
void CardModel::block_received(bool more) {
    state_ = more ? State::awaiting_blocks : State::ready;
    const std::size_t len = block_len_;
    const std::uint16_t sent = static_cast<std::uint16_t>(incoming_[len] << 8 | incoming_[len + 1]);
    if (crc_on_ && sent != crc16(std::span(incoming_).first(len))) {
        run_failed_ = more;
        return out_.fill(data_crc_error, 1);
    }
    programming_ = next_write_;
    next_write_ += sectors_per_block();
    std::optional<std::uint8_t> response = cfg_.data_response;
    const bool bad_block = cfg_.bad_sector && *cfg_.bad_sector >= programming_ &&
                           *cfg_.bad_sector < programming_ + sectors_per_block();
    const bool bad_in_block = bad_block && bad_writes_++ >= cfg_.bad_after;
    const bool refused = !storage_.writable() || controls_.refuse_write() || bad_in_block || run_failed_ ||
                         programming_ + sectors_per_block() > storage_.sectors();
    // deferred-write-error: the first failed block of a run is accepted and
    // left unwritten; the next block's response reports the failure.
    const bool deferred = cfg_.deferred_write_error && more && refused && !run_failed_;
    if (deferred) run_failed_ = true;
    if (response == data_accepted && refused && !deferred) response = data_write_error;
    if (!response) return;
    mark_late();
    out_.fill(*response, 1);
    if (*response != data_accepted) return;
    busy_for(write_delay_ns());
    commit_pending_ = !deferred;
}

// Programming ends: later reads see the new data.
// An image that refuses the write leaves the sector as it was, and says so.
void CardModel::commit_block() {
    commit_pending_ = false;
    bool whole = true;
    for (std::uint32_t i = 0; i < sectors_per_block(); ++i) {
        const auto sector = static_cast<std::uint32_t>(programming_ + i);
        const std::span<const std::uint8_t, sector_bytes> part(incoming_.data() + i * sector_bytes, sector_bytes);
        if (write_sector(sector, part)) continue;
        whole = false;
        std::fprintf(stderr, "vantacle: the card image refused the write of sector %06X\n", static_cast<unsigned>(sector));
    }
    if (whole) ++well_written_;
}

// The stop token: a byte, then busy while the last block is programmed.
void CardModel::stop_writing() {
    state_ = State::ready;
    run_failed_ = false;
    out_.fill(0xFF, 1);
    busy_for(write_delay_ns());
}

void CardModel::start_block(State receiving) {
    if (commit_pending_) commit_block();
    state_ = receiving;
    incoming_pos_ = 0;
}

// True while programming still holds DO low.
bool CardModel::still_busy() {
    if (busy_ && out_.empty(now_ns_)) busy_ = false;
    return busy_;
}

// --- the wire's side --------------------------------------------------

void CardModel::frame(CommandFrame frame, std::uint64_t now_ns) {
    now_ns_ = now_ns;
    const std::uint8_t index = frame[0] & 0x3F;
    const bool crc_ok = frame_crc_holds(frame);
    // Before SPI mode only a CMD0 with a correct CRC is taken; a stuck or
    // busy card takes nothing.
    if (stuck_ || still_busy()) return;
    if (state_ == State::native && !(index == 0 && crc_ok)) return;
    if (commit_pending_) commit_block();
    stuff_ = out_.next(now_ns_);
    out_.clear();
    controls_.frame();
    if (state_ != State::idle && state_ != State::native) state_ = State::ready;
    const bool app = std::exchange(app_next_, false);
    // CMD0 and CMD8 are always checked, every frame once CMD59 turned CRC on.
    if (!crc_ok && (crc_on_ || (!app && (index == 0 || index == 8)))) return respond(state_bits() | r1_crc_error);
    const Command* command = find_command(index, app, cfg_.kind);
    const Phase phase = state_ == State::idle ? when_idle : when_ready;
    if (!command || !(command->phase & phase) || controls_.refuses(index, command->app))
        return respond(state_bits() | r1_illegal_command);
    r1_extra_ = controls_.command_arrived(index, command->app);
    const std::uint32_t arg = std::uint32_t{frame[1]} << 24 | std::uint32_t{frame[2]} << 16 |
                              std::uint32_t{frame[3]} << 8 | frame[4];
    (this->*command->handler)({arg, crc_ok});
}

void CardModel::byte(std::uint8_t byte, std::uint64_t now_ns) {
    now_ns_ = now_ns;
    if (!listening() || still_busy()) return;
    switch (state_) {
        case State::awaiting_block:
            if (byte == start_token) start_block(State::receiving_block);
            return;
        case State::awaiting_blocks:
            if (byte == multi_write_token) start_block(State::receiving_blocks);
            if (byte == stop_token) stop_writing();
            return;
        case State::receiving_block:
        case State::receiving_blocks:
            incoming_[incoming_pos_] = byte;
            if (++incoming_pos_ == block_len_ + block_crc_bytes) block_received(state_ == State::receiving_blocks);
            return;
        default:
            return control_byte(byte);
    }
}

// A byte of a block for CMD27 or CMD42: once it is in, the data response,
// then busy while the card programs it.
void CardModel::control_byte(std::uint8_t byte) {
    const auto answer = controls_.byte(byte, crc_on_);
    if (!answer) return;
    mark_late();
    out_.fill(answer->response, 1);
    if (answer->response == data_accepted) busy_for(answer->busy_ns);
}

bool CardModel::takes_block_data() const {
    return state_ == State::receiving_block || state_ == State::receiving_blocks || controls_.takes_block_data();
}

std::uint8_t CardModel::next_out(std::uint64_t now_ns) {
    now_ns_ = now_ns;
    if (out_.empty(now_ns_)) {
        busy_ = false;
        if (commit_pending_) commit_block();
        if (state_ == State::sending && cfg_.last_block_hang && next_read_ + sectors_per_block() > storage_.sectors()) {
            // Reading on past its last block, the card hangs until its supply goes off.
            stuck_ = true;
            state_ = State::ready;
        } else if (state_ == State::sending) {
            if (!queue_sectors(next_read_)) state_ = State::ready;
            next_read_ += sectors_per_block();
        }
    }
    return out_.next(now_ns_);
}
