#include "sim/card_model.h"

#include <array>
#include <cstdio>

#include "port/wiring.h"
#include "sim/storage.h"

namespace {

constexpr std::uint8_t r1_idle = 0x01;
constexpr std::uint8_t r1_illegal_command = 0x04;
constexpr std::uint8_t r1_address_error = 0x20;
constexpr std::uint8_t start_token = 0xFE;
constexpr std::uint8_t error_token_error = 0x01;
constexpr std::uint8_t data_accepted = 0x05;
constexpr std::uint8_t data_write_error = 0x0D;
constexpr std::size_t block_crc_bytes = 2;
constexpr std::uint32_t wake_up_clocks = 74;

namespace cmd {
constexpr int go_idle = 0;
constexpr int send_op_cond = 1;
constexpr int read_single_block = 17;
constexpr int write_single_block = 24;
}  // namespace cmd

// Bytes the card has queued for DO: runs of one repeated byte or of a buffer.
class OutQueue {
public:
    void clear() { head_ = tail_ = 0; }
    bool empty() {
        while (head_ != tail_ && runs_[head_].count == 0) ++head_;
        return head_ == tail_;
    }
    void fill(std::uint8_t byte, std::uint32_t count) { push({nullptr, byte, count}); }
    void bytes(const std::uint8_t* data, std::uint32_t count) { push({data, 0, count}); }
    std::uint8_t next() {
        if (empty()) return 0xFF;
        Run& run = runs_[head_];
        --run.count;
        return run.data ? *run.data++ : run.byte;
    }

private:
    struct Run {
        const std::uint8_t* data;
        std::uint8_t byte;
        std::uint32_t count;
    };
    void push(Run run) {
        if (head_ == tail_) clear();
        if (tail_ < runs_.size()) runs_[tail_++] = run;
    }
    std::array<Run, 8> runs_{};
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
};

// What the card makes of the bytes arriving on DI.
enum class Receive { commands, await_token, block };

struct Card {
    SimSettings cfg;
    std::uint8_t lines = 0;
    bool powered = false;
    std::uint32_t wake_clocks = 0;
    bool spi_mode = false;
    bool idle = true;
    int idle_left = 0;
    std::uint8_t rx = 0;
    int rx_bits = 0;
    std::uint8_t tx = 0xFF;
    bool do_high = true;
    std::array<std::uint8_t, 6> frame{};
    std::size_t frame_len = 0;
    OutQueue out;
    std::array<std::uint8_t, 512> block{};
    std::array<std::uint8_t, 2> block_crc{};
    Receive receive = Receive::commands;
    std::size_t block_pos = 0;
    std::uint32_t write_sector = 0;
    std::array<std::uint8_t, 512> incoming{};
    bool commit_pending = false;  // an accepted block not yet programmed
};

Card card;

// CRC7 of a command frame, as the card checks it before SPI mode is entered.
std::uint8_t crc7(const std::uint8_t* data, std::size_t len) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < len; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((data[i] >> bit) & 1) != ((crc >> 6) & 1);
            crc = static_cast<std::uint8_t>((crc << 1) & 0x7F);
            if (in) crc ^= 0x09;
        }
    }
    return crc;
}

// CRC16-CCITT (polynomial 0x1021, start 0) of a data block.
std::uint16_t crc16(const std::uint8_t* data, std::size_t len) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < len; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

void reset() {
    const SimSettings cfg = card.cfg;
    card = Card{};
    card.cfg = cfg;
}

void go_idle() {
    card.idle = true;
    card.idle_left = card.cfg.idle_answers;
}

void respond(std::uint8_t r1) {
    card.out.fill(0xFF, static_cast<std::uint32_t>(card.cfg.ncr - 1));
    card.out.fill(r1, 1);
}

std::uint8_t state_bits() { return card.idle ? r1_idle : 0x00; }

std::uint8_t send_op_cond() {
    if (card.cfg.cmd1_answer) return *card.cfg.cmd1_answer;
    if (!card.idle) return 0x00;
    if (card.cfg.never_ready || card.idle_left > 0) {
        if (!card.cfg.never_ready) --card.idle_left;
        return r1_idle;
    }
    card.idle = false;
    return 0x00;
}

bool valid_address(std::uint32_t address) { return address % 512 == 0 && address / 512 < storage_sectors(); }

