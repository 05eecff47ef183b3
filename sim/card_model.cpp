// What the card does with commands and data: one state, a table of the
// commands it knows (and which card kinds know them), and a handler for
// each. The wire (sim/spi_framing) hands over whole frames and bytes;
// answers go to DO's queue.
#include "sim/card_model.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <utility>

#include "sim/card_controls.h"
#include "sim/card_logic.h"
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
constexpr std::uint8_t error_token_out_of_range = 0x08;
constexpr std::uint8_t data_accepted = 0x05;
constexpr std::uint8_t data_write_error = 0x0D;
constexpr std::uint32_t high_capacity_support = 0x40000000;  // HCS in ACMD41's argument
constexpr std::uint32_t stop_busy_bytes = 1;                  // CMD12's busy after a read
constexpr std::size_t block_crc_bytes = 2;

enum class State : std::uint8_t {
    native,            // powered, not yet in SPI mode: takes only CMD0 with its CRC
    idle,              // SPI mode, initialising
    ready,             // transfer state: takes commands
    sending,           // CMD18: one block after another until CMD12
    awaiting_block,    // CMD24 answered: waits for the start token
    receiving_block,   // CMD24's block and CRC arrive
    awaiting_blocks,   // CMD25: waits for a start or stop token
    receiving_blocks,  // one of CMD25's blocks and its CRC arrive
};

struct Card {
    SimSettings cfg;
    CardRegister cid{};
    CardRegister csd{};
    State state = State::native;
    int idle_left = 0;
    bool if_cond_seen = false;  // CMD8 since the last CMD0
    bool app_next = false;      // CMD55 came: the next command is an ACMD
    std::uint8_t stuff = 0xFF;  // the byte DO would have carried next when a frame ended
    std::array<std::uint8_t, 4> answer{};  // the four bytes after R1 of an R3 or R7
    std::array<std::uint8_t, sector_bytes> block{};
    std::array<std::uint8_t, block_crc_bytes> block_crc{};
    std::uint64_t next_read = 0;   // CMD18's next sector
    std::array<std::uint8_t, sector_bytes> incoming{};
    std::size_t incoming_pos = 0;
    std::uint64_t next_write = 0;  // the sector the next written block goes to
    std::uint64_t programming = 0;
    bool commit_pending = false;   // an accepted block not yet programmed
};

Card card;

struct Request {
    std::uint32_t arg;
    bool crc_ok;
};

// Which card kinds know a command, and in which states it is taken.
enum Kinds : std::uint8_t {
    mmc = 1 << static_cast<int>(CardKind::mmc),
    sd1 = 1 << static_cast<int>(CardKind::sd1),
    sd2 = 1 << static_cast<int>(CardKind::sd2),
    sdhc = 1 << static_cast<int>(CardKind::sdhc),
    sdxc = 1 << static_cast<int>(CardKind::sdxc),
    sd_v2 = sd2 | sdhc | sdxc,
    sd = sd1 | sd_v2,
    every_kind = mmc | sd,
};
enum Phase : std::uint8_t { when_idle = 1, when_ready = 2, always = when_idle | when_ready };

struct Command {
    std::uint8_t index;
    bool app;  // an ACMD: taken right after CMD55
    std::string_view name;
    std::uint8_t kinds;
    Phase phase;
    void (*handler)(Request request);
};

std::uint8_t state_bits() { return card.state == State::idle ? r1_idle : r1_ready; }

void respond(std::uint8_t r1) {
    out_fill(0xFF, static_cast<std::uint32_t>(card.cfg.ncr - 1));
    out_fill(r1, 1);
}

