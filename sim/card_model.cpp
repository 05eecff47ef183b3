// What the card does with commands and data: one state, a table of the
// commands it knows, and a handler for each. The wire (sim/spi_framing)
// hands over whole frames and bytes; answers go to DO's queue.
#include "sim/card_model.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

#include "sim/card_logic.h"
#include "sim/crc.h"
#include "sim/storage.h"

namespace {

constexpr std::uint8_t r1_ready = 0x00;
constexpr std::uint8_t r1_idle = 0x01;
constexpr std::uint8_t r1_illegal_command = 0x04;
constexpr std::uint8_t r1_address_error = 0x20;
constexpr std::uint8_t start_token = 0xFE;
constexpr std::uint8_t error_token_error = 0x01;
constexpr std::uint8_t data_accepted = 0x05;
constexpr std::uint8_t data_write_error = 0x0D;
constexpr std::size_t block_crc_bytes = 2;
constexpr std::uint32_t sector_bytes = 512;

enum class State : std::uint8_t {
    native,           // powered, not yet in SPI mode: takes only CMD0 with its CRC
    idle,             // SPI mode, initialising
    ready,            // transfer state: takes commands
    awaiting_block,   // CMD24 answered: waits for the start token
    receiving_block,  // the written block and its CRC arrive
};

struct Card {
    SimSettings cfg;
    State state = State::native;
    int idle_left = 0;
    std::array<std::uint8_t, sector_bytes> block{};
    std::array<std::uint8_t, block_crc_bytes> block_crc{};
    std::array<std::uint8_t, sector_bytes> incoming{};
    std::size_t incoming_pos = 0;
    std::uint32_t write_sector = 0;
    bool commit_pending = false;  // an accepted block not yet programmed
};

Card card;

// Which states a command is taken in.
enum Phase : std::uint8_t { when_idle = 1, when_ready = 2, always = when_idle | when_ready };

struct Command {
    std::uint8_t index;
    std::string_view name;
    Phase phase;
    void (*handler)(std::uint32_t arg);
};

std::uint8_t state_bits() { return card.state == State::idle ? r1_idle : r1_ready; }

void respond(std::uint8_t r1) {
    out_fill(0xFF, static_cast<std::uint32_t>(card.cfg.ncr - 1));
    out_fill(r1, 1);
}

void go_idle_state(std::uint32_t) {
    card.state = State::idle;
    card.idle_left = card.cfg.idle_answers;
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

void send_op_cond(std::uint32_t) { respond(card.cfg.cmd1_answer ? *card.cfg.cmd1_answer : count_down_idle()); }

bool sector_of(std::uint32_t address, std::uint32_t& sector) {
    sector = address / sector_bytes;
    return address % sector_bytes == 0 && sector < storage_sectors();
}

void queue_block(std::uint32_t sector) {
    out_fill(0xFF, static_cast<std::uint32_t>(card.cfg.access_bytes));
    const bool read_ok = storage_read(sector, card.block);
    const std::uint8_t token = read_ok ? card.cfg.read_token : error_token_error;
    out_fill(token, 1);
    if (token != start_token) return;
    const std::uint16_t crc = crc16(card.block);
    card.block_crc = {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
    out_bytes(card.block);
    out_bytes(card.block_crc);
}

void read_single_block(std::uint32_t arg) {
    std::uint32_t sector = 0;
    if (!sector_of(arg, sector)) return respond(r1_address_error);
    respond(r1_ready);
    queue_block(sector);
}

void write_block(std::uint32_t arg) {
    if (!sector_of(arg, card.write_sector)) return respond(r1_address_error);
    respond(r1_ready);
    card.state = State::awaiting_block;
}

constexpr std::array<Command, 4> commands{{
    {0, "GO_IDLE_STATE", always, go_idle_state},
    {1, "SEND_OP_COND", always, send_op_cond},
    {17, "READ_SINGLE_BLOCK", when_ready, read_single_block},
    {24, "WRITE_BLOCK", when_ready, write_block},
}};

// The block and its CRC are in: answer, then stay busy while programming.
void block_received() {
    card.state = State::ready;
    std::optional<std::uint8_t> response = card.cfg.data_response;
    const bool refused = !storage_writable() || card.cfg.bad_sector == card.write_sector;
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
    if (!storage_write(card.write_sector, card.incoming))
        std::fprintf(stderr, "vantacle: the card image refused the write of sector %06X\n",
                     static_cast<unsigned>(card.write_sector));
}

// Before SPI mode only a CMD0 with a correct CRC is taken.
bool enters_spi_mode(CommandFrame frame) {
    return (frame[0] & 0x3F) == 0 && frame[5] == crc7_byte(frame.first<5>());
}

const Command* find_command(std::uint8_t index) {
    const auto found = std::find_if(commands.begin(), commands.end(), [&](const Command& c) { return c.index == index; });
    return found == commands.end() ? nullptr : &*found;
}

}  // namespace

void sim_card_configure(const SimSettings& settings) {
    card = Card{};
    card.cfg = settings;
    framing_configure(0);
}

void card_power_lost() {
    const SimSettings cfg = card.cfg;
    card = Card{};
    card.cfg = cfg;
}

void card_frame(CommandFrame frame) {
    if (card.state == State::native && !enters_spi_mode(frame)) return;
    if (card.commit_pending) commit_block();
    out_clear();
    if (card.state == State::awaiting_block) card.state = State::ready;
    const std::uint8_t index = frame[0] & 0x3F;
    const std::uint32_t arg = std::uint32_t{frame[1]} << 24 | std::uint32_t{frame[2]} << 16 |
                              std::uint32_t{frame[3]} << 8 | frame[4];
    const Command* command = find_command(index);
    const Phase phase = card.state == State::idle ? when_idle : when_ready;
    if (!command || !(command->phase & phase)) return respond(state_bits() | r1_illegal_command);
    command->handler(arg);
}

void card_byte(std::uint8_t byte) {
    if (card.state == State::awaiting_block && byte == start_token) {
        card.state = State::receiving_block;
        card.incoming_pos = 0;
        return;
    }
    if (card.state != State::receiving_block) return;
    if (card.incoming_pos < card.incoming.size()) card.incoming[card.incoming_pos] = byte;
    if (++card.incoming_pos == card.incoming.size() + block_crc_bytes) block_received();
}

bool card_takes_block_data() { return card.state == State::receiving_block; }

void card_out_empty() {
    if (card.commit_pending) commit_block();
}