void read_single_block(std::uint32_t address) {
    if (card.idle) return respond(r1_idle | r1_illegal_command);
    if (!valid_address(address)) return respond(r1_address_error);
    respond(0x00);
    card.out.fill(0xFF, static_cast<std::uint32_t>(card.cfg.access_bytes));
    const bool read_ok = storage_read(address / 512, card.block);
    const std::uint8_t token = read_ok ? card.cfg.read_token : error_token_error;
    card.out.fill(token, 1);
    if (token != start_token) return;
    const std::uint16_t crc = crc16(card.block.data(), card.block.size());
    card.block_crc = {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
    card.out.bytes(card.block.data(), 512);
    card.out.bytes(card.block_crc.data(), 2);
}

void write_single_block(std::uint32_t address) {
    if (card.idle) return respond(r1_idle | r1_illegal_command);
    if (!valid_address(address)) return respond(r1_address_error);
    respond(0x00);
    card.write_sector = address / 512;
    card.receive = Receive::await_token;
}

// The block and its CRC are in: answer, then stay busy while programming.
void block_received() {
    std::optional<std::uint8_t> response = card.cfg.data_response;
    const bool refused = !storage_writable() || card.cfg.bad_sector == card.write_sector;
    if (response == data_accepted && refused) response = data_write_error;
    if (!response) return;
    card.out.fill(*response, 1);
    if (*response != data_accepted) return;
    card.out.fill(0x00, static_cast<std::uint32_t>(card.cfg.busy_bytes));
    card.commit_pending = true;
}

// Programming ends: later reads see the new data.
// An image that refuses the write leaves the sector as it was, and says so.
void commit_block() {
    if (!storage_write(card.write_sector, card.incoming))
        std::fprintf(stderr, "vantacle: the card image refused the write of sector %06X\n",
                     static_cast<unsigned>(card.write_sector));
    card.commit_pending = false;
}

void block_byte(std::uint8_t byte) {
    if (card.block_pos < card.incoming.size()) card.incoming[card.block_pos] = byte;
    if (++card.block_pos < card.incoming.size() + block_crc_bytes) return;
    card.receive = Receive::commands;
    block_received();
}

void start_frame(std::uint8_t byte) {
    if (card.commit_pending) commit_block();
    card.receive = Receive::commands;
    card.out.clear();
    card.frame[0] = byte;
    card.frame_len = 1;
}

// Before SPI mode only a CMD0 with a correct CRC is taken.
bool frame_accepted(int index) {
    if (card.wake_clocks < wake_up_clocks) return false;
    if (card.spi_mode) return true;
    const std::uint8_t crc = static_cast<std::uint8_t>((crc7(card.frame.data(), 5) << 1) | 1);
    return index == cmd::go_idle && card.frame[5] == crc;
}

void execute_frame() {
    const int index = card.frame[0] & 0x3F;
    if (!frame_accepted(index)) return;
    card.spi_mode = true;
    const std::uint32_t arg = std::uint32_t{card.frame[1]} << 24 | std::uint32_t{card.frame[2]} << 16 |
                              std::uint32_t{card.frame[3]} << 8 | card.frame[4];
    switch (index) {
        case cmd::go_idle:
            go_idle();
            return respond(card.cfg.cmd0_answer);
        case cmd::send_op_cond:
            return respond(send_op_cond());
        case cmd::read_single_block:
            return read_single_block(arg);
        case cmd::write_single_block:
            return write_single_block(arg);
        default:
            return respond(state_bits() | r1_illegal_command);
    }
}

// A whole byte arrived on DI: part of a command frame, of a written block,
// a start token, or filler.
void byte_received(std::uint8_t byte) {
    if (card.frame_len > 0) {
        card.frame[card.frame_len++] = byte;
        if (card.frame_len == card.frame.size()) {
            card.frame_len = 0;
            execute_frame();
        }
        return;
    }
    if (card.receive == Receive::block) return block_byte(byte);
    if ((byte & 0xC0) == 0x40) return start_frame(byte);
    if (card.receive == Receive::await_token && byte == start_token) {
        card.receive = Receive::block;
        card.block_pos = 0;
    }
}

// Falling edge: the card puts its next bit on DO.
void clock_fell() {
    if (card.rx_bits == 0) {
        if (card.commit_pending && card.out.empty()) commit_block();
        card.tx = card.out.next();
    }
    card.do_high = (card.tx << card.rx_bits) & 0x80;
}

// Rising edge: the card takes the bit on DI.
void clock_rose(bool di) {
    card.rx = static_cast<std::uint8_t>(card.rx << 1 | di);
    if (++card.rx_bits == 8) {
        card.rx_bits = 0;
        byte_received(card.rx);
    }
}

void deselected(bool rising) {
    if (rising && card.wake_clocks < wake_up_clocks) ++card.wake_clocks;
    card.rx_bits = 0;
    card.do_high = true;
}

}  // namespace

void sim_card_configure(const SimSettings& settings) {
    card = Card{};
    card.cfg = settings;
}

void sim_card_write(std::uint8_t lines) {
    const std::uint8_t before = card.lines;
    card.lines = lines;
    if ((lines & wiring::supply) != wiring::supply) {
        if (card.powered) reset();
        card.lines = lines;
        return;
    }
    card.powered = true;
    const bool rising = (lines & ~before) & wiring::sck;
    const bool falling = (before & ~lines) & wiring::sck;
    if (lines & wiring::cs) return deselected(rising);
    if (falling) clock_fell();
    if (rising) clock_rose(lines & wiring::di);
}

std::uint8_t sim_card_read() {
    const bool do_low = card.powered && !(card.lines & wiring::cs) && !card.do_high;
    return do_low ? (sim_status_idle | wiring::do_status) : sim_status_idle;
}