void respond_with_word(std::uint8_t r1, std::uint32_t word) {
    respond(r1);
    card.answer = {static_cast<std::uint8_t>(word >> 24), static_cast<std::uint8_t>(word >> 16),
                   static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
    out_bytes(card.answer);
}

// A data block after the access bytes: start token, bytes, CRC16.
void queue_data(std::span<const std::uint8_t> data) {
    const std::uint16_t crc = crc16(data);
    card.block_crc = {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
    out_fill(0xFF, static_cast<std::uint32_t>(card.cfg.access_bytes));
    out_fill(start_token, 1);
    out_bytes(data);
    out_bytes(card.block_crc);
}

bool block_addressing() { return block_addressed(card.cfg.kind); }

bool sector_of(std::uint32_t arg, std::uint64_t& sector) {
    if (block_addressing()) {
        sector = arg;
        return sector < storage_sectors();
    }
    sector = arg / sector_bytes;
    return arg % sector_bytes == 0 && sector < storage_sectors();
}

// A counterfeit card keeps only its first fake_sectors: past them it wraps,
// or loses writes and reads zeros.
bool dropped_by_fake(std::uint32_t& sector) {
    if (!card.cfg.fake_sectors || sector < *card.cfg.fake_sectors) return false;
    if (card.cfg.fake_drops) return true;
    sector %= *card.cfg.fake_sectors;
    return false;
}

bool read_sector(std::uint32_t sector) {
    if (!dropped_by_fake(sector)) return storage_read(sector, card.block);
    card.block.fill(0);
    return true;
}

bool write_sector(std::uint32_t sector) { return dropped_by_fake(sector) || storage_write(sector, card.incoming); }

// A sector read's block, or the error token that replaces it.
bool queue_sector(std::uint64_t sector) {
    std::uint8_t token = card.cfg.read_token;
    if (sector >= storage_sectors()) token = error_token_out_of_range;
    else if (!read_sector(static_cast<std::uint32_t>(sector))) token = error_token_error;
    if (token == start_token) {
        queue_data(card.block);
        return true;
    }
    out_fill(0xFF, static_cast<std::uint32_t>(card.cfg.access_bytes));
    out_fill(token, 1);
    return false;
}

void go_idle_state(Request) {
    card.state = State::idle;
    card.idle_left = card.cfg.idle_answers;
    card.if_cond_seen = false;
    respond(card.cfg.cmd0_answer);
}

// The command that brings the card up: idle a set number of times, then ready.
std::uint8_t count_down_idle() {
    if (card.state != State::idle) return r1_ready;
    if (card.cfg.never_ready || card.idle_left > 0) {
        if (!card.cfg.never_ready) --card.idle_left;
        return r1_idle;
    }
    card.state = State::ready;
    return r1_ready;
}

// A high-capacity card never comes up through CMD1.
void send_op_cond(Request) {
    if (card.cfg.cmd1_answer) return respond(*card.cfg.cmd1_answer);
    respond(block_addressing() ? state_bits() : count_down_idle());
}

// A high-capacity card comes up only for a host that sent CMD8 and sets HCS.
void sd_send_op_cond(Request request) {
    const bool host_fits = card.if_cond_seen && (request.arg & high_capacity_support);
    respond(block_addressing() && !host_fits ? state_bits() : count_down_idle());
}

// R7: the voltage range accepted (2.7 to 3.6 V only) and the check pattern echoed.
void send_if_cond(Request request) {
    if (!request.crc_ok) return respond(state_bits() | r1_crc_error);
    card.if_cond_seen = true;
    const std::uint32_t voltage = (request.arg >> 8 & 0xF) == 1 ? 1 : 0;
    respond_with_word(state_bits(), voltage << 8 | (request.arg & 0xFF));
}

void app_cmd(Request) {
    card.app_next = true;
    respond(state_bits());
}

void read_ocr(Request) { respond_with_word(state_bits(), card_ocr(card.cfg.kind, card.state != State::idle)); }

void send_csd(Request) {
    respond(r1_ready);
    queue_data(card.csd);
}

void send_cid(Request) {
    respond(r1_ready);
    queue_data(card.cid);
}

void set_blocklen(Request request) { respond(controls_block_length(request.arg) ? r1_ready : r1_parameter_error); }

// R1 comes after a stuff byte (the data DO was carrying), then a short busy.
void stop_transmission(Request) {
    out_fill(card.stuff, 1);
    respond(r1_ready);
    out_fill(0x00, stop_busy_bytes);
}

void read_single_block(Request request) {
    std::uint64_t sector = 0;
    if (!sector_of(request.arg, sector)) return respond(r1_address_error);
    respond(r1_ready);
    (void)queue_sector(sector);
}

// The blocks are queued one by one as DO runs dry (card_out_empty).
void read_multiple_block(Request request) {
    if (!sector_of(request.arg, card.next_read)) return respond(r1_address_error);
    respond(r1_ready);
    card.state = State::sending;
}

void write_block(Request request) {
    if (!sector_of(request.arg, card.next_write)) return respond(r1_address_error);
    respond(r1_ready);
    card.state = State::awaiting_block;
}

void write_multiple_block(Request request) {
    if (!sector_of(request.arg, card.next_write)) return respond(r1_address_error);
    respond(r1_ready);
    card.state = State::awaiting_blocks;
}

// A command of the card's controls: its answer, then any busy time; a
// block the host sends after it goes to the controls (card_byte).
template <ControlAnswer (*handle)(std::uint32_t)>
void control(Request request) {
    const ControlAnswer answer = handle(request.arg);
    respond(answer.r1);
    if (answer.status) out_fill(*answer.status, 1);
    if (!answer.data.empty()) queue_data(answer.data);
    out_fill(0x00, answer.busy_bytes);
}

constexpr std::array<Command, 25> commands{{
    {0, false, "GO_IDLE_STATE", every_kind, always, go_idle_state},
    {1, false, "SEND_OP_COND", every_kind, always, send_op_cond},
    {6, false, "SWITCH_FUNC", sd, when_ready, control<controls_switch>},
    {8, false, "SEND_IF_COND", sd_v2, when_idle, send_if_cond},
    {9, false, "SEND_CSD", every_kind, when_ready, send_csd},
    {10, false, "SEND_CID", every_kind, when_ready, send_cid},
    {12, false, "STOP_TRANSMISSION", every_kind, when_ready, stop_transmission},
    {13, false, "SEND_STATUS", every_kind, when_ready, control<controls_send_status>},
    {16, false, "SET_BLOCKLEN", every_kind, when_ready, set_blocklen},
    {17, false, "READ_SINGLE_BLOCK", every_kind, when_ready, read_single_block},
    {18, false, "READ_MULTIPLE_BLOCK", every_kind, when_ready, read_multiple_block},
    {24, false, "WRITE_BLOCK", every_kind, when_ready, write_block},
    {25, false, "WRITE_MULTIPLE_BLOCK", every_kind, when_ready, write_multiple_block},
    {27, false, "PROGRAM_CSD", every_kind, when_ready, control<controls_program_csd>},
    {32, false, "ERASE_WR_BLK_START", sd, when_ready, control<controls_erase_first>},
    {33, false, "ERASE_WR_BLK_END", sd, when_ready, control<controls_erase_last>},
    {35, false, "ERASE_GROUP_START", mmc, when_ready, control<controls_erase_first>},
    {36, false, "ERASE_GROUP_END", mmc, when_ready, control<controls_erase_last>},
    {38, false, "ERASE", every_kind, when_ready, control<controls_erase>},
    {42, false, "LOCK_UNLOCK", every_kind, when_ready, control<controls_lock_unlock>},
    {55, false, "APP_CMD", sd, always, app_cmd},
    {58, false, "READ_OCR", every_kind, always, read_ocr},
    {41, true, "SD_SEND_OP_COND", sd, always, sd_send_op_cond},
    {13, true, "SD_STATUS", sd, when_ready, control<controls_sd_status>},
    {51, true, "SEND_SCR", sd, when_ready, control<controls_send_scr>},
}};

// After CMD55 an index that is no ACMD is taken as the plain command.
const Command* find_command(std::uint8_t index, bool app) {
    const auto is = [&](bool as_app) {
        return [=](const Command& c) { return c.index == index && c.app == as_app; };
    };
    auto found = std::find_if(commands.begin(), commands.end(), is(app));
    if (found == commands.end() && app) found = std::find_if(commands.begin(), commands.end(), is(false));
    return found == commands.end() ? nullptr : &*found;
}

bool known_to_this_card(const Command& command) {
    return (command.kinds & (1 << static_cast<int>(card.cfg.kind))) != 0;
}

// The block and its CRC are in: answer, then stay busy while programming.
void block_received(bool more) {
    card.state = more ? State::awaiting_blocks : State::ready;
    card.programming = card.next_write++;
    std::optional<std::uint8_t> response = card.cfg.data_response;
    const bool refused = !storage_writable() || controls_refuse_write() || card.cfg.bad_sector == card.programming ||
                         card.programming >= storage_sectors();
    if (response == data_accepted && refused) response = data_write_error;
    if (!response) return;
    out_fill(*response, 1);
    if (*response != data_accepted) return;
    out_fill(0x00, static_cast<std::uint32_t>(card.cfg.busy_bytes));
    card.commit_pending = true;
}

// Programming ends: later reads see the new data.
// An image that refuses the write leaves the sector as it was, and says so.
void commit_block() {
    card.commit_pending = false;
    const auto sector = static_cast<std::uint32_t>(card.programming);
    if (!write_sector(sector))
        std::fprintf(stderr, "vantacle: the card image refused the write of sector %06X\n", static_cast<unsigned>(sector));
}

// The stop token: a byte, then busy while the last block is programmed.
void stop_writing() {
    card.state = State::ready;
    out_fill(0xFF, 1);
    out_fill(0x00, static_cast<std::uint32_t>(card.cfg.busy_bytes));
}

void start_block(State receiving) {
    if (card.commit_pending) commit_block();
    card.state = receiving;
    card.incoming_pos = 0;
}

bool crc_matches(CommandFrame frame) { return frame[5] == crc7_byte(frame.first<5>()); }

}  // namespace

void sim_card_configure(const SimSettings& settings) {
    card = Card{};
    card.cfg = settings;
    card.cid = settings.cid.value_or(default_cid(settings.kind));
    card.csd = settings.csd.value_or(default_csd(settings.kind, storage_sectors()));
    controls_configure(settings, card.csd);
    framing_configure(settings.noise_rate);
}

void card_power_lost() {
    Card fresh{};
    fresh.cfg = card.cfg;
    fresh.cid = card.cid;
    fresh.csd = card.csd;
    card = fresh;
    controls_power_lost();
}

void card_frame(CommandFrame frame) {
    const std::uint8_t index = frame[0] & 0x3F;
    // Before SPI mode only a CMD0 with a correct CRC is taken.
    if (card.state == State::native && !(index == 0 && crc_matches(frame))) return;
    if (card.commit_pending) commit_block();
    card.stuff = out_take();
    out_clear();
    controls_frame();
    if (card.state != State::idle && card.state != State::native) card.state = State::ready;
    const bool app = std::exchange(card.app_next, false);
    const Command* command = find_command(index, app);
    const Phase phase = card.state == State::idle ? when_idle : when_ready;
    if (!command || !known_to_this_card(*command) || !(command->phase & phase) || controls_refuses(index, command->app))
        return respond(state_bits() | r1_illegal_command);
    const std::uint32_t arg = std::uint32_t{frame[1]} << 24 | std::uint32_t{frame[2]} << 16 |
                              std::uint32_t{frame[3]} << 8 | frame[4];
    command->handler({arg, crc_matches(frame)});
}

void card_byte(std::uint8_t byte) {
    switch (card.state) {
        case State::awaiting_block:
            if (byte == start_token) start_block(State::receiving_block);
            return;
        case State::awaiting_blocks:
            if (byte == multi_write_token) start_block(State::receiving_blocks);
            if (byte == stop_token) stop_writing();
            return;
        case State::receiving_block:
        case State::receiving_blocks:
            if (card.incoming_pos < card.incoming.size()) card.incoming[card.incoming_pos] = byte;
            if (++card.incoming_pos == card.incoming.size() + block_crc_bytes)
                block_received(card.state == State::receiving_blocks);
            return;
        default:
            if (const auto answer = controls_byte(byte)) {
                out_fill(answer->response, 1);
                out_fill(0x00, answer->busy_bytes);
            }
            return;
    }
}

bool card_takes_block_data() {
    return card.state == State::receiving_block || card.state == State::receiving_blocks || controls_takes_block_data();
}

void card_out_empty() {
    if (card.commit_pending) commit_block();
    if (card.state != State::sending) return;
    if (!queue_sector(card.next_read++)) card.state = State::ready;
}
